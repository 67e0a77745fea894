// Cost of a pool task against doing the same work inline, and a blit-like band split on the
// pool against a plain std::thread split.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <norva/core/thread.hpp>

using namespace norva;

namespace
{
    // a few dozen cycles: the size of the smallest tasks the library hands out
    inline u32 smallWork(u32 x)
    {
        for (int i = 0; i < 16; ++i)
        {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
        }
        return x;
    }

    // seconds per task (shown as e.g. "25n")
    void countTasks(benchmark::State& state, u32 perIteration)
    {
        state.SetItemsProcessed(state.iterations() * perIteration);
        state.counters["time/task"] = benchmark::Counter(double(state.iterations()) * perIteration,
            benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    }

    void BM_TaskInline(benchmark::State& state)
    {
        const u32 count = u32(state.range(0));
        std::vector<u32> out(count);
        for (auto _ : state)
        {
            for (u32 i = 0; i < count; ++i)
            {
                out[i] = smallWork(i + 1);
            }
            benchmark::DoNotOptimize(out.data());
            benchmark::ClobberMemory();
        }
        countTasks(state, count);
    }

    void BM_TaskPool(benchmark::State& state)
    {
        const u32 count = u32(state.range(0));
        std::vector<u32> out(count);
        TaskQueue queue("bench.small", 0);
        for (auto _ : state)
        {
            for (u32 i = 0; i < count; ++i)
            {
                queue.enqueue([&out, i] { out[i] = smallWork(i + 1); });
            }
            queue.wait();
            benchmark::DoNotOptimize(out.data());
        }
        countTasks(state, count);
    }

    void BM_TaskPoolEmpty(benchmark::State& state)
    {
        const u32 count = u32(state.range(0));
        TaskQueue queue("bench.empty", 0);
        for (auto _ : state)
        {
            for (u32 i = 0; i < count; ++i)
            {
                queue.enqueue([] {});
            }
            queue.wait();
        }
        countTasks(state, count);
    }

    // From enqueue to the task starting on a worker, after the workers have been idle long
    // enough to park: what a wake-up costs, and whether one gets lost. The mean hides a rare
    // lost signal behind many fast ones, so every sample is kept for the median and the 99th
    // percentile.
    constexpr auto idleTime = std::chrono::milliseconds(20);

    struct WakeSamples
    {
        std::vector<double> seconds;

        void report(benchmark::State& state)
        {
            if (seconds.empty())
            {
                return;
            }
            std::sort(seconds.begin(), seconds.end());
            auto at = [&](double q) { return seconds[std::min(seconds.size() - 1, size_t(q * double(seconds.size())))]; };
            state.counters["median_us"] = at(0.5) * 1e6;
            state.counters["p99_us"] = at(0.99) * 1e6;
            state.counters["max_us"] = seconds.back() * 1e6;
        }
    };

    void BM_WakeAfterIdle(benchmark::State& state)
    {
        using clock = std::chrono::steady_clock;
        TaskQueue queue("bench.wake", 0);
        WakeSamples samples;
        for (auto _ : state)
        {
            std::this_thread::sleep_for(idleTime);
            std::atomic<bool> started { false };
            const auto t0 = clock::now();
            queue.enqueue([&started] { started = true; });
            while (!started) // not helping: a worker has to wake for it
            {
            }
            const double seconds = std::chrono::duration<double>(clock::now() - t0).count();
            state.SetIterationTime(seconds);
            samples.seconds.push_back(seconds);
            queue.wait();
        }
        samples.report(state);
    }

    // The same wake-up through a bare condition variable and one parked thread: the peer.
    void BM_WakeAfterIdleConditionVariable(benchmark::State& state)
    {
        using clock = std::chrono::steady_clock;
        std::mutex mutex;
        std::condition_variable condition;
        bool signalled = false;
        bool quit = false;
        std::atomic<bool> started { false };
        std::thread sleeper([&] {
            std::unique_lock<std::mutex> lock(mutex);
            for (;;)
            {
                condition.wait(lock, [&] { return signalled || quit; });
                if (quit)
                {
                    return;
                }
                signalled = false;
                started = true;
            }
        });

        WakeSamples samples;
        for (auto _ : state)
        {
            std::this_thread::sleep_for(idleTime);
            started = false;
            const auto t0 = clock::now();
            {
                std::lock_guard<std::mutex> lock(mutex);
                signalled = true;
                condition.notify_one();
            }
            while (!started)
            {
            }
            const double seconds = std::chrono::duration<double>(clock::now() - t0).count();
            state.SetIterationTime(seconds);
            samples.seconds.push_back(seconds);
        }
        samples.report(state);

        {
            std::lock_guard<std::mutex> lock(mutex);
            quit = true;
            condition.notify_one();
        }
        sleeper.join();
    }

    // Band split: a per-pixel conversion (channel swap with a premultiply) of a 4096 x 4096
    // 32-bit image, the shape of the threaded blit.
    constexpr u32 imageSize = 4096;

    void convertRows(const u32* source, u32* dest, u32 y0, u32 y1)
    {
        for (u32 y = y0; y < y1; ++y)
        {
            const u32* s = source + size_t(y) * imageSize;
            u32* d = dest + size_t(y) * imageSize;
            for (u32 x = 0; x < imageSize; ++x)
            {
                const u32 c = s[x];
                const u32 a = c >> 24;
                const u32 r = ((c & 0xff) * a + 127) / 255;
                const u32 g = (((c >> 8) & 0xff) * a + 127) / 255;
                const u32 b = (((c >> 16) & 0xff) * a + 127) / 255;
                d[x] = (a << 24) | (r << 16) | (g << 8) | b;
            }
        }
    }

    struct Image
    {
        std::vector<u32> source;
        std::vector<u32> dest;

        Image()
            : source(size_t(imageSize) * imageSize)
            , dest(size_t(imageSize) * imageSize)
        {
            for (size_t i = 0; i < source.size(); ++i)
            {
                source[i] = smallWork(u32(i) + 1);
            }
        }
    };

    Image& image()
    {
        static Image instance;
        return instance;
    }

    void BM_BandsOneThread(benchmark::State& state)
    {
        Image& im = image();
        for (auto _ : state)
        {
            convertRows(im.source.data(), im.dest.data(), 0, imageSize);
            benchmark::ClobberMemory();
        }
        state.SetBytesProcessed(state.iterations() * s64(im.source.size() * 4));
    }

    // bands of range(0) rows each, on the pool
    void BM_BandsPool(benchmark::State& state)
    {
        Image& im = image();
        const u32 rows = u32(state.range(0));
        TaskQueue queue("bench.bands", 0);
        for (auto _ : state)
        {
            for (u32 y = 0; y < imageSize; y += rows)
            {
                queue.enqueue([&im, y, rows] {
                    convertRows(im.source.data(), im.dest.data(), y, std::min(y + rows, imageSize));
                });
            }
            queue.wait();
            benchmark::ClobberMemory();
        }
        state.SetBytesProcessed(state.iterations() * s64(im.source.size() * 4));
    }

    // one contiguous band per thread, threads started and joined every time
    void BM_BandsStdThread(benchmark::State& state)
    {
        Image& im = image();
        const u32 threads = ThreadPool::getHardwareConcurrency();
        for (auto _ : state)
        {
            std::vector<std::thread> group;
            for (u32 t = 0; t < threads; ++t)
            {
                const u32 y0 = imageSize * t / threads;
                const u32 y1 = imageSize * (t + 1) / threads;
                group.emplace_back([&im, y0, y1] { convertRows(im.source.data(), im.dest.data(), y0, y1); });
            }
            for (std::thread& thread : group)
            {
                thread.join();
            }
            benchmark::ClobberMemory();
        }
        state.SetBytesProcessed(state.iterations() * s64(im.source.size() * 4));
    }

} // namespace

BENCHMARK(BM_TaskInline)->Arg(100000)->Arg(1000000)->UseRealTime();
BENCHMARK(BM_TaskPool)->Arg(100000)->Arg(1000000)->UseRealTime();
BENCHMARK(BM_TaskPoolEmpty)->Arg(100000)->Arg(1000000)->UseRealTime();
BENCHMARK(BM_WakeAfterIdle)->UseManualTime()->Iterations(200);
BENCHMARK(BM_WakeAfterIdleConditionVariable)->UseManualTime()->Iterations(200);
BENCHMARK(BM_BandsOneThread)->UseRealTime();
BENCHMARK(BM_BandsPool)->Arg(8)->Arg(32)->Arg(128)->UseRealTime();
BENCHMARK(BM_BandsStdThread)->UseRealTime();

BENCHMARK_MAIN();
