// MGX decompression on the pool, run under ThreadSanitizer: files of many compressed blocks
// mapped from several threads at once, and a corrupt block among good ones whose error must
// reach the caller only after every task that writes into the file's buffer has finished.

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include <norva/core/exception.hpp>
#include <norva/core/thread.hpp>

#include "archive/helpers.hpp"
#include "archive/mgx_writer.hpp"
#include "mapper_mgx.hpp"

using namespace norva;
using namespace norva::filesystem;
using namespace archive_test;

namespace
{
    Bytes sample(std::size_t size, u32 seed)
    {
        std::mt19937 rng(seed);
        Bytes out(size);
        for (std::size_t i = 0; i < size; ++i)
        {
            // runs of one byte with noise: every method finds something to compress
            out[i] = (i / 97) % 5 == 0 ? u8(rng()) : u8('a' + (i / 389) % 26);
        }
        return out;
    }

} // namespace

TEST(MgxThreads, ManyThreadsMapManyBlockFilesAtOnce)
{
    MgxWriter mgx;
    std::vector<Bytes> contents;
    for (u32 method = 1; method < COMPRESSION_METHOD_COUNT; ++method)
    {
        contents.push_back(sample(200000, method));
        mgx.addFile("f" + std::to_string(method), contents.back(), method, 16384);
    }
    const Bytes archive = mgx.build();

    ThreadPool pool(4);
    auto mapper = filesystem::detail::createMapperMGX(view(archive), pool);
    std::atomic<int> matched { 0 };
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
    {
        threads.emplace_back([&, t] {
            for (u32 i = 0; i < contents.size(); ++i)
            {
                const u32 method = 1 + (i + t) % u32(contents.size());
                auto memory = mapper->mmap("f" + std::to_string(method));
                matched += toBytes(memory->memory) == contents[method - 1];
            }
        });
    }
    for (std::thread& thread : threads)
    {
        thread.join();
    }
    EXPECT_EQ(matched, 3 * int(contents.size()));
}

TEST(MgxThreads, CorruptBlockFailsAfterEveryTaskHasFinished)
{
    MgxWriter mgx;
    const Bytes content = sample(500000, 3);
    mgx.addFile("big.bin", content, 1, 8192);
    for (std::size_t i = 3; i < mgx.blocks.size(); i += 17)
    {
        mgx.blocks[i].corrupt = true;
    }
    mgx.addFile("good.bin", content, 2, 50000);
    const Bytes archive = mgx.build();

    for (u32 workers : { 1u, 4u })
    {
        ThreadPool pool(workers);
        auto mapper = filesystem::detail::createMapperMGX(view(archive), pool);
        for (int round = 0; round < 4; ++round)
        {
            // the buffer is freed as the error unwinds: a task still writing into it shows
            // under ASan as a use after free and under TSan as a race
            EXPECT_THROW(mapper->mmap("big.bin"), Exception);
            EXPECT_EQ(toBytes(mapper->mmap("good.bin")->memory), content);
        }
    }
}
