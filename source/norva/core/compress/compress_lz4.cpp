// "lz4": raw LZ4 blocks (no frame), LZ4HC from level 7 on.

#include <algorithm>
#include <climits>

#include <lz4.h>
#include <lz4hc.h>

#include <norva/core/compress.hpp>
#include <norva/core/exception.hpp>

namespace norva::lz4
{
    u64 bound(u64 size)
    {
        // LZ4_COMPRESSBOUND in 64 bits: the library's int version gives 0 for big sizes
        return size + size / 255 + 16;
    }

    u64 compress(Memory dest, ConstMemory source, int level)
    {
        // the library counts in int: a block it cannot take is refused, never truncated
        if (source.size > LZ4_MAX_INPUT_SIZE)
        {
            NORVA_THROW("norva::lz4::compress", "[lz4] compression failed.");
        }
        // the library reads its source pointer even for an empty block
        static const char nothing = 0;
        const char* src = source.size ? reinterpret_cast<const char*>(source.address) : &nothing;
        char* dst = reinterpret_cast<char*>(dest.address);
        const int size = int(source.size);
        const int capacity = int(std::min<u64>(dest.size, INT_MAX));

        level = std::clamp(level, 0, 10);
        int written;
        if (level < 7)
        {
            // acceleration 19 at level 0 down to 1 at level 6
            written = LZ4_compress_fast(src, dst, size, capacity, 19 - 3 * level);
        }
        else
        {
            // LZ4HC levels 1 (at 7) to 16 (at 10)
            written = LZ4_compress_HC(src, dst, size, capacity, 5 * level - 34);
        }

        if (written <= 0 || u64(written) > dest.size)
        {
            NORVA_THROW("norva::lz4::compress", "[lz4] compression failed.");
        }
        return u64(written);
    }

    void decompress(Memory dest, ConstMemory source)
    {
        if (source.size > INT_MAX || dest.size > INT_MAX)
        {
            NORVA_THROW("norva::lz4::decompress", "[lz4] decompression failed.");
        }
        int written = LZ4_decompress_safe(reinterpret_cast<const char*>(source.address),
            reinterpret_cast<char*>(dest.address), int(source.size), int(dest.size));
        // a block that ends early gives a shorter, positive count
        if (written < 0 || u64(written) != dest.size)
        {
            NORVA_THROW("norva::lz4::decompress", "[lz4] decompression failed.");
        }
    }

} // namespace norva::lz4
