// JPEG decoding speed on a 3840 x 2160 photograph-like image at quality 90, in Mpixels/s,
// beside libjpeg-turbo (TurboJPEG) and stb_image, all decoding to 32-bit pixels from memory.
//
//   norva_jpeg_bench --benchmark_counters_tabular=true

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <turbojpeg.h>

#include <stb_image.h>

#include <norva/core/thread.hpp>
#include <norva/image/surface.hpp>

#include "jpeg/jpeg_private.hpp"

using namespace norva;

namespace
{
    constexpr int WIDTH = 3840;
    constexpr int HEIGHT = 2160;

    // Smooth shapes at several scales plus sensor-like grain: about the entropy of a photo.
    std::vector<u8> makePicture()
    {
        std::mt19937 random(11);
        std::vector<float> field[3];
        std::vector<u8> rgb(size_t(WIDTH) * HEIGHT * 3);

        struct Octave { int cell; float amplitude; };
        const Octave octaves[] = { { 512, 90.f }, { 128, 45.f }, { 32, 20.f }, { 8, 8.f } };

        for (int c = 0; c < 3; ++c)
        {
            field[c].assign(size_t(WIDTH) * HEIGHT, 110.f + 20.f * c);
            for (const Octave& o : octaves)
            {
                const int gw = WIDTH / o.cell + 2, gh = HEIGHT / o.cell + 2;
                std::vector<float> grid(size_t(gw) * gh);
                for (float& g : grid)
                    g = (float(random() % 2001) / 1000.f - 1.f) * o.amplitude;
                for (int y = 0; y < HEIGHT; ++y)
                {
                    const float fy = float(y) / o.cell;
                    const int iy = int(fy);
                    const float ty = fy - iy;
                    for (int x = 0; x < WIDTH; ++x)
                    {
                        const float fx = float(x) / o.cell;
                        const int ix = int(fx);
                        const float tx = fx - ix;
                        const float* g = grid.data() + size_t(iy) * gw + ix;
                        const float top = g[0] + (g[1] - g[0]) * tx;
                        const float bottom = g[gw] + (g[gw + 1] - g[gw]) * tx;
                        field[c][size_t(y) * WIDTH + x] += top + (bottom - top) * ty;
                    }
                }
            }
        }

        std::normal_distribution<float> grain(0.f, 3.f);
        for (size_t i = 0; i < size_t(WIDTH) * HEIGHT; ++i)
        {
            const float common = grain(random);
            for (int c = 0; c < 3; ++c)
            {
                const float v = field[c][i] + common + grain(random) * 0.5f;
                rgb[i * 3 + c] = u8(std::clamp(v, 0.f, 255.f));
            }
        }
        return rgb;
    }

    struct Encoding
    {
        const char* name;
        int hsf;            // luma sampling; chroma is 1x1
        int vsf;
        bool progressive;
        bool arithmetic;
        int restartRows;
    };

    std::vector<u8> encode(const std::vector<u8>& rgb, const Encoding& e)
    {
        jpeg_compress_struct info;
        jpeg_error_mgr error;
        info.err = jpeg_std_error(&error);
        jpeg_create_compress(&info);

        unsigned char* output = nullptr;
        unsigned long size = 0;
        jpeg_mem_dest(&info, &output, &size);

        info.image_width = WIDTH;
        info.image_height = HEIGHT;
        info.input_components = 3;
        info.in_color_space = JCS_RGB;
        jpeg_set_defaults(&info);
        jpeg_set_quality(&info, 90, TRUE);
        info.comp_info[0].h_samp_factor = e.hsf;
        info.comp_info[0].v_samp_factor = e.vsf;
        info.arith_code = e.arithmetic;
        info.restart_in_rows = e.restartRows;
        info.dct_method = JDCT_ISLOW;
        if (e.progressive)
            jpeg_simple_progression(&info);

        jpeg_start_compress(&info, TRUE);
        while (info.next_scanline < info.image_height)
        {
            JSAMPROW row = const_cast<u8*>(rgb.data()) + size_t(info.next_scanline) * WIDTH * 3;
            jpeg_write_scanlines(&info, &row, 1);
        }
        jpeg_finish_compress(&info);
        jpeg_destroy_compress(&info);

        std::vector<u8> file(output, output + size);
        std::free(output);
        return file;
    }

    void setRate(benchmark::State& state)
    {
        state.counters["Mpix/s"] = benchmark::Counter(double(WIDTH) * HEIGHT / 1e6, benchmark::Counter::kIsIterationInvariantRate);
    }

    void decodeNorva(benchmark::State& state, const std::vector<u8>* file, u32 threads)
    {
        std::vector<u8> pixels(size_t(WIDTH) * HEIGHT * 4);
        Surface surface(WIDTH, HEIGHT, Format::BGRA8888, WIDTH * 4, pixels.data());
        for (auto _ : state)
        {
            jpeg::Parser parser(ConstMemory(file->data(), file->size()));
            parser.threadOverride = threads;
            const ImageDecodeStatus status = parser.decode(surface);
            if (!status.success)
                state.SkipWithError(status.info.c_str());
            benchmark::DoNotOptimize(pixels.data());
        }
        setRate(state);
    }

    void decodeTurbo(benchmark::State& state, const std::vector<u8>* file, int flags)
    {
        std::vector<u8> pixels(size_t(WIDTH) * HEIGHT * 4);
        tjhandle handle = tjInitDecompress();
        for (auto _ : state)
        {
            if (tjDecompress2(handle, file->data(), (unsigned long)file->size(), pixels.data(), WIDTH, WIDTH * 4,
                              HEIGHT, TJPF_BGRX, flags) != 0)
                state.SkipWithError(tjGetErrorStr2(handle));
            benchmark::DoNotOptimize(pixels.data());
        }
        tjDestroy(handle);
        setRate(state);
    }

    void decodeStb(benchmark::State& state, const std::vector<u8>* file)
    {
        for (auto _ : state)
        {
            int w, h, n;
            stbi_uc* pixels = stbi_load_from_memory(file->data(), int(file->size()), &w, &h, &n, 4);
            if (!pixels)
            {
                state.SkipWithError("stb_image cannot decode this file");
                break;
            }
            benchmark::DoNotOptimize(pixels);
            stbi_image_free(pixels);
        }
        setRate(state);
    }

} // namespace

int main(int argc, char** argv)
{
    const Encoding encodings[] =
    {
        { "420", 2, 2, false, false, 0 },
        { "444", 1, 1, false, false, 0 },
        { "420_restart", 2, 2, false, false, 1 },
        { "444_restart", 1, 1, false, false, 1 },
        { "progressive_420", 2, 2, true, false, 0 },
        { "arithmetic_420", 2, 2, false, true, 0 },
        { "arithmetic_420_restart", 2, 2, false, true, 1 },
    };

    const std::vector<u8> picture = makePicture();
    static std::vector<std::vector<u8>> files;
    files.reserve(std::size(encodings));

    const std::string threads = std::to_string(ThreadPool::getHardwareConcurrency());
    for (const Encoding& e : encodings)
    {
        files.push_back(encode(picture, e));
        const std::vector<u8>* file = &files.back();
        std::printf("%-24s %8zu bytes\n", e.name, file->size());

        const std::string name = e.name;
        benchmark::RegisterBenchmark((name + "/norva_1_thread").c_str(), decodeNorva, file, 1u)->UseRealTime();
        benchmark::RegisterBenchmark((name + "/norva_" + threads + "_threads").c_str(), decodeNorva, file, 0u)->UseRealTime();
        benchmark::RegisterBenchmark((name + "/turbojpeg").c_str(), decodeTurbo, file, 0)->UseRealTime();
        benchmark::RegisterBenchmark((name + "/turbojpeg_fastupsample").c_str(), decodeTurbo, file, TJFLAG_FASTUPSAMPLE)->UseRealTime();
        if (!e.arithmetic)
            benchmark::RegisterBenchmark((name + "/stb_image").c_str(), decodeStb, file)->UseRealTime();
    }

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
