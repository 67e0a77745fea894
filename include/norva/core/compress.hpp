#pragma once

#include <string>

#include <norva/core/memory.hpp>

namespace norva
{
    // Method numbers as archives store them; they index the compressor table.
    enum class CompressionMethod : u32
    {
        NONE = 0,
        MINIZ = 1,
        BZIP2 = 2,
        LZ4 = 3,
        LZO = 4,
        ZSTD = 5,
        LZFSE = 6,
        LZMA = 7,
        LZMA2 = 8,
        PPMD8 = 9,
    };

    constexpr u32 COMPRESSION_METHOD_COUNT = 10;

    // One row of the method table. compress writes into a destination whose size is the
    // capacity (bound(source size) bytes always suffice) and returns the bytes written;
    // decompress fills a destination of exactly the uncompressed size. Failures throw
    // norva::Exception. Every function is re-entrant.
    struct Compressor
    {
        u32 method;
        std::string name;
        u64 (*bound)(u64 size);
        u64 (*compress)(Memory dest, ConstMemory source, int level);
        void (*decompress)(Memory dest, ConstMemory source);
    };

    // The row of a method number; numbers outside the table (archive data can carry any)
    // throw norva::Exception.
    Compressor getCompressor(u32 method);
    Compressor getCompressor(CompressionMethod method);

    // The methods, also callable directly. Levels run from 0 (fastest) to 10 (smallest);
    // values outside that range are clamped.

    // a plain copy
    namespace none
    {
        u64 bound(u64 size);
        u64 compress(Memory dest, ConstMemory source, int level = 0);
        void decompress(Memory dest, ConstMemory source);
    }

    // zlib streams (header and Adler-32 trailer)
    namespace miniz
    {
        u64 bound(u64 size);
        u64 compress(Memory dest, ConstMemory source, int level = 6);
        void decompress(Memory dest, ConstMemory source);
    }

    // bzip2 streams; the level is the block size in units of 100 kB (1 to 9)
    namespace bzip2
    {
        u64 bound(u64 size);
        u64 compress(Memory dest, ConstMemory source, int level = 9);
        void decompress(Memory dest, ConstMemory source);
    }

    // raw LZ4 blocks (no frame); levels 7 to 10 use LZ4HC
    namespace lz4
    {
        u64 bound(u64 size);
        u64 compress(Memory dest, ConstMemory source, int level = 5);
        void decompress(Memory dest, ConstMemory source);
    }

    // LZO1X blocks (LZO1X-1 compressor; the level is ignored)
    namespace lzo
    {
        u64 bound(u64 size);
        u64 compress(Memory dest, ConstMemory source, int level = 0);
        void decompress(Memory dest, ConstMemory source);
    }

    // zstd frames
    namespace zstd
    {
        u64 bound(u64 size);
        u64 compress(Memory dest, ConstMemory source, int level = 5);
        void decompress(Memory dest, ConstMemory source);
    }

    // lzfse block streams; compress returns 0 when the output does not fit (level ignored)
    namespace lzfse
    {
        u64 bound(u64 size);
        u64 compress(Memory dest, ConstMemory source, int level = 0);
        void decompress(Memory dest, ConstMemory source);
    }

    // 5 LZMA property bytes, then raw LZMA data without an end marker. decompress also
    // reads data that carries an end marker, and a destination smaller than the content
    // takes its prefix.
    namespace lzma
    {
        u64 bound(u64 size);
        u64 compress(Memory dest, ConstMemory source, int level = 5);
        void decompress(Memory dest, ConstMemory source);
    }

    // 1 LZMA2 dictionary byte, then an LZMA2 stream (level ignored); a destination smaller
    // than the content takes its prefix.
    namespace lzma2
    {
        u64 bound(u64 size);
        u64 compress(Memory dest, ConstMemory source, int level = 5);
        void decompress(Memory dest, ConstMemory source);
    }

    // PPMd variant I (revision 1), as in ZIP method 98: a 2-byte little-endian header
    // (order - 1) | (memory MiB - 1) << 4 | restore method << 12, then the range-coded
    // symbols and the end marker.
    namespace ppmd8
    {
        u64 bound(u64 size);
        u64 compress(Memory dest, ConstMemory source, int level = 5);
        void decompress(Memory dest, ConstMemory source);
    }

} // namespace norva
