// The ZIP and MGX mappers over an arbitrary byte block: the block is opened as a ZIP archive
// (with a password, so that encrypted members are decrypted too) and as an MGX archive, every
// folder is listed and every member mapped and read. Opening and mapping may fail only with
// norva::Exception.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <norva/core/exception.hpp>
#include <norva/filesystem/mapper.hpp>

namespace
{
    using namespace norva;
    using namespace norva::filesystem;

    // Declared sizes are the archive's to choose; the mappers allocate what a member
    // declares. Members above this are listed but not mapped, to keep runs fast.
    constexpr u64 maxMemberSize = u64(64) << 20;

    void mapEverything(AbstractMapper& mapper, const std::string& folder, int depth)
    {
        FileIndex index;
        mapper.getIndex(index, folder);
        for (const FileInfo& info : index)
        {
            const std::string name = folder + info.name;
            if (info.isDirectory())
            {
                // container folders ("x.zip/") lead into members, not into this mapper
                if (!info.isContainer() && depth < 16)
                {
                    mapEverything(mapper, name, depth + 1);
                }
                continue;
            }
            if (info.size > maxMemberSize || !mapper.isFile(name))
            {
                continue;
            }
            try
            {
                std::unique_ptr<VirtualMemory> memory = mapper.mmap(name);
                // touch every byte, so that a view past the input shows under ASan
                volatile u8 sum = 0;
                for (u64 i = 0; i < memory->memory.size; ++i)
                {
                    sum = sum ^ memory->memory.address[i];
                }
            }
            catch (const Exception&)
            {
            }
        }
    }

    void open(MapperFactory factory, ConstMemory archive, const std::string& password)
    {
        try
        {
            std::unique_ptr<AbstractMapper> mapper = factory(archive, password);
            mapEverything(*mapper, "", 0);
        }
        catch (const Exception&)
        {
        }
    }

    // Failed allocations are part of what is fuzzed: the mappers turn them into exceptions.
    // Allocations that succeed are reserved, not touched, so libFuzzer's malloc limit (by
    // default the RSS limit) would report every large declared size; the RSS limit stays.
    char mallocLimit[] = "-malloc_limit_mb=1048576";

} // namespace

extern "C" const char* __asan_default_options()
{
    return "allocator_may_return_null=1";
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static std::vector<char*> args((*argv), (*argv) + *argc);
    // before the corpus folders would be fine too: libFuzzer takes flags anywhere
    args.insert(args.begin() + 1, mallocLimit);
    args.push_back(nullptr);
    *argc += 1;
    *argv = args.data();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // an exact-size copy, so that ASan sees a read one past the end of the archive
    std::unique_ptr<u8[]> copy(new u8[size ? size : 1]);
    if (size)
    {
        std::memcpy(copy.get(), data, size);
    }
    const ConstMemory archive(copy.get(), size);
    open(createMapperZIP, archive, "secret");
    open(createMapperMGX, archive, "");
    return 0;
}
