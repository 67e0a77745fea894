// Every method compresses and restores every kind of input at every level.

#include <thread>

#include <norva/core/exception.hpp>
#include <norva/core/thread.hpp>

#include "helpers.hpp"

namespace
{
    using namespace norva;
    using namespace norva::test;

    class RoundTrip : public ::testing::TestWithParam<u32>
    {
    protected:
        Compressor compressor = getCompressor(GetParam());

        void roundTrip(const Bytes& input, int level)
        {
            SCOPED_TRACE(compressor.name + " level " + std::to_string(level) + ", " + std::to_string(input.size()) + " bytes");
            Bytes packed = compressWith(compressor, input, level);
            if (!input.empty() && compressor.method != u32(CompressionMethod::NONE))
            {
                // lzfse reports a compress overflow as 0, which a bound-sized destination never hits
                ASSERT_GT(packed.size(), 0u);
            }
            Bytes restored(input.size());
            compressor.decompress(view(restored), view(packed));
            ASSERT_TRUE(restored == input);
        }
    };

    TEST_P(RoundTrip, SmallInputsAtEveryLevel)
    {
        const Bytes inputs[] = {
            {},
            { 0x5A },
            randomBytes(100 * 1024, 1), // incompressible
            textBytes(100 * 1024, 2),
            runBytes(100 * 1024, 3),
            mixedBytes(200 * 1024, 4),
        };
        // these methods have one setting only
        const u32 method = compressor.method;
        const bool levelIgnored = method == u32(CompressionMethod::NONE) || method == u32(CompressionMethod::LZO) ||
            method == u32(CompressionMethod::LZFSE) || method == u32(CompressionMethod::LZMA2);
        for (int level = 0; level <= 10; level += levelIgnored ? 10 : 1)
        {
            for (const Bytes& input : inputs)
            {
                roundTrip(input, level);
            }
        }
    }

    TEST_P(RoundTrip, LevelsOutsideTheRangeAreClamped)
    {
        const Bytes input = mixedBytes(64 * 1024, 5);
        EXPECT_TRUE(compressWith(compressor, input, -7) == compressWith(compressor, input, 0));
        EXPECT_TRUE(compressWith(compressor, input, 99) == compressWith(compressor, input, 10));
        roundTrip(input, -7);
        roundTrip(input, 99);
    }

    // one test per level, so that the slow methods' two runs go to parallel processes
    TEST_P(RoundTrip, EightMegabytesMixedAtLowestLevel)
    {
        roundTrip(mixedBytes(8 << 20, 6), 0);
    }

    TEST_P(RoundTrip, EightMegabytesMixedAtHighestLevel)
    {
        roundTrip(mixedBytes(8 << 20, 6), 10);
    }

    TEST_P(RoundTrip, TableRowMatchesItsNumber)
    {
        static const char* names[] = { "none", "miniz", "bzip2", "lz4", "lzo", "zstd", "lzfse", "lzma", "lzma2", "ppmd8" };
        EXPECT_EQ(compressor.method, GetParam());
        EXPECT_EQ(compressor.name, names[GetParam()]);
    }

    INSTANTIATE_TEST_SUITE_P(Methods, RoundTrip, ::testing::Range(0u, COMPRESSION_METHOD_COUNT),
        [](const auto& info) { return getCompressor(info.param).name; });

    // 64 MiB through the methods fast enough to keep the test run short under sanitizers
    class LargeRoundTrip : public RoundTrip {};

    TEST_P(LargeRoundTrip, SixtyFourMegabytes)
    {
        const Bytes input = mixedBytes(64 << 20, 7);
        roundTrip(input, 1);
    }

    INSTANTIATE_TEST_SUITE_P(FastMethods, LargeRoundTrip,
        ::testing::Values(u32(CompressionMethod::NONE), u32(CompressionMethod::MINIZ), u32(CompressionMethod::LZ4),
            u32(CompressionMethod::LZO), u32(CompressionMethod::ZSTD), u32(CompressionMethod::LZFSE)),
        [](const auto& info) { return getCompressor(info.param).name; });

    // Every call keeps its own state: all methods at once from several threads.
    TEST(Concurrency, AllMethodsFromEightThreads)
    {
        constexpr int THREADS = 8;
        std::vector<std::thread> threads;
        std::vector<int> failures(THREADS, 0);
        for (int t = 0; t < THREADS; ++t)
        {
            threads.emplace_back([t, &failures] {
                for (int i = 0; i < 20; ++i)
                {
                    const u32 method = u32(t + i) % COMPRESSION_METHOD_COUNT;
                    const Compressor c = getCompressor(method);
                    const Bytes input = mixedBytes(48 * 1024 + 977 * i, u32(100 * t + i));
                    Bytes packed(c.bound(input.size()));
                    packed.resize(c.compress(view(packed), view(input), i % 11));
                    Bytes restored(input.size());
                    c.decompress(view(restored), view(packed));
                    failures[t] += restored != input;
                }
            });
        }
        for (auto& thread : threads)
        {
            thread.join();
        }
        for (int t = 0; t < THREADS; ++t)
        {
            EXPECT_EQ(failures[t], 0) << "thread " << t;
        }
    }

    // The way archives use the table: many blocks, each decompressed by a pool task.
    TEST(Concurrency, PoolTasksDecompressBlocksAtOnce)
    {
        constexpr u32 BLOCKS = 60;
        std::vector<Bytes> originals, packed;
        for (u32 i = 0; i < BLOCKS; ++i)
        {
            originals.push_back(mixedBytes(16 * 1024 + 4099 * i, 500 + i));
            packed.push_back(compressWith(getCompressor(i % COMPRESSION_METHOD_COUNT), originals.back(), int(i % 11)));
        }
        std::vector<Bytes> restored(BLOCKS);
        TaskQueue queue("compress.test", 0);
        for (u32 i = 0; i < BLOCKS; ++i)
        {
            restored[i].resize(originals[i].size());
            queue.enqueue([&, i] { getCompressor(i % COMPRESSION_METHOD_COUNT).decompress(view(restored[i]), view(packed[i])); });
        }
        queue.wait();
        for (u32 i = 0; i < BLOCKS; ++i)
        {
            EXPECT_TRUE(restored[i] == originals[i]) << "block " << i;
        }

        // a damaged block reaches the waiter as the method's error
        packed[3].resize(packed[3].size() / 2);
        queue.enqueue([&] { getCompressor(3).decompress(view(restored[3]), view(packed[3])); });
        EXPECT_THROW(queue.wait(), Exception);
    }

} // namespace
