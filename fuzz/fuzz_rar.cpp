// The RAR mapper and unpacker. Input: a selector byte, then either a whole archive (even
// selector: every member listed and mapped) or a raw packed stream (odd selector, whose bits
// 1-2 pick the unpack version 29, 15, 20 or 26: two bytes of destination size in units of
// 16, then the packed bytes). Every size comes from the input, so a failure must be an
// exception.

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include <norva/core/exception.hpp>
#include <norva/filesystem/mapper.hpp>

#include "archive/rar/rar_unpack.hpp"

namespace
{
    // members claiming more are skipped: the allocation itself is not what is tested
    constexpr std::uint64_t maxMember = 1u << 24;

    void mapAll(norva::filesystem::AbstractMapper& mapper, const std::string& folder, int depth)
    {
        norva::filesystem::FileIndex index;
        mapper.getIndex(index, folder);
        for (const norva::filesystem::FileInfo& info : index)
        {
            if (info.isContainer())
                continue;
            if (info.isDirectory())
            {
                if (depth < 16)
                    mapAll(mapper, folder + info.name, depth + 1);
                continue;
            }
            if (info.size > maxMember)
                continue;
            try
            {
                auto memory = mapper.mmap(folder + info.name);
                // touch every page, so that a view past the archive shows
                norva::ConstMemory bytes = *memory;
                std::uint8_t sum = 0;
                for (std::uint64_t i = 0; i < bytes.size; i += 4096)
                    sum = std::uint8_t(sum ^ bytes.address[i]);
                if (bytes.size)
                    sum = std::uint8_t(sum ^ bytes.address[bytes.size - 1]);
                asm volatile("" : : "r"(sum));
            }
            catch (const norva::Exception&)
            {
            }
        }
    }
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 3)
        return 0;
    if (data[0] & 1)
    {
        const std::uint64_t destSize = std::uint64_t(data[1] | data[2] << 8) * 16;
        try
        {
            // an exact-size heap block, so that ASan sees a write one past the end
            std::vector<norva::u8> dest(destSize);
            static constexpr norva::u32 versions[4] = { 29, 15, 20, 26 };
            norva::filesystem::rar::rar_decompress(dest.data(), data + 3, destSize, size - 3,
                                                   versions[(data[0] >> 1) & 3]);
        }
        catch (const std::bad_alloc&)
        {
        }
        return 0;
    }
    try
    {
        auto mapper = norva::filesystem::createMapperRAR(norva::ConstMemory(data + 1, size - 1), "");
        mapAll(*mapper, "", 0);
    }
    catch (const norva::Exception&)
    {
    }
    catch (const std::bad_alloc&)
    {
    }
    return 0;
}
