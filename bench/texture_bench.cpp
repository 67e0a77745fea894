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
// ASTC 4x4 and 8x8 (LDR, linear rows into RGBA 8888) beside libastcenc's decompressor:
//   astcenc/1    astcenc_decompress_image on a one-thread context
//   astcenc/all  the same image on a context of every hardware thread, one pool task per
//                astcenc thread index
// The ASTC blocks are real encodings (libastcenc, fast preset) of a 512 x 512 synthetic
// picture, tiled to 4096 x 4096: random blocks would mostly decode to the error colour.
//   OMP_NUM_THREADS=1 norva_texture_bench --benchmark_repetitions=3
//   norva_texture_bench --benchmark_filter=ASTC --benchmark_min_time=0.5
// The ETC2, BPTC and PVRTC rows (registerBlockDecoders) report scaling: all / 1 per row.
//   norva_texture_bench --benchmark_filter='ETC2|BC7|BC6H|PVRTC' --benchmark_min_time=1
// Compare within one run only.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <tuple>
#include <vector>

#include <astcenc.h>
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

    // The timed loop of every norva row: `data` decoded into a size x size bitmap.
    void timeDecode(benchmark::State& state, const TextureCompressionInfo& info, const std::vector<u8>& data,
                    Format format, bool all)
    {
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

    void norvaDecode(benchmark::State& state, TextureCompression code, Format format, bool all)
    {
        const TextureCompressionInfo info(code);
        timeDecode(state, info, blocks(info.bytes), format, all);
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

    // --- ASTC beside libastcenc ---------------------------------------------------------------

    // A 512 x 512 picture with smooth gradients, hard edges, noise and an alpha ramp.
    std::vector<u8> astcSourcePicture()
    {
        constexpr int n = 512;
        std::vector<u8> rgba(size_t(n) * n * 4);
        std::mt19937 random(7);
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x)
            {
                u8* p = &rgba[(size_t(y) * n + x) * 4];
                const int noise = int(random() % 24);
                const bool stripe = ((x / 37) + (y / 53)) & 1;
                p[0] = u8((x * 255 / n + noise) & 0xFF);
                p[1] = u8(stripe ? 200 - y / 4 : 40 + noise);
                p[2] = u8(((x ^ y) & 0x40) ? 230 : (x + y) / 4);
                p[3] = u8(std::min(255, 128 + (y - n / 2) + noise));
            }
        return rgba;
    }

    // The picture encoded with libastcenc and its blocks tiled to a size x size texture.
    const std::vector<u8>& astcBlocks(int block)
    {
        static std::vector<u8> data[2];
        std::vector<u8>& tiled = data[block == 8];
        if (!tiled.empty())
            return tiled;
        constexpr int n = 512;
        std::vector<u8> picture = astcSourcePicture();
        astcenc_config config;
        astcenc_context* context = nullptr;
        if (astcenc_config_init(ASTCENC_PRF_LDR, block, block, 1, ASTCENC_PRE_FAST, 0, &config) != ASTCENC_SUCCESS ||
            astcenc_context_alloc(&config, 1, &context) != ASTCENC_SUCCESS)
            return tiled;
        void* slices[1] = { picture.data() };
        astcenc_image image { n, n, 1, ASTCENC_TYPE_U8, slices };
        const astcenc_swizzle swizzle { ASTCENC_SWZ_R, ASTCENC_SWZ_G, ASTCENC_SWZ_B, ASTCENC_SWZ_A };
        const int tileBlocks = n / block;
        std::vector<u8> encoded(size_t(tileBlocks) * tileBlocks * 16);
        const astcenc_error error = astcenc_compress_image(context, &image, &swizzle, encoded.data(), encoded.size(), 0);
        astcenc_context_free(context);
        if (error != ASTCENC_SUCCESS)
            return tiled;

        const int blocksPerRow = size / block;
        tiled.resize(size_t(blocksPerRow) * blocksPerRow * 16);
        for (int by = 0; by < blocksPerRow; ++by)
            for (int bx = 0; bx < blocksPerRow; ++bx)
                std::memcpy(&tiled[(size_t(by) * blocksPerRow + bx) * 16],
                            &encoded[(size_t(by % tileBlocks) * tileBlocks + bx % tileBlocks) * 16], 16);
        return tiled;
    }

    void norvaDecodeASTC(benchmark::State& state, TextureCompression code, int block, bool all)
    {
        const TextureCompressionInfo info(code);
        const std::vector<u8>& data = astcBlocks(block);
        if (data.empty())
        {
            state.SkipWithError("libastcenc could not encode the picture");
            return;
        }
        timeDecode(state, info, data, Format::RGBA8888, all);
    }

    void astcencDecode(benchmark::State& state, int block, bool all)
    {
        const std::vector<u8>& data = astcBlocks(block);
        const unsigned threads = all ? ThreadPool::getHardwareConcurrency() : 1;
        astcenc_config config;
        astcenc_context* context = nullptr;
        if (data.empty() ||
            astcenc_config_init(ASTCENC_PRF_LDR, block, block, 1, ASTCENC_PRE_FAST, ASTCENC_FLG_DECOMPRESS_ONLY, &config) != ASTCENC_SUCCESS ||
            astcenc_context_alloc(&config, threads, &context) != ASTCENC_SUCCESS)
        {
            state.SkipWithError("no libastcenc context");
            return;
        }
        std::vector<u8> rgba(size_t(size) * size * 4, 1);
        void* slices[1] = { rgba.data() };
        astcenc_image image { size, size, 1, ASTCENC_TYPE_U8, slices };
        const astcenc_swizzle swizzle { ASTCENC_SWZ_R, ASTCENC_SWZ_G, ASTCENC_SWZ_B, ASTCENC_SWZ_A };
        for (auto _ : state)
        {
            if (threads == 1)
            {
                astcenc_decompress_image(context, data.data(), data.size(), &image, &swizzle, 0);
            }
            else
            {
                TaskQueue queue;
                for (unsigned t = 0; t < threads; ++t)
                    queue.enqueue([&, t] { astcenc_decompress_image(context, data.data(), data.size(), &image, &swizzle, t); });
                queue.wait();
                astcenc_decompress_reset(context);
            }
            benchmark::DoNotOptimize(rgba.data());
        }
        state.SetItemsProcessed(state.iterations() * s64(size) * size);
        astcenc_context_free(context);
    }

    void registerASTC()
    {
        using TC = TextureCompression;
        for (const auto& [name, code, block] : { std::tuple { "ASTC4x4", TC::ASTC_RGBA_4x4, 4 },
                                                 std::tuple { "ASTC8x8", TC::ASTC_RGBA_8x8, 8 } })
        {
            for (bool all : { false, true })
            {
                const std::string threads = all ? "all" : "1";
                benchmark::RegisterBenchmark((std::string(name) + "/norva/" + threads).c_str(),
                                             [code = code, block = block, all](benchmark::State& s) {
                                                 norvaDecodeASTC(s, code, block, all);
                                             })
                    ->Unit(benchmark::kMillisecond)
                    ->UseRealTime();
                benchmark::RegisterBenchmark((std::string(name) + "/astcenc/" + threads).c_str(),
                                             [block = block, all](benchmark::State& s) { astcencDecode(s, block, all); })
                    ->Unit(benchmark::kMillisecond)
                    ->UseRealTime();
            }
        }
    }

    // ETC2 RGBA, BC7, BC6H and PVRTC 4 bpp: the drivers alone, one thread against all of
    // them (no in-process peer decodes these here). ETC2 and PVRTC decode RGBA 8888 directly;
    // BC7 and BC6H write four floats per texel directly ("float"), and BC7 also through the
    // block temporary and the Blitter into RGBA 8888 ("rgba8"). PVRTC is one call for the
    // whole image (every texel needs its neighbouring words), so its two figures are the same
    // work on one thread.
    void registerBlockDecoders()
    {
        using TC = TextureCompression;
        struct Row
        {
            const char* name;
            TC code;
            Format format;
        };
        const Row rows[] = {
            { "ETC2_RGBA", TC::ETC2_RGBA, Format::RGBA8888 },
            { "BC7/float", TC::BPTC_RGBA_UNORM, Format::RGBA32F },
            { "BC7/rgba8", TC::BPTC_RGBA_UNORM, Format::RGBA8888 },
            { "BC6H/float", TC::BPTC_RGB_UNSIGNED_FLOAT, Format::RGBA32F },
            { "PVRTC_4BPP", TC::PVRTC_RGBA_4BPP, Format::RGBA8888 },
        };
        for (const Row& row : rows)
        {
            for (bool all : { false, true })
            {
                benchmark::RegisterBenchmark((std::string(row.name) + "/norva/" + (all ? "all" : "1")).c_str(),
                                             [row, all](benchmark::State& s) { norvaDecode(s, row.code, row.format, all); })
                    ->Unit(benchmark::kMillisecond)
                    ->UseRealTime();
            }
        }
    }

} // namespace

int main(int argc, char** argv)
{
    registerAll();
    registerASTC();
    registerBlockDecoders();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
