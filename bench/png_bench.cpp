// PNG decoding speed beside libpng, libspng and stb_image, one thread, from memory.
//
// The corpus is made at start-up and encoded by libpng with its default adaptive filters
// and zlib level 6, the way most PNG files are written: photograph-like images (smooth
// octave noise with grain) and synthetic ones (flat areas, gradients, thin lines) at 512²,
// 2048² and 4096², as RGB8, RGBA8, RGB16, palette and interlaced files. Every decoder
// delivers four channels (RGBA, or our BGRA) at the file's depth into a buffer allocated
// once. Counters: MP/s (megapixels per second).
//
//   build/<dir>/bench/norva_png_bench --benchmark_min_time=0.5

#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <png.h>
#include <spng.h>
#include <stb/stb_image.h>

#include <norva/image/decoder.hpp>

namespace
{
    using Bytes = std::vector<unsigned char>;

    enum class Kind
    {
        RGB8,
        RGBA8,
        RGB16,
        PALETTE,
        RGB8_INTERLACED,
    };

    const char* kindName(Kind k)
    {
        switch (k)
        {
            case Kind::RGB8: return "rgb8";
            case Kind::RGBA8: return "rgba8";
            case Kind::RGB16: return "rgb16";
            case Kind::PALETTE: return "palette";
            case Kind::RGB8_INTERLACED: return "rgb8_interlaced";
        }
        return "";
    }

    // ----------------------------------------------------------------------------------
    // corpus
    // ----------------------------------------------------------------------------------

    // Value noise over several octaves: smooth structure at every scale, like a photograph.
    struct Noise
    {
        std::vector<float> lattice;
        int size = 256;

        explicit Noise(unsigned seed)
        {
            std::mt19937 random(seed);
            lattice.resize(size_t(size) * size);
            for (float& v : lattice)
            {
                v = float(random() % 10000) / 10000.0f;
            }
        }

        float at(float x, float y) const
        {
            const int x0 = int(std::floor(x)), y0 = int(std::floor(y));
            const float fx = x - x0, fy = y - y0;
            auto l = [&](int i, int j) { return lattice[size_t((j & (size - 1)) * size + (i & (size - 1)))]; };
            const float sx = fx * fx * (3 - 2 * fx), sy = fy * fy * (3 - 2 * fy);
            const float a = l(x0, y0) + (l(x0 + 1, y0) - l(x0, y0)) * sx;
            const float b = l(x0, y0 + 1) + (l(x0 + 1, y0 + 1) - l(x0, y0 + 1)) * sx;
            return a + (b - a) * sy;
        }

        float octaves(float x, float y) const
        {
            float sum = 0, amplitude = 0.5f, frequency = 1.0f / 64;
            for (int o = 0; o < 6; ++o)
            {
                sum += amplitude * at(x * frequency, y * frequency);
                amplitude *= 0.5f;
                frequency *= 2;
            }
            return sum;
        }
    };

    // 16-bit samples, 4 channels, in [0, 65535].
    std::vector<uint16_t> makePixels(int size, bool photo, unsigned seed)
    {
        std::vector<uint16_t> out(size_t(size) * size * 4);
        const Noise n0(seed), n1(seed + 1), n2(seed + 2), na(seed + 3);
        std::mt19937 grain(seed);
        const float scale = 512.0f / float(size);    // the same picture at every size
        for (int y = 0; y < size; ++y)
        {
            for (int x = 0; x < size; ++x)
            {
                float c[4];
                const float fx = float(x) * scale * 4, fy = float(y) * scale * 4;
                if (photo)
                {
                    c[0] = n0.octaves(fx, fy);
                    c[1] = n1.octaves(fx, fy) * 0.7f + c[0] * 0.3f;
                    c[2] = n2.octaves(fx, fy) * 0.6f + c[1] * 0.4f;
                    c[3] = std::min(1.0f, na.octaves(fx, fy) * 1.6f);
                    for (float& v : c)
                    {
                        v = std::clamp(v + float(int(grain() % 7) - 3) / 1024.0f, 0.0f, 1.0f);
                    }
                }
                else
                {
                    // blocks of flat colour, a gradient band and grid lines
                    const int bx = (x * 8) / size, by = (y * 8) / size;
                    c[0] = float((bx * 37 + by * 11) % 8) / 7.0f;
                    c[1] = float((bx * 5 + by * 23) % 8) / 7.0f;
                    c[2] = (by == 3) ? float(x) / float(size) : float((bx + by) % 2);
                    c[3] = (x % 64 == 0 || y % 64 == 0) ? 0.5f : 1.0f;
                    if (x % 97 < 2)
                    {
                        c[0] = c[1] = c[2] = 0;
                    }
                }
                for (int k = 0; k < 4; ++k)
                {
                    out[(size_t(y) * size + x) * 4 + k] = uint16_t(c[k] * 65535.0f + 0.5f);
                }
            }
        }
        return out;
    }

    void writeCallback(png_structp png, png_bytep data, png_size_t n)
    {
        Bytes* out = static_cast<Bytes*>(png_get_io_ptr(png));
        out->insert(out->end(), data, data + n);
    }

    void flushCallback(png_structp) {}

    Bytes encodeWithLibpng(const std::vector<uint16_t>& pixels, int size, Kind kind)
    {
        png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
        png_infop info = png_create_info_struct(png);
        Bytes out;
        png_set_write_fn(png, &out, writeCallback, flushCallback);
        png_set_compression_level(png, 6);

        int type = PNG_COLOR_TYPE_RGB, depth = 8, channels = 3;
        switch (kind)
        {
            case Kind::RGBA8: type = PNG_COLOR_TYPE_RGB_ALPHA; channels = 4; break;
            case Kind::RGB16: depth = 16; break;
            case Kind::PALETTE: type = PNG_COLOR_TYPE_PALETTE; channels = 1; break;
            default: break;
        }
        png_set_IHDR(png, info, png_uint_32(size), png_uint_32(size), depth, type,
                     kind == Kind::RGB8_INTERLACED ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                     PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        if (kind == Kind::PALETTE)
        {
            // a 6 x 7 x 6 colour cube
            std::vector<png_color> palette;
            for (int r = 0; r < 6; ++r)
                for (int g = 0; g < 7; ++g)
                    for (int b = 0; b < 6; ++b)
                        palette.push_back({ png_byte(r * 51), png_byte(g * 42), png_byte(b * 51) });
            png_set_PLTE(png, info, palette.data(), int(palette.size()));
        }
        png_write_info(png, info);
        const int passes = kind == Kind::RGB8_INTERLACED ? png_set_interlace_handling(png) : 1;

        const size_t rowBytes = size_t(size) * size_t(channels) * size_t(depth / 8);
        std::vector<png_byte> row(rowBytes);
        for (int pass = 0; pass < passes; ++pass)
        {
            for (int y = 0; y < size; ++y)
            {
                for (int x = 0; x < size; ++x)
                {
                    const uint16_t* p = &pixels[(size_t(y) * size + x) * 4];
                    if (kind == Kind::PALETTE)
                    {
                        const int r = (p[0] * 5 + 32767) / 65535, g = (p[1] * 6 + 32767) / 65535,
                                  b = (p[2] * 5 + 32767) / 65535;
                        row[size_t(x)] = png_byte((r * 7 + g) * 6 + b);
                    }
                    else if (depth == 16)
                    {
                        for (int c = 0; c < 3; ++c)
                        {
                            row[size_t(x) * 6 + size_t(c) * 2] = png_byte(p[c] >> 8);
                            row[size_t(x) * 6 + size_t(c) * 2 + 1] = png_byte(p[c]);
                        }
                    }
                    else
                    {
                        for (int c = 0; c < channels; ++c)
                        {
                            row[size_t(x) * channels + c] = png_byte(p[c] >> 8);
                        }
                    }
                }
                png_write_row(png, row.data());
            }
        }
        png_write_end(png, nullptr);
        png_destroy_write_struct(&png, &info);
        return out;
    }

    // A corpus entry; its file is made on first use, so that a filtered run only builds
    // what it measures.
    struct Sample
    {
        std::string name;
        int size;
        Kind kind;
        bool photo;
        bool wide;
        Bytes file;

        const Sample& ready()
        {
            if (file.empty())
            {
                static std::map<std::pair<int, bool>, std::vector<uint16_t>> pixels;
                auto& p = pixels[{ size, photo }];
                if (p.empty())
                {
                    p = makePixels(size, photo, 42);
                }
                file = encodeWithLibpng(p, size, kind);
            }
            return *this;
        }
    };

    std::vector<Sample>& corpus()
    {
        static std::vector<Sample> samples = [] {
            std::vector<Sample> s;
            struct Item { int size; Kind kind; bool photo; };
            const Item items[] = {
                { 512, Kind::RGB8, true }, { 2048, Kind::RGB8, true }, { 4096, Kind::RGB8, true },
                { 512, Kind::RGBA8, true }, { 2048, Kind::RGBA8, true }, { 4096, Kind::RGBA8, true },
                { 2048, Kind::RGB16, true }, { 2048, Kind::PALETTE, true }, { 2048, Kind::RGB8_INTERLACED, true },
                { 2048, Kind::RGB8, false }, { 2048, Kind::RGBA8, false }, { 4096, Kind::RGBA8, false },
            };
            for (const Item& item : items)
            {
                s.push_back({ std::string(item.photo ? "photo_" : "synthetic_") + kindName(item.kind) + "_" +
                                  std::to_string(item.size),
                              item.size, item.kind, item.photo, item.kind == Kind::RGB16, {} });
            }
            return s;
        }();
        return samples;
    }

    // ----------------------------------------------------------------------------------
    // decoders
    // ----------------------------------------------------------------------------------

    void setRate(benchmark::State& state, const Sample& sample)
    {
        state.counters["MP/s"] = benchmark::Counter(double(sample.size) * sample.size * 1e-6 * double(state.iterations()),
                                                    benchmark::Counter::kIsRate);
        state.counters["KB"] = double(sample.file.size()) / 1024.0;
    }

    void decodeNorva(benchmark::State& state, Sample* entry)
    {
        const Sample* sample = &entry->ready();
        const norva::ConstMemory memory(sample->file.data(), sample->file.size());
        norva::ImageDecoder probe(memory, ".png");
        const norva::ImageHeader header = probe.header();
        norva::Bitmap target(header.width, header.height, header.format);
        for (auto _ : state)
        {
            norva::ImageDecoder decoder(memory, ".png");
            const norva::ImageDecodeStatus status = decoder.decode(target);
            if (!status.success || !status.direct)
            {
                state.SkipWithError(status.info.c_str());
                break;
            }
            benchmark::DoNotOptimize(target.image);
        }
        setRate(state, *sample);
    }

    struct LibpngSource
    {
        const Bytes* bytes;
        size_t offset;
    };

    void libpngRead(png_structp png, png_bytep out, png_size_t n)
    {
        LibpngSource* s = static_cast<LibpngSource*>(png_get_io_ptr(png));
        std::memcpy(out, s->bytes->data() + s->offset, n);
        s->offset += n;
    }

    void decodeLibpng(benchmark::State& state, Sample* entry)
    {
        const Sample* sample = &entry->ready();
        const size_t bytesPerPixel = sample->wide ? 8 : 4;
        std::vector<png_byte> pixels(size_t(sample->size) * sample->size * bytesPerPixel);
        std::vector<png_bytep> rows(size_t(sample->size));
        for (int y = 0; y < sample->size; ++y)
        {
            rows[size_t(y)] = pixels.data() + size_t(y) * sample->size * bytesPerPixel;
        }
        for (auto _ : state)
        {
            png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
            png_infop info = png_create_info_struct(png);
            LibpngSource source { &sample->file, 0 };
            png_set_read_fn(png, &source, libpngRead);
            png_read_info(png, info);
            png_set_expand(png);
            png_set_filler(png, sample->wide ? 0xFFFF : 0xFF, PNG_FILLER_AFTER);
            if (sample->wide)
            {
                png_set_swap(png);
            }
            png_set_interlace_handling(png);
            png_read_update_info(png, info);
            png_read_image(png, rows.data());
            png_read_end(png, nullptr);
            png_destroy_read_struct(&png, &info, nullptr);
            benchmark::DoNotOptimize(pixels.data());
        }
        setRate(state, *sample);
    }

    void decodeSpng(benchmark::State& state, Sample* entry)
    {
        const Sample* sample = &entry->ready();
        const int format = sample->wide ? SPNG_FMT_RGBA16 : SPNG_FMT_RGBA8;
        std::vector<unsigned char> pixels(size_t(sample->size) * sample->size * (sample->wide ? 8 : 4));
        for (auto _ : state)
        {
            spng_ctx* ctx = spng_ctx_new(0);
            spng_set_png_buffer(ctx, sample->file.data(), sample->file.size());
            const int r = spng_decode_image(ctx, pixels.data(), pixels.size(), format, SPNG_DECODE_TRNS);
            spng_ctx_free(ctx);
            if (r)
            {
                state.SkipWithError(spng_strerror(r));
                break;
            }
            benchmark::DoNotOptimize(pixels.data());
        }
        setRate(state, *sample);
    }

    void decodeStb(benchmark::State& state, Sample* entry)
    {
        const Sample* sample = &entry->ready();
        for (auto _ : state)
        {
            int w, h, n;
            void* data = sample->wide
                             ? static_cast<void*>(stbi_load_16_from_memory(sample->file.data(), int(sample->file.size()), &w, &h, &n, 4))
                             : static_cast<void*>(stbi_load_from_memory(sample->file.data(), int(sample->file.size()), &w, &h, &n, 4));
            if (!data)
            {
                state.SkipWithError(stbi_failure_reason());
                break;
            }
            benchmark::DoNotOptimize(data);
            stbi_image_free(data);
        }
        setRate(state, *sample);
    }

    const bool registered = [] {
        for (Sample& sample : corpus())
        {
            benchmark::RegisterBenchmark(("png/" + sample.name + "/norva").c_str(), decodeNorva, &sample)->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("png/" + sample.name + "/libpng").c_str(), decodeLibpng, &sample)->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("png/" + sample.name + "/spng").c_str(), decodeSpng, &sample)->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("png/" + sample.name + "/stb").c_str(), decodeStb, &sample)->Unit(benchmark::kMillisecond);
        }
        return true;
    }();

} // namespace

BENCHMARK_MAIN();
