// Pixel conversion throughput (items = pixels): the generic converters on common pairs,
// scalar forced and with SSE2, on one thread and split into bands over eight, beside a
// plain per-pixel loop and memcpy of the same bytes in the same run.

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include <norva/core/thread.hpp>
#include <norva/image/blitter.hpp>
#include <norva/image/surface.hpp>

#include "blitter/blitter_private.hpp"

using namespace norva;

namespace
{

    struct Pair
    {
        const char* name;
        Format dest;
        Format source;
    };

    const Pair pairs[] = {
        { "BGRA8888<-RGBA8888", Format::BGRA8888, Format::RGBA8888 },
        { "RGBA8888<-BGR565", Format::RGBA8888, Format::BGR565 },
        { "BGR565<-BGRA8888", Format::BGR565, Format::BGRA8888 },
        { "BGRA8888<-RGB888", Format::BGRA8888, Format::RGB888 },
        { "RGBA8888<-L8", Format::RGBA8888, Format::L8 },
        { "RGBA8888<-RGBA16", Format::RGBA8888, Format::RGBA16 },
        { "RGBA8888<-RGBA32F", Format::RGBA8888, Format::RGBA32F },
        { "RGBA32F<-RGBA16F", Format::RGBA32F, Format::RGBA16F },
    };

    struct Images
    {
        Bitmap source;
        Bitmap dest;
        Images(int size, const Format& d, const Format& s)
            : source(size, size, s)
            , dest(size, size, d)
        {
            u32 seed = 1;
            for (size_t i = 0; i < size_t(source.stride) * size; ++i)
            {
                seed = seed * 1664525u + 1013904223u;
                source.image[i] = u8(seed >> 24);
            }
            // keep float sources in range and free of NaNs
            if (s.type == Format::FLOAT32)
                for (size_t i = 0; i < size_t(source.stride) * size / 4; ++i)
                    reinterpret_cast<float*>(source.image)[i] = float(i % 1000) / 1000.0f;
            if (s.type == Format::FLOAT16)
                for (size_t i = 0; i < size_t(source.stride) * size / 2; ++i)
                    reinterpret_cast<u16*>(source.image)[i] = floatToHalf(float(i % 1000) / 1000.0f);
        }
        BlitRect rect() const
        {
            return BlitRect { dest.image, dest.stride, source.image, source.stride, dest.width, dest.height };
        }
    };

    ThreadPool& pool8()
    {
        static ThreadPool pool(8);
        return pool;
    }

    // args: pair index, image size, threads, 1 = SSE2 allowed
    void Convert(benchmark::State& state)
    {
        const Pair& pair = pairs[state.range(0)];
        const int size = int(state.range(1));
        const int threads = int(state.range(2));
        const CPUFlags flags = state.range(3) ? getCPUFlags() : 0;
        Images im(size, pair.dest, pair.source);
        const Blitter blitter = makeBlitter(pair.dest, pair.source, flags, false);
        for (auto _ : state)
        {
            convertBands(blitter, im.rect(), threads, pool8());
            benchmark::ClobberMemory();
        }
        state.SetLabel(std::string(pair.name) + (blitter.path == Blitter::Path::UNORM_SSE2 ? " sse2" : " scalar"));
        state.SetItemsProcessed(state.iterations() * s64(size) * size);
    }

    // The peer: a plain per-pixel loop swapping red and blue, as anyone would write it.
    void PlainSwapLoop(benchmark::State& state)
    {
        const int size = int(state.range(0));
        Images im(size, Format::BGRA8888, Format::RGBA8888);
        const size_t pixels = size_t(size) * size;
        for (auto _ : state)
        {
            const u8* s = im.source.image;
            u8* d = im.dest.image;
            for (size_t i = 0; i < pixels; ++i)
            {
                d[0] = s[2];
                d[1] = s[1];
                d[2] = s[0];
                d[3] = s[3];
                d += 4;
                s += 4;
            }
            benchmark::ClobberMemory();
        }
        state.SetItemsProcessed(state.iterations() * s64(pixels));
    }

    void Memcpy32(benchmark::State& state)
    {
        const int size = int(state.range(0));
        Images im(size, Format::RGBA8888, Format::RGBA8888);
        for (auto _ : state)
        {
            std::memcpy(im.dest.image, im.source.image, size_t(size) * size * 4);
            benchmark::ClobberMemory();
        }
        state.SetItemsProcessed(state.iterations() * s64(size) * size);
    }

    void Arguments(benchmark::internal::Benchmark* b)
    {
        for (int pair = 0; pair < int(std::size(pairs)); ++pair)
            for (int size : { 512, 4096 })
                for (int threads : { 1, 8 })
                    for (int sse2 : { 0, 1 })
                        b->Args({ pair, size, threads, sse2 });
    }

} // namespace

BENCHMARK(Convert)->Apply(Arguments)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(PlainSwapLoop)->Arg(512)->Arg(4096)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(Memcpy32)->Arg(512)->Arg(4096)->UseRealTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
