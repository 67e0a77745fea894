// MGX decompression on the pool: one large file of many compressed blocks mapped with one
// worker and with one per hardware thread, through the mapper's pool seam. The ratio of the
// two is the speed-up of the parallel path (MGX has no outside peer).
// A large stored ZIP member mapped (a view into the archive, read once for its CRC-32)
// beside the core CRC-32 over the same bytes: the second row is what the check costs.

#include <benchmark/benchmark.h>

#include <map>
#include <random>
#include <string>
#include <thread>

#include <norva/core/thread.hpp>

#include <norva/core/crc32.hpp>
#include <norva/filesystem/mapper.hpp>

#include "archive/mgx_writer.hpp"
#include "archive/zip_builder.hpp"
#include "mapper_mgx.hpp"

using namespace norva;
using namespace norva::filesystem;
using namespace archive_test;

namespace
{
    constexpr u64 FILE_SIZE = u64(96) << 20;
    constexpr u64 BLOCK_SIZE = u64(1) << 20;

    // Text-like data: words with a little noise, so every method has work to do.
    const Bytes& content()
    {
        static const Bytes data = [] {
            std::mt19937 rng(146);
            const char* words[] = { "archive ", "member ", "block ", "segment ", "folder\n", "stream " };
            Bytes out;
            out.reserve(FILE_SIZE);
            while (out.size() < FILE_SIZE)
            {
                append(out, std::string(words[rng() % 6]));
                if (rng() % 16 == 0)
                {
                    out.push_back(u8(rng()));
                }
            }
            out.resize(FILE_SIZE);
            return out;
        }();
        return data;
    }

    const Bytes& archive(u32 method)
    {
        static std::map<u32, Bytes> archives;
        Bytes& a = archives[method];
        if (a.empty())
        {
            MgxWriter mgx;
            mgx.addFile("big.bin", content(), method, BLOCK_SIZE);
            for (MgxBlock& block : mgx.blocks)
            {
                block.level = 3;
            }
            a = mgx.build();
        }
        return a;
    }

    void mapBig(benchmark::State& state)
    {
        const u32 method = u32(state.range(0));
        const u32 workers = state.range(1) ? u32(state.range(1)) : std::max(1u, std::thread::hardware_concurrency());
        const Bytes& bytes = archive(method);
        ThreadPool pool(workers);
        auto mapper = filesystem::detail::createMapperMGX(ConstMemory(bytes.data(), bytes.size()), pool);
        for (auto _ : state)
        {
            auto memory = mapper->mmap("big.bin");
            benchmark::DoNotOptimize(memory->memory.address[memory->memory.size - 1]);
        }
        state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(FILE_SIZE));
        state.SetLabel(getCompressor(method).name + ", " + std::to_string(workers) + " worker(s)");
    }

    const Bytes& storedZip()
    {
        static const Bytes zip = [] {
            ZipBuilder builder;
            builder.add("big.bin", content(), 0);
            return builder.build();
        }();
        return zip;
    }

    void mapStoredZip(benchmark::State& state)
    {
        const Bytes& bytes = storedZip();
        auto mapper = createMapperZIP(ConstMemory(bytes.data(), bytes.size()), "");
        for (auto _ : state)
        {
            auto memory = mapper->mmap("big.bin");
            benchmark::DoNotOptimize(memory->memory.address[memory->memory.size - 1]);
        }
        state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(FILE_SIZE));
        state.SetLabel("stored ZIP member, CRC-32 checked");
    }

    void crc32Alone(benchmark::State& state)
    {
        const Bytes& data = content();
        for (auto _ : state)
        {
            benchmark::DoNotOptimize(crc32(0, ConstMemory(data.data(), data.size())));
        }
        state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(FILE_SIZE));
        state.SetLabel("core CRC-32 over the same bytes (the check's cost)");
    }

} // namespace

BENCHMARK(mapStoredZip)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(crc32Alone)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// method (1 zlib, 5 zstd, 7 lzma), workers (0: one per hardware thread)
BENCHMARK(mapBig)->Args({ 1, 1 })->Args({ 1, 0 })->Args({ 5, 1 })->Args({ 5, 0 })->Args({ 7, 1 })->Args({ 7, 0 })
    ->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

BENCHMARK_MAIN();
