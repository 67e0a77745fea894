#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include <norva/core/thread.hpp>

#include "thread/occupy.hpp"

using namespace norva;

namespace
{
    // Each queue gets tasks adding 1..count to its own sum, enqueued by several threads at once,
    // each thread waiting for the queues it fed.
    void checkSums(ThreadPool& pool, u32 queueCount, u32 tasksPerQueue, u32 producers)
    {
        std::vector<std::unique_ptr<TaskQueue>> queues;
        std::vector<std::atomic<u64>> sums(queueCount);
        for (u32 i = 0; i < queueCount; ++i)
        {
            queues.push_back(std::make_unique<TaskQueue>(pool, "test.sum", i % 3));
        }

        std::vector<std::thread> threads;
        for (u32 p = 0; p < producers; ++p)
        {
            threads.emplace_back([&, p] {
                for (u32 value = 1; value <= tasksPerQueue; ++value)
                {
                    for (u32 q = p; q < queueCount; q += producers)
                    {
                        queues[q]->enqueue([&sum = sums[q], value] { sum += value; });
                    }
                }
                for (u32 q = p; q < queueCount; q += producers)
                {
                    queues[q]->wait();
                }
            });
        }
        for (std::thread& t : threads)
        {
            t.join();
        }

        const u64 expected = u64(tasksPerQueue) * (tasksPerQueue + 1) / 2;
        for (u32 q = 0; q < queueCount; ++q)
        {
            EXPECT_EQ(sums[q].load(), expected) << "queue " << q;
        }
    }

    // Every task of every level opens a queue of its own and waits for its children.
    void nested(ThreadPool& pool, int depth, int fan, std::atomic<u32>& count)
    {
        TaskQueue queue(pool, "test.nested", u32(depth % 3));
        for (int i = 0; i < fan; ++i)
        {
            queue.enqueue([&pool, depth, fan, &count] {
                if (depth > 1)
                {
                    nested(pool, depth - 1, fan, count);
                }
                ++count;
            });
        }
        queue.wait();
    }

    u32 treeSize(int depth, int fan)
    {
        u32 total = 0;
        u32 level = 1;
        for (int d = 0; d < depth; ++d)
        {
            level *= fan;
            total += level;
        }
        return total;
    }

} // namespace

TEST(ThreadPool, SumsOverManyQueuesAndProducers)
{
    // 50 queues alive at once also take a second block of queue records
    checkSums(ThreadPool::getInstance(), 50, 2000, 4);
}

TEST(ThreadPool, NestedWaitsInsideTasks)
{
    ThreadPool one(1);
    ThreadPool four(4);
    for (ThreadPool* pool : { &ThreadPool::getInstance(), &one, &four })
    {
        std::atomic<u32> count { 0 };
        nested(*pool, 4, 6, count);
        EXPECT_EQ(count.load(), treeSize(4, 6)) << pool->getThreadCount() << " workers";
    }
}

TEST(ThreadPool, SingleWorker)
{
    ThreadPool zero(0); // what an unknown hardware concurrency gives
    EXPECT_EQ(zero.getThreadCount(), 1u);

    ThreadPool pool(1);
    EXPECT_EQ(pool.getThreadCount(), 1u);
    checkSums(pool, 7, 3000, 2);

    // with its one worker busy, the waiter runs every task itself
    test::OccupiedWorkers busy(pool);
    const std::thread::id self = std::this_thread::get_id();
    std::atomic<u32> onSelf { 0 };
    TaskQueue queue(pool, "test.single", 1);
    for (int i = 0; i < 100; ++i)
    {
        queue.enqueue([&] { onSelf += std::this_thread::get_id() == self; });
    }
    queue.wait();
    EXPECT_EQ(onSelf.load(), 100u);
}

TEST(ThreadPool, HardwareConcurrencyIsTheWorkerCount)
{
    const u32 hardware = std::thread::hardware_concurrency();
    EXPECT_EQ(ThreadPool::getHardwareConcurrency(), hardware ? hardware : 1u);
    EXPECT_EQ(ThreadPool::getInstance().getThreadCount(), ThreadPool::getHardwareConcurrency());
}

TEST(ThreadPool, LowerPriorityNumberRunsFirst)
{
    ThreadPool pool(3);
    TaskQueue q0(pool, "test.p0", 0);
    TaskQueue q1(pool, "test.p1", 1);
    TaskQueue q2(pool, "test.p2", 2);
    TaskQueue q9(pool, "test.p9", 9); // out of range means the last priority
    test::OccupiedWorkers busy(pool);

    std::vector<int> order; // only this thread runs the tasks below
    q9.enqueue([&] { order.push_back(9); });
    q2.enqueue([&] { order.push_back(2); });
    q1.enqueue([&] { order.push_back(1); });
    q1.enqueue([&] { order.push_back(1); });
    q0.enqueue([&] { order.push_back(0); });
    q0.enqueue([&] { order.push_back(0); });

    while (q1.dequeueAndRun())
    {
    }
    EXPECT_EQ(order, (std::vector<int> { 0, 0, 1, 1, 9, 2 }));
    EXPECT_FALSE(q0.dequeueAndRun());
}

TEST(ThreadPool, CallableIsGoneWhenWaitReturns)
{
    // the waiter may free what a task captured as soon as it returns
    auto shared = std::make_shared<int>(0);
    for (int round = 0; round < 20; ++round)
    {
        TaskQueue queue("test.captures", 0);
        for (int i = 0; i < 500; ++i)
        {
            queue.enqueue([shared] { (void)*shared; });
        }
        queue.wait();
        ASSERT_EQ(shared.use_count(), 1) << "round " << round;
    }
}

TEST(ThreadPool, QueueRecordIsReusedClean)
{
    // one record in a fresh pool: every queue below gets the same one back
    ThreadPool pool(2);
    {
        TaskQueue first(pool, "test.first", 0);
        first.enqueue([] { throw std::runtime_error("never waited for"); });
        for (int i = 0; i < 10; ++i)
        {
            first.enqueue([] {});
        }
    } // the destructor swallows the error

    for (int round = 0; round < 3; ++round)
    {
        TaskQueue again(pool, "test.again", 1);
        std::atomic<u32> count { 0 };
        for (int i = 0; i < 25; ++i)
        {
            again.enqueue([&] { ++count; });
        }
        EXPECT_NO_THROW(again.wait());
        EXPECT_EQ(count.load(), 25u);
    }

    TaskQueue empty(pool, "test.empty", 0); // nothing enqueued: wait and destructor return at once
    empty.wait();
}

TEST(ThreadPool, ShutdownDropsQueuedTasksAndRunsLaterOnesInline)
{
    ThreadPool pool(2);
    std::atomic<u32> ran { 0 };
    TaskQueue dropped(pool, "test.dropped", 1);
    TaskQueue probe(pool, "test.probe", 1);
    test::OccupiedWorkers busy(pool);

    for (int i = 0; i < 50; ++i)
    {
        dropped.enqueue([&] { ++ran; });
    }

    std::thread stopper([&] { pool.shutdown(); });

    // once the pool has stopped, enqueue runs the task right here
    const std::thread::id self = std::this_thread::get_id();
    bool inlined = false;
    while (!inlined)
    {
        probe.enqueue([&] { inlined = std::this_thread::get_id() == self; });
        std::this_thread::yield();
    }

    busy.release();
    stopper.join();

    dropped.wait();
    probe.wait();
    EXPECT_EQ(ran.load(), 0u);

    u32 later = 0;
    dropped.enqueue([&] { later = 7; });
    EXPECT_EQ(later, 7u);
}
