// GIF: every frame of the ImageMagick, gifsicle and pamtogif fixtures (and of make_gif.py's
// files) against giflib's raw frames composed by the decoder's rules: each frame drawn over
// the canvas, transparent pixels leave the canvas except on the first frame, where they
// take the background colour with alpha 0; before the next frame, disposal 2 clears the
// frame's rectangle (transparent black; in indices the frame's transparent index, else 0)
// and disposal 3 restores what it covered (under the first frame: the cleared canvas). giflib does the LZW and the interlacing; this
// file only composes. The animations' colours are also checked against ImageMagick's
// -coalesce frames. The encoder's files are read back by giflib.

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>
#include <vector>

#include <gif_lib.h>
#include <gtest/gtest.h>

#include <norva/core/endian.hpp>
#include <norva/core/stream.hpp>
#include <norva/image/decoder.hpp>
#include <norva/image/quantize.hpp>

#include "imagekit/imagekit.hpp"

using namespace norva;
using imagekit::Bytes;
using imagekit::Image;

namespace
{
    ConstMemory memoryOf(const Bytes& bytes)
    {
        return ConstMemory(bytes.data(), bytes.size());
    }

    // ----------------------------------------------------------------------------------
    // giflib
    // ----------------------------------------------------------------------------------

    struct Reader
    {
        const Bytes* bytes;
        size_t offset = 0;
    };

    int readMemory(GifFileType* gif, GifByteType* dest, int count)
    {
        Reader* reader = static_cast<Reader*>(gif->UserData);
        const size_t n = std::min<size_t>(count, reader->bytes->size() - reader->offset);
        std::memcpy(dest, reader->bytes->data() + reader->offset, n);
        reader->offset += n;
        return int(n);
    }

    struct Slurped
    {
        GifFileType* gif = nullptr;
        Reader reader;

        explicit Slurped(const Bytes& bytes)
        {
            reader.bytes = &bytes;
            int error = 0;
            gif = DGifOpen(&reader, readMemory, &error);
            if (gif && DGifSlurp(gif) != GIF_OK)
            {
                DGifCloseFile(gif, &error);
                gif = nullptr;
            }
        }
        ~Slurped()
        {
            int error = 0;
            if (gif)
                DGifCloseFile(gif, &error);
        }
    };

    struct Composed
    {
        std::vector<Image> frames;                  // RGBA
        std::vector<std::vector<u8>> indexFrames;   // the canvas seen as indices
        std::vector<std::vector<u32>> palettes;     // BGRA, 256 entries, per frame
        std::vector<int> delays;
    };

    Composed composeWithGiflib(const Bytes& file)
    {
        Composed result;
        Slurped s(file);
        EXPECT_NE(s.gif, nullptr) << "giflib refuses the file";
        if (!s.gif)
            return result;
        GifFileType* gif = s.gif;
        const int width = gif->SWidth;
        const int height = gif->SHeight;
        std::vector<u32> canvas(size_t(width) * height, 0);
        std::vector<u8> indexCanvas(size_t(width) * height, 0);
        int delay = 2;
        bool transparent = false;
        int transparentIndex = 0;
        int disposal = 0;
        // the previous frame's disposal: its method, rectangle, fill index and covered pixels
        int pendingMethod = 0;
        int pendingFill = 0;
        GifImageDesc pendingRect {};
        std::vector<u32> savedCanvas;
        std::vector<u8> savedIndices;

        for (int i = 0; i < gif->ImageCount; ++i)
        {
            const SavedImage& image = gif->SavedImages[i];
            GraphicsControlBlock gcb;
            if (DGifSavedExtensionToGCB(gif, i, &gcb) == GIF_OK)
            {
                delay = gcb.DelayTime;
                transparent = gcb.TransparentColor != NO_TRANSPARENT_COLOR;
                transparentIndex = transparent ? gcb.TransparentColor : 0;
                disposal = gcb.DisposalMode;
            }
            for (int y = pendingRect.Top; pendingMethod >= 2 && y < pendingRect.Top + pendingRect.Height; ++y)
                for (int x = pendingRect.Left; x < pendingRect.Left + pendingRect.Width; ++x)
                {
                    if (x >= width || y >= height)
                        continue;
                    const size_t at = size_t(y) * width + x;
                    canvas[at] = pendingMethod == 2 ? 0 : savedCanvas[at];
                    indexCanvas[at] = pendingMethod == 2 ? u8(pendingFill) : savedIndices[at];
                }
            pendingMethod = disposal == 2 || disposal == 3 ? disposal : 0;
            pendingFill = transparent ? transparentIndex : 0;
            pendingRect = image.ImageDesc;
            savedCanvas = canvas;
            savedIndices = indexCanvas;
            const ColorMapObject* map = image.ImageDesc.ColorMap ? image.ImageDesc.ColorMap : gif->SColorMap;
            std::vector<u32> palette(256, map ? 0 : 0xFF000000);
            for (int c = 0; map && c < map->ColorCount; ++c)
            {
                const GifColorType& rgb = map->Colors[c];
                palette[c] = 0xFF000000 | u32(rgb.Red) << 16 | u32(rgb.Green) << 8 | rgb.Blue;
            }
            if (transparent)
                palette[transparentIndex] = palette[gif->SBackGroundColor] & 0x00FFFFFF;

            const GifImageDesc& d = image.ImageDesc;
            for (int y = 0; y < d.Height; ++y)
                for (int x = 0; x < d.Width; ++x)
                {
                    const int cx = d.Left + x;
                    const int cy = d.Top + y;
                    if (cx >= width || cy >= height)
                        continue;
                    const u8 index = image.RasterBits[size_t(y) * d.Width + x];
                    if (transparent && i > 0 && index == transparentIndex)
                        continue;
                    canvas[size_t(cy) * width + cx] = palette[index];
                    indexCanvas[size_t(cy) * width + cx] = index;
                }

            Image frame = imagekit::makeImage(width, height, 8);
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x)
                {
                    const u32 c = canvas[size_t(y) * width + x];
                    frame.at(x, y, 0) = u16((c >> 16) & 255);
                    frame.at(x, y, 1) = u16((c >> 8) & 255);
                    frame.at(x, y, 2) = u16(c & 255);
                    frame.at(x, y, 3) = u16(c >> 24);
                }
            result.frames.push_back(frame);
            result.indexFrames.push_back(indexCanvas);
            result.palettes.push_back(palette);
            result.delays.push_back(delay);
        }
        return result;
    }

    const char* const fixtures[] = {
        "gif_im.gif",                   // 256-entry global table
        "gif_im_interlaced.gif",        // four passes
        "gif_im87.gif",                 // GIF87a, no graphic control
        "gif_im_plasma.gif",            // many codes: the table fills and is cleared
        "gif_pam_transparent.gif",      // transparent index on the first frame
        "gif_pam_nolzw.gif",            // a clear code every few codes
        "gif_anim_im.gif",              // local tables
        "gif_anim_dispose.gif",         // disposal 2: read and not applied
        "gif_anim_optimize.gif",        // sub-rectangles with transparency
        "gif_anim_gifsicle.gif",        // disposal 3
        "gif_anim_gifsicle_o3.gif",     // gifsicle's optimised sub-rectangles
        "gif_anim_mixed.gif",           // sub-rectangles with disposal 0, 2 and 3
        "gif_gen_deferred.gif",         // a full table used without a clear
        "gif_gen_notable.gif",          // no colour table: opaque black
    };

} // namespace

TEST(GIF, EveryFrameMatchesGiflibComposed)
{
    for (const char* name : fixtures)
    {
        const Bytes file = imagekit::readFixture(name);
        const Composed expected = composeWithGiflib(file);
        ASSERT_FALSE(expected.frames.empty()) << name;
        const int count = int(expected.frames.size());

        // colours
        {
            ImageDecoder decoder(memoryOf(file), ".gif");
            const ImageHeader header = decoder.header();
            ASSERT_TRUE(header.success) << name << ": " << header.info;
            EXPECT_TRUE(header.palette);
            EXPECT_TRUE(header.format == Format::BGRA8888);
            Bitmap bitmap(header.width, header.height, Format::BGRA8888);
            for (int i = 0; i < count; ++i)
            {
                const ImageDecodeStatus status = decoder.decode(bitmap);
                ASSERT_TRUE(status.success) << name << " frame " << i << ": " << status.info;
                EXPECT_EQ(status.current_frame_index, i) << name;
                EXPECT_EQ(status.next_frame_index, (i + 1) % count) << name << ": N images, N frames";
                EXPECT_EQ(status.frame_delay_numerator, expected.delays[i]) << name << " frame " << i;
                EXPECT_EQ(status.frame_delay_denominator, 100);
                EXPECT_TRUE(imagekit::sameImage(imagekit::fromSurface(bitmap), expected.frames[i]))
                    << name << " frame " << i;
            }
        }

        // indices and the frame's palette
        {
            ImageDecoder decoder(memoryOf(file), ".gif");
            const ImageHeader header = decoder.header();
            Bitmap indices(header.width, header.height, Format::INDEX8);
            for (int i = 0; i < count; ++i)
            {
                Palette palette;
                ImageDecodeOptions options;
                options.palette = &palette;
                ASSERT_TRUE(decoder.decode(indices, options).success) << name;
                std::vector<u8> ours;
                for (int y = 0; y < indices.height; ++y)
                    ours.insert(ours.end(), indices.address(0, y), indices.address(0, y) + indices.width);
                EXPECT_EQ(ours, expected.indexFrames[i]) << name << " frame " << i;
                EXPECT_TRUE(std::equal(palette.color, palette.color + 256, expected.palettes[i].begin()))
                    << name << " frame " << i;
            }
        }
    }
}

// ImageMagick's -coalesce frames of every animation, twice round the loop: a second loop
// starts from the canvas the first one had. gif_anim_gifsicle.gif's first frame has
// disposal 3, where the three references part: ImageMagick restores the background colour
// (opaque), Pillow keeps the frame, browsers and this decoder the cleared canvas; the
// giflib test above checks it by that rule, and its first frame here.
TEST(GIF, AnimationsMatchImageMagickCoalesced)
{
    const std::vector<std::string> names = imagekit::listFixtures({ "gif_anim_" });
    ASSERT_EQ(names.size(), 6u);
    for (const std::string& name : names)
    {
        const bool firstRestoresPrevious = name == "gif_anim_gifsicle.gif";
        const std::string stem = name.substr(0, name.size() - 4);
        std::vector<Image> references;
        for (int k = 0;; ++k)
        {
            const std::string ref = stem + ".f" + std::to_string(k) + ".ref.png";
            if (!std::ifstream(imagekit::fixturePath(ref)))
                break;
            references.push_back(imagekit::decodeLibpng(imagekit::readFixture(ref)));
        }
        ASSERT_GE(references.size(), 3u) << name;
        const int count = int(references.size());

        const Bytes file = imagekit::readFixture(name);
        ImageDecoder decoder(memoryOf(file), ".gif");
        Bitmap bitmap(decoder.header().width, decoder.header().height, Format::RGBA8888);
        for (int i = 0; i < 2 * count; ++i)
        {
            const ImageDecodeStatus status = decoder.decode(bitmap);
            ASSERT_TRUE(status.success) << name << ": " << status.info;
            EXPECT_EQ(status.current_frame_index, i % count) << name;
            EXPECT_EQ(status.next_frame_index, (i + 1) % count) << name;
            if (firstRestoresPrevious && i % count)
                continue;
            EXPECT_TRUE(imagekit::sameImage(imagekit::fromSurface(bitmap), references[size_t(i % count)],
                                            { .ignoreTransparentColor = true }))
                << name << " frame " << i;
        }
    }
}

TEST(GIF, FrameIndicesLoopAndAStillImageEnds)
{
    const Bytes animation = imagekit::readFixture("gif_anim_im.gif");
    ImageDecoder decoder(memoryOf(animation), ".gif");
    Bitmap bitmap(16, 12, Format::RGBA8888);
    const std::pair<int, int> sequence[] = { { 0, 1 }, { 1, 2 }, { 2, 0 }, { 0, 1 }, { 1, 2 }, { 2, 0 }, { 0, 1 } };
    for (const auto& [current, next] : sequence)
    {
        const ImageDecodeStatus status = decoder.decode(bitmap);
        ASSERT_TRUE(status.success) << status.info;
        EXPECT_EQ(status.current_frame_index, current);
        EXPECT_EQ(status.next_frame_index, next);
        EXPECT_EQ(status.frame_delay_numerator, 10);
    }

    // a still image is frame 0 of 0 every time, the same picture
    const Bytes still = imagekit::readFixture("gif_im87.gif");
    ImageDecoder single(memoryOf(still), ".gif");
    Bitmap dest(13, 7, Format::RGBA8888);
    std::vector<u8> first;
    for (int i = 0; i < 3; ++i)
    {
        const ImageDecodeStatus status = single.decode(dest);
        ASSERT_TRUE(status.success);
        EXPECT_EQ(status.current_frame_index, 0);
        EXPECT_EQ(status.next_frame_index, 0);
        EXPECT_EQ(status.frame_delay_numerator, 2) << "no graphic control: 2/100 s";
        const std::vector<u8> pixels(dest.image, dest.image + 13 * 7 * 4);
        if (i == 0)
            first = pixels;
        EXPECT_EQ(pixels, first);
    }
}

// A file cut inside an image keeps what was decoded and says so, the frame still shown; a
// cut animation then loops over what it holds.
TEST(GIF, DataEndingInsideAnImageIsReported)
{
    // the still: cut in the middle of its image data
    {
        const Bytes file = imagekit::readFixture("gif_im_plasma.gif");
        const Composed whole = composeWithGiflib(file);
        ASSERT_EQ(whole.frames.size(), 1u);
        const Bytes cut(file.begin(), file.begin() + std::ptrdiff_t(file.size() / 2));
        ImageDecoder decoder(memoryOf(cut), ".gif");
        Bitmap bitmap(decoder.header().width, decoder.header().height, Format::RGBA8888);
        const ImageDecodeStatus status = decoder.decode(bitmap);
        EXPECT_TRUE(status.success);
        EXPECT_NE(status.info.find("Data ended early"), std::string::npos) << status.info;
        EXPECT_EQ(status.current_frame_index, 0);
        EXPECT_EQ(status.next_frame_index, 0);
        // the first row came before the cut; the last did not
        const Image ours = imagekit::fromSurface(bitmap);
        const Image& expected = whole.frames[0];
        for (int x = 0; x < ours.width; ++x)
            for (int c = 0; c < 4; ++c)
                ASSERT_EQ(ours.at(x, 0, c), expected.at(x, 0, c)) << x;
        EXPECT_EQ(ours.at(0, ours.height - 1, 3), 0) << "the rows past the cut stay as the canvas starts";
    }

    // the animation: cut inside its third image, which is shown as far as it goes; cut
    // inside the descriptor or the table of its fifth
    const Bytes file = imagekit::readFixture("gif_anim_mixed.gif");
    std::vector<size_t> images;
    {
        // image descriptors follow a block terminator (or the global table)
        Slurped s(file);
        ASSERT_NE(s.gif, nullptr);
        ASSERT_EQ(s.gif->ImageCount, 5);
    }
    for (size_t i = 13 + 3 * 256; i + 10 < file.size(); ++i)
    {
        if (file[i] == 0x2C && file[i - 1] == 0)
            images.push_back(i);
    }
    ASSERT_EQ(images.size(), 5u);
    for (const size_t cutAt : { images[2] + 10 + 6, images[4] + 5 })
    {
        const Bytes cut(file.begin(), file.begin() + std::ptrdiff_t(cutAt));
        const int frames = cutAt < images[3] ? 3 : 5;
        ImageDecoder decoder(memoryOf(cut), ".gif");
        Bitmap bitmap(16, 12, Format::RGBA8888);
        for (int i = 0; i < 2 * frames; ++i)
        {
            const ImageDecodeStatus status = decoder.decode(bitmap);
            ASSERT_TRUE(status.success) << status.info;
            EXPECT_EQ(status.current_frame_index, i % frames) << cutAt;
            EXPECT_EQ(status.next_frame_index, (i + 1) % frames) << cutAt;
            const bool last = i % frames == frames - 1;
            EXPECT_EQ(status.info.find("Data ended early") != std::string::npos, last) << cutAt << " frame " << i
                                                                                          << ": " << status.info;
        }
    }
}

// ---------------------------------------------------------------------------------------
// generated files
// ---------------------------------------------------------------------------------------

namespace
{
    void le16(Bytes& b, u32 v)
    {
        b.push_back(u8(v));
        b.push_back(u8(v >> 8));
    }

    // A screen with a two-colour global table (red, green).
    Bytes screen(int width, int height)
    {
        Bytes b = { 'G', 'I', 'F', '8', '9', 'a' };
        le16(b, width);
        le16(b, height);
        b.insert(b.end(), { 0x80, 0, 0, 255, 0, 0, 0, 255, 0 });
        return b;
    }

    void frame(Bytes& b, int left, int top, int width, int height, const Bytes& data)
    {
        b.push_back(0x2C);
        le16(b, left);
        le16(b, top);
        le16(b, width);
        le16(b, height);
        b.push_back(0);
        b.insert(b.end(), data.begin(), data.end());
    }

    // min code size 2, codes clear, 1, 1, end at 3 bits: two pixels of index 1
    const Bytes twoGreenPixels = { 0x02, 0x02, 0x4C, 0x0A, 0x00 };

} // namespace

TEST(GIF, CanvasStartsCleared)
{
    Bytes file = screen(4, 3);
    frame(file, 1, 1, 2, 1, twoGreenPixels);
    file.push_back(0x3B);
    Bitmap bitmap(4, 3, Format::BGRA8888);
    std::memset(bitmap.image, 0xCD, 4 * 3 * 4);
    ImageDecoder decoder(memoryOf(file), ".gif");
    ASSERT_TRUE(decoder.decode(bitmap).success);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x)
        {
            const u32 pixel = loadLE32(bitmap.address(x, y));
            EXPECT_EQ(pixel, (y == 1 && (x == 1 || x == 2)) ? 0xFF00FF00u : 0u) << x << ", " << y;
        }
}

TEST(GIF, BadImageDataEndsTheFrameQuietly)
{
    // a valid frame, then one whose minimum code size is 13: it draws nothing, and the
    // walk ends there, so the animation restarts
    Bytes file = screen(2, 1);
    frame(file, 0, 0, 2, 1, twoGreenPixels);
    Bytes bad = twoGreenPixels;
    bad[0] = 13;
    frame(file, 0, 0, 2, 1, bad);
    file.push_back(0x3B);

    ImageDecoder decoder(memoryOf(file), ".gif");
    Bitmap bitmap(2, 1, Format::BGRA8888);
    ImageDecodeStatus status = decoder.decode(bitmap);
    ASSERT_TRUE(status.success);
    EXPECT_EQ(loadLE32(bitmap.address(1, 0)), 0xFF00FF00u);

    std::memset(bitmap.image, 0, 8);
    status = decoder.decode(bitmap);
    EXPECT_TRUE(status.success) << "LZW errors are silent";
    EXPECT_EQ(status.current_frame_index, 1);
    EXPECT_EQ(status.next_frame_index, 0);
    EXPECT_EQ(loadLE32(bitmap.address(0, 0)), 0xFF00FF00u) << "the canvas keeps the first frame";
    EXPECT_EQ(loadLE32(bitmap.address(1, 0)), 0xFF00FF00u);

    // minimum code size 12: literal codes reach 4095, and a pixel is a code's low byte
    {
        Bytes wide = screen(2, 1);
        // clear (4096), 300, 7, end (4097) at 13 bits
        u64 bits = 4096 | u64(300) << 13 | u64(7) << 26 | u64(4097) << 39;
        Bytes data = { 12, 7 };
        for (int i = 0; i < 7; ++i)
            data.push_back(u8(bits >> (8 * i)));
        data.push_back(0);
        frame(wide, 0, 0, 2, 1, data);
        wide.push_back(0x3B);
        ImageDecoder wideDecoder(memoryOf(wide), ".gif");
        Bitmap indices(2, 1, Format::INDEX8);
        Palette palette;
        ImageDecodeOptions options;
        options.palette = &palette;
        ASSERT_TRUE(wideDecoder.decode(indices, options).success);
        EXPECT_EQ(indices.image[0], 300 & 255);
        EXPECT_EQ(indices.image[1], 7);
    }

    // a frame that claims 65535 x 65535 pixels with four bytes of data: its buffer is
    // bounded by what the data can give, and the canvas gets the two decoded pixels
    Bytes huge = screen(3, 2);
    frame(huge, 0, 0, 65535, 65535, twoGreenPixels);
    huge.push_back(0x3B);
    ImageDecoder hugeDecoder(memoryOf(huge), ".gif");
    Bitmap small(3, 2, Format::BGRA8888);
    ASSERT_TRUE(hugeDecoder.decode(small).success);
    EXPECT_EQ(loadLE32(small.address(0, 0)), 0xFF00FF00u);
    EXPECT_EQ(loadLE32(small.address(1, 0)), 0xFF00FF00u);
    EXPECT_EQ(loadLE32(small.address(2, 0)), 0u);
    EXPECT_EQ(loadLE32(small.address(0, 1)), 0u);
}

TEST(GIF, HeaderErrors)
{
    const struct
    {
        Bytes file;
        const char* message;
    } rows[] = {
        { { 'G', 'I', 'F', '8', '9', 'a' }, "[ImageDecoder.GIF] Incorrect header." },
        { { 'G', 'I', 'F', '9', '0', 'a', 1, 0, 1, 0, 0, 0, 0 }, "[ImageDecoder.GIF] Header is missing GIF87a or GIF89a identifier." },
        { { 'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0 }, "[ImageDecoder.GIF] Incorrect header." },
        // a global table of 4 entries cut after one
        { { 'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x81, 0, 0, 1, 2, 3 }, "[ImageDecoder.GIF] Incorrect header." },
    };
    for (const auto& row : rows)
    {
        ImageDecoder decoder(memoryOf(row.file), ".gif");
        EXPECT_EQ(decoder.header().info, row.message);
        Bitmap bitmap(1, 1, Format::BGRA8888);
        const ImageDecodeStatus status = decoder.decode(bitmap);
        EXPECT_FALSE(status.success);
        EXPECT_EQ(status.info, row.message);
    }
}

// ---------------------------------------------------------------------------------------
// encoder
// ---------------------------------------------------------------------------------------

namespace
{
    Bytes encode(const Surface& surface, const ImageEncodeOptions& options, ImageEncodeStatus* statusOut = nullptr)
    {
        MemoryStream stream;
        const ImageEncodeStatus status = getImageEncoder(".gif")(stream, surface, options);
        if (statusOut)
            *statusOut = status;
        const ConstMemory m = stream;
        return Bytes(m.address, m.address + m.size);
    }

    // giflib's indices of the one image, row by row
    std::vector<u8> giflibIndices(const Bytes& file, std::vector<u32>* colors = nullptr)
    {
        Slurped s(file);
        EXPECT_NE(s.gif, nullptr) << "giflib refuses our file";
        if (!s.gif || s.gif->ImageCount != 1)
            return {};
        const SavedImage& image = s.gif->SavedImages[0];
        if (colors && s.gif->SColorMap)
        {
            colors->clear();
            for (int c = 0; c < s.gif->SColorMap->ColorCount; ++c)
            {
                const GifColorType& rgb = s.gif->SColorMap->Colors[c];
                colors->push_back(0xFF000000 | u32(rgb.Red) << 16 | u32(rgb.Green) << 8 | rgb.Blue);
            }
        }
        return std::vector<u8>(image.RasterBits, image.RasterBits + image.ImageDesc.Width * image.ImageDesc.Height);
    }

} // namespace

TEST(GIF, EncodedIndicesReadBackThroughGiflib)
{
    std::mt19937 random(18);
    ImageEncodeOptions options;
    options.palette.size = 256;
    for (int i = 0; i < 256; ++i)
        options.palette.color[i] = 0xFF000000 | u32(i * 0x010203);

    struct Case
    {
        int width, height;
        int kind;   // 0 noise, 1 ramp, 2 flat, 3 few colours
    };
    std::vector<Case> cases = {
        { 1, 1, 0 }, { 255, 1, 1 },  // 255 distinct pairs: the last code fills 9 bits
        { 767, 1, 1 }, { 300, 200, 0 }, { 640, 480, 3 }, { 64, 64, 2 }, { 2, 3, 0 },
    };
    for (int i = 0; i < 60; ++i)
        cases.push_back({ int(1 + random() % 90), int(1 + random() % 40), int(random() % 4) });

    for (const Case& c : cases)
    {
        Bitmap indices(c.width, c.height, Format::INDEX8);
        for (int y = 0; y < c.height; ++y)
            for (int x = 0; x < c.width; ++x)
            {
                u8 v = 0;
                switch (c.kind)
                {
                    case 0: v = u8(random()); break;
                    case 1: v = u8(x + y); break;
                    case 2: v = 7; break;
                    case 3: v = u8(random() % 5 + (x / 50)); break;
                }
                indices.address(x, y)[0] = v;
            }
        ImageEncodeStatus status;
        const Bytes file = encode(indices, options, &status);
        ASSERT_TRUE(status.success) << status.info;

        std::vector<u8> expected;
        for (int y = 0; y < c.height; ++y)
            expected.insert(expected.end(), indices.address(0, y), indices.address(0, y) + c.width);
        std::vector<u32> colors;
        EXPECT_EQ(giflibIndices(file, &colors), expected) << c.width << " x " << c.height << " kind " << c.kind;
        EXPECT_TRUE(std::equal(colors.begin(), colors.end(), options.palette.color));

        // and through our decoder
        ImageDecoder decoder(memoryOf(file), ".gif");
        Bitmap back(c.width, c.height, Format::INDEX8);
        Palette palette;
        ImageDecodeOptions decodeOptions;
        decodeOptions.palette = &palette;
        ASSERT_TRUE(decoder.decode(back, decodeOptions).success);
        std::vector<u8> ours;
        for (int y = 0; y < c.height; ++y)
            ours.insert(ours.end(), back.address(0, y), back.address(0, y) + c.width);
        EXPECT_EQ(ours, expected);
    }
}

TEST(GIF, EncoderLayoutAndQuantizing)
{
    Bitmap rgba(37, 21, Format::RGBA8888);
    for (int y = 0; y < rgba.height; ++y)
        for (int x = 0; x < rgba.width; ++x)
        {
            u8* p = rgba.address(x, y);
            p[0] = u8(x * 7);
            p[1] = u8(y * 12);
            p[2] = u8((x ^ y) * 5);
            p[3] = 255;
        }
    ImageEncodeOptions options;
    options.quality = 0.8f;
    ImageEncodeStatus status;
    const Bytes file = encode(rgba, options, &status);
    ASSERT_TRUE(status.success) << status.info;

    // "GIF89a", the screen with a 256-entry table, the image descriptor, code size 8
    ASSERT_GT(file.size(), 800u);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 13),
              (Bytes{ 'G', 'I', 'F', '8', '9', 'a', 37, 0, 21, 0, 0xF7, 255, 0 }));
    const size_t image = 13 + 768;
    EXPECT_EQ(Bytes(file.begin() + image, file.begin() + image + 10), (Bytes{ 0x2C, 0, 0, 0, 0, 37, 0, 21, 0, 0 }));
    EXPECT_EQ(file[image + 10], 8);
    EXPECT_EQ(file[image + 12] | (file[image + 13] & 1) << 8, 256) << "the first code is a clear";
    EXPECT_EQ(file.back(), 0x3B);

    // the quantizer's own result, read back through giflib
    Bitmap expectedIndices(37, 21, Format::INDEX8);
    Palette expectedPalette;
    image::ColorQuantizer::quantize(expectedPalette, expectedIndices, rgba, { 0.8f, false });
    std::vector<u8> expected;
    for (int y = 0; y < 21; ++y)
        expected.insert(expected.end(), expectedIndices.address(0, y), expectedIndices.address(0, y) + 37);
    std::vector<u32> colors;
    EXPECT_EQ(giflibIndices(file, &colors), expected);
    ASSERT_EQ(colors.size(), 256u);
    for (int i = 0; i < 256; ++i)
        EXPECT_EQ(colors[i], expectedPalette.color[i] | 0xFF000000) << i;
}

// A source of 256 colours or fewer comes back with exactly its colours (alpha is not
// written), whatever its size and format; 257 colours go through the quantizer.
TEST(GIF, EncoderKeepsTheColoursOfSmallPalettes)
{
    std::mt19937 random(7);
    struct Case
    {
        const char* what;
        int width, height, colors;
        Format format;
    };
    const Case cases[] = {
        { "1 x 1 red", 1, 1, 1, Format::RGBA8888 },
        { "two colours", 5, 3, 2, Format::BGRA8888 },
        { "200 colours of noise", 40, 30, 200, Format::RGBA8888 },
        { "256 colours, each once", 16, 16, 256, Format::RGB888 },
        { "256 colours on a larger image", 300, 200, 256, Format::BGRA8888 },
        { "greys", 9, 9, 17, Format::L8 },
    };
    for (const Case& c : cases)
    {
        std::vector<u32> colors;   // 0x00RRGGBB
        for (int i = 0; i < c.colors; ++i)
        {
            const u32 v = c.format == Format::L8 ? u32(i * 15) * 0x010101 : (c.colors == 1 ? 0xFF0000 : u32(random()) & 0xFFFFFF);
            if (std::find(colors.begin(), colors.end(), v) == colors.end())
                colors.push_back(v);
        }
        Bitmap source(c.width, c.height, c.format);
        std::vector<u32> expected;
        Bitmap rgba(c.width, c.height, Format::RGBA8888);
        for (int y = 0; y < c.height; ++y)
            for (int x = 0; x < c.width; ++x)
            {
                const size_t i = size_t(y) * c.width + x;
                const u32 v = colors[i < colors.size() ? i : random() % colors.size()];
                u8* p = rgba.address(x, y);
                p[0] = u8(v >> 16);
                p[1] = u8(v >> 8);
                p[2] = u8(v);
                p[3] = u8(random());   // not written
                expected.push_back(0xFF000000 | v);
            }
        ASSERT_TRUE(source.blit(0, 0, rgba));

        ImageEncodeStatus status;
        const Bytes file = encode(source, ImageEncodeOptions(), &status);
        ASSERT_TRUE(status.success) << c.what << ": " << status.info;
        std::vector<u32> table;
        const std::vector<u8> indices = giflibIndices(file, &table);
        ASSERT_EQ(indices.size(), expected.size()) << c.what;
        for (size_t i = 0; i < indices.size(); ++i)
            ASSERT_EQ(table[indices[i]], expected[i]) << c.what << ", pixel " << i;
    }

    // 257 colours are quantized as before
    Bitmap many(257, 1, Format::RGBA8888);
    for (int x = 0; x < 257; ++x)
    {
        u8* p = many.address(x, 0);
        p[0] = u8(x);
        p[1] = u8(x >> 1);
        p[2] = u8(x * 3);
        p[3] = 255;
    }
    ImageEncodeOptions options;
    const Bytes file = encode(many, options);
    Bitmap expectedIndices(257, 1, Format::INDEX8);
    Palette expectedPalette;
    image::ColorQuantizer::quantize(expectedPalette, expectedIndices, many, { options.quality, options.dithering });
    EXPECT_EQ(giflibIndices(file), std::vector<u8>(expectedIndices.image, expectedIndices.image + 257));
}

TEST(GIF, EncoderRefusals)
{
    Bitmap rgba(4, 4, Format::RGBA8888);
    ImageEncodeOptions options;
    ImageEncodeStatus status;

    options.palette.size = 128;
    EXPECT_TRUE(encode(rgba, options, &status).empty());
    EXPECT_EQ(status.info, "[ImageEncoder.GIF] Incorrect palette size - must be 0 or 256 (size: 128).");

    options.palette.size = 256;
    EXPECT_TRUE(encode(rgba, options, &status).empty());
    EXPECT_EQ(status.info, "[ImageEncoder.GIF] Incorrect format - must be 8 bit INDEXED (bits: 32).");

    Bitmap wide(65536, 1, Format::INDEX8);
    EXPECT_TRUE(encode(wide, options, &status).empty());
    EXPECT_EQ(status.info, "[ImageEncoder.GIF] Incorrect image size (65536 x 1).");

    Bitmap widest(65535, 1, Format::INDEX8);
    EXPECT_FALSE(encode(widest, options, &status).empty());
    EXPECT_TRUE(status.success);
}

TEST(GIF, RobustnessSweep)
{
    const std::vector<std::string> names = imagekit::listFixtures({ "gif_" });
    ASSERT_EQ(names.size(), std::size(fixtures));
    for (const std::string& name : names)
    {
        const Bytes file = imagekit::readFixture(name);
        // animations are decoded past their last frame so that the loop is walked too
        const imagekit::SweepStats stats = imagekit::robustnessSweep(file, ".gif", 96, 400, u32(file.size()), 4);
        EXPECT_GT(stats.runs, 100) << name;
        EXPECT_GT(stats.failures, 0) << name;
    }
}
