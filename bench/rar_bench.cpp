// RAR 2.9 members of the shared corpus, mapped (unpacked and CRC-checked) in process; MB/s
// of unpacked bytes. unar, the peer, runs only as a process: bench/rar_vs_unar.sh times
// both at process level on the members of 20 MB and more.
// A large stored RAR 5 member from the test writer, mapped with its BLAKE2sp hash checked
// and with its CRC-32 checked, beside the mapper's BLAKE2sp and the core CRC-32 over the same
// bytes: what each check costs per GB. libb2's own blake2sp is the peer; the mapper cannot
// use it, as it leaves out the leaves of OpenMP threads that do not start.
#include <benchmark/benchmark.h>

#include <blake2.h>

#include <string>
#include <vector>

#include <norva/core/crc32.hpp>
#include <norva/core/exception.hpp>
#include <norva/filesystem/mapper.hpp>

#include "rar/rar_test_helpers.hpp"

namespace
{
    using namespace norva;
    using namespace norva::filesystem;

    const std::string corpus = ZELMORA_SOURCE_DIR "/../shared/corpus/archives/";

    struct Member
    {
        const char* archive;
        const char* name;
    };

    const Member members[] = {
        { "libarchive/test_read_format_rar_multi_lzss_blocks.rar", "multi_lzss_blocks_test.txt" }, // 20.1 MB, LZ
        { "libarchive/test_read_format_rar_binary_data.rar", "random_data.bin" },                  // 1 MB random
        { "libarchive/test_read_format_rar_filter.rar", "bsdcat.exe" },                          // E8E9 + delta
        { "junrar/audio/BoatModernEnglish-regular-unpack30.rar", "BoatModernEnglish.wav" },       // LZ on audio
        { "libarchive/test_read_format_rar_ppmd_lzss_conversion.rar", "ppmd_lzss_conversion_test.txt" }, // 241.6 MB, LZ + PPMd
        { "junrar/ppm/legit-maxmb63.rar", "final_payload.txt" },                                  // PPMd, order 64
    };

    void mapMember(benchmark::State& state)
    {
        const Member& m = members[state.range(0)];
        state.SetLabel(m.name);
        std::unique_ptr<VirtualMemory> archive;
        try
        {
            archive = mapHostFile(corpus + m.archive);
        }
        catch (const Exception& e)
        {
            state.SkipWithError(e.what());
            return;
        }
        auto mapper = createMapperRAR(*archive, "");
        u64 bytes = 0;
        for (auto _ : state)
        {
            auto member = mapper->mmap(m.name);
            ConstMemory memory = *member;
            u8 x = 0;
            for (u64 i = 0; i < memory.size; i += 4096)
                x ^= memory.address[i];
            benchmark::DoNotOptimize(x);
            bytes += memory.size;
        }
        state.SetBytesProcessed(s64(bytes));
    }

    constexpr u64 STORED_SIZE = u64(256) << 20;

    const rartest::Bytes& storedContent()
    {
        static const rartest::Bytes data = [] {
            rartest::Bytes out(STORED_SIZE);
            u64 x = 0x9E3779B97F4A7C15;
            for (u64 i = 0; i < out.size(); ++i)
            {
                x ^= x << 13, x ^= x >> 7, x ^= x << 17;
                out[i] = u8(x);
            }
            return out;
        }();
        return data;
    }

    // range 0: the member with a CRC-32, 1: with a BLAKE2sp hash instead
    void mapStoredRar5(benchmark::State& state)
    {
        const bool blake2 = state.range(0) != 0;
        state.SetLabel(blake2 ? "BLAKE2sp" : "CRC-32");
        rartest::Rar5File member { "big.bin", storedContent() };
        member.blake2 = blake2;
        const rartest::Bytes archive = rartest::rar5({ member });
        auto mapper = createMapperRAR(ConstMemory(archive.data(), archive.size()), "");
        for (auto _ : state)
        {
            auto view = mapper->mmap("big.bin");
            benchmark::DoNotOptimize(ConstMemory(*view).address);
        }
        state.SetBytesProcessed(s64(state.iterations()) * s64(STORED_SIZE));
    }

    void blake2spAlone(benchmark::State& state)
    {
        const rartest::Bytes& data = storedContent();
        u8 hash[rar::BLAKE2SP_SIZE];
        for (auto _ : state)
        {
            rar::blake2sp(hash, ConstMemory(data.data(), data.size()));
            benchmark::DoNotOptimize(hash);
        }
        state.SetBytesProcessed(s64(state.iterations()) * s64(STORED_SIZE));
    }

    void blake2spLibb2(benchmark::State& state)
    {
        const rartest::Bytes& data = storedContent();
        u8 hash[rar::BLAKE2SP_SIZE];
        for (auto _ : state)
        {
            ::blake2sp(hash, data.data(), nullptr, sizeof(hash), data.size(), 0);
            benchmark::DoNotOptimize(hash);
        }
        state.SetBytesProcessed(s64(state.iterations()) * s64(STORED_SIZE));
        state.SetLabel("libb2 (OpenMP)");
    }

    void crc32Alone(benchmark::State& state)
    {
        const rartest::Bytes& data = storedContent();
        for (auto _ : state)
            benchmark::DoNotOptimize(crc32(0, ConstMemory(data.data(), data.size())));
        state.SetBytesProcessed(s64(state.iterations()) * s64(STORED_SIZE));
    }

} // namespace

BENCHMARK(mapMember)->DenseRange(0, int(std::size(members)) - 1)->Unit(benchmark::kMillisecond);
BENCHMARK(mapStoredRar5)->DenseRange(0, 1)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(blake2spAlone)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(blake2spLibb2)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(crc32Alone)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK_MAIN();
