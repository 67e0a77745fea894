// JPEG speed on a 3840 x 2160 photograph-like image, in Mpixels/s. Decoding: files of
// quality 90 beside libjpeg-turbo (TurboJPEG) and stb_image, all decoding to 32-bit pixels
// from memory. Encoding: from one BGRA surface beside TurboJPEG (4:4:4) and stb_image_write,
// each at the quality that gives the same PSNR (printed with the sizes before the runs).
// JPEG_BENCH_FILES (paths separated by ':') adds decode rows for those files, named after
// them; JPEG_BENCH_DECODE_ONLY skips the encoders. bench/jpeg_cores_bench.sh runs the
// decoders on 1 to 8 cores.
//
//   norva_jpeg_bench --benchmark_counters_tabular=true [--benchmark_filter=encode]

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
#include <stb_image_write.h>

#include <norva/core/thread.hpp>
#include <norva/image/surface.hpp>

#include "jpeg/jpeg_encode.hpp"
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

    void setRate(benchmark::State& state, int width = WIDTH, int height = HEIGHT)
    {
        state.counters["Mpix/s"] = benchmark::Counter(double(width) * height / 1e6, benchmark::Counter::kIsIterationInvariantRate);
    }

    struct Size
    {
        int width = WIDTH;
        int height = HEIGHT;
    };

    Size sizeOf(const std::vector<u8>* file)
    {
        const jpeg::Parser parser(ConstMemory(file->data(), file->size()));
        return { parser.header().width, parser.header().height };
    }

    void decodeNorva(benchmark::State& state, const std::vector<u8>* file, u32 threads)
    {
        const auto [width, height] = sizeOf(file);
        std::vector<u8> pixels(size_t(width) * height * 4);
        Surface surface(width, height, Format::BGRA8888, width * 4, pixels.data());
        for (auto _ : state)
        {
            jpeg::Parser parser(ConstMemory(file->data(), file->size()));
            parser.threadOverride = threads;
            const ImageDecodeStatus status = parser.decode(surface);
            if (!status.success)
                state.SkipWithError(status.info.c_str());
            benchmark::DoNotOptimize(pixels.data());
        }
        setRate(state, width, height);
    }

    void decodeTurbo(benchmark::State& state, const std::vector<u8>* file, int flags)
    {
        const auto [width, height] = sizeOf(file);
        std::vector<u8> pixels(size_t(width) * height * 4);
        tjhandle handle = tjInitDecompress();
        for (auto _ : state)
        {
            if (tjDecompress2(handle, file->data(), (unsigned long)file->size(), pixels.data(), width, width * 4,
                              height, TJPF_BGRX, flags) != 0)
                state.SkipWithError(tjGetErrorStr2(handle));
            benchmark::DoNotOptimize(pixels.data());
        }
        tjDestroy(handle);
        setRate(state, width, height);
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

    // ------------------------------------------------------------------------------------
    // encoding
    // ------------------------------------------------------------------------------------

    struct EncodeSource
    {
        std::vector<u8> rgb;
        std::vector<u8> bgra;
        float quality = 0.9f;       // ours
        int turboQuality = 90;
        int stbQuality = 90;
    };

    // PSNR of a file against the source, decoded by TurboJPEG (accurate iDCT)
    double filePSNR(const std::vector<u8>& file, const std::vector<u8>& rgb)
    {
        std::vector<u8> pixels(size_t(WIDTH) * HEIGHT * 3);
        tjhandle handle = tjInitDecompress();
        const int result = tjDecompress2(handle, file.data(), (unsigned long)file.size(), pixels.data(), WIDTH,
                                         WIDTH * 3, HEIGHT, TJPF_RGB, TJFLAG_ACCURATEDCT);
        tjDestroy(handle);
        if (result != 0)
            return 0;
        double sum = 0;
        for (size_t i = 0; i < pixels.size(); ++i)
        {
            const double d = double(pixels[i]) - double(rgb[i]);
            sum += d * d;
        }
        return 10.0 * std::log10(255.0 * 255.0 / (sum / double(pixels.size())));
    }

    std::vector<u8> encodeNorvaFile(const EncodeSource& source, float quality, bool serial)
    {
        Surface surface(WIDTH, HEIGHT, Format::BGRA8888, WIDTH * 4, const_cast<u8*>(source.bgra.data()));
        MemoryStream stream;
        jpeg::EncodeSettings settings;
        settings.serial = serial;
        jpeg::encodeImage(stream, surface, quality, settings);
        const ConstMemory m = stream;
        return std::vector<u8>(m.address, m.address + m.size);
    }

    std::vector<u8> encodeTurboFile(const EncodeSource& source, int quality)
    {
        tjhandle handle = tjInitCompress();
        unsigned char* output = nullptr;
        unsigned long size = 0;
        tjCompress2(handle, source.bgra.data(), WIDTH, WIDTH * 4, HEIGHT, TJPF_BGRX, &output, &size, TJSAMP_444,
                    quality, TJFLAG_ACCURATEDCT);
        std::vector<u8> file(output, output + size);
        tjFree(output);
        tjDestroy(handle);
        return file;
    }

    void appendBytes(void* context, void* data, int size)
    {
        std::vector<u8>* file = static_cast<std::vector<u8>*>(context);
        const u8* p = static_cast<const u8*>(data);
        file->insert(file->end(), p, p + size);
    }

    std::vector<u8> encodeStbFile(const EncodeSource& source, int quality)
    {
        std::vector<u8> file;
        stbi_write_jpg_to_func(appendBytes, &file, WIDTH, HEIGHT, 4, source.bgra.data(), quality);
        return file;
    }

    // stb_image_write reads RGBA; its input is the BGRA surface with R and B swapped, so
    // that all three read the same picture
    std::vector<u8> stbInput(const std::vector<u8>& bgra)
    {
        std::vector<u8> rgba = bgra;
        for (size_t i = 0; i < rgba.size(); i += 4)
            std::swap(rgba[i], rgba[i + 2]);
        return rgba;
    }

    // Our quality and stb_image_write's that come closest to TurboJPEG's PSNR at quality 90.
    void matchQualities(EncodeSource& source)
    {
        const std::vector<u8> turbo = encodeTurboFile(source, source.turboQuality);
        const double target = filePSNR(turbo, source.rgb);

        double low = 0.0, high = 1.0;
        for (int i = 0; i < 14; ++i)
        {
            const double mid = (low + high) / 2;
            if (filePSNR(encodeNorvaFile(source, float(mid), false), source.rgb) < target)
                low = mid;
            else
                high = mid;
        }
        source.quality = float(high);

        EncodeSource stbSource;
        stbSource.bgra = stbInput(source.bgra);
        // PSNR rises with stb's quality: the first quality at or above the target, or the
        // one below it when that is closer
        int lowQuality = 50, highQuality = 100;
        while (lowQuality < highQuality)
        {
            const int mid = (lowQuality + highQuality) / 2;
            if (filePSNR(encodeStbFile(stbSource, mid), source.rgb) < target)
                lowQuality = mid + 1;
            else
                highQuality = mid;
        }
        source.stbQuality = lowQuality;
        if (lowQuality > 50)
        {
            const double above = filePSNR(encodeStbFile(stbSource, lowQuality), source.rgb) - target;
            const double below = target - filePSNR(encodeStbFile(stbSource, lowQuality - 1), source.rgb);
            if (below < above)
                source.stbQuality = lowQuality - 1;
        }

        const std::vector<u8> ours = encodeNorvaFile(source, source.quality, false);
        const std::vector<u8> stb = encodeStbFile(stbSource, source.stbQuality);
        std::printf("encode: norva quality %.3f  %9zu bytes  %.2f dB\n", source.quality, ours.size(),
                    filePSNR(ours, source.rgb));
        std::printf("encode: turbojpeg q%d 444  %9zu bytes  %.2f dB\n", source.turboQuality, turbo.size(), target);
        std::printf("encode: stb_image_write q%d %9zu bytes  %.2f dB%s\n", source.stbQuality, stb.size(),
                    filePSNR(stb, source.rgb), source.stbQuality <= 90 ? " (stb subsamples chroma at q <= 90)" : "");
    }

    void encodeNorva(benchmark::State& state, const EncodeSource* source, bool serial)
    {
        Surface surface(WIDTH, HEIGHT, Format::BGRA8888, WIDTH * 4, const_cast<u8*>(source->bgra.data()));
        jpeg::EncodeSettings settings;
        settings.serial = serial;
        for (auto _ : state)
        {
            MemoryStream stream;
            const ImageEncodeStatus status = jpeg::encodeImage(stream, surface, source->quality, settings);
            if (!status.success)
                state.SkipWithError(status.info.c_str());
            benchmark::DoNotOptimize(stream.size());
        }
        setRate(state);
    }

    void encodeTurbo(benchmark::State& state, const EncodeSource* source)
    {
        tjhandle handle = tjInitCompress();
        for (auto _ : state)
        {
            unsigned char* output = nullptr;
            unsigned long size = 0;
            if (tjCompress2(handle, source->bgra.data(), WIDTH, WIDTH * 4, HEIGHT, TJPF_BGRX, &output, &size,
                            TJSAMP_444, source->turboQuality, TJFLAG_ACCURATEDCT) != 0)
                state.SkipWithError(tjGetErrorStr2(handle));
            benchmark::DoNotOptimize(size);
            tjFree(output);
        }
        tjDestroy(handle);
        setRate(state);
    }

    void encodeStb(benchmark::State& state, const EncodeSource* source)
    {
        const std::vector<u8> rgba = stbInput(source->bgra);
        for (auto _ : state)
        {
            std::vector<u8> file;
            if (!stbi_write_jpg_to_func(appendBytes, &file, WIDTH, HEIGHT, 4, rgba.data(), source->stbQuality))
                state.SkipWithError("stb_image_write failed");
            benchmark::DoNotOptimize(file.data());
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
    files.reserve(std::size(encodings) + 16);

    const std::string threads = std::to_string(ThreadPool::getHardwareConcurrency());

    // files given by the caller: our decode on the pool's threads and on one, and TurboJPEG
    if (const char* list = std::getenv("JPEG_BENCH_FILES"))
    {
        std::string paths = list;
        for (size_t begin = 0; begin < paths.size() && files.size() < 16;)
        {
            const size_t end = std::min(paths.find(':', begin), paths.size());
            const std::string path = paths.substr(begin, end - begin);
            begin = end + 1;
            std::FILE* f = std::fopen(path.c_str(), "rb");
            if (!f)
            {
                std::fprintf(stderr, "cannot read %s\n", path.c_str());
                return 1;
            }
            std::vector<u8> bytes;
            u8 buffer[65536];
            for (size_t n; (n = std::fread(buffer, 1, sizeof(buffer), f)) > 0;)
                bytes.insert(bytes.end(), buffer, buffer + n);
            std::fclose(f);
            files.push_back(std::move(bytes));

            std::string name = path.substr(path.find_last_of('/') + 1);
            name = name.substr(0, name.find_last_of('.'));
            const std::vector<u8>* file = &files.back();
            std::printf("%-24s %8zu bytes\n", name.c_str(), file->size());
            benchmark::RegisterBenchmark((name + "/norva_1_thread").c_str(), decodeNorva, file, 1u)->UseRealTime();
            benchmark::RegisterBenchmark((name + "/norva_" + threads + "_threads").c_str(), decodeNorva, file, 0u)->UseRealTime();
            benchmark::RegisterBenchmark((name + "/turbojpeg").c_str(), decodeTurbo, file, 0)->UseRealTime();
        }
    }
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

    // the encoders' quality search takes seconds; the cores script measures decoding only
    if (std::getenv("JPEG_BENCH_DECODE_ONLY"))
    {
        benchmark::Initialize(&argc, argv);
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        return 0;
    }

    static EncodeSource encodeSource;
    encodeSource.rgb = picture;
    encodeSource.bgra.resize(size_t(WIDTH) * HEIGHT * 4);
    for (size_t i = 0; i < size_t(WIDTH) * HEIGHT; ++i)
    {
        encodeSource.bgra[i * 4 + 0] = picture[i * 3 + 2];
        encodeSource.bgra[i * 4 + 1] = picture[i * 3 + 1];
        encodeSource.bgra[i * 4 + 2] = picture[i * 3 + 0];
        encodeSource.bgra[i * 4 + 3] = 255;
    }
    matchQualities(encodeSource);
    benchmark::RegisterBenchmark("encode_444/norva_1_thread", encodeNorva, &encodeSource, true)->UseRealTime();
    benchmark::RegisterBenchmark(("encode_444/norva_" + threads + "_threads").c_str(), encodeNorva, &encodeSource, false)
        ->UseRealTime();
    benchmark::RegisterBenchmark("encode_444/turbojpeg", encodeTurbo, &encodeSource)->UseRealTime();
    benchmark::RegisterBenchmark("encode/stb_image_write", encodeStb, &encodeSource)->UseRealTime();

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
