// The two inflaters: stb_image's for small streams, where libdeflate's set-up costs more
// than it saves, libdeflate's for the rest.

#include "png_core.hpp"

#include <climits>
#include <cstdlib>
#include <cstring>

#include <libdeflate.h>

#include <norva/core/byte_reader.hpp>

// Only stb_image's zlib decoder is compiled here, with internal linkage, so that a program
// which also builds the whole of stb_image (the tests do) gets no duplicate symbols.
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#define STBI_ONLY_ZLIB
#define STBI_SUPPORT_ZLIB
#define STBI_NO_STDIO
#define STBI_NO_LINEAR
#define STBI_NO_HDR
#define STBI_NO_THREAD_LOCALS
#define STBI_ASSERT(x)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#include <stb/stb_image.h>
#pragma GCC diagnostic pop

namespace norva::png
{
    namespace
    {
        // Both inflaters write into a buffer of exactly the expected size: a stream that
        // would run longer stops at its end and fails, one that ends early fails on its count.
        // The stream's Adler-32 is checked on both paths: a damaged stream can inflate to
        // the right size with the wrong bytes.

        // libdeflate over the raw deflate data, the Adler-32 read from behind where that data
        // ends (a stream may have bytes after its trailer).
        InflateResult inflateChecked(ConstMemory compressed, u64 expected, ByteBuffer& output)
        {
            ByteReader reader(compressed);
            const u32 cmf = reader.byte();
            const u32 flg = reader.byte();
            // deflate, a window of at most 32 KiB, the header check, no preset dictionary
            if (reader.isShort() || (cmf & 15) != 8 || (cmf >> 4) > 7 || (cmf * 256 + flg) % 31 || (flg & 0x20))
            {
                return InflateResult::FAILED;
            }
            ByteBuffer buffer = allocateBuffer(expected, false);
            if (!buffer)
            {
                return InflateResult::OUT_OF_MEMORY;
            }
            libdeflate_decompressor* d = libdeflate_alloc_decompressor();
            if (!d)
            {
                return InflateResult::OUT_OF_MEMORY;
            }
            const ConstMemory deflated = reader.rest();
            size_t consumed = 0;
            size_t actual = 0;
            const libdeflate_result r = libdeflate_deflate_decompress_ex(
                d, deflated.address, size_t(deflated.size), buffer.get(), size_t(expected), &consumed, &actual);
            libdeflate_free_decompressor(d);
            if (r != LIBDEFLATE_SUCCESS || actual != expected)
            {
                return InflateResult::FAILED;
            }
            reader.skip(consumed);
            const u32 stored = reader.be32();
            if (reader.isShort())
            {
                return InflateResult::FAILED;
            }
            if (libdeflate_adler32(1, buffer.get(), size_t(expected)) != stored)
            {
                return InflateResult::BAD_CHECKSUM;
            }
            output = std::move(buffer);
            return InflateResult::OK;
        }

        InflateResult inflateSmall(ConstMemory compressed, u64 expected, ByteBuffer& output)
        {
            // stb takes int sizes; data of this length cannot inflate past INT_MAX anyway
            if (expected > u64(INT_MAX) || compressed.size > u64(INT_MAX))
            {
                return InflateResult::FAILED;
            }
            ByteBuffer buffer = allocateBuffer(expected, false);
            if (!buffer)
            {
                return InflateResult::OUT_OF_MEMORY;
            }
            const int length = stbi_zlib_decode_buffer(reinterpret_cast<char*>(buffer.get()), int(expected),
                                                       reinterpret_cast<const char*>(compressed.address),
                                                       int(compressed.size));
            if (length < 0 || u64(length) != expected)
            {
                return InflateResult::FAILED;
            }
            // stb reads past the checksum without looking at it. It is nearly always the
            // last four bytes; when those differ, libdeflate finds where the stream ends
            // and decides.
            ByteReader trailer(compressed);
            trailer.seek(compressed.size >= 4 ? compressed.size - 4 : 0);
            const u32 stored = trailer.be32();
            if (trailer.isShort() || libdeflate_adler32(1, buffer.get(), size_t(expected)) != stored)
            {
                return inflateChecked(compressed, expected, output);
            }
            output = std::move(buffer);
            return InflateResult::OK;
        }

    } // namespace

    InflateResult inflateZlib(ConstMemory compressed, u64 expected, ByteBuffer& output)
    {
        if (compressed.size <= smallInflateLimit)
        {
            return inflateSmall(compressed, expected, output);
        }
        return inflateChecked(compressed, expected, output);
    }

} // namespace norva::png
