// CRC-32 throughput: our entry point, its portable slicing-by-8 kernel, libdeflate and zlib
// over the same buffers in one run.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include <libdeflate.h>
#include <zlib.h>

#include "core/crc32_private.hpp"

namespace
{
    const std::vector<unsigned char>& data(std::size_t size)
    {
        static std::vector<unsigned char> bytes = [] {
            std::vector<unsigned char> v(std::size_t(64) << 20);
            std::mt19937 rng(1);
            for (auto& b : v)
            {
                b = static_cast<unsigned char>(rng());
            }
            return v;
        }();
        (void)size;
        return bytes;
    }

    template <typename F>
    void run(benchmark::State& state, F crc)
    {
        const std::size_t size = std::size_t(state.range(0));
        const auto& bytes = data(size);
        for (auto _ : state)
        {
            benchmark::DoNotOptimize(crc(bytes.data(), size));
        }
        state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(size));
    }

    void norvaCrc32(benchmark::State& state)
    {
        run(state, [](const unsigned char* p, std::size_t n) { return norva::crc32(0, norva::ConstMemory(p, n)); });
    }

    void norvaSlicing8(benchmark::State& state)
    {
        run(state, [](const unsigned char* p, std::size_t n) {
            return norva::detail::crc32_slice8(0, norva::ConstMemory(p, n));
        });
    }

    void libdeflateCrc32(benchmark::State& state)
    {
        run(state, [](const unsigned char* p, std::size_t n) { return libdeflate_crc32(0, p, n); });
    }

    void zlibCrc32(benchmark::State& state)
    {
        run(state, [](const unsigned char* p, std::size_t n) { return crc32_z(0, p, n); });
    }

} // namespace

#define SIZES ->Arg(64)->Arg(4096)->Arg(1 << 20)->Arg(64 << 20)
BENCHMARK(norvaCrc32) SIZES;
BENCHMARK(norvaSlicing8) SIZES;
BENCHMARK(libdeflateCrc32) SIZES;
BENCHMARK(zlibCrc32) SIZES;
BENCHMARK_MAIN();
