// "zstd": zstd frames, one-shot.

#include <algorithm>

#include <zstd.h>

#include <norva/core/compress.hpp>
#include <norva/core/exception.hpp>

namespace norva::zstd
{
    u64 bound(u64 size)
    {
        return ZSTD_compressBound(size) + 0x20000;
    }

    u64 compress(Memory dest, ConstMemory source, int level)
    {
        if (!source.size)
        {
            return 0;
        }
        size_t written = ZSTD_compress(dest.address, dest.size, source.address, source.size,
            std::clamp(2 * level, 1, 20));
        if (ZSTD_isError(written))
        {
            NORVA_THROW("norva::zstd::compress", "[zstd] %s", ZSTD_getErrorName(written));
        }
        return written;
    }

    void decompress(Memory dest, ConstMemory source)
    {
        size_t written = ZSTD_decompress(dest.address, dest.size, source.address, source.size);
        if (ZSTD_isError(written))
        {
            NORVA_THROW("norva::zstd::decompress", "[zstd] %s", ZSTD_getErrorName(written));
        }
        // frames whose content is shorter than the destination decode without an error
        if (written != dest.size)
        {
            NORVA_THROW("norva::zstd::decompress", "[zstd] %s", "Decompressed size does not match the destination size");
        }
    }

} // namespace norva::zstd
