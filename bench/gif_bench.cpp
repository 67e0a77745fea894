// GIF decoding speed beside giflib (DGifSlurp, then every frame's indices expanded through
// its palette onto a 32-bit canvas) and stb_image, one thread, from memory; and our WebP
// wrapper beside libwebp called directly.
//
// The corpus is made at start-up: a 2048 x 2048 still image of smooth octave noise with
// grain through a 256-colour palette, and a 640 x 480 animation of 24 full frames with
// local colour tables (written by our encoder and spliced into one file). WebP: a 1024 x
// 1024 image of the same noise, lossy (quality 75) and lossless, encoded by libwebp.
// Counters: MP/s (canvas megapixels per second, every frame counted).
//
//   build/<dir>/bench/norva_gif_bench --benchmark_min_time=0.5

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>
#include <gif_lib.h>
#include <stb/stb_image.h>
#include <webp/decode.h>
#include <webp/encode.h>

#include <norva/core/stream.hpp>
#include <norva/image/decoder.hpp>

namespace
{
    using Bytes = std::vector<unsigned char>;

    // ----------------------------------------------------------------------------------
    // corpus
    // ----------------------------------------------------------------------------------

    // Value noise over several octaves plus grain: smooth at every scale, like a photograph.
    float noise(int x, int y, int seed)
    {
        float sum = 0.0f;
        float amplitude = 1.0f;
        for (int octave = 0; octave < 5; ++octave)
        {
            const float scale = float(4 << octave) / 2048.0f;
            sum += amplitude * std::sin(x * scale * 6.1f + seed + octave) * std::cos(y * scale * 5.3f - seed * 0.7f + octave);
            amplitude *= 0.5f;
        }
        return sum * 0.5f + 0.5f;
    }

    Bytes encodeIndexed(int width, int height, int seed, norva::Palette& palette)
    {
        std::mt19937 random(seed);
        palette.size = 256;
        for (int i = 0; i < 256; ++i)
        {
            const int r = (i * 3 + seed * 17) & 255;
            palette.color[i] = 0xFF000000 | norva::u32(r) << 16 | norva::u32((i * 7) & 255) << 8 | norva::u32(255 - i);
        }
        norva::Bitmap indices(width, height, norva::Format::INDEX8);
        for (int y = 0; y < height; ++y)
        {
            norva::u8* row = indices.address(0, y);
            for (int x = 0; x < width; ++x)
            {
                const float v = noise(x + seed * 31, y, seed) * 240.0f + float(random() % 12);
                row[x] = norva::u8(std::min(255.0f, std::max(0.0f, v)));
            }
        }
        norva::ImageEncodeOptions options;
        options.palette = palette;
        norva::MemoryStream stream;
        if (!norva::getImageEncoder(".gif")(stream, indices, options).success)
            std::abort();
        const norva::ConstMemory m = stream;
        return Bytes(m.address, m.address + m.size);
    }

    const Bytes& stillGIF()
    {
        static const Bytes file = [] {
            norva::Palette palette;
            return encodeIndexed(2048, 2048, 1, palette);
        }();
        return file;
    }

    constexpr int animationFrames = 24;

    // Our encoder writes one image with a global table: each frame's table becomes its
    // local table behind a graphic control extension.
    const Bytes& animatedGIF()
    {
        static const Bytes file = [] {
            const int width = 640, height = 480;
            Bytes out;
            for (int frame = 0; frame < animationFrames; ++frame)
            {
                norva::Palette palette;
                const Bytes single = encodeIndexed(width, height, frame + 2, palette);
                const size_t table = 13;
                const size_t image = table + 768;
                if (frame == 0)
                {
                    out.insert(out.begin(), single.begin(), single.begin() + image);
                    const unsigned char loop[] = { 0x21, 0xFF, 11, 'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0', 3, 1, 0, 0, 0 };
                    out.insert(out.end(), loop, loop + sizeof(loop));
                }
                const unsigned char control[] = { 0x21, 0xF9, 4, 0, 4, 0, 0, 0 };
                out.insert(out.end(), control, control + sizeof(control));
                out.insert(out.end(), single.begin() + image, single.begin() + image + 9);
                out.push_back(0x87);
                out.insert(out.end(), single.begin() + table, single.begin() + image);
                out.insert(out.end(), single.begin() + image + 10, single.end() - 1);
            }
            out.push_back(0x3B);
            return out;
        }();
        return file;
    }

    const Bytes& pick(int which)
    {
        return which == 0 ? stillGIF() : animatedGIF();
    }

    // ----------------------------------------------------------------------------------
    // GIF decoders
    // ----------------------------------------------------------------------------------

    void BM_gif_norva(benchmark::State& state)
    {
        const Bytes& file = pick(int(state.range(0)));
        const norva::ConstMemory memory(file.data(), file.size());
        norva::ImageDecoder probe(memory, ".gif");
        const norva::ImageHeader header = probe.header();
        norva::Bitmap dest(header.width, header.height, norva::Format::BGRA8888);
        // every frame once: the call after the last one (which shows the canvas again) is not made
        const int frames = state.range(0) == 0 ? 1 : animationFrames;
        for (auto _ : state)
        {
            norva::ImageDecoder decoder(memory, ".gif");
            for (int frame = 0; frame < frames; ++frame)
            {
                const norva::ImageDecodeStatus status = decoder.decode(dest);
                if (!status.success || status.current_frame_index != frame)
                    std::abort();
            }
            benchmark::DoNotOptimize(dest.image);
        }
        state.counters["MP/s"] = benchmark::Counter(double(header.width) * header.height * frames,
                                                    benchmark::Counter::kIsIterationInvariantRate);
    }

    struct GiflibReader
    {
        const Bytes* bytes;
        size_t offset;
    };

    int giflibRead(GifFileType* gif, GifByteType* dest, int count)
    {
        GiflibReader* reader = static_cast<GiflibReader*>(gif->UserData);
        const size_t n = std::min<size_t>(count, reader->bytes->size() - reader->offset);
        std::memcpy(dest, reader->bytes->data() + reader->offset, n);
        reader->offset += n;
        return int(n);
    }

    void BM_gif_giflib(benchmark::State& state)
    {
        const Bytes& file = pick(int(state.range(0)));
        std::vector<norva::u32> canvas;
        double pixels = 0;
        for (auto _ : state)
        {
            GiflibReader reader { &file, 0 };
            int error = 0;
            GifFileType* gif = DGifOpen(&reader, giflibRead, &error);
            if (!gif || DGifSlurp(gif) != GIF_OK)
                std::abort();
            const int width = gif->SWidth;
            canvas.resize(size_t(width) * gif->SHeight);
            pixels = double(width) * gif->SHeight * gif->ImageCount;
            for (int i = 0; i < gif->ImageCount; ++i)
            {
                const SavedImage& image = gif->SavedImages[i];
                const ColorMapObject* map = image.ImageDesc.ColorMap ? image.ImageDesc.ColorMap : gif->SColorMap;
                norva::u32 palette[256] = {};
                for (int c = 0; c < map->ColorCount; ++c)
                    palette[c] = 0xFF000000 | norva::u32(map->Colors[c].Red) << 16 |
                                 norva::u32(map->Colors[c].Green) << 8 | map->Colors[c].Blue;
                const GifImageDesc& d = image.ImageDesc;
                for (int y = 0; y < d.Height; ++y)
                {
                    const GifByteType* source = image.RasterBits + size_t(y) * d.Width;
                    norva::u32* row = canvas.data() + size_t(d.Top + y) * width + d.Left;
                    for (int x = 0; x < d.Width; ++x)
                        row[x] = palette[source[x]];
                }
                benchmark::DoNotOptimize(canvas.data());
            }
            DGifCloseFile(gif, &error);
        }
        state.counters["MP/s"] = benchmark::Counter(pixels, benchmark::Counter::kIsIterationInvariantRate);
    }

    void BM_gif_stb(benchmark::State& state)
    {
        const Bytes& file = pick(int(state.range(0)));
        double pixels = 0;
        for (auto _ : state)
        {
            int width = 0, height = 0, frames = 1, channels = 0;
            unsigned char* data = nullptr;
            if (state.range(0) == 0)
            {
                data = stbi_load_from_memory(file.data(), int(file.size()), &width, &height, &channels, 4);
            }
            else
            {
                int* delays = nullptr;
                data = stbi_load_gif_from_memory(file.data(), int(file.size()), &delays, &width, &height, &frames,
                                                 &channels, 4);
                stbi_image_free(delays);
            }
            if (!data)
                std::abort();
            pixels = double(width) * height * frames;
            benchmark::DoNotOptimize(data);
            stbi_image_free(data);
        }
        state.counters["MP/s"] = benchmark::Counter(pixels, benchmark::Counter::kIsIterationInvariantRate);
    }

    // ----------------------------------------------------------------------------------
    // WebP: the wrapper against libwebp directly
    // ----------------------------------------------------------------------------------

    const Bytes& webpFile(bool lossless)
    {
        static const auto make = [](bool lossless) {
            const int size = 1024;
            std::vector<unsigned char> rgba(size_t(size) * size * 4);
            std::mt19937 random(9);
            for (int y = 0; y < size; ++y)
                for (int x = 0; x < size; ++x)
                {
                    unsigned char* p = &rgba[(size_t(y) * size + x) * 4];
                    for (int c = 0; c < 3; ++c)
                        p[c] = (unsigned char)(noise(x * 2 + c * 300, y * 2, c) * 250.0f + float(random() % 6));
                    p[3] = 255;
                }
            uint8_t* output = nullptr;
            const size_t bytes = lossless ? WebPEncodeLosslessRGBA(rgba.data(), size, size, size * 4, &output)
                                          : WebPEncodeRGBA(rgba.data(), size, size, size * 4, 75.0f, &output);
            Bytes file(output, output + bytes);
            WebPFree(output);
            return file;
        };
        static const Bytes lossy = make(false);
        static const Bytes losslessFile = make(true);
        return lossless ? losslessFile : lossy;
    }

    void BM_webp_norva(benchmark::State& state)
    {
        const Bytes& file = webpFile(state.range(0) != 0);
        const norva::ConstMemory memory(file.data(), file.size());
        norva::Bitmap dest(1024, 1024, norva::Format::RGBA8888);
        for (auto _ : state)
        {
            norva::ImageDecoder decoder(memory, ".webp");
            if (!decoder.decode(dest).success)
                std::abort();
            benchmark::DoNotOptimize(dest.image);
        }
        state.counters["MP/s"] = benchmark::Counter(1024.0 * 1024.0, benchmark::Counter::kIsIterationInvariantRate);
    }

    void BM_webp_libwebp(benchmark::State& state)
    {
        const Bytes& file = webpFile(state.range(0) != 0);
        std::vector<unsigned char> dest(size_t(1024) * 1024 * 4);
        for (auto _ : state)
        {
            int width = 0, height = 0;
            if (!WebPGetInfo(file.data(), file.size(), &width, &height) ||
                !WebPDecodeRGBAInto(file.data(), file.size(), dest.data(), dest.size(), 1024 * 4))
                std::abort();
            benchmark::DoNotOptimize(dest.data());
        }
        state.counters["MP/s"] = benchmark::Counter(1024.0 * 1024.0, benchmark::Counter::kIsIterationInvariantRate);
    }

} // namespace

// 0: the 2048 x 2048 still image, 1: the 640 x 480 animation of 24 frames
BENCHMARK(BM_gif_norva)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_gif_giflib)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_gif_stb)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
// 0: lossy, 1: lossless
BENCHMARK(BM_webp_norva)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_webp_libwebp)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
