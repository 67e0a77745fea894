// Every compression method's decompress. Input: one byte for the method, four bytes
// (little-endian) for the destination size, then the compressed data. Archives store the
// sizes beside the data, so both are attacker-controlled; a failure must be an exception.

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

#include <norva/core/compress.hpp>
#include <norva/core/endian.hpp>
#include <norva/core/exception.hpp>

namespace
{
    // large enough for every committed sample, small enough to keep runs fast
    constexpr std::uint32_t maxDestination = 1u << 22;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 5)
        return 0;
    const std::uint32_t method = data[0] % norva::COMPRESSION_METHOD_COUNT;
    const std::uint32_t destSize = norva::loadLE32(data + 1) % (maxDestination + 1);
    try
    {
        norva::Compressor compressor = norva::getCompressor(method);
        // an exact-size heap block, so that ASan sees a write one past the end
        std::vector<norva::u8> dest(destSize);
        compressor.decompress(norva::Memory(dest.data(), dest.size()),
                              norva::ConstMemory(data + 5, size - 5));
    }
    catch (const norva::Exception&)
    {
    }
    catch (const std::bad_alloc&)
    {
    }
    return 0;
}
