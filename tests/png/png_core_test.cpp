// The PNG building blocks on their own: the unfilter kernels (every instruction set this
// processor runs, against a plain transcription of the filter definitions and against
// the scalar forms), the row expanders, the chunk reader's bounds and the two inflaters
// with their size rule.

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include <gtest/gtest.h>
#include <libdeflate.h>

#include "png_builder.hpp"
#include "png/png_core.hpp"
#include "png/png_kernels.hpp"

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

    // The kernel tables to compare: scalar, then each instruction set this processor has
    // added in turn, then the running processor's own choice.
    struct Variant
    {
        const char* name;
        Kernels kernels;
    };

    std::vector<Variant> variants()
    {
        const CPUFlags cpu = getCPUFlags();
        std::vector<Variant> list { { "scalar", chooseKernels(0) } };
        CPUFlags flags = 0;
        const std::pair<CPUFlags, const char*> sets[] = { { CPU_SSE2, "sse2" }, { CPU_SSSE3, "ssse3" } };
        for (const auto& [flag, name] : sets)
        {
            if (cpu & flag)
            {
                flags |= flag;
                list.push_back({ name, chooseKernels(flags) });
            }
        }
        list.push_back({ "running", kernels() });
        return list;
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
                for (const Variant& variant : variants())
                {
                    std::vector<u8> actual = source;
                    unfilterScanlines(actual.data(), bytes, 6, variant.kernels.forPixelSize(bpp));
                    ASSERT_EQ(actual, expected) << "bpp " << bpp << " pixels " << pixels << " filter " << filter
                                                << " kernels " << variant.name;
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
    unfilterScanlines(actual.data(), 7, 9, kernels().forPixelSize(1));
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
            std::vector<u8> scalar(width * 4);
            const Kernels reference = chooseKernels(0);
            (channels == 3 ? reference.expandRGB8 : reference.expandRGBA8)(scalar.data(), row.data(), width);
            for (const Variant& variant : variants())
            {
                std::vector<u8> simd(width * 4);
                (channels == 3 ? variant.kernels.expandRGB8 : variant.kernels.expandRGBA8)(simd.data(), row.data(), width);
                EXPECT_EQ(simd, scalar) << channels << " " << width << " " << variant.name;
            }
            EXPECT_EQ(scalar[0], row[2]);
            EXPECT_EQ(scalar[2], row[0]);
            EXPECT_EQ(scalar[3], channels == 3 ? 255 : row[3]);
        }
    }
}

// The table hands out a kernel for every filter at every pixel size, replaces the scalar
// forms exactly where an instruction set speeds them up, and the running processor gets
// the table of its own flags.
TEST(PNGKernels, TheTableFollowsTheFlags)
{
    for (CPUFlags flags : { CPUFlags(0), CPUFlags(CPU_SSE2), CPUFlags(CPU_SSE2 | CPU_SSSE3) })
    {
        const Kernels k = chooseKernels(flags);
        for (const UnfilterKernels& u : k.unfilter)
        {
            EXPECT_TRUE(u.sub && u.up && u.average && u.paeth && u.averageFirstRow) << flags;
        }
        EXPECT_TRUE(k.expandRGB8 && k.expandRGBA8) << flags;
    }

    const Kernels scalar = chooseKernels(0);
    const Kernels sse2 = chooseKernels(CPU_SSE2);
    const Kernels ssse3 = chooseKernels(CPU_SSE2 | CPU_SSSE3);
    EXPECT_NE(sse2.forPixelSize(3).paeth, scalar.forPixelSize(3).paeth);
    EXPECT_NE(sse2.forPixelSize(8).average, scalar.forPixelSize(8).average);
    EXPECT_NE(sse2.forPixelSize(1).up, scalar.forPixelSize(1).up);
    EXPECT_EQ(sse2.forPixelSize(1).paeth, scalar.forPixelSize(1).paeth);
    EXPECT_EQ(sse2.forPixelSize(5).sub, scalar.forPixelSize(5).sub);
    EXPECT_EQ(sse2.expandRGB8, scalar.expandRGB8);
    EXPECT_NE(ssse3.expandRGB8, scalar.expandRGB8);
    EXPECT_NE(ssse3.expandRGBA8, scalar.expandRGBA8);
    EXPECT_EQ(ssse3.forPixelSize(4).sub, sse2.forPixelSize(4).sub);

    const Kernels running = chooseKernels(getCPUFlags());
    for (int bpp = 1; bpp <= 8; ++bpp)
    {
        EXPECT_EQ(kernels().forPixelSize(bpp).sub, running.forPixelSize(bpp).sub);
        EXPECT_EQ(kernels().forPixelSize(bpp).up, running.forPixelSize(bpp).up);
        EXPECT_EQ(kernels().forPixelSize(bpp).average, running.forPixelSize(bpp).average);
        EXPECT_EQ(kernels().forPixelSize(bpp).paeth, running.forPixelSize(bpp).paeth);
    }
    EXPECT_EQ(kernels().expandRGB8, running.expandRGB8);
}

// Kernel by kernel, every variant this processor runs gives the scalar bytes, also on rows
// shorter than a pixel and rows that end inside one. Each row is its own allocation of
// exactly its length, so AddressSanitizer sees any read or write past it.
TEST(PNGKernels, EveryVariantGivesTheScalarBytes)
{
    std::mt19937 random(13);
    const Kernels scalar = chooseKernels(0);
    const std::vector<Variant> all = variants();
    ASSERT_GE(all.size(), 2u);
    for (int bpp = 1; bpp <= 8; ++bpp)
    {
        for (size_t bytes : { size_t(0), size_t(1), size_t(bpp - 1), size_t(bpp), size_t(bpp + 1), size_t(bpp * 2),
                              size_t(bpp * 5 + 2), size_t(bpp * 16), size_t(bpp * 67 + 1), size_t(1000) })
        {
            std::vector<u8> row(bytes), prior(bytes);
            for (auto& v : row)
            {
                v = u8(random());
            }
            for (auto& v : prior)
            {
                v = u8(random());
            }
            const UnfilterKernels& s = scalar.forPixelSize(bpp);
            for (const Variant& variant : all)
            {
                const UnfilterKernels& k = variant.kernels.forPixelSize(bpp);
                const std::pair<FilterKernel, FilterKernel> pairs[] = {
                    { k.sub, s.sub }, { k.up, s.up }, { k.average, s.average }, { k.paeth, s.paeth },
                    { k.averageFirstRow, s.averageFirstRow },
                };
                for (size_t f = 0; f < std::size(pairs); ++f)
                {
                    std::unique_ptr<u8[]> actual(new u8[bytes]);
                    std::unique_ptr<u8[]> expected(new u8[bytes]);
                    std::unique_ptr<u8[]> above(new u8[bytes]);
                    std::copy(row.begin(), row.end(), actual.get());
                    std::copy(row.begin(), row.end(), expected.get());
                    std::copy(prior.begin(), prior.end(), above.get());
                    pairs[f].first(actual.get(), above.get(), bytes);
                    pairs[f].second(expected.get(), above.get(), bytes);
                    ASSERT_TRUE(std::equal(actual.get(), actual.get() + bytes, expected.get()))
                        << variant.name << " kernel " << f << " bpp " << bpp << " bytes " << bytes;
                    if (bytes > size_t(bpp))
                    {
                        // the kernel did something: a row of random bytes is never left as stored
                        ASSERT_FALSE(std::equal(actual.get(), actual.get() + bytes, row.begin()))
                            << variant.name << " kernel " << f << " bpp " << bpp;
                    }
                }
            }
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

// Blocks of a megabyte and more come back for the next buffer, a zeroed buffer is zero
// whatever its block held before, and the cache keeps no more than its limits.
TEST(PNGBuffers, LargeBlocksAreKeptWithinLimits)
{
    // start empty, so that every block is this test's own
    releaseKeptBlocks();
    ASSERT_EQ(keptBytes(), 0u);

    ByteBuffer a = allocateBuffer(u64(3) << 20, false);
    ASSERT_TRUE(a);
    u8* const block = a.get();
    std::memset(block, 0xAB, size_t(3) << 20);
    a.reset();
    EXPECT_GE(keptBytes(), u64(3) << 20);

    ByteBuffer b = allocateZeroed(u64(5) << 19);
    ASSERT_TRUE(b);
    EXPECT_EQ(b.get(), block);
    EXPECT_EQ(keptBytes(), 0u);
    EXPECT_TRUE(std::all_of(b.get(), b.get() + (size_t(5) << 19), [](u8 v) { return v == 0; }));
    b.reset();

    // small buffers stay with the allocator
    const u64 before = keptBytes();
    allocateBuffer(keptBlockMinimum - 1, false).reset();
    EXPECT_EQ(keptBytes(), before);

    {
        std::vector<ByteBuffer> many;
        for (int i = 0; i < keptBlockCount + 2; ++i)
        {
            many.push_back(allocateBuffer(u64(20) << 20, false));
            ASSERT_TRUE(many.back());
        }
    }
    EXPECT_GT(keptBytes(), before);
    EXPECT_LE(keptBytes(), u64(keptBlockCount) * (u64(20) << 20));
    EXPECT_LE(keptBytes(), keptLimit);

    // a request of less than half a kept block leaves it for a larger one
    const u64 kept = keptBytes();
    ByteBuffer small = allocateBuffer(u64(4) << 20, false);
    ASSERT_TRUE(small);
    EXPECT_EQ(keptBytes(), kept);
    small.reset();
    releaseKeptBlocks();
    EXPECT_EQ(keptBytes(), 0u);

    ByteBuffer huge = allocateBuffer(keptLimit + 1, false);
    ASSERT_TRUE(huge);
    huge.reset();
    EXPECT_EQ(keptBytes(), 0u);
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

// A wrong Adler-32 trailer fails on both sides of the split between the two inflaters (stb
// reads past it unchecked, so it is checked here), and a stream with bytes behind its
// trailer still inflates on both.
TEST(PNGInflate, AdlerIsCheckedOnBothSidesOf131072CompressedBytes)
{
    std::mt19937 random(5);
    for (size_t total : { size_t(100), smallInflateLimit, smallInflateLimit + 1 })
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

        std::vector<u8> trailing = z;
        trailing.insert(trailing.end(), { 1, 2, 3 });
        EXPECT_EQ(inflateZlib(ConstMemory(trailing.data(), trailing.size()), rawSize, out), InflateResult::OK) << total;

        for (size_t at : { z.size() - 1, z.size() - 4 })
        {
            std::vector<u8> damaged = z;
            damaged[at] ^= 0x55;
            EXPECT_EQ(inflateZlib(ConstMemory(damaged.data(), damaged.size()), rawSize, out),
                      InflateResult::BAD_CHECKSUM) << total << " at " << at;
        }
        // a changed data byte inflates to the right size in a stored block: only the
        // checksum tells
        std::vector<u8> damaged = z;
        damaged[total / 2] ^= 1;
        EXPECT_EQ(inflateZlib(ConstMemory(damaged.data(), damaged.size()), rawSize, out), InflateResult::BAD_CHECKSUM)
            << total;
        // without its trailer the stream is cut
        EXPECT_EQ(inflateZlib(ConstMemory(z.data(), z.size() - 4), rawSize, out), InflateResult::FAILED) << total;
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
