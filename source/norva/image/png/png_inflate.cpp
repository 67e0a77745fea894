// The two inflaters: stb_image's for small streams, where libdeflate's set-up costs more
// than it saves, libdeflate's for the rest.

#include "png_core.hpp"

#include <climits>
#include <cstdlib>
#include <cstring>

#include <libdeflate.h>

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
            output = std::move(buffer);
            return InflateResult::OK;
        }

        InflateResult inflateLarge(ConstMemory compressed, u64 expected, ByteBuffer& output)
        {
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
            size_t actual = 0;
            libdeflate_result r = libdeflate_zlib_decompress(d, compressed.address, size_t(compressed.size),
                                                             buffer.get(), size_t(expected), &actual);
            libdeflate_free_decompressor(d);
            if (r != LIBDEFLATE_SUCCESS || actual != expected)
            {
                return InflateResult::FAILED;
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
        return inflateLarge(compressed, expected, output);
    }

} // namespace norva::png
