// Every failure of every method: a small bad input and the exact message and function.

#include <cstdlib>
#include <functional>

#include <libdeflate.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <norva/core/exception.hpp>

#include "helpers.hpp"

namespace
{
    using namespace norva;
    using namespace norva::test;

    const Bytes& sample()
    {
        static const Bytes bytes = textBytes(4096, 11);
        return bytes;
    }

    // sample() compressed by a method at level 5
    Bytes packed(CompressionMethod method)
    {
        return compressWith(getCompressor(method), sample(), 5);
    }

    Bytes truncated(Bytes b) { b.resize(b.size() / 2); return b; }
    Bytes withByte(Bytes b, size_t at, u8 value) { b[at] = value; return b; }

    // decompress into a destination of the given size
    std::function<void()> unpack(CompressionMethod method, Bytes source, size_t size)
    {
        return [=] {
            Bytes dest(size);
            getCompressor(method).decompress(view(dest), view(source));
        };
    }

    std::function<void()> unpack(CompressionMethod method, Bytes source)
    {
        return unpack(method, source, sample().size());
    }

    // compress sample() (or a given source) into a destination of the given size
    std::function<void()> pack(CompressionMethod method, size_t capacity, Bytes source = sample())
    {
        return [=] {
            Bytes dest(capacity);
            getCompressor(method).compress(view(dest), view(source), 5);
        };
    }

    std::string zstdError(ZSTD_ErrorCode code)
    {
        return std::string("[zstd] ") + ZSTD_getErrorString(code);
    }

    struct FailureCase
    {
        const char* what;
        std::function<void()> call;
        std::string message;
        const char* function;
    };

    TEST(Failures, EveryMessage)
    {
        using M = CompressionMethod;
        const size_t n = sample().size();
        const Bytes random = randomBytes(1000, 12);

        const FailureCase cases[] = {
            { "method 10", [] { getCompressor(10); }, "[Compressor] Unsupported compression method (10).", "norva::getCompressor" },
            { "method 2^32-1", [] { getCompressor(0xFFFFFFFFu); }, "[Compressor] Unsupported compression method (4294967295).", "norva::getCompressor" },

            { "none: small destination", pack(M::NONE, n - 1), "[none] Destination too small.", "norva::none::compress" },
            { "none: larger destination", unpack(M::NONE, sample(), n + 1), "[none] Source size does not match the destination.", "norva::none::decompress" },
            { "none: smaller destination", unpack(M::NONE, sample(), n - 1), "[none] Source size does not match the destination.", "norva::none::decompress" },

            { "miniz: small destination", pack(M::MINIZ, 4, random), "[miniz] compression failed.", "norva::miniz::compress" },
            { "miniz: smaller destination", unpack(M::MINIZ, packed(M::MINIZ), n - 1), "[miniz] not enough room in the output buffer.", "norva::miniz::decompress" },
            { "miniz: larger destination", unpack(M::MINIZ, packed(M::MINIZ), n + 1), "[miniz] corrupted input data.", "norva::miniz::decompress" },
            { "miniz: truncated", unpack(M::MINIZ, truncated(packed(M::MINIZ))), "[miniz] corrupted input data.", "norva::miniz::decompress" },
            { "miniz: bad header", unpack(M::MINIZ, withByte(packed(M::MINIZ), 0, 0x79)), "[miniz] corrupted input data.", "norva::miniz::decompress" },
            { "miniz: bad Adler-32", unpack(M::MINIZ, withByte(packed(M::MINIZ), packed(M::MINIZ).size() - 1, 0)), "[miniz] corrupted input data.", "norva::miniz::decompress" },

            { "bzip2: small destination", pack(M::BZIP2, 40), "[bzip2] compression failed.", "norva::bzip2::compress" },
            { "bzip2: truncated", unpack(M::BZIP2, truncated(packed(M::BZIP2))), "[bzip2] decompression failed.", "norva::bzip2::decompress" },
            { "bzip2: bad magic", unpack(M::BZIP2, withByte(packed(M::BZIP2), 0, 'X')), "[bzip2] decompression failed.", "norva::bzip2::decompress" },
            { "bzip2: larger destination", unpack(M::BZIP2, packed(M::BZIP2), n + 1), "[bzip2] decompression failed.", "norva::bzip2::decompress" },
            { "bzip2: smaller destination", unpack(M::BZIP2, packed(M::BZIP2), n - 1), "[bzip2] decompression failed.", "norva::bzip2::decompress" },
            { "bzip2: empty source", unpack(M::BZIP2, {}), "[bzip2] decompression failed.", "norva::bzip2::decompress" },

            { "lz4: small destination", pack(M::LZ4, 10), "[lz4] compression failed.", "norva::lz4::compress" },
            { "lz4: truncated", unpack(M::LZ4, truncated(packed(M::LZ4))), "[lz4] decompression failed.", "norva::lz4::decompress" },
            { "lz4: larger destination", unpack(M::LZ4, packed(M::LZ4), n + 1), "[lz4] decompression failed.", "norva::lz4::decompress" },
            { "lz4: smaller destination", unpack(M::LZ4, packed(M::LZ4), n - 1), "[lz4] decompression failed.", "norva::lz4::decompress" },

            { "lzo: small destination", pack(M::LZO, 10), "[lzo] compression failed.", "norva::lzo::compress" },
            { "lzo: truncated", unpack(M::LZO, truncated(packed(M::LZO))), "[lzo] decompression failed.", "norva::lzo::decompress" },
            { "lzo: larger destination", unpack(M::LZO, packed(M::LZO), n + 1), "[lzo] decompression failed.", "norva::lzo::decompress" },
            { "lzo: smaller destination", unpack(M::LZO, packed(M::LZO), n - 1), "[lzo] decompression failed.", "norva::lzo::decompress" },
            { "lzo: trailing bytes", unpack(M::LZO, [] { Bytes b = packed(M::LZO); b.push_back(0); return b; }()), "[lzo] decompression failed.", "norva::lzo::decompress" },

            { "zstd: small destination", pack(M::ZSTD, 10), zstdError(ZSTD_error_dstSize_tooSmall), "norva::zstd::compress" },
            { "zstd: bad magic", unpack(M::ZSTD, withByte(packed(M::ZSTD), 0, 0)), zstdError(ZSTD_error_prefix_unknown), "norva::zstd::decompress" },
            { "zstd: truncated", unpack(M::ZSTD, truncated(packed(M::ZSTD))), zstdError(ZSTD_error_srcSize_wrong), "norva::zstd::decompress" },
            { "zstd: smaller destination", unpack(M::ZSTD, packed(M::ZSTD), n - 1), zstdError(ZSTD_error_dstSize_tooSmall), "norva::zstd::decompress" },
            { "zstd: larger destination", unpack(M::ZSTD, packed(M::ZSTD), n + 1), "[zstd] Decompressed size does not match the destination size", "norva::zstd::decompress" },

            { "lzfse: truncated", unpack(M::LZFSE, truncated(packed(M::LZFSE))), "[lzfse] decompression failed.", "norva::lzfse::decompress" },
            { "lzfse: bad magic", unpack(M::LZFSE, withByte(packed(M::LZFSE), 0, 'X')), "[lzfse] decompression failed.", "norva::lzfse::decompress" },
            { "lzfse: larger destination", unpack(M::LZFSE, packed(M::LZFSE), n + 1), "[lzfse] decompression failed.", "norva::lzfse::decompress" },
            { "lzfse: empty source", unpack(M::LZFSE, {}), "[lzfse] decompression failed.", "norva::lzfse::decompress" },

            { "lzma: small destination", pack(M::LZMA, 100), "[lzma] undefined error", "norva::lzma::compress" },
            { "lzma: no room for the properties", pack(M::LZMA, 4), "[lzma] undefined error", "norva::lzma::compress" },
            { "lzma: source shorter than the properties", unpack(M::LZMA, { 0x5D, 0, 0, 1 }), "[lzma] insufficient input", "norva::lzma::decompress" },
            { "lzma: properties 225", unpack(M::LZMA, withByte(packed(M::LZMA), 0, 225)), "[lzma] unsupported properties", "norva::lzma::decompress" },
            { "lzma: range coder must start with 0", unpack(M::LZMA, withByte(packed(M::LZMA), 5, 1)), "[lzma] data error", "norva::lzma::decompress" },
            { "lzma: truncated", unpack(M::LZMA, truncated(packed(M::LZMA))), "[lzma] insufficient input", "norva::lzma::decompress" },
            { "lzma: larger destination", unpack(M::LZMA, packed(M::LZMA), n + 1), "[lzma] insufficient input", "norva::lzma::decompress" },

            { "lzma2: small destination", pack(M::LZMA2, 20), "[lzma2] undefined error", "norva::lzma2::compress" },
            { "lzma2: no room for the property", pack(M::LZMA2, 0), "[lzma2] undefined error", "norva::lzma2::compress" },
            { "lzma2: empty source", unpack(M::LZMA2, {}), "[lzma2] insufficient input", "norva::lzma2::decompress" },
            { "lzma2: dictionary byte 41", unpack(M::LZMA2, withByte(packed(M::LZMA2), 0, 41)), "[lzma2] unsupported properties", "norva::lzma2::decompress" },
            { "lzma2: bad control byte", unpack(M::LZMA2, withByte(packed(M::LZMA2), 1, 3)), "[lzma2] data error", "norva::lzma2::decompress" },
            { "lzma2: truncated", unpack(M::LZMA2, truncated(packed(M::LZMA2))), "[lzma2] insufficient input", "norva::lzma2::decompress" },
            { "lzma2: larger destination", unpack(M::LZMA2, packed(M::LZMA2), n + 1), "[lzma2] insufficient input", "norva::lzma2::decompress" },

            { "ppmd8: no room for the header", pack(M::PPMD8, 1), "[PPMd] compression failed.", "norva::ppmd8::compress" },
            { "ppmd8: small destination", pack(M::PPMD8, 40), "[PPMd] compression failed.", "norva::ppmd8::compress" },
            { "ppmd8: source shorter than the header", unpack(M::PPMD8, { 0x74 }), "[PPMd] decoding error.", "norva::ppmd8::decompress" },
            { "ppmd8: order 1", unpack(M::PPMD8, withByte(packed(M::PPMD8), 0, 0x70)), "[PPMd] decoding error.", "norva::ppmd8::decompress" },
            { "ppmd8: restore method 2", unpack(M::PPMD8, withByte(packed(M::PPMD8), 1, 0x20 | packed(M::PPMD8)[1])), "[PPMd] decoding error.", "norva::ppmd8::decompress" },
            { "ppmd8: corrupted", unpack(M::PPMD8, withByte(packed(M::PPMD8), 40, packed(M::PPMD8)[40] ^ 0x55)), "[PPMd] decoding error.", "norva::ppmd8::decompress" },
            { "ppmd8: truncated", unpack(M::PPMD8, truncated(packed(M::PPMD8))), "[PPMd] decoding error.", "norva::ppmd8::decompress" },
            { "ppmd8: larger destination", unpack(M::PPMD8, packed(M::PPMD8), n + 1), "[PPMd] decoding error.", "norva::ppmd8::decompress" },
        };

        for (const FailureCase& c : cases)
        {
            SCOPED_TRACE(c.what);
            try
            {
                c.call();
                ADD_FAILURE() << "no exception";
            }
            catch (const Exception& e)
            {
                EXPECT_EQ(std::string(e.what()), c.message);
                EXPECT_EQ(e.getFunction(), c.function);
            }
        }
    }

    // libdeflate allocates its (de)compressor per call: a failing allocator reaches both
    // memory paths.
    TEST(Failures, MinizOutOfMemory)
    {
        libdeflate_set_memory_allocator([](size_t) -> void* { return nullptr; }, std::free);
        Bytes dest(sample().size());
        const Bytes packedSample = [] {
            libdeflate_set_memory_allocator(std::malloc, std::free);
            Bytes b = packed(CompressionMethod::MINIZ);
            libdeflate_set_memory_allocator([](size_t) -> void* { return nullptr; }, std::free);
            return b;
        }();
        std::string decompressMessage, compressMessage;
        try { miniz::decompress(view(dest), view(packedSample)); } catch (const Exception& e) { decompressMessage = e.what(); }
        try { miniz::compress(view(dest), view(sample()), 5); } catch (const Exception& e) { compressMessage = e.what(); }
        libdeflate_set_memory_allocator(std::malloc, std::free);

        EXPECT_EQ(decompressMessage, "[miniz] not enough memory.");
        EXPECT_EQ(compressMessage, "[miniz] compression failed.");
    }

} // namespace
