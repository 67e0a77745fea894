// Every compression method's decompress. Input: one byte for the method, four bytes
// (little-endian) for the destination size, then the compressed data. Archives store the
// sizes beside the data, so both are attacker-controlled; a failure must be an exception.
//
// FUZZ_LIST_METHODS=1 fuzz_decompress prints each method's selector byte and the extension
// of its committed samples, and exits; the seeding in fuzz/run.sh reads it.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include <norva/core/compress.hpp>
#include <norva/core/endian.hpp>
#include <norva/core/exception.hpp>

namespace
{
    // large enough for every committed sample, small enough to keep runs fast
    constexpr std::uint32_t maxDestination = 1u << 22;

    // the extension of the samples in tests/fixtures/compress, null where there are none
    const char* sampleExtension(norva::CompressionMethod method)
    {
        using norva::CompressionMethod;
        switch (method)
        {
            case CompressionMethod::NONE: return nullptr;
            case CompressionMethod::MINIZ: return ".zlib";
            case CompressionMethod::BZIP2: return ".bz2";
            case CompressionMethod::LZ4: return ".lz4";
            case CompressionMethod::LZO: return ".lzo";
            case CompressionMethod::ZSTD: return ".zst";
            case CompressionMethod::LZFSE: return ".lzfse";
            case CompressionMethod::LZMA: return ".lzma";
            case CompressionMethod::LZMA2: return ".lzma2";
            case CompressionMethod::PPMD8: return ".ppmd8";
        }
        return nullptr;
    }
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (std::getenv("FUZZ_LIST_METHODS"))
    {
        for (std::uint32_t m = 0; m < norva::COMPRESSION_METHOD_COUNT; ++m)
        {
            if (const char* extension = sampleExtension(norva::CompressionMethod(m)))
                std::printf("%u %s\n", m, extension);
        }
        std::exit(0);
    }
    return 0;
}

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
