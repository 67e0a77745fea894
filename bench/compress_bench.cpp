// Compression and decompression MB/s per method and level on a mixed 52 MiB corpus (text,
// structured binary, random), each beside the same library called directly, so that the
// pair shows what the wrapper costs.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <bzlib.h>
#include <libdeflate.h>
#include <lz4.h>
#include <lz4hc.h>
#include <lzo/lzo1x.h>
#include <zstd.h>
#include <cstddef>
#include <cstdint>
#include <lzfse.h>
#include <LzmaDec.h>
#include <LzmaEnc.h>
#include <Lzma2Dec.h>
#include <Lzma2Enc.h>
#include <Ppmd8.h>

#include <norva/core/compress.hpp>

namespace
{
    using namespace norva;
    using Bytes = std::vector<u8>;

    // ---- the corpus: 24 MiB text, 20 MiB structured binary, 8 MiB random

    const Bytes& corpus()
    {
        static const Bytes bytes = [] {
            std::mt19937 rng(7);
            Bytes out;
            static const char* words[] = { "the", "of", "and", "block", "stream", "archive", "window", "compression",
                "symbol", "range", "model", "is", "a", "to", "in", "decoder", "match", "Level", "header", "offset" };
            while (out.size() < (24u << 20))
            {
                const char* w = words[rng() % std::size(words)];
                out.insert(out.end(), w, w + std::strlen(w));
                if (rng() % 9 == 0)
                {
                    std::string number = std::to_string(rng() % 100000);
                    out.insert(out.end(), number.begin(), number.end());
                }
                out.push_back(rng() % 13 ? ' ' : '\n');
            }
            // records of ints, floats and flags, like a mesh or a table file
            float f = 0.0f;
            u32 counter = 0;
            while (out.size() < (44u << 20))
            {
                u8 record[16];
                u32 id = counter++;
                f += float(rng() % 1000) * 0.001f;
                u32 flags = (rng() % 7 == 0) ? rng() : 0x00010001;
                std::memcpy(record, &id, 4);
                std::memcpy(record + 4, &f, 4);
                std::memcpy(record + 8, &flags, 4);
                std::memset(record + 12, int(counter & 3), 4);
                out.insert(out.end(), record, record + 16);
            }
            while (out.size() < (52u << 20))
            {
                out.push_back(u8(rng()));
            }
            return out;
        }();
        return bytes;
    }

    // ---- the libraries called directly, as a user of each would

    struct SdkAlloc
    {
        static void* alloc(ISzAllocPtr, size_t n) { return std::malloc(n); }
        static void release(ISzAllocPtr, void* p) { std::free(p); }
    };
    const ISzAlloc sdkAlloc = { SdkAlloc::alloc, SdkAlloc::release };

    struct Writer
    {
        IByteOut vt;
        u8* p;
        u8* end;
    };
    struct Reader
    {
        IByteIn vt;
        const u8* p;
        const u8* end;
    };

    u64 directCompress(u32 method, Memory d, ConstMemory s, int level)
    {
        switch (method)
        {
            case 0:
                std::memcpy(d.address, s.address, s.size);
                return s.size;
            case 1:
            {
                libdeflate_compressor* c = libdeflate_alloc_compressor(std::clamp(level, 0, 10));
                size_t n = libdeflate_zlib_compress(c, s.address, s.size, d.address, d.size);
                libdeflate_free_compressor(c);
                return n;
            }
            case 2:
            {
                unsigned n = unsigned(d.size);
                BZ2_bzBuffToBuffCompress((char*)d.address, &n, (char*)s.address, unsigned(s.size), std::clamp(level, 1, 9), 0, 30);
                return n;
            }
            case 3:
            {
                level = std::clamp(level, 0, 10);
                return level < 7 ? LZ4_compress_fast((const char*)s.address, (char*)d.address, int(s.size), int(d.size), 19 - 3 * level)
                                 : LZ4_compress_HC((const char*)s.address, (char*)d.address, int(s.size), int(d.size), 5 * level - 34);
            }
            case 4:
            {
                void* work = std::malloc(LZO1X_1_MEM_COMPRESS);
                lzo_uint n = d.size;
                lzo1x_1_compress(s.address, s.size, d.address, &n, work);
                std::free(work);
                return n;
            }
            case 5:
                return ZSTD_compress(d.address, d.size, s.address, s.size, std::clamp(2 * level, 1, 20));
            case 6:
            {
                void* scratch = std::malloc(lzfse_encode_scratch_size());
                size_t n = lzfse_encode_buffer(d.address, d.size, s.address, s.size, scratch);
                std::free(scratch);
                return n;
            }
            case 7:
            {
                CLzmaEncProps props;
                LzmaEncProps_Init(&props);
                props.level = std::clamp(level - 1, 0, 9);
                props.dictSize = 2048u << props.level;
                props.lc = 3;
                props.pb = 2;
                props.fb = 32;
                props.numThreads = 1;
                SizeT n = d.size - 5, propsSize = 5;
                LzmaEncode(d.address + 5, &n, s.address, s.size, &props, d.address, &propsSize, 0, nullptr, &sdkAlloc, &sdkAlloc);
                return 5 + n;
            }
            case 8:
            {
                CLzma2EncProps props;
                Lzma2EncProps_Init(&props);
                props.lzmaProps.reduceSize = s.size;
                props.lzmaProps.numThreads = 1;
                props.numBlockThreads_Max = 1;
                props.numTotalThreads = 1;
                Lzma2EncProps_Normalize(&props);
                CLzma2EncHandle e = Lzma2Enc_Create(&sdkAlloc, &sdkAlloc);
                Lzma2Enc_SetProps(e, &props);
                d.address[0] = Lzma2Enc_WriteProperties(e);
                size_t n = d.size - 1;
                Lzma2Enc_Encode2(e, nullptr, d.address + 1, &n, nullptr, s.address, s.size, nullptr);
                Lzma2Enc_Destroy(e);
                return 1 + n;
            }
            default:
            {
                level = std::clamp(level, 0, 10);
                const unsigned order = unsigned(level) + 2, mem = 12 * unsigned(level) + 8;
                CPpmd8 ppmd;
                Ppmd8_Construct(&ppmd);
                Ppmd8_Alloc(&ppmd, mem << 20, &sdkAlloc);
                const unsigned h = (order - 1) | ((mem - 1) << 4);
                d.address[0] = u8(h);
                d.address[1] = u8(h >> 8);
                Writer w = { { [](IByteOutPtr p, Byte b) {
                                  Writer* self = (Writer*)p;
                                  if (self->p < self->end) *self->p++ = b;
                              } },
                             d.address + 2, d.address + d.size };
                ppmd.Stream.Out = &w.vt;
                Ppmd8_Init_RangeEnc(&ppmd);
                Ppmd8_Init(&ppmd, order, 0);
                for (u64 i = 0; i < s.size; ++i) Ppmd8_EncodeSymbol(&ppmd, s.address[i]);
                Ppmd8_EncodeSymbol(&ppmd, -1);
                Ppmd8_Flush_RangeEnc(&ppmd);
                Ppmd8_Free(&ppmd, &sdkAlloc);
                return u64(w.p - d.address);
            }
        }
    }

    void directDecompress(u32 method, Memory d, ConstMemory s)
    {
        switch (method)
        {
            case 0:
                std::memcpy(d.address, s.address, s.size);
                break;
            case 1:
            {
                libdeflate_decompressor* c = libdeflate_alloc_decompressor();
                libdeflate_zlib_decompress(c, s.address, s.size, d.address, d.size, nullptr);
                libdeflate_free_decompressor(c);
                break;
            }
            case 2:
            {
                unsigned n = unsigned(d.size);
                BZ2_bzBuffToBuffDecompress((char*)d.address, &n, (char*)s.address, unsigned(s.size), 0, 0);
                break;
            }
            case 3:
                LZ4_decompress_safe((const char*)s.address, (char*)d.address, int(s.size), int(d.size));
                break;
            case 4:
            {
                lzo_uint n = d.size;
                lzo1x_decompress_safe(s.address, s.size, d.address, &n, nullptr);
                break;
            }
            case 5:
                ZSTD_decompress(d.address, d.size, s.address, s.size);
                break;
            case 6:
            {
                void* scratch = std::malloc(lzfse_decode_scratch_size());
                lzfse_decode_buffer(d.address, d.size, s.address, s.size, scratch);
                std::free(scratch);
                break;
            }
            case 7:
            {
                SizeT n = d.size, in = s.size - 5;
                ELzmaStatus status;
                LzmaDecode(d.address, &n, s.address + 5, &in, s.address, 5, LZMA_FINISH_ANY, &status, &sdkAlloc);
                break;
            }
            case 8:
            {
                SizeT n = d.size, in = s.size - 1;
                ELzmaStatus status;
                Lzma2Decode(d.address, &n, s.address + 1, &in, s.address[0], LZMA_FINISH_ANY, &status, &sdkAlloc);
                break;
            }
            default:
            {
                const unsigned h = s.address[0] | s.address[1] << 8;
                CPpmd8 ppmd;
                Ppmd8_Construct(&ppmd);
                Ppmd8_Alloc(&ppmd, (((h >> 4) & 255) + 1) << 20, &sdkAlloc);
                Reader r = { { [](IByteInPtr p) -> Byte {
                                  Reader* self = (Reader*)p;
                                  return self->p < self->end ? *self->p++ : 0;
                              } },
                             s.address + 2, s.address + s.size };
                ppmd.Stream.In = &r.vt;
                Ppmd8_Init_RangeDec(&ppmd);
                Ppmd8_Init(&ppmd, (h & 15) + 1, h >> 12);
                for (u64 i = 0; i < d.size; ++i) d.address[i] = u8(Ppmd8_DecodeSymbol(&ppmd));
                Ppmd8_Free(&ppmd, &sdkAlloc);
                break;
            }
        }
    }

    // ---- benchmarks

    // the corpus compressed by our wrapper, once per method and level
    const Bytes& packed(u32 method, int level)
    {
        static std::map<std::pair<u32, int>, Bytes> cache;
        Bytes& b = cache[{ method, level }];
        if (b.empty())
        {
            const Compressor c = getCompressor(method);
            b.resize(c.bound(corpus().size()));
            b.resize(c.compress(Memory(b.data(), b.size()), ConstMemory(corpus().data(), corpus().size()), level));
        }
        return b;
    }

    // This thread's CPU time: a shared, busy machine stretches wall time far more.
    double cpuSeconds()
    {
        timespec t;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
    }

    // for work spread over several threads
    double wallSeconds()
    {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    }

    // Runs the wrapper and the direct call in alternating order and keeps the fastest run
    // of each: up to 5 rounds for calls under a second, 3 under ten, else 1. The reported
    // time is the wrapper's; the counters give both rates and the wrapper's cost.
    template <typename Norva, typename Direct>
    void paired(benchmark::State& state, u64 bytes, Norva norva, Direct direct, double (*clock)() = cpuSeconds)
    {
        for (auto _ : state)
        {
            double best[2] = { 1e30, 1e30 };
            auto run = [&](int which) {
                double t0 = clock();
                which ? direct() : norva();
                best[which] = std::min(best[which], clock() - t0);
            };
            run(0);
            run(1);
            const double first = std::max(best[0], best[1]);
            const int rounds = first < 1.0 ? 5 : first < 10.0 ? 3 : 1;
            for (int round = 1; round < rounds; ++round)
            {
                run(round & 1);
                run(!(round & 1));
            }
            state.SetIterationTime(best[0]);
            state.counters["norva_MBps"] = double(bytes) / best[0] / 1e6;
            state.counters["direct_MBps"] = double(bytes) / best[1] / 1e6;
            state.counters["cost_pct"] = (best[0] / best[1] - 1.0) * 100.0;
            state.counters["rounds"] = rounds;
        }
    }

    void compress(benchmark::State& state)
    {
        const u32 method = u32(state.range(0));
        const int level = int(state.range(1));
        const Compressor c = getCompressor(method);
        const ConstMemory in(corpus().data(), corpus().size());
        Bytes out[2] = { Bytes(c.bound(in.size)), Bytes(c.bound(in.size)) };
        u64 size[2] = {};
        paired(state, in.size,
            [&] { size[0] = c.compress(Memory(out[0].data(), out[0].size()), in, level); },
            [&] { size[1] = directCompress(method, Memory(out[1].data(), out[1].size()), in, level); });
        state.counters["ratio"] = double(size[0]) / double(in.size);
        // the two routes must produce the same stream
        if (size[0] != size[1] || std::memcmp(out[0].data(), out[1].data(), size[0]) != 0)
        {
            state.SkipWithError("the direct call's output differs from the wrapper's");
        }
    }

    void decompress(benchmark::State& state)
    {
        const u32 method = u32(state.range(0));
        const int level = int(state.range(1));
        const Compressor c = getCompressor(method);
        const Bytes& packedCorpus = packed(method, level);
        const ConstMemory in(packedCorpus.data(), packedCorpus.size());
        Bytes out[2] = { Bytes(corpus().size()), Bytes(corpus().size()) };
        paired(state, corpus().size(),
            [&] { c.decompress(Memory(out[0].data(), out[0].size()), in); },
            [&] { directDecompress(method, Memory(out[1].data(), out[1].size()), in); });
        if (out[0] != corpus() || out[1] != corpus())
        {
            state.SkipWithError("wrong output");
        }
    }

    // Archive-style reads: 64 KiB blocks of the corpus's first 16 MiB decompressed by 8
    // threads, where per-call set-up (contexts, models, scratch) weighs most.
    constexpr size_t BLOCK = 64 * 1024;
    constexpr size_t BLOCK_COUNT = 256;
    constexpr int BLOCK_THREADS = 8;

    const std::vector<Bytes>& packedBlocks(u32 method)
    {
        static std::map<u32, std::vector<Bytes>> cache;
        std::vector<Bytes>& blocks = cache[method];
        if (blocks.empty())
        {
            const Compressor c = getCompressor(method);
            for (size_t i = 0; i < BLOCK_COUNT; ++i)
            {
                Bytes b(c.bound(BLOCK));
                b.resize(c.compress(Memory(b.data(), b.size()), ConstMemory(corpus().data() + i * BLOCK, BLOCK), 5));
                blocks.push_back(std::move(b));
            }
        }
        return blocks;
    }

    void decompressBlocks(benchmark::State& state)
    {
        const u32 method = u32(state.range(0));
        const Compressor c = getCompressor(method);
        const std::vector<Bytes>& blocks = packedBlocks(method);
        Bytes out[2] = { Bytes(BLOCK * BLOCK_COUNT), Bytes(BLOCK * BLOCK_COUNT) };
        auto run = [&](bool direct) {
            Bytes& o = out[direct];
            std::vector<std::thread> threads;
            for (int t = 0; t < BLOCK_THREADS; ++t)
            {
                threads.emplace_back([&, t] {
                    for (size_t i = size_t(t); i < BLOCK_COUNT; i += BLOCK_THREADS)
                    {
                        Memory d(o.data() + i * BLOCK, BLOCK);
                        ConstMemory s(blocks[i].data(), blocks[i].size());
                        if (direct) directDecompress(method, d, s);
                        else c.decompress(d, s);
                    }
                });
            }
            for (auto& thread : threads) thread.join();
        };
        // several threads: wall time
        paired(state, BLOCK * BLOCK_COUNT, [&] { run(false); }, [&] { run(true); }, wallSeconds);
        for (const Bytes& o : out)
        {
            if (std::memcmp(o.data(), corpus().data(), o.size()) != 0)
            {
                state.SkipWithError("wrong output");
            }
        }
    }

    void registerAll()
    {
        lzo_init();
        for (u32 method = 0; method < COMPRESSION_METHOD_COUNT; ++method)
        {
            const std::string name = getCompressor(method).name;
            const bool oneSetting = method == 0 || method == 4 || method == 6 || method == 8;
            benchmark::RegisterBenchmark((name + "/decompress-64k-blocks-8-threads").c_str(), decompressBlocks)
                ->Args({ int(method), 5 })->ArgNames({ "method", "level" })
                ->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);
            for (int level : { 0, 5, 10 })
            {
                if (oneSetting && level != 5) continue;
                benchmark::RegisterBenchmark((name + "/compress").c_str(), compress)
                    ->Args({ int(method), level })->ArgNames({ "method", "level" })
                    ->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);
                benchmark::RegisterBenchmark((name + "/decompress").c_str(), decompress)
                    ->Args({ int(method), level })->ArgNames({ "method", "level" })
                    ->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);
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
