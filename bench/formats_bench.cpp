// Decoding speed of the simple raster formats beside stb_image, and beside a plain memcpy
// of the same bytes: a 4096 x 4096 photograph-like picture (smooth shading with sensor
// grain, so runs are short as in real photographs) stored as raw TGA, RLE TGA (both
// bottom-up, 24 bits), binary PPM and Radiance HDR, all written here by small writers of
// their own.
//
// Every decoder starts from the file in memory. "native" rows deliver the file's own
// layout (ours into a bitmap allocated once; stb_image returns a fresh buffer each time,
// as its interface does), "rgba" rows 8-bit RGBA for both, "alloc" rows ours through the
// Bitmap front end, which allocates the image each time as stb_image does. Counter: MP/s of
// the calling thread's processor time. The native rows run on that thread alone; the rgba
// rows of ours may convert on the thread pool as well, which this counter does not see.
//
//   build/<dir>/bench/norva_formats_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <stb/stb_image.h>

#include <norva/image/decoder.hpp>

namespace
{
    using Bytes = std::vector<unsigned char>;

    constexpr int size = 4096;

    // ----------------------------------------------------------------------------------
    // corpus
    // ----------------------------------------------------------------------------------

    // RGB bytes, top row first.
    const Bytes& picture()
    {
        static const Bytes pixels = [] {
            Bytes p(size_t(size) * size * 3);
            std::mt19937 grain(7);
            for (int y = 0; y < size; ++y)
            {
                for (int x = 0; x < size; ++x)
                {
                    for (int c = 0; c < 3; ++c)
                    {
                        const double v = 120 + 70 * std::sin(x * 0.0021 + c) * std::cos(y * 0.0017 - c * 0.7) +
                                         35 * std::sin((x + 2 * y) * 0.0093 + c * 2.1) + int(grain() % 7) - 3;
                        p[(size_t(y) * size + x) * 3 + c] = (unsigned char)(std::clamp(v, 0.0, 255.0));
                    }
                }
            }
            return p;
        }();
        return pixels;
    }

    const unsigned char* pixel(int x, int y)
    {
        return picture().data() + (size_t(y) * size + x) * 3;
    }

    void tgaHeader(Bytes& out, int type)
    {
        const unsigned char h[18] = { 0, 0, (unsigned char)type, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                      size & 255, size >> 8, size & 255, size >> 8, 24, 0 };
        out.insert(out.end(), h, h + 18);
    }

    // bottom-up rows of B, G, R
    Bytes rawTGA()
    {
        Bytes out;
        tgaHeader(out, 2);
        for (int y = size - 1; y >= 0; --y)
            for (int x = 0; x < size; ++x)
                out.insert(out.end(), { pixel(x, y)[2], pixel(x, y)[1], pixel(x, y)[0] });
        return out;
    }

    // repeat packets for runs of 2 or more equal pixels, literal packets otherwise; packets
    // stay inside a row, as most writers keep them
    Bytes rleTGA()
    {
        Bytes out;
        tgaHeader(out, 10);
        auto same = [](int x0, int x1, int y) { return std::memcmp(pixel(x0, y), pixel(x1, y), 3) == 0; };
        auto put = [&](int x, int y) { out.insert(out.end(), { pixel(x, y)[2], pixel(x, y)[1], pixel(x, y)[0] }); };
        for (int y = size - 1; y >= 0; --y)
        {
            int x = 0;
            while (x < size)
            {
                int run = 1;
                while (x + run < size && run < 128 && same(x, x + run, y))
                    ++run;
                if (run >= 2)
                {
                    out.push_back((unsigned char)(0x80 | (run - 1)));
                    put(x, y);
                    x += run;
                    continue;
                }
                int n = 1;
                while (x + n < size && n < 128 && !(x + n + 1 < size && same(x + n, x + n + 1, y)))
                    ++n;
                out.push_back((unsigned char)(n - 1));
                for (int i = 0; i < n; ++i)
                    put(x + i, y);
                x += n;
            }
        }
        return out;
    }

    Bytes binaryPPM()
    {
        const std::string head = "P6\n" + std::to_string(size) + " " + std::to_string(size) + "\n255\n";
        Bytes out(head.begin(), head.end());
        out.insert(out.end(), picture().begin(), picture().end());
        return out;
    }

    // the usual RGBE writer: the byte value as the mantissa at exponent 136 - 8 = 128,
    // channels run-length encoded (runs of 4 or more, else literals of up to 128)
    Bytes radiance()
    {
        const std::string head = "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y " + std::to_string(size) + " +X " +
                                 std::to_string(size) + "\n";
        Bytes out(head.begin(), head.end());
        std::vector<unsigned char> channel(size);
        for (int y = 0; y < size; ++y)
        {
            out.insert(out.end(), { 2, 2, (unsigned char)(size >> 8), (unsigned char)(size & 255) });
            for (int c = 0; c < 4; ++c)
            {
                for (int x = 0; x < size; ++x)
                    channel[size_t(x)] = c < 3 ? pixel(x, y)[c] : 136;
                int x = 0;
                while (x < size)
                {
                    int run = 1;
                    while (x + run < size && run < 127 && channel[size_t(x + run)] == channel[size_t(x)])
                        ++run;
                    if (run >= 4)
                    {
                        out.insert(out.end(), { (unsigned char)(128 + run), channel[size_t(x)] });
                        x += run;
                        continue;
                    }
                    int n = 1;
                    while (x + n < size && n < 128 &&
                           !(x + n + 3 < size && channel[size_t(x + n)] == channel[size_t(x + n + 1)] &&
                             channel[size_t(x + n)] == channel[size_t(x + n + 2)] &&
                             channel[size_t(x + n)] == channel[size_t(x + n + 3)]))
                        ++n;
                    out.push_back((unsigned char)n);
                    out.insert(out.end(), channel.begin() + x, channel.begin() + x + n);
                    x += n;
                }
            }
        }
        return out;
    }

    struct Sample
    {
        const char* extension;
        Bytes (*make)();
        Bytes file;

        const Bytes& bytes()
        {
            if (file.empty())
                file = make();
            return file;
        }
    };

    Sample samples[] = {
        { ".tga", rawTGA, {} },
        { ".tga", rleTGA, {} },
        { ".ppm", binaryPPM, {} },
        { ".hdr", radiance, {} },
    };

    enum { RAW_TGA, RLE_TGA, PPM, HDR };

    void setRate(benchmark::State& state, const Bytes& file)
    {
        state.counters["MP/s"] = benchmark::Counter(double(size) * size * 1e-6 * double(state.iterations()),
                                                    benchmark::Counter::kIsRate);
        state.counters["MB"] = double(file.size()) / 1e6;
    }

    // ----------------------------------------------------------------------------------
    // decoders
    // ----------------------------------------------------------------------------------

    void decodeNorva(benchmark::State& state, int index, bool rgba)
    {
        Sample& sample = samples[index];
        const Bytes& file = sample.bytes();
        const norva::ConstMemory memory(file.data(), file.size());
        const norva::ImageHeader header = norva::ImageDecoder(memory, sample.extension).header();
        norva::Bitmap target(header.width, header.height, rgba ? norva::Format::RGBA8888 : header.format);
        // one decode before timing maps the target's pages: page faults in this loop would
        // be the first iteration's alone, and they dominate a short run
        norva::ImageDecoder(memory, sample.extension).decode(target);
        for (auto _ : state)
        {
            norva::ImageDecoder decoder(memory, sample.extension);
            const norva::ImageDecodeStatus status = decoder.decode(target);
            if (!status.success)
            {
                state.SkipWithError(status.info.c_str());
                break;
            }
            benchmark::DoNotOptimize(target.image);
            benchmark::ClobberMemory();
        }
        setRate(state, file);
    }

    void decodeNorvaAlloc(benchmark::State& state, int index)
    {
        Sample& sample = samples[index];
        const Bytes& file = sample.bytes();
        for (auto _ : state)
        {
            norva::Bitmap bitmap(norva::ConstMemory(file.data(), file.size()), sample.extension);
            if (!bitmap.status().success)
            {
                state.SkipWithError(bitmap.status().info.c_str());
                break;
            }
            benchmark::DoNotOptimize(bitmap.image);
        }
        setRate(state, file);
    }

    void decodeStb(benchmark::State& state, int index, bool rgba)
    {
        const Bytes& file = samples[index].bytes();
        for (auto _ : state)
        {
            int w = 0, h = 0, n = 0;
            void* data = index == HDR ? static_cast<void*>(stbi_loadf_from_memory(file.data(), int(file.size()), &w, &h, &n, 4))
                                      : static_cast<void*>(stbi_load_from_memory(file.data(), int(file.size()), &w, &h, &n,
                                                                                 rgba ? 4 : 0));
            if (!data)
            {
                state.SkipWithError(stbi_failure_reason());
                break;
            }
            benchmark::DoNotOptimize(data);
            stbi_image_free(data);
        }
        setRate(state, file);
    }

    // the file's bytes copied once: the floor for raw TGA and PPM
    void copyBytes(benchmark::State& state, int index)
    {
        const Bytes& file = samples[index].bytes();
        Bytes target(file.size());
        for (auto _ : state)
        {
            std::memcpy(target.data(), file.data(), file.size());
            benchmark::DoNotOptimize(target.data());
            benchmark::ClobberMemory();
        }
        setRate(state, file);
    }

} // namespace

BENCHMARK_CAPTURE(copyBytes, raw_tga, RAW_TGA)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decodeNorva, raw_tga_native, RAW_TGA, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decodeNorvaAlloc, raw_tga_alloc, RAW_TGA)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decodeStb, raw_tga_native, RAW_TGA, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decodeNorva, raw_tga_rgba, RAW_TGA, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decodeStb, raw_tga_rgba, RAW_TGA, true)->Unit(benchmark::kMillisecond);

BENCHMARK_CAPTURE(decodeNorva, rle_tga_native, RLE_TGA, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decodeNorvaAlloc, rle_tga_alloc, RLE_TGA)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decodeStb, rle_tga_native, RLE_TGA, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decodeNorva, rle_tga_rgba, RLE_TGA, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decodeStb, rle_tga_rgba, RLE_TGA, true)->Unit(benchmark::kMillisecond);

BENCHMARK_CAPTURE(copyBytes, ppm, PPM)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decodeNorva, ppm_native, PPM, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decodeNorvaAlloc, ppm_alloc, PPM)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decodeStb, ppm_native, PPM, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decodeNorva, ppm_rgba, PPM, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decodeStb, ppm_rgba, PPM, true)->Unit(benchmark::kMillisecond);

BENCHMARK_CAPTURE(decodeNorva, hdr_float, HDR, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decodeNorvaAlloc, hdr_alloc, HDR)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decodeStb, hdr_float, HDR, false)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
