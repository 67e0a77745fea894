// APNG: files from Pillow and apngasm against the composites their tools give, and
// generated files for what the tools do not write (16-bit frames, frames spread over
// several chunks, bad frame rectangles).
//
// Each frame is blended over what the earlier frames left after the previous frame's
// dispose operation; apngdis's composites are the references of the files that dispose.

#include <random>

#include <gtest/gtest.h>

#include <norva/image/decoder.hpp>

#include "imagekit/imagekit.hpp"
#include "png_builder.hpp"

using namespace norva;
using imagekit::Bytes;
using imagekit::Image;

namespace
{
    struct Frame
    {
        ImageDecodeStatus status;
        Image image;
    };

    // Decodes `count` frames in a row into one surface of `format`.
    std::vector<Frame> decodeFrames(const Bytes& file, int count, const Format& format)
    {
        ImageDecoder decoder(ConstMemory(file.data(), file.size()), ".png");
        const ImageHeader header = decoder.header();
        EXPECT_TRUE(header.success) << header.info;
        std::vector<Frame> frames;
        if (!header.success)
        {
            return frames;
        }
        Bitmap canvas(header.width, header.height, format);
        for (int i = 0; i < count; ++i)
        {
            Frame f;
            f.status = decoder.decode(canvas);
            f.image = imagekit::fromSurface(canvas);
            frames.push_back(f);
        }
        return frames;
    }

    Image reference(const std::string& name)
    {
        return imagekit::decodeLibpng(imagekit::readFixture(name));
    }

} // namespace

// Pillow: blend over, no disposal, frames as sub-rectangles; its composites are exact.
TEST(APNG, PillowFramesLoopWithTheirIndicesAndDelays)
{
    const Bytes file = imagekit::readFixture("apng_pil.png");
    const std::vector<Frame> frames = decodeFrames(file, 4, Format::BGRA8888);
    const int current[] = { 0, 1, 2, 0 };
    const int next[] = { 1, 2, 0, 1 };
    const int delay[] = { 100, 200, 300, 100 };
    for (int i = 0; i < 4; ++i)
    {
        ASSERT_TRUE(frames[i].status.success) << frames[i].status.info;
        EXPECT_TRUE(frames[i].status.direct);
        EXPECT_EQ(frames[i].status.current_frame_index, current[i]);
        EXPECT_EQ(frames[i].status.next_frame_index, next[i]);
        EXPECT_EQ(frames[i].status.frame_delay_numerator, delay[i]);
        EXPECT_EQ(frames[i].status.frame_delay_denominator, 1000);
    }
    for (int i = 0; i < 3; ++i)
    {
        EXPECT_TRUE(imagekit::sameImage(frames[i].image, reference("apng_pil.f" + std::to_string(i) + ".ref.png")))
            << "frame " << i;
    }
}

// A default image ahead of the first fcTL is shown by viewers that know no APNG, and is not
// an animation frame: the two frames are Pillow's frames 1 and 2.
TEST(APNG, DefaultImageIsNotAFrame)
{
    const std::vector<Frame> frames = decodeFrames(imagekit::readFixture("apng_pil_default.png"), 3, Format::BGRA8888);
    const int current[] = { 0, 1, 0 };
    for (int i = 0; i < 3; ++i)
    {
        ASSERT_TRUE(frames[i].status.success) << frames[i].status.info;
        EXPECT_EQ(frames[i].status.current_frame_index, current[i]);
    }
    EXPECT_TRUE(imagekit::sameImage(frames[0].image, reference("apng_pil_default.f1.ref.png")));
    EXPECT_TRUE(imagekit::sameImage(frames[1].image, reference("apng_pil_default.f2.ref.png")));
}

// apngasm: palette with tRNS, sub-rectangles, a first frame with dispose 1; apngasm -f
// hides the first image. Pillow: dispose operations 1 and 2 (and a mix of both with 0) with
// both blends over sub-rectangles. Each file is decoded once round its loop and once more,
// directly and through a conversion, and matches apngdis frame by frame.
TEST(APNG, DisposingFramesMatchApngdis)
{
    const std::pair<std::string, int> files[] = {
        { "apng_asm", 3 }, { "apng_asm_hidden", 2 },
        { "apng_dispose_back", 4 }, { "apng_dispose_prev", 4 }, { "apng_dispose_mixed", 4 },
    };
    for (const auto& [name, count] : files)
    {
        for (const Format& format : { Format::BGRA8888, Format::RGBA8888 })
        {
            const std::vector<Frame> frames = decodeFrames(imagekit::readFixture(name + ".png"), count + 1, format);
            for (int i = 0; i <= count; ++i)
            {
                const int k = i % count;
                ASSERT_TRUE(frames[i].status.success) << name << ": " << frames[i].status.info;
                EXPECT_EQ(frames[i].status.current_frame_index, k) << name;
                EXPECT_EQ(frames[i].status.next_frame_index, (k + 1) % count) << name;
                EXPECT_TRUE(imagekit::sameImage(frames[i].image, reference(name + ".f" + std::to_string(k) + ".ref.png")))
                    << name << " frame " << i << (format == Format::BGRA8888 ? " direct" : " converted");
            }
        }
    }
}

// Decoding through a conversion keeps the composite in the decoder, so the frames come out
// the same as when decoded directly.
TEST(APNG, ConvertedFramesKeepTheComposite)
{
    const Bytes file = imagekit::readFixture("apng_pil.png");
    const std::vector<Frame> direct = decodeFrames(file, 3, Format::BGRA8888);
    const std::vector<Frame> converted = decodeFrames(file, 3, Format::RGBA8888);
    for (int i = 0; i < 3; ++i)
    {
        ASSERT_TRUE(converted[i].status.success) << converted[i].status.info;
        EXPECT_FALSE(converted[i].status.direct);
        EXPECT_TRUE(imagekit::sameImage(converted[i].image, direct[i].image)) << "frame " << i;
    }
}

namespace
{
    using namespace pngbuild;

    // RGBA 16-bit frames, each with its own rectangle, blend mode and data split into
    // `pieces` chunks; frame 0 covers the canvas. Optionally a default image first.
    struct GeneratedFrame
    {
        u32 w, h, x, y;
        int blend;
        std::vector<u16> rgba;    // w * h * 4 samples
    };

    Bytes encodeFrame(const GeneratedFrame& f)
    {
        Bytes raw;
        for (u32 y = 0; y < f.h; ++y)
        {
            raw.push_back(0);
            for (u32 i = 0; i < f.w * 4; ++i)
            {
                put16(raw, f.rgba[size_t(y) * f.w * 4 + i]);
            }
        }
        return zlib(raw);
    }

    Bytes makeAnimation(u32 width, u32 height, const std::vector<GeneratedFrame>& frames, int pieces, bool defaultImage)
    {
        Bytes out = signature();
        chunk(out, "IHDR", ihdr(width, height, 16, 6));
        Bytes actl;
        put32(actl, u32(frames.size()));
        put32(actl, 0);
        chunk(out, "acTL", actl);
        u32 sequence = 0;
        if (defaultImage)
        {
            // a grey default image, two chunks long
            GeneratedFrame d { width, height, 0, 0, 0, std::vector<u16>(size_t(width) * height * 4, 0x8080) };
            const Bytes z = encodeFrame(d);
            chunk(out, "IDAT", Bytes(z.begin(), z.begin() + std::ptrdiff_t(z.size() / 2)));
            chunk(out, "IDAT", Bytes(z.begin() + std::ptrdiff_t(z.size() / 2), z.end()));
        }
        for (size_t k = 0; k < frames.size(); ++k)
        {
            const GeneratedFrame& f = frames[k];
            chunk(out, "fcTL", fctl(sequence++, f.w, f.h, f.x, f.y, 0, f.blend));
            const Bytes z = encodeFrame(f);
            for (int p = 0; p < pieces; ++p)
            {
                const size_t a = z.size() * size_t(p) / size_t(pieces);
                const size_t b = z.size() * size_t(p + 1) / size_t(pieces);
                Bytes data;
                if (k == 0 && !defaultImage)
                {
                    data.assign(z.begin() + std::ptrdiff_t(a), z.begin() + std::ptrdiff_t(b));
                    chunk(out, "IDAT", data);
                }
                else
                {
                    put32(data, sequence++);
                    data.insert(data.end(), z.begin() + std::ptrdiff_t(a), z.begin() + std::ptrdiff_t(b));
                    chunk(out, "fdAT", data);
                }
            }
        }
        chunk(out, "IEND", {});
        return out;
    }

    GeneratedFrame randomFrame(std::mt19937& random, u32 w, u32 h, u32 x, u32 y, int blend)
    {
        GeneratedFrame f { w, h, x, y, blend, std::vector<u16>(size_t(w) * h * 4) };
        for (size_t i = 0; i < f.rgba.size(); ++i)
        {
            f.rgba[i] = u16(random());
            if (i % 4 == 3)
            {
                f.rgba[i] = (random() & 1) ? 65535 : 0;
            }
        }
        return f;
    }

    // The decoder's rules written out: blend 0 copies, blend 1 keeps the canvas where the
    // (binary) frame alpha is 0.
    void compose(Image& canvas, const GeneratedFrame& f)
    {
        for (u32 y = 0; y < f.h; ++y)
        {
            for (u32 x = 0; x < f.w; ++x)
            {
                const u16* s = &f.rgba[(size_t(y) * f.w + x) * 4];
                if (f.blend == 1 && s[3] == 0)
                {
                    continue;
                }
                for (int c = 0; c < 4; ++c)
                {
                    canvas.at(int(f.x + x), int(f.y + y), c) = s[c];
                }
            }
        }
    }

} // namespace

TEST(APNG, GeneratedSixteenBitFramesInSeveralChunks)
{
    std::mt19937 random(21);
    const u32 W = 37, H = 23;
    std::vector<GeneratedFrame> frames;
    frames.push_back(randomFrame(random, W, H, 0, 0, 0));
    frames.push_back(randomFrame(random, 11, 7, 25, 16, 1));
    frames.push_back(randomFrame(random, 20, 3, 5, 0, 0));
    frames.push_back(randomFrame(random, 1, 1, 36, 22, 1));

    for (bool defaultImage : { false, true })
    {
        const Bytes file = makeAnimation(W, H, frames, 3, defaultImage);
        const std::vector<Frame> decoded = decodeFrames(file, 5, Format::RGBA16);
        Image expected = imagekit::makeImage(int(W), int(H), 16);
        for (int i = 0; i < 5; ++i)
        {
            ASSERT_TRUE(decoded[i].status.success) << decoded[i].status.info;
            EXPECT_EQ(decoded[i].status.current_frame_index, i % 4);
            compose(expected, frames[size_t(i % 4)]);
            EXPECT_TRUE(imagekit::sameImage(decoded[i].image, expected)) << "frame " << i << " default " << defaultImage;
        }
    }
}

// Frame rectangles are checked against the canvas before anything is allocated or drawn.
TEST(APNG, FrameOutsideTheCanvasIsRefused)
{
    std::mt19937 random(2);
    for (const auto& [x, y, w, h] : { std::tuple<u32, u32, u32, u32>(4, 0, 5, 5), { 0, 1, 8, 8 }, { 0, 0, 0, 3 },
                                      { 0xFFFFFFF0u, 0, 32, 2 }, { 0, 0, 100000, 100000 } })
    {
        std::vector<GeneratedFrame> frames;
        frames.push_back(randomFrame(random, 8, 8, 0, 0, 0));
        GeneratedFrame bad = randomFrame(random, 1, 1, 0, 0, 0);
        frames.push_back(bad);
        Bytes file = makeAnimation(8, 8, frames, 1, false);
        // rewrite the second fcTL with the bad rectangle
        const Bytes needle = { 'f', 'c', 'T', 'L' };
        auto at = std::search(file.begin() + 40, file.end(), needle.begin(), needle.end());
        at = std::search(at + 1, file.end(), needle.begin(), needle.end());
        ASSERT_NE(at, file.end());
        Bytes rebuilt(file.begin(), at - 4);
        chunk(rebuilt, "fcTL", fctl(2, w, h, x, y, 0, 0));
        rebuilt.insert(rebuilt.end(), at + 4 + 26 + 4, file.end());

        const std::vector<Frame> decoded = decodeFrames(rebuilt, 2, Format::RGBA16);
        ASSERT_EQ(decoded.size(), 2u);
        EXPECT_FALSE(decoded[1].status.success) << x << " " << y << " " << w << " " << h;
        EXPECT_EQ(decoded[1].status.info.rfind("[ImageDecoder.PNG] Incorrect fcTL frame", 0), 0u)
            << decoded[1].status.info;
    }
}

// acTL and fcTL with no frame data must end the walk, not loop over IEND for ever.
TEST(APNG, AnimationWithoutFrameDataEnds)
{
    Bytes out = signature();
    chunk(out, "IHDR", ihdr(4, 4, 8, 0));
    Bytes actl;
    put32(actl, 2);
    put32(actl, 0);
    chunk(out, "acTL", actl);
    chunk(out, "fcTL", fctl(0, 4, 4, 0, 0, 0, 0));
    chunk(out, "IEND", {});
    ImageDecoder decoder(ConstMemory(out.data(), out.size()), ".png");
    Bitmap canvas(4, 4, Format::L8);
    EXPECT_EQ(decoder.decode(canvas).info, "[ImageDecoder.PNG] No compressed data.");
}

// The frames the file holds decide where the animation wraps, not the count acTL declares:
// a larger count (up to 2^31 + 1) neither yields phantom frames nor keeps the index from
// wrapping, a smaller one does not hide frames, and an fcTL without data is no frame. A
// file without IEND loops all the same.
TEST(APNG, FrameIndexWrapsAfterTheLastFrameHeld)
{
    for (u32 declared : { 1u, 2u, 3u, 0x80000001u })
    {
        for (bool iend : { true, false })
        {
            Bytes out = signature();
            chunk(out, "IHDR", ihdr(4, 4, 8, 0));
            Bytes actl;
            put32(actl, declared);
            put32(actl, 0);
            chunk(out, "acTL", actl);
            chunk(out, "fcTL", fctl(0, 4, 4, 0, 0, 0, 0));
            chunk(out, "IDAT", zlib(scanlines(Bytes(16, 10), 4)));
            chunk(out, "fcTL", fctl(1, 4, 4, 0, 0, 0, 0));
            chunk(out, "fcTL", fctl(2, 4, 4, 0, 0, 0, 0));
            Bytes fdat;
            put32(fdat, 3);
            const Bytes z = zlib(scanlines(Bytes(16, 200), 4));
            fdat.insert(fdat.end(), z.begin(), z.end());
            chunk(out, "fdAT", fdat);
            if (iend)
            {
                chunk(out, "IEND", {});
            }

            const std::vector<Frame> frames = decodeFrames(out, 5, Format::L8);
            ASSERT_EQ(frames.size(), 5u);
            for (int i = 0; i < 5; ++i)
            {
                const ImageDecodeStatus& status = frames[size_t(i)].status;
                ASSERT_TRUE(status.success) << declared << " frame " << i << ": " << status.info;
                EXPECT_EQ(status.current_frame_index, i % 2) << declared << " " << iend << " frame " << i;
                EXPECT_EQ(status.next_frame_index, (i + 1) % 2) << declared << " " << iend << " frame " << i;
                EXPECT_EQ(frames[size_t(i)].image.at(3, 3, 0), i % 2 ? 200 : 10) << declared << " frame " << i;
            }
        }
    }
}

// With a palette requested, the frames of a palette APNG come as indices; blending over
// keeps the earlier index where the frame's palette entry is transparent.
TEST(APNG, PaletteFramesAsIndices)
{
    const Bytes file = imagekit::readFixture("apng_asm.png");
    const std::vector<Frame> colours = decodeFrames(file, 3, Format::BGRA8888);
    ImageDecoder decoder(ConstMemory(file.data(), file.size()), ".png");
    const ImageHeader header = decoder.header();
    ASSERT_TRUE(header.palette);
    Bitmap indices(header.width, header.height, Format::INDEX8);
    Palette palette;
    ImageDecodeOptions options;
    options.palette = &palette;
    for (int i = 0; i < 3; ++i)
    {
        const ImageDecodeStatus status = decoder.decode(indices, options);
        ASSERT_TRUE(status.success) << status.info;
        EXPECT_TRUE(status.direct);
        EXPECT_TRUE(imagekit::sameImage(imagekit::fromIndices(indices, palette), colours[size_t(i)].image)) << i;
    }
}
