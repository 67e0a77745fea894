// The method table: archives store a method number and pick their decompressor here.

#include <array>

#include <norva/core/compress.hpp>
#include <norva/core/exception.hpp>

namespace
{
    using namespace norva;

    using Table = std::array<Compressor, COMPRESSION_METHOD_COUNT>;

    // Built on first use so that callers in other static initialisers find it ready.
    const Table& compressors()
    {
        static const Table table = {{
            { 0, "none", none::bound, none::compress, none::decompress },
            { 1, "miniz", miniz::bound, miniz::compress, miniz::decompress },
            { 2, "bzip2", bzip2::bound, bzip2::compress, bzip2::decompress },
            { 3, "lz4", lz4::bound, lz4::compress, lz4::decompress },
            { 4, "lzo", lzo::bound, lzo::compress, lzo::decompress },
            { 5, "zstd", zstd::bound, zstd::compress, zstd::decompress },
            { 6, "lzfse", lzfse::bound, lzfse::compress, lzfse::decompress },
            { 7, "lzma", lzma::bound, lzma::compress, lzma::decompress },
            { 8, "lzma2", lzma2::bound, lzma2::compress, lzma2::decompress },
            { 9, "ppmd8", ppmd8::bound, ppmd8::compress, ppmd8::decompress },
        }};
        return table;
    }

} // namespace

namespace norva
{
    Compressor getCompressor(u32 method)
    {
        if (method >= COMPRESSION_METHOD_COUNT)
        {
            NORVA_THROW("norva::getCompressor", "[Compressor] Unsupported compression method (%u).", method);
        }
        return compressors()[method];
    }

    Compressor getCompressor(CompressionMethod method)
    {
        return getCompressor(static_cast<u32>(method));
    }

} // namespace norva
