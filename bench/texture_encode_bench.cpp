// Block encoding throughput (items = pixels) and quality on the photograph tiled to
// 2048 x 2048, beside libsquish in the same run:
//   norva-<codec>/1     TextureCompressionInfo::compress on one thread (a pool that has been
//                       shut down runs every block-row task on the calling thread)
//   norva-<codec>/all   the same on the library's pool (every hardware thread)
//   squish-<codec>-range/1, -cluster/1   squish::CompressImage with kColourRangeFit or
//                       kColourClusterFit on one thread (BC4/BC5 have no colour fit: one row)
//   squish-.../all      squish::CompressImage of one block row per task on the same pool
// Counters: "psnr" in dB against the source over the codec's channels (BC1, BC3, ETC1 red,
// green and blue; BC4 red; BC5 red and green), every result decoded by this library's
// decoders (libsquish 1.15 decodes BC4/BC5 as BC1); "mpix" = Mpixels/s of real time.
// libsquish parallelises CompressImage with OpenMP: run with OMP_NUM_THREADS=1 so that its
// /1 rows are one thread and its /all rows are the block rows on the pool:
//   OMP_NUM_THREADS=1 norva_texture_encode_bench --benchmark_min_time=0.5
// (add --benchmark_filter=bc1 for one codec). Compare within one run only.
//
// Rows are the two tables below: an encoder with a libsquish twin goes into `codecs` with
// its flags, one without (ETC1, BC6H, BC7) with flags 0.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include <squish.h>

#include <norva/core/thread.hpp>
#include <norva/image/surface.hpp>
#include <norva/image/texture.hpp>

using namespace norva;

namespace
{
    constexpr int size = 2048;

    struct Codec
    {
        const char* name;
        TextureCompression code;
        int channels;    // mask of the channels the PSNR covers (bit c = channel c)
        int squishFlags; // 0: no libsquish twin
        bool colourFit;  // libsquish has a range and a cluster fit for it
    };

    constexpr Codec codecs[] = {
        { "bc1", TextureCompression::DXT1, 7, squish::kDxt1, true },
        { "bc3", TextureCompression::DXT5, 7, squish::kDxt5, true },
        { "bc4", TextureCompression::RGTC1_RED, 1, squish::kBc4, false },
        { "bc5", TextureCompression::RGTC2_RG, 3, squish::kBc5, false },
        { "etc1", TextureCompression::ETC1_RGB, 7, 0, false },
    };

    // BC7 and BC6H, one iteration each: BC7 (a pruned search, about 8 Mpixels/s a thread)
    // takes under a second on the tiling, BC6H (every mode searched, on the order of
    // 0.01 Mpixels/s a thread) ten minutes and more for bc6h/1. bc7enc, an npm CLI, runs
    // beside them in texture_bptc_bench.sh.
    constexpr Codec searchCodecs[] = {
        { "bc7", TextureCompression::BPTC_RGBA_UNORM, 7, 0, false },
        { "bc6h", TextureCompression::BPTC_RGB_UNSIGNED_FLOAT, 7, 0, false },
    };

    // The photograph tiled to size x size, RGBA 8888.
    const Bitmap& pixels()
    {
        static Bitmap* bitmap = [] {
            const Bitmap photo(ZELMORA_SOURCE_DIR "/tests/fixtures/texture/photo_grace_hopper.jpg", Format::RGBA8888);
            auto* b = new Bitmap(size, size, Format::RGBA8888);
            for (int y = 0; y < size; ++y)
                for (int x = 0; x < size; x += photo.width)
                {
                    const int run = std::min(photo.width, size - x);
                    std::memcpy(b->address(x, y), photo.address(0, y % photo.height), size_t(run) * 4);
                }
            return b;
        }();
        return *bitmap;
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

    // Decodes the blocks with this library's decoder of the row and measures the channels.
    double psnr(const Codec& codec, const std::vector<u8>& blocks)
    {
        const Bitmap& source = pixels();
        Bitmap decoded(size, size, Format::RGBA8888);
        const TextureCompressionInfo info(codec.code);
        if (!info.decompress(decoded, ConstMemory(blocks.data(), blocks.size())).success)
            return 0.0;
        double sum = 0;
        u64 count = 0;
        for (int y = 0; y < size; ++y)
        {
            const u8* a = source.address(0, y);
            const u8* b = decoded.address(0, y);
            for (int i = 0; i < size * 4; ++i)
            {
                if (!(codec.channels & (1 << (i & 3))))
                    continue;
                const double d = double(a[i]) - b[i];
                sum += d * d;
                ++count;
            }
        }
        const double mse = sum / double(count);
        return mse > 0 ? 10.0 * std::log10(255.0 * 255.0 / mse) : 99.0;
    }

    void finish(benchmark::State& state, const Codec& codec, const std::vector<u8>& blocks)
    {
        state.SetItemsProcessed(state.iterations() * s64(size) * size);
        state.counters["mpix"] = benchmark::Counter(double(size) * size * 1e-6 * double(state.iterations()),
                                                    benchmark::Counter::kIsRate);
        state.counters["psnr"] = psnr(codec, blocks);
    }

    void norvaEncode(benchmark::State& state, const Codec& codec, bool all)
    {
        const Bitmap& source = pixels();
        const TextureCompressionInfo info(codec.code);
        std::vector<u8> blocks(info.getBlockDataSize(size, size));
        ThreadPool& pool = all ? ThreadPool::getInstance() : singlePool();
        for (auto _ : state)
        {
            const ImageDecodeStatus status = info.compress(Memory(blocks.data(), blocks.size()), source, pool);
            if (!status.success)
                state.SkipWithError(status.info.c_str());
            benchmark::DoNotOptimize(blocks.data());
        }
        finish(state, codec, blocks);
    }

    void squishEncode(benchmark::State& state, const Codec& codec, int fit, bool all)
    {
        const Bitmap& source = pixels();
        const int flags = codec.squishFlags | fit;
        const int rowBytes = squish::GetStorageRequirements(size, 4, flags);
        std::vector<u8> blocks(size_t(rowBytes) * (size / 4));
        for (auto _ : state)
        {
            if (all)
            {
                // one block row per task, as the library's driver cuts its work
                TaskQueue queue(ThreadPool::getInstance(), "concurrent.default", 1);
                for (int by = 0; by < size / 4; ++by)
                {
                    queue.enqueue([&, by] {
                        squish::CompressImage(source.address(0, by * 4), size, 4, source.stride,
                                              blocks.data() + size_t(by) * rowBytes, flags);
                    });
                }
                queue.wait();
            }
            else
            {
                squish::CompressImage(source.image, size, size, source.stride, blocks.data(), flags);
            }
            benchmark::DoNotOptimize(blocks.data());
        }
        finish(state, codec, blocks);
    }

    void registerRows()
    {
        for (const Codec& codec : searchCodecs)
            for (bool all : { false, true })
                benchmark::RegisterBenchmark(("norva-" + std::string(codec.name) + (all ? "/all" : "/1")).c_str(),
                                             norvaEncode, codec, all)
                    ->Iterations(1)
                    ->UseRealTime();

        for (const Codec& codec : codecs)
        {
            for (bool all : { false, true })
            {
                const std::string threads = all ? "/all" : "/1";
                benchmark::RegisterBenchmark(("norva-" + std::string(codec.name) + threads).c_str(), norvaEncode,
                                             codec, all)
                    ->UseRealTime();
                if (!codec.squishFlags)
                    continue;
                if (codec.colourFit)
                {
                    benchmark::RegisterBenchmark(("squish-" + std::string(codec.name) + "-range" + threads).c_str(),
                                                 squishEncode, codec, int(squish::kColourRangeFit), all)
                        ->UseRealTime();
                    benchmark::RegisterBenchmark(("squish-" + std::string(codec.name) + "-cluster" + threads).c_str(),
                                                 squishEncode, codec, int(squish::kColourClusterFit), all)
                        ->UseRealTime();
                }
                else
                {
                    benchmark::RegisterBenchmark(("squish-" + std::string(codec.name) + threads).c_str(),
                                                 squishEncode, codec, 0, all)
                        ->UseRealTime();
                }
            }
        }
    }

} // namespace

int main(int argc, char** argv)
{
    registerRows();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
