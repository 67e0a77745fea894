// Formats, surfaces, bitmaps, clipped blits and the band split.

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include <norva/core/exception.hpp>
#include <norva/core/thread.hpp>
#include <norva/image/blitter.hpp>
#include <norva/image/surface.hpp>

using namespace norva;

TEST(Format, ConstructorsFillSizesAndOffsets)
{
    struct Case
    {
        Format format;
        u8 size[4];
        u8 offset[4];
    };
    const Case cases[] = {
        { Format(32, Format::UNORM, Format::RGBA, 8, 8, 8, 8), { 8, 8, 8, 8 }, { 0, 8, 16, 24 } },
        { Format(32, Format::UNORM, Format::BGRA, 8, 8, 8, 8), { 8, 8, 8, 8 }, { 16, 8, 0, 24 } },
        { Format(16, Format::UNORM, Format::BGRA, 5, 6, 5, 0), { 5, 6, 5, 0 }, { 11, 5, 0, 16 } },
        { Format(16, 0x7C00, 0x03E0, 0x001F, 0x8000), { 5, 5, 5, 1 }, { 10, 5, 0, 15 } },
        { Format(16, 0x7C00, 0x03E0, 0x001F, 0), { 5, 5, 5, 0 }, { 10, 5, 0, 0 } },
        { Format(64, Format::UNORM, 0x10101010u, 0x30201000u), { 16, 16, 16, 16 }, { 0, 16, 32, 48 } },
        { LuminanceFormat(16, Format::UNORM, 8, 8), { 8, 8, 8, 8 }, { 0, 0, 0, 8 } },
        { LuminanceFormat(16, 0x00FF, 0xFF00), { 8, 8, 8, 8 }, { 0, 0, 0, 8 } },
        { IndexedFormat(8), { 8, 8, 8, 0 }, { 0, 0, 0, 0 } },
    };
    for (const Case& c : cases)
    {
        for (int i = 0; i < 4; ++i)
        {
            EXPECT_EQ(c.format.size[i], c.size[i]) << i;
            EXPECT_EQ(c.format.offset[i], c.offset[i]) << i;
        }
    }

    EXPECT_EQ(IndexedFormat(8).flags, Format::INDEXED);
    EXPECT_TRUE(IndexedFormat(8).isIndexed());
    EXPECT_FALSE(IndexedFormat(8).isLuminance());
    EXPECT_TRUE(Format::L8.isLuminance());
    EXPECT_FALSE(Format::BGRX8880.isAlpha());
    EXPECT_TRUE(Format::RGBA16F.isFloat());
}

TEST(Format, ComparesAsBytesAndKeysMaps)
{
    EXPECT_EQ(Format(), Format());
    EXPECT_EQ(Format().bytes(), 0);
    EXPECT_NE(Format(), Format::L8);
    EXPECT_NE(Format::BGRX8880, Format::BGRA8888); // same bytes per pixel, alpha differs
    EXPECT_EQ(Format::BGRX8880.bytes(), Format::BGRA8888.bytes());

    // grey and index formats differ only in their flags
    EXPECT_NE(Format::L8, Format::INDEX8);
    EXPECT_NE(Format::L8 < Format::INDEX8, Format::INDEX8 < Format::L8);

    std::map<Format, int> map;
    const Format all[] = { Format(), Format::RGBA8888, Format::BGRA8888, Format::L8, Format::INDEX8,
                           Format::RGBA16F, Format::RGBA32F, Format::BGR565 };
    for (int i = 0; i < 8; ++i)
        map[all[i]] = i;
    ASSERT_EQ(map.size(), 8u);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(map[all[i]], i);
}

TEST(Format, MaskOfAComponent)
{
    EXPECT_EQ(Format::RGBA8888.mask(3), 0xFF000000u);
    EXPECT_EQ(Format::BGR565.mask(0), 0xF800u);
    EXPECT_EQ(Format::BGRX8880.mask(3), 0u);
    EXPECT_EQ(Format::RGBA32F.mask(0), 0u); // 32-bit fields: documented as 0
}

TEST(Surface, SubSurfacesClipToTheSource)
{
    std::vector<u8> pixels(100 * 100 * 4);
    const Surface image(100, 100, Format::RGBA8888, 400, pixels.data());
    struct Case
    {
        int x, y, w, h;
        int width, height, column, row;
    };
    const Case cases[] = {
        { -5, 10, 20, 20, 15, 20, 0, 10 },
        { 90, 90, 20, 20, 10, 10, 90, 90 },
        { 120, 0, 10, 10, 0, 10, 100, 0 },
        { 10, 20, 30, 40, 30, 40, 10, 20 },
    };
    for (const Case& c : cases)
    {
        const Surface sub(image, c.x, c.y, c.w, c.h);
        EXPECT_EQ(sub.width, c.width);
        EXPECT_EQ(sub.height, c.height);
        EXPECT_EQ(sub.stride, 400);
        EXPECT_EQ(sub.image, pixels.data() + c.row * 400 + c.column * 4);
    }
}

namespace
{
    // A w x h RGBA image whose pixel (x, y) holds x, y, 7, 9.
    Bitmap pattern(int w, int h)
    {
        Bitmap b(w, h, Format::RGBA8888);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
            {
                u8* p = b.address(x, y);
                p[0] = u8(x);
                p[1] = u8(y);
                p[2] = 7;
                p[3] = 9;
            }
        return b;
    }
} // namespace

TEST(Surface, BlitClipsAndPlacesEverySourcePixel)
{
    struct Case
    {
        int x, y;
    };
    // inside, negative corner, cut at the right and bottom, wholly outside
    const Case cases[] = { { 2, 1 }, { -3, -2 }, { 6, 5 }, { 10, 0 }, { 0, -4 }, { -20, 3 } };
    const Bitmap source = pattern(5, 4);
    for (const Case& c : cases)
    {
        Bitmap dest(10, 8, Format::BGRA8888);
        ASSERT_TRUE(dest.blit(c.x, c.y, source));
        for (int y = 0; y < dest.height; ++y)
            for (int x = 0; x < dest.width; ++x)
            {
                const u8* p = dest.address(x, y);
                const int sx = x - c.x;
                const int sy = y - c.y;
                const bool inside = sx >= 0 && sy >= 0 && sx < 5 && sy < 4;
                const u8 expected[4] = { u8(inside ? 7 : 0), u8(inside ? sy : 0), u8(inside ? sx : 0),
                                         u8(inside ? 9 : 0) };
                ASSERT_EQ(std::memcmp(p, expected, 4), 0) << c.x << "," << c.y << " at " << x << "," << y;
            }
    }
}

TEST(Surface, EmptyBlitsDoNothingAndSucceed)
{
    Bitmap dest(4, 4, Format::RGBA8888);
    const Bitmap empty(0, 3, Format::RGBA8888);
    EXPECT_TRUE(dest.blit(0, 0, empty));
    std::vector<u8> any(64, 0xAB);
    EXPECT_TRUE(dest.blit(0, 0, Surface(4, 4, Format(), 16, any.data())));
    Surface none(4, 4, Format(), 16, any.data());
    EXPECT_TRUE(none.blit(0, 0, pattern(4, 4)));
    EXPECT_EQ(any[0], 0xAB);
    for (int i = 0; i < 64; ++i)
        ASSERT_EQ(dest.image[i], 0);
}

TEST(Surface, PairsWithoutConversionFailLoudlyAndWriteNothing)
{
    const Format snorm(32, Format::SNORM, Format::RGBA, 8, 8, 8, 8);
    const Format uint(32, Format::UINT, Format::RGBA, 8, 8, 8, 8);
    const Format odd(12, Format::UNORM, Format::RGBA, 4, 4, 4, 0);
    const std::pair<Format, Format> pairs[] = {
        { Format::RGBA8888, snorm },
        { snorm, Format::RGBA8888 },
        { Format::RGBA8888, uint },
        { Format::RGBA8888, Format::INDEX8 },
        { Format::INDEX8, Format::RGBA8888 },
        { Format::RGBA8888, odd },
    };
    for (const auto& [d, s] : pairs)
    {
        EXPECT_FALSE(Blitter(d, s).canConvert());
        std::vector<u8> src(64, 0x55);
        std::vector<u8> dst(64, 0xAA);
        Surface dest(4, 4, d, 16, dst.data());
        EXPECT_FALSE(dest.blit(0, 0, Surface(4, 4, s, 16, src.data())));
        EXPECT_EQ(dst, std::vector<u8>(64, 0xAA));
    }

    // equal formats always copy, whatever their size; a 5-byte pixel included
    const Format five(40, Format::UNORM, Format::RGBA, 10, 10, 10, 10);
    EXPECT_EQ(Blitter(five, five).path, Blitter::Path::COPY);
    EXPECT_EQ(Blitter(snorm, snorm).path, Blitter::Path::COPY);
}

TEST(Surface, BlitOntoItselfCopiesLikeMemmove)
{
    Bitmap image = pattern(8, 8);
    const Bitmap original = pattern(8, 8);
    // the same pixels, one row down and one column right
    const Surface view(image, 0, 0, 7, 7);
    ASSERT_TRUE(image.blit(1, 1, view));
    for (int y = 1; y < 8; ++y)
        for (int x = 1; x < 8; ++x)
            ASSERT_EQ(std::memcmp(image.address(x, y), original.address(x - 1, y - 1), 4), 0) << x << "," << y;
}

TEST(Bitmap, SizeStrideOwnershipAndMoves)
{
    const Bitmap plain(7, 3, Format::RGB888);
    EXPECT_EQ(plain.stride, 21);
    const Bitmap wide(7, 3, Format::RGB888, 32);
    EXPECT_EQ(wide.stride, 32);
    for (int i = 0; i < 32 * 3; ++i)
        ASSERT_EQ(wide.image[i], 0); // zero-filled

    EXPECT_THROW(Bitmap(-1, 3, Format::RGB888), Exception);
    EXPECT_THROW(Bitmap(7, 3, Format::RGB888, 20), Exception); // stride shorter than a row
    EXPECT_THROW(Bitmap(0x40000000, 1, Format::RGBA8888), Exception); // row bytes past 2^31

    Bitmap a(4, 4, Format::L8);
    u8* pixels = a.image;
    Bitmap b(std::move(a));
    EXPECT_EQ(b.image, pixels);
    EXPECT_EQ(a.image, nullptr);
    EXPECT_EQ(a.width, 0);
    Bitmap c(1, 1, Format::L8);
    c = std::move(b);
    EXPECT_EQ(c.image, pixels);
    EXPECT_EQ(c.width, 4);
    EXPECT_EQ(b.image, nullptr);
    EXPECT_TRUE(c.status().success);
}

TEST(Bands, SplitOnlyWhenEveryWorkerGetsEnoughPixels)
{
    EXPECT_EQ(getBlitBandCount(100, 100, 4, false), 1);   // 2,500 pixels per worker
    EXPECT_EQ(getBlitBandCount(1000, 1000, 4, false), 4);
    EXPECT_EQ(getBlitBandCount(1000, 1000, 3, false), 3);
    EXPECT_EQ(getBlitBandCount(4096, 4096, 8, true), 1);  // plain copies are never split
    EXPECT_EQ(getBlitBandCount(100000, 2, 8, false), 2);  // no more bands than rows
    EXPECT_EQ(getBlitBandCount(256, 256, 8, false), 8);
    EXPECT_EQ(getBlitBandCount(100000, 100000, 1, false), 1);
    EXPECT_EQ(getBlitBandCount(0, 100, 8, false), 1);
}

namespace
{
    std::mutex bandMutex;
    std::vector<std::pair<long, int>> bandsSeen; // (row offset, rows)
    const u8* bandBase = nullptr;

    void recordBand(const Blitter&, const BlitRect& rect)
    {
        std::lock_guard<std::mutex> lock(bandMutex);
        bandsSeen.emplace_back(long(rect.dest - bandBase), rect.height);
    }
} // namespace

TEST(Bands, BandsCoverTheRowsOnceAndTheLastTakesTheRest)
{
    ThreadPool pool(3);
    std::vector<u8> dest(1000 * 10);
    std::vector<u8> src(1000 * 10);
    Blitter blitter(Format::L8, Format::A8);
    blitter.rectFunction = recordBand;
    bandBase = dest.data();

    const BlitRect rect { dest.data(), 10, src.data(), 10, 10, 1000 };
    for (int bands : { 1, 3, 4 })
    {
        bandsSeen.clear();
        convertBands(blitter, rect, bands, pool);
        std::sort(bandsSeen.begin(), bandsSeen.end());
        ASSERT_EQ(int(bandsSeen.size()), bands);
        long row = 0;
        for (int k = 0; k < bands; ++k)
        {
            EXPECT_EQ(bandsSeen[k].first, row * 10);
            EXPECT_EQ(bandsSeen[k].second, k == bands - 1 ? 1000 - (bands - 1) * (1000 / bands) : 1000 / bands);
            row += bandsSeen[k].second;
        }
        EXPECT_EQ(row, 1000);
    }
}

TEST(Bands, ThreadedSurfaceBlitEqualsOneBand)
{
    // 1024 x 600 pixels: split on any pool of more than one worker
    const int w = 1024;
    const int h = 600;
    Bitmap source(w, h, Format::BGR565);
    u32 seed = 7;
    for (int i = 0; i < w * h * 2; ++i)
    {
        seed = seed * 1664525u + 1013904223u;
        source.image[i] = u8(seed >> 24);
    }
    Bitmap threaded(w, h, Format::RGBA8888);
    ASSERT_TRUE(threaded.blit(0, 0, source));

    Bitmap single(w, h, Format::RGBA8888);
    const Blitter blitter(Format::RGBA8888, Format::BGR565);
    blitter.convert(BlitRect { single.image, single.stride, source.image, source.stride, w, h });
    EXPECT_EQ(std::memcmp(threaded.image, single.image, size_t(w) * h * 4), 0);
}

TEST(Surface, BottomUpSourcesFlipThroughANegativeStride)
{
    const Bitmap rows = pattern(6, 5);
    // the same pixels read from the last row upwards
    const Surface flipped(6, 5, Format::RGBA8888, -rows.stride, rows.address(0, 4));
    for (const Format& format : { Format::RGBA8888, Format::BGR565 })
    {
        Bitmap dest(6, 5, format);
        ASSERT_TRUE(dest.blit(0, 0, flipped));
        Bitmap expected(6, 5, format);
        for (int y = 0; y < 5; ++y)
            ASSERT_TRUE(expected.blit(0, y, Surface(rows, 0, 4 - y, 6, 1)));
        EXPECT_EQ(std::memcmp(dest.image, expected.image, size_t(dest.stride) * 5), 0);
    }
}
