// The PNG building blocks on their own: the unfilter kernels (SSE2 and scalar against a
// plain transcription of the filter definitions), the chunk reader's bounds and the two
// inflaters with their size rule.

#include <cstdlib>
#include <random>
#include <vector>

#include <gtest/gtest.h>
#include <libdeflate.h>

#include "png_builder.hpp"
#include "png/png_core.hpp"

using namespace norva;
using namespace norva::png;

namespace
{
    // The filter definitions written out byte by byte, as the reference.
    void referenceUnfilter(std::vector<u8>& data, size_t bytes, size_t rows, int bpp)
    {
        std::vector<u8> prior(bytes, 0);
        for (size_t y = 0; y < rows; ++y)
        {
            u8* row = data.data() + y * (bytes + 1);
            u8* x = row + 1;
            for (size_t i = 0; i < bytes; ++i)
            {
                const int a = i >= size_t(bpp) ? x[i - bpp] : 0;
                const int b = prior[i];
                const int c = i >= size_t(bpp) ? prior[i - bpp] : 0;
                int predictor = 0;
                switch (row[0])
                {
                    case 1: predictor = a; break;
                    case 2: predictor = b; break;
                    case 3: predictor = (a + b) / 2; break;
                    case 4:
                    {
                        const int p = a + b - c;
                        const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
                        predictor = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
                        break;
                    }
                    default: break;
                }
                x[i] = u8(x[i] + predictor);
            }
            prior.assign(x, x + bytes);
        }
    }

    std::vector<u8> randomRows(std::mt19937& random, size_t bytes, size_t rows, int filter)
    {
        std::vector<u8> data(rows * (bytes + 1));
        for (size_t y = 0; y < rows; ++y)
        {
            data[y * (bytes + 1)] = u8(filter >= 0 ? filter : int(random() % 6));
            for (size_t i = 0; i < bytes; ++i)
            {
                data[y * (bytes + 1) + 1 + i] = u8(random());
            }
        }
        return data;
    }

} // namespace

// Every filter at every pixel size, row lengths that end inside a 16-byte block and inside
// a pixel of 3 or 6 bytes, with the first row above a zero row: SSE2 and scalar give the
// bytes of the definitions.
TEST(PNGUnfilter, KernelsMatchTheDefinitions)
{
    std::mt19937 random(7);
    for (int bpp = 1; bpp <= 8; ++bpp)
    {
        for (size_t pixels : { 1, 2, 5, 13, 16, 67, 301 })
        {
            const size_t bytes = pixels * size_t(bpp);
            for (int filter = -1; filter <= 5; ++filter)
            {
                const std::vector<u8> source = randomRows(random, bytes, 6, filter);
                std::vector<u8> expected = source;
                referenceUnfilter(expected, bytes, 6, bpp);
                for (Kernels kernels : { Kernels::SCALAR, Kernels::SIMD, Kernels::BEST })
                {
                    std::vector<u8> actual = source;
                    unfilterScanlines(actual.data(), bytes, 6, bpp, kernels);
                    ASSERT_EQ(actual, expected) << "bpp " << bpp << " pixels " << pixels << " filter " << filter
                                                << " kernels " << int(kernels);
                }
            }
        }
    }
}

// Rows of one bit per pixel still unfilter with a byte distance of 1.
TEST(PNGUnfilter, SubBytePixelsUseOneByteDistance)
{
    std::mt19937 random(11);
    const std::vector<u8> source = randomRows(random, 7, 9, -1);
    std::vector<u8> expected = source;
    referenceUnfilter(expected, 7, 9, 1);
    std::vector<u8> actual = source;
    unfilterScanlines(actual.data(), 7, 9, 1, Kernels::BEST);
    EXPECT_EQ(actual, expected);
}

// The shuffles give the bytes of the scalar forms at every width (the SIMD loops stop
// short of the row end and the scalar tail finishes).
TEST(PNGExpand, ShufflesMatchScalar)
{
    std::mt19937 random(9);
    for (size_t width : { 1, 3, 4, 5, 6, 7, 8, 9, 31, 100 })
    {
        std::vector<u8> src(width * 4);
        for (auto& v : src)
        {
            v = u8(random());
        }
        for (int channels : { 3, 4 })
        {
            // the row is exactly as long as its pixels, so ASan sees any read past it
            std::vector<u8> row(src.begin(), src.begin() + std::ptrdiff_t(width * size_t(channels)));
            std::vector<u8> scalar(width * 4), simd(width * 4);
            auto expand = channels == 3 ? expandRGB8 : expandRGBA8;
            expand(scalar.data(), row.data(), width, Kernels::SCALAR);
            expand(simd.data(), row.data(), width, Kernels::SIMD);
            EXPECT_EQ(simd, scalar) << channels << " " << width;
            EXPECT_EQ(scalar[0], row[2]);
            EXPECT_EQ(scalar[2], row[0]);
            EXPECT_EQ(scalar[3], channels == 3 ? 255 : row[3]);
        }
    }
}

TEST(PNGChunks, LengthsAreBoundedByTheMemory)
{
    // length 4, type "abcd", 4 data bytes, CRC: 16 bytes
    const u8 chunk[16] = { 0, 0, 0, 4, 'a', 'b', 'c', 'd', 1, 2, 3, 4, 9, 9, 9, 9 };
    Chunk c;
    EXPECT_EQ(readChunk(chunk, chunk + 16, c), ChunkRead::OK);
    EXPECT_EQ(c.type, makeChunkType('a', 'b', 'c', 'd'));
    EXPECT_EQ(c.size, 4u);
    EXPECT_EQ(c.next, chunk + 16);
    EXPECT_EQ(readChunk(chunk, chunk + 15, c), ChunkRead::OVERRUN);
    EXPECT_EQ(readChunk(chunk, chunk + 11, c), ChunkRead::END);

    // a length near 2^32 must not wrap the cursor around
    const u8 huge[12] = { 0xFF, 0xFF, 0xFF, 0xF8, 'I', 'D', 'A', 'T', 0, 0, 0, 0 };
    EXPECT_EQ(readChunk(huge, huge + 12, c), ChunkRead::OVERRUN);
}

// Both inflaters must give exactly the expected size: a stream that ends early or runs
// long is a failure, never a buffer with uninitialised bytes.
TEST(PNGInflate, ExactSizeOnBothPaths)
{
    std::mt19937 random(3);
    for (size_t size : { size_t(1000), size_t(400000) })
    {
        std::vector<u8> raw(size);
        for (auto& v : raw)
        {
            v = u8(random() & 0x0F);    // compressible, but random enough for > 128 KiB at 400000
        }
        libdeflate_compressor* c = libdeflate_alloc_compressor(1);
        std::vector<u8> z(libdeflate_zlib_compress_bound(c, raw.size()));
        z.resize(libdeflate_zlib_compress(c, raw.data(), raw.size(), z.data(), z.size()));
        libdeflate_free_compressor(c);
        ASSERT_EQ(z.size() > smallInflateLimit, size > 100000);

        ByteBuffer out;
        ASSERT_EQ(inflateZlib(ConstMemory(z.data(), z.size()), raw.size(), out), InflateResult::OK);
        EXPECT_EQ(std::vector<u8>(out.get(), out.get() + raw.size()), raw);

        EXPECT_EQ(inflateZlib(ConstMemory(z.data(), z.size()), raw.size() + 1, out), InflateResult::FAILED);
        EXPECT_EQ(inflateZlib(ConstMemory(z.data(), z.size()), raw.size() - 1, out), InflateResult::FAILED);
        EXPECT_EQ(inflateZlib(ConstMemory(z.data(), z.size() / 2), raw.size(), out), InflateResult::FAILED);
    }
}

// stb_image's inflater does not check the Adler-32 trailer and libdeflate does: a stream
// with a wrong trailer shows which of the two ran at 131072 and at 131073 bytes.
TEST(PNGInflate, SplitsAt131072CompressedBytes)
{
    std::mt19937 random(5);
    for (size_t total : { smallInflateLimit, smallInflateLimit + 1 })
    {
        // stored blocks: 2 header bytes, 5 bytes a block, the data, 4 trailer bytes
        const size_t blocks = 5;
        const size_t rawSize = total - 2 - 4 - 5 * blocks;
        std::vector<u8> raw(rawSize);
        for (auto& v : raw)
        {
            v = u8(random());
        }
        std::vector<u8> z = pngbuild::storedZlib(raw, blocks);
        ASSERT_EQ(z.size(), total);

        ByteBuffer out;
        ASSERT_EQ(inflateZlib(ConstMemory(z.data(), z.size()), rawSize, out), InflateResult::OK);
        EXPECT_EQ(std::vector<u8>(out.get(), out.get() + rawSize), raw);

        z.back() ^= 0x55;
        const InflateResult damaged = inflateZlib(ConstMemory(z.data(), z.size()), rawSize, out);
        EXPECT_EQ(damaged, total <= smallInflateLimit ? InflateResult::OK : InflateResult::FAILED) << total;
    }
}

// A header may claim up to 32768 x 32768 x 8 bytes: the small inflater refuses what its int
// sizes cannot hold, and an allocation that fails is a status, not an exception.
TEST(PNGInflate, HugeExpectedSizes)
{
    const std::vector<u8> small = pngbuild::zlib(std::vector<u8>(100, 1));
    ByteBuffer out;
    EXPECT_EQ(inflateZlib(ConstMemory(small.data(), small.size()), u64(1) << 33, out), InflateResult::FAILED);

    std::vector<u8> large(smallInflateLimit + 10, 0);
    const InflateResult r = inflateZlib(ConstMemory(large.data(), large.size()), u64(1) << 50, out);
    EXPECT_TRUE(r == InflateResult::OUT_OF_MEMORY || r == InflateResult::FAILED);
}
