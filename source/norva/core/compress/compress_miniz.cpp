// "miniz": zlib streams, compressed and decompressed by libdeflate.

#include <algorithm>

#include <libdeflate.h>

#include <norva/core/compress.hpp>
#include <norva/core/exception.hpp>

namespace norva::miniz
{
    u64 bound(u64 size)
    {
        // null compressor: a bound that holds at every level
        return libdeflate_zlib_compress_bound(nullptr, size);
    }

    u64 compress(Memory dest, ConstMemory source, int level)
    {
        libdeflate_compressor* compressor = libdeflate_alloc_compressor(std::clamp(level, 0, 10));
        size_t written = 0;
        if (compressor)
        {
            written = libdeflate_zlib_compress(compressor, source.address, source.size, dest.address, dest.size);
            libdeflate_free_compressor(compressor);
        }
        if (!written)
        {
            NORVA_THROW("norva::miniz::compress", "[miniz] compression failed.");
        }
        return written;
    }

    void decompress(Memory dest, ConstMemory source)
    {
        libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
        if (!decompressor)
        {
            NORVA_THROW("norva::miniz::decompress", "[miniz] not enough memory.");
        }

        // no actual-size pointer: libdeflate then demands exactly dest.size bytes
        libdeflate_result result = libdeflate_zlib_decompress(decompressor,
            source.address, source.size, dest.address, dest.size, nullptr);
        libdeflate_free_decompressor(decompressor);

        switch (result)
        {
            case LIBDEFLATE_SUCCESS:
                return;
            case LIBDEFLATE_INSUFFICIENT_SPACE:
                NORVA_THROW("norva::miniz::decompress", "[miniz] not enough room in the output buffer.");
            case LIBDEFLATE_BAD_DATA:
            case LIBDEFLATE_SHORT_OUTPUT:
                NORVA_THROW("norva::miniz::decompress", "[miniz] corrupted input data.");
            default:
                NORVA_THROW("norva::miniz::decompress", "[miniz] undefined error.");
        }
    }

} // namespace norva::miniz
