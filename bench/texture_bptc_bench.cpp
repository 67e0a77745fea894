// BC7 and BC6H encoding throughput (items = pixels) and quality on the photograph tiled to
// 2048 x 2048, beside libsquish's BC1 cluster fit on the same pixels (the in-process
// reference; bc7enc, an npm CLI, runs beside it in texture_bptc_bench.sh):
//   bc7/1, bc7/all     TextureCompressionInfo::compress of the BC7 row on one thread and on
//                      the library's pool (every hardware thread)
//   bc6h/1, bc6h/all   the same for the unsigned BC6H row (8-bit pixels through the Blitter)
//   squish-bc1/1       squish::CompressImage with kColourClusterFit on one thread
// The counter "psnr" is RGB PSNR in dB of the decoded result against the source.
// The BPTC searches try thousands of palettes per block: by default the rows encode the
// 256 x 256 centre of the tiling; ZELMORA_BPTC_BENCH_SIZE=2048 encodes all of it (half an
// hour on one thread). One iteration per row:
//   OMP_NUM_THREADS=1 norva_texture_bptc_bench
// Compare within one run only.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
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
    int benchSize()
    {
        const char* text = std::getenv("ZELMORA_BPTC_BENCH_SIZE");
        const int size = text ? std::atoi(text) : 256;
        return size >= 4 && size <= 2048 ? size & ~3 : 256;
    }

    // The centre benchSize() square of the photograph tiled to 2048 x 2048, RGBA 8888.
    const Bitmap& pixels()
    {
        static Bitmap* bitmap = [] {
            const Bitmap photo(ZELMORA_SOURCE_DIR "/tests/fixtures/texture/photo_grace_hopper.jpg", Format::RGBA8888);
            const int size = benchSize();
            const int origin = (2048 - size) / 2;
            auto* b = new Bitmap(size, size, Format::RGBA8888);
            for (int y = 0; y < size; ++y)
                for (int x = 0; x < size; ++x)
                    std::memcpy(b->address(x, y), photo.address((origin + x) % photo.width, (origin + y) % photo.height), 4);
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

    double psnr(const Surface& source, const Surface& decoded)
    {
        double sum = 0;
        for (int y = 0; y < source.height; ++y)
            for (int x = 0; x < source.width; ++x)
                for (int c = 0; c < 3; ++c)
                {
                    const double d = double(source.address(x, y)[c]) - decoded.address(x, y)[c];
                    sum += d * d;
                }
        const double mse = sum / (double(source.width) * source.height * 3);
        return mse > 0 ? 10.0 * std::log10(255.0 * 255.0 / mse) : 99.0;
    }

    void norvaEncode(benchmark::State& state, TextureCompression code, bool all)
    {
        const Bitmap& source = pixels();
        const TextureCompressionInfo info(code);
        std::vector<u8> blocks(info.getBlockDataSize(source.width, source.height));
        ThreadPool& pool = all ? ThreadPool::getInstance() : singlePool();
        for (auto _ : state)
        {
            const ImageDecodeStatus status = info.compress(Memory(blocks.data(), blocks.size()), source, pool);
            if (!status.success)
                state.SkipWithError(status.info.c_str());
            benchmark::DoNotOptimize(blocks.data());
        }
        state.SetItemsProcessed(state.iterations() * s64(source.width) * source.height);

        Bitmap decoded(source.width, source.height, Format::RGBA8888);
        info.decompress(decoded, ConstMemory(blocks.data(), blocks.size()));
        state.counters["psnr"] = psnr(source, decoded);
    }

    void squishEncode(benchmark::State& state)
    {
        const Bitmap& source = pixels();
        const int flags = squish::kDxt1 | squish::kColourClusterFit;
        std::vector<u8> rgba(size_t(source.width) * source.height * 4);
        for (int y = 0; y < source.height; ++y)
            std::memcpy(rgba.data() + size_t(y) * source.width * 4, source.address(0, y), size_t(source.width) * 4);
        std::vector<u8> blocks(size_t(squish::GetStorageRequirements(source.width, source.height, flags)));
        for (auto _ : state)
        {
            squish::CompressImage(rgba.data(), source.width, source.height, blocks.data(), flags);
            benchmark::DoNotOptimize(blocks.data());
        }
        state.SetItemsProcessed(state.iterations() * s64(source.width) * source.height);

        Bitmap decoded(source.width, source.height, Format::RGBA8888);
        squish::DecompressImage(decoded.image, source.width, source.height, blocks.data(), flags);
        state.counters["psnr"] = psnr(source, decoded);
    }

} // namespace

BENCHMARK_CAPTURE(norvaEncode, bc7/1, TextureCompression::BPTC_RGBA_UNORM, false)->Iterations(1)->UseRealTime();
BENCHMARK_CAPTURE(norvaEncode, bc7/all, TextureCompression::BPTC_RGBA_UNORM, true)->Iterations(1)->UseRealTime();
BENCHMARK_CAPTURE(norvaEncode, bc6h/1, TextureCompression::BPTC_RGB_UNSIGNED_FLOAT, false)->Iterations(1)->UseRealTime();
BENCHMARK_CAPTURE(norvaEncode, bc6h/all, TextureCompression::BPTC_RGB_UNSIGNED_FLOAT, true)->Iterations(1)->UseRealTime();
BENCHMARK(squishEncode)->Name("squish-bc1/1")->Iterations(3)->UseRealTime();

BENCHMARK_MAIN();
