// Block decoding throughput (items = pixels) of a 4096 x 4096 texture, in one run beside
// libsquish's decompressor:
//   norva/1     TextureCompressionInfo::decompress on one thread (a pool that has been shut
//               down runs every block-row task on the calling thread)
//   norva/all   the same on the library's pool (every hardware thread)
//   squish/1    squish::DecompressImage of the whole image on one thread
//   squish/all  squish::DecompressImage of row bands, one task per band on the same pool
// BC1 and BC3 decode into RGBA 8888 (the rows' own format: the direct path). BC4's row
// format is four floats per texel; "rgba8" decodes it into RGBA 8888 through the block
// temporary and the Blitter instead. libsquish 1.15 decodes BC4 blocks as if they were BC1
// (a known fault), so its BC4 figure is only a speed reference.
// libsquish parallelises DecompressImage with OpenMP: run with OMP_NUM_THREADS=1 so that
// squish/1 is one thread and squish/all is the bands on the pool.
//   OMP_NUM_THREADS=1 norva_texture_bench --benchmark_repetitions=3
// Compare within one run only.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include <squish.h>

#include <norva/core/thread.hpp>
#include <norva/image/surface.hpp>
#include <norva/image/texture.hpp>

using namespace norva;

namespace
{
    constexpr int size = 4096;

    // Random blocks: every mode and index pattern, nothing a decoder could shortcut.
    const std::vector<u8>& blocks(int bytes)
    {
        static std::vector<u8> data[3];
        std::vector<u8>& v = data[bytes / 8];
        if (v.empty())
        {
            v.resize(size_t(size / 4) * (size / 4) * bytes);
            std::mt19937 random(bytes);
            for (u8& b : v)
                b = u8(random());
        }
        return v;
    }

    ThreadPool& singlePool()
    {
        static ThreadPool* pool = [] {
            auto* p = new ThreadPool(1);
            p->shutdown();
            return p;
        }();
        return *pool;
    }

    void norvaDecode(benchmark::State& state, TextureCompression code, Format format, bool all)
    {
        const TextureCompressionInfo info(code);
        const std::vector<u8>& data = blocks(info.bytes);
        Bitmap bitmap(size, size, format);
        // calloc maps zero pages lazily: fault them in before timing, as the peer's vector is
        std::memset(bitmap.image, 1, size_t(bitmap.stride) * size);
        ThreadPool& pool = all ? ThreadPool::getInstance() : singlePool();
        for (auto _ : state)
        {
            const ImageDecodeStatus status = info.decompress(bitmap, ConstMemory(data.data(), data.size()), pool);
            if (!status.success)
                state.SkipWithError(status.info.c_str());
            benchmark::DoNotOptimize(bitmap.image);
        }
        state.SetItemsProcessed(state.iterations() * s64(size) * size);
    }

    void squishDecode(benchmark::State& state, int flags, int bytes, bool all)
    {
        const std::vector<u8>& data = blocks(bytes);
        std::vector<u8> rgba(size_t(size) * size * 4);
        const int bands = all ? int(ThreadPool::getHardwareConcurrency()) : 1;
        const int rowsPerBand = (size / 4 + bands - 1) / bands * 4;
        for (auto _ : state)
        {
            if (!all)
            {
                squish::DecompressImage(rgba.data(), size, size, data.data(), flags);
            }
            else
            {
                TaskQueue queue;
                for (int y = 0; y < size; y += rowsPerBand)
                {
                    queue.enqueue([&, y] {
                        const int rows = std::min(rowsPerBand, size - y);
                        squish::DecompressImage(rgba.data() + size_t(y) * size * 4, size, rows,
                                                data.data() + size_t(y / 4) * (size / 4) * bytes, flags);
                    });
                }
                queue.wait();
            }
            benchmark::DoNotOptimize(rgba.data());
        }
        state.SetItemsProcessed(state.iterations() * s64(size) * size);
    }

    void registerAll()
    {
        using TC = TextureCompression;
        struct Row
        {
            const char* name;
            TC code;
            Format format;
            int squishFlags;
        };
        const Row rows[] = {
            { "BC1", TC::DXT1, Format::RGBA8888, squish::kDxt1 },
            { "BC3", TC::DXT5, Format::RGBA8888, squish::kDxt5 },
            { "BC4/float", TC::RGTC1_RED, Format::RGBA32F, squish::kBc4 },
            { "BC4/rgba8", TC::RGTC1_RED, Format::RGBA8888, 0 },
        };
        for (const Row& row : rows)
        {
            for (bool all : { false, true })
            {
                const std::string threads = all ? "all" : "1";
                benchmark::RegisterBenchmark((std::string(row.name) + "/norva/" + threads).c_str(),
                                             [row, all](benchmark::State& s) { norvaDecode(s, row.code, row.format, all); })
                    ->Unit(benchmark::kMillisecond)
                    ->UseRealTime();
                if (row.squishFlags)
                {
                    const int bytes = TextureCompressionInfo(row.code).bytes;
                    benchmark::RegisterBenchmark((std::string(row.name) + "/squish/" + threads).c_str(),
                                                 [row, bytes, all](benchmark::State& s) {
                                                     squishDecode(s, row.squishFlags, bytes, all);
                                                 })
                        ->Unit(benchmark::kMillisecond)
                        ->UseRealTime();
                }
            }
        }
    }

} // namespace

int main(int argc, char** argv)
{
    registerAll();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
