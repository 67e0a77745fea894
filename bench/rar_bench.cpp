// RAR 2.9 members of the shared corpus, mapped (unpacked and CRC-checked) in process; MB/s
// of unpacked bytes. unar, the peer, runs only as a process: bench/rar_vs_unar.sh times
// both at process level on the members of 20 MB and more.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include <norva/core/exception.hpp>
#include <norva/filesystem/mapper.hpp>

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

} // namespace

BENCHMARK(mapMember)->DenseRange(0, int(std::size(members)) - 1)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
