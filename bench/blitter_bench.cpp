// Fast-row throughput (items = pixels) at 512^2, 1024^2 and 4096^2, all in one run:
//   blit     Surface::blit, split into bands on the pool (8 workers here)
//   blitter  Blitter::convert on one thread
//   kernel   the row kernel the Blitter picked, called directly row by row
//   scalar   the row's scalar kernel, a plain per-pixel loop
//   memcpy   memcpy of the same bytes (source plus destination size, read once and
//            written once), the bandwidth line
//   libyuv / pixman (OP_SRC)  the same conversion, where they have it
// Everything but blit and blitter runs on one thread and on eight (the rows cut into
// eight bands on the same pool). Run with --benchmark_repetitions=N: the "max" aggregate
// is the best of the N rates (for times it is the worst).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <libyuv.h>
#include <pixman.h>

#include <norva/core/thread.hpp>
#include <norva/image/blitter.hpp>
#include <norva/image/surface.hpp>

using namespace norva;

namespace
{

    using YUVFunc = int (*)(const u8* src, int srcStride, u8* dst, int dstStride, int width, int height);

    // the 16-bit libyuv readers take 16-bit pointers and strides counted in elements
    template <int (*F)(const uint16_t*, int, uint8_t*, int, int, int)>
    int yuv16(const u8* src, int srcStride, u8* dst, int dstStride, int width, int height)
    {
        return F(reinterpret_cast<const uint16_t*>(src), srcStride / 2, dst, dstStride, width, height);
    }

    struct Row
    {
        const char* name;
        Format dest;
        Format source;
        YUVFunc yuv = nullptr;
        pixman_format_code_t pixmanDest = pixman_format_code_t(0);
        pixman_format_code_t pixmanSource = pixman_format_code_t(0);
    };

    // libyuv's ARGB is the bytes B, G, R, A and pixman's a8r8g8b8 the 32-bit word A R G B:
    // both are BGRA 8888 here
    const Row rows[] = {
        { "BGRX8880<-BGRA8888", Format::BGRX8880, Format::BGRA8888, nullptr, PIXMAN_x8r8g8b8, PIXMAN_a8r8g8b8 },
        { "RGBX8880<-RGBA8888", Format::RGBX8880, Format::RGBA8888, nullptr, PIXMAN_x8b8g8r8, PIXMAN_a8b8g8r8 },
        { "BGRA8888<-BGRX8880", Format::BGRA8888, Format::BGRX8880, nullptr, PIXMAN_a8r8g8b8, PIXMAN_x8r8g8b8 },
        { "RGBA8888<-RGBX8880", Format::RGBA8888, Format::RGBX8880, nullptr, PIXMAN_a8b8g8r8, PIXMAN_x8b8g8r8 },
        { "BGRX8880<-RGBX8880", Format::BGRX8880, Format::RGBX8880, libyuv::ABGRToARGB, PIXMAN_x8r8g8b8, PIXMAN_x8b8g8r8 },
        { "RGBX8880<-BGRX8880", Format::RGBX8880, Format::BGRX8880, libyuv::ARGBToABGR, PIXMAN_x8b8g8r8, PIXMAN_x8r8g8b8 },
        { "BGRA8888<-RGBA8888", Format::BGRA8888, Format::RGBA8888, libyuv::ABGRToARGB, PIXMAN_a8r8g8b8, PIXMAN_a8b8g8r8 },
        { "RGBA8888<-BGRA8888", Format::RGBA8888, Format::BGRA8888, libyuv::ARGBToABGR, PIXMAN_a8b8g8r8, PIXMAN_a8r8g8b8 },
        { "BGRA8888<-BGRA4444", Format::BGRA8888, Format::BGRA4444, libyuv::ARGB4444ToARGB, PIXMAN_a8r8g8b8, PIXMAN_a4r4g4b4 },
        { "BGRA8888<-BGRA5551", Format::BGRA8888, Format::BGRA5551, libyuv::ARGB1555ToARGB, PIXMAN_a8r8g8b8, PIXMAN_a1r5g5b5 },
        { "BGRA8888<-BGR888", Format::BGRA8888, Format::BGR888, libyuv::RGB24ToARGB, PIXMAN_a8r8g8b8, PIXMAN_r8g8b8 },
        { "BGRA8888<-RGB888", Format::BGRA8888, Format::RGB888, libyuv::RAWToARGB, PIXMAN_a8r8g8b8, PIXMAN_b8g8r8 },
        { "BGRA8888<-BGR565", Format::BGRA8888, Format::BGR565, libyuv::RGB565ToARGB, PIXMAN_a8r8g8b8, PIXMAN_r5g6b5 },
        { "BGR888<-BGRA8888", Format::BGR888, Format::BGRA8888, libyuv::ARGBToRGB24, PIXMAN_r8g8b8, PIXMAN_a8r8g8b8 },
        { "RGB888<-BGRA8888", Format::RGB888, Format::BGRA8888, libyuv::ARGBToRAW, PIXMAN_b8g8r8, PIXMAN_a8r8g8b8 },
        { "RGB888<-BGR888", Format::RGB888, Format::BGR888, libyuv::RAWToRGB24, PIXMAN_b8g8r8, PIXMAN_r8g8b8 },
        { "BGR888<-RGB888", Format::BGR888, Format::RGB888, libyuv::RAWToRGB24, PIXMAN_r8g8b8, PIXMAN_b8g8r8 },
        { "BGR565<-BGRA8888", Format::BGR565, Format::BGRA8888, libyuv::ARGBToRGB565, PIXMAN_r5g6b5, PIXMAN_a8r8g8b8 },
        { "BGRA5551<-BGRA8888", Format::BGRA5551, Format::BGRA8888, libyuv::ARGBToARGB1555, PIXMAN_a1r5g5b5, PIXMAN_a8r8g8b8 },
        { "BGRA4444<-BGRA8888", Format::BGRA4444, Format::BGRA8888, libyuv::ARGBToARGB4444, PIXMAN_a4r4g4b4, PIXMAN_a8r8g8b8 },
        { "BGR888<-L8", Format::BGR888, Format::L8 },
        { "RGB888<-L8", Format::RGB888, Format::L8 },
        { "BGRA8888<-L8", Format::BGRA8888, Format::L8, libyuv::J400ToARGB },
        { "RGBA8888<-L8", Format::RGBA8888, Format::L8, libyuv::J400ToARGB },
        { "RGBA8888<-L16", Format::RGBA8888, Format::L16 },
        { "BGRA8888<-L16", Format::BGRA8888, Format::L16 },
        { "RGBA8888<-LA1616", Format::RGBA8888, Format::LA1616 },
        { "BGRA8888<-LA1616", Format::BGRA8888, Format::LA1616 },
        { "RGBA8888<-RGB16", Format::RGBA8888, Format::RGB16 },
        { "BGRA8888<-RGB16", Format::BGRA8888, Format::RGB16 },
        { "RGBA8888<-RGBA16", Format::RGBA8888, Format::RGBA16, yuv16<libyuv::AR64ToARGB> },
        { "BGRA8888<-RGBA16", Format::BGRA8888, Format::RGBA16, yuv16<libyuv::AB64ToARGB> },
        { "RGBA8888<-RGBA16F", Format::RGBA8888, Format::RGBA16F },
        { "BGRA8888<-RGBA16F", Format::BGRA8888, Format::RGBA16F },
        { "RGBA8888<-RGBA32F", Format::RGBA8888, Format::RGBA32F },
        { "BGRA8888<-RGBA32F", Format::BGRA8888, Format::RGBA32F },
        { "RGBA16F<-RGBA32F", Format::RGBA16F, Format::RGBA32F },
        { "RGBA32F<-RGBA16F", Format::RGBA32F, Format::RGBA16F },
    };

    // One row's images at one size, kept while the benchmarks of that row and size run.
    struct Images
    {
        int row = -1;
        int size = 0;
        std::unique_ptr<Bitmap> source;
        std::unique_ptr<Bitmap> dest;
        std::vector<u8> copyFrom;
        std::vector<u8> copyTo;
    };

    Images& images(int row, int size)
    {
        static Images im;
        if (im.row == row && im.size == size)
            return im;
        im = Images();
        const Row& r = rows[row];
        im.row = row;
        im.size = size;
        im.source = std::make_unique<Bitmap>(size, size, r.source);
        im.dest = std::make_unique<Bitmap>(size, size, r.dest);

        const size_t bytes = size_t(im.source->stride) * size;
        u64 seed = 0x9E3779B97F4A7C15ull;
        for (size_t i = 0; i + 8 <= bytes; i += 8)
        {
            seed ^= seed << 13;
            seed ^= seed >> 7;
            seed ^= seed << 17;
            std::memcpy(im.source->image + i, &seed, 8);
        }
        // float sources: values in 0..1, no NaNs
        if (r.source.type == Format::FLOAT32)
            for (size_t i = 0; i < bytes / 4; ++i)
                reinterpret_cast<float*>(im.source->image)[i] = float(i % 1001) / 1000.0f;
        if (r.source.type == Format::FLOAT16)
            for (size_t i = 0; i < bytes / 2; ++i)
                reinterpret_cast<u16*>(im.source->image)[i] = floatToHalf(float(i % 1001) / 1000.0f);

        // the same traffic as the conversion: (source + destination bytes) / 2 copied
        const size_t copy = size_t(size) * size * size_t(r.source.bytes() + r.dest.bytes()) / 2;
        im.copyFrom.assign(copy, 1);
        im.copyTo.assign(copy, 0);
        return im;
    }

    // f(y0, y1) on `threads` bands of `height` rows, on the pool Surface::blit uses
    void bands(int threads, int height, const std::function<void(int, int)>& f)
    {
        if (threads <= 1)
        {
            f(0, height);
            return;
        }
        TaskQueue queue(ThreadPool::getInstance(), "bench", 0);
        for (int t = 0; t < threads; ++t)
        {
            const int y0 = height * t / threads;
            const int y1 = height * (t + 1) / threads;
            queue.enqueue([&f, y0, y1] { f(y0, y1); });
        }
        queue.wait();
    }

    enum Mode
    {
        BLIT,
        BLITTER,
        KERNEL,
        SCALAR,
        MEMCPY,
        LIBYUV,
        PIXMAN,
    };

    const char* modeName[] = { "blit", "blitter", "kernel", "scalar", "memcpy", "libyuv", "pixman" };

    Blitter::RowKernel scalarKernel(const Row& r)
    {
        for (const FastConversion& f : getFastConversionTable())
            if (f.dest == r.dest && f.source == r.source && f.cpuFlags == 0)
                return f.kernel;
        return nullptr;
    }

    void run(benchmark::State& state, int row, int size, Mode mode, int threads)
    {
        const Row& r = rows[row];
        Images& im = images(row, size);
        Surface& src = *im.source;
        Surface& dst = *im.dest;
        const Blitter blitter(r.dest, r.source);
        const Blitter::RowKernel kernel = mode == SCALAR ? scalarKernel(r) : blitter.rowKernel;

        pixman_image_t* ps = nullptr;
        pixman_image_t* pd = nullptr;
        if (mode == PIXMAN)
        {
            ps = pixman_image_create_bits(r.pixmanSource, size, size, reinterpret_cast<uint32_t*>(src.image), src.stride);
            pd = pixman_image_create_bits(r.pixmanDest, size, size, reinterpret_cast<uint32_t*>(dst.image), dst.stride);
        }

        const std::function<void(int, int)> work = [&](int y0, int y1) {
            switch (mode)
            {
            case KERNEL:
            case SCALAR:
                for (int y = y0; y < y1; ++y)
                    kernel(dst.address(0, y), src.address(0, y), size);
                break;
            case MEMCPY:
            {
                const size_t n = im.copyFrom.size();
                const size_t a = n * y0 / size;
                const size_t b = n * y1 / size;
                std::memcpy(im.copyTo.data() + a, im.copyFrom.data() + a, b - a);
                break;
            }
            case LIBYUV:
                r.yuv(src.address(0, y0), src.stride, dst.address(0, y0), dst.stride, size, y1 - y0);
                break;
            case PIXMAN:
                pixman_image_composite32(PIXMAN_OP_SRC, ps, nullptr, pd, 0, y0, 0, 0, 0, y0, size, y1 - y0);
                break;
            default:
                break;
            }
        };

        for (auto _ : state)
        {
            if (mode == BLIT)
                benchmark::DoNotOptimize(dst.blit(0, 0, src));
            else if (mode == BLITTER)
                blitter.convert(BlitRect { dst.image, dst.stride, src.image, src.stride, size, size });
            else
                bands(threads, size, work);
            benchmark::ClobberMemory();
        }

        if (ps)
            pixman_image_unref(ps);
        if (pd)
            pixman_image_unref(pd);
        state.SetItemsProcessed(state.iterations() * s64(size) * size);
        state.SetBytesProcessed(state.iterations() * s64(size) * size * (r.source.bytes() + r.dest.bytes()));
    }

    const bool registered = [] {
        for (int row = 0; row < int(std::size(rows)); ++row)
            for (int size : { 512, 1024, 4096 })
                for (int mode = BLIT; mode <= PIXMAN; ++mode)
                {
                    const Row& r = rows[row];
                    if (mode == LIBYUV && !r.yuv)
                        continue;
                    if (mode == PIXMAN && !r.pixmanDest)
                        continue;
                    // blit picks its own band count; blitter is one thread by definition
                    const int threadCounts = mode == BLIT || mode == BLITTER ? 1 : 2;
                    for (int t = 0; t < threadCounts; ++t)
                    {
                        const int threads = mode == BLIT ? 8 : (t ? 8 : 1);
                        const std::string name = std::string(r.name) + "/" + modeName[mode] + "/" + std::to_string(size) +
                                                 "/threads:" + std::to_string(threads);
                        benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& s) {
                            run(s, row, size, Mode(mode), threads);
                        })
                            ->UseRealTime()
                            ->Unit(benchmark::kMicrosecond)
                            // with repetitions: the best rate, the least disturbed by other load
                            ->ComputeStatistics("max", [](const std::vector<double>& v) {
                                return *std::max_element(v.begin(), v.end());
                            });
                    }
                }
        return true;
    }();

} // namespace

BENCHMARK_MAIN();
