#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>

#include <norva/core/exception.hpp>
#include <norva/core/thread.hpp>

#include "thread/occupy.hpp"

using namespace norva;

TEST(ThreadPoolErrors, ReachOwnWaiterOnly)
{
    TaskQueue own("test.own", 0);
    std::atomic<u32> ownRan { 0 };
    std::atomic<u64> foreignSum { 0 };

    // the foreign waiter runs tasks of both queues while it waits
    std::thread foreign([&] {
        TaskQueue queue("test.foreign", 0);
        for (u32 i = 1; i <= 5000; ++i)
        {
            queue.enqueue([&, i] { foreignSum += i; });
        }
        EXPECT_NO_THROW(queue.wait());
    });

    for (int i = 0; i < 200; ++i)
    {
        own.enqueue([&, i] {
            if (i == 100)
            {
                NORVA_THROW("test::task", "[test] task %d failed", i);
            }
            ++ownRan;
        });
    }
    foreign.join();

    try
    {
        own.wait();
        FAIL() << "no exception";
    }
    catch (const Exception& e)
    {
        EXPECT_STREQ(e.what(), "[test] task 100 failed");
        EXPECT_EQ(e.getFunction(), "test::task");
    }
    EXPECT_EQ(ownRan.load(), 199u);
    EXPECT_EQ(foreignSum.load(), 5000u * 5001 / 2);

    // reported once; the queue and the pool go on
    EXPECT_NO_THROW(own.wait());
    std::atomic<u32> after { 0 };
    for (int i = 0; i < 100; ++i)
    {
        own.enqueue([&] { ++after; });
    }
    EXPECT_NO_THROW(own.wait());
    EXPECT_EQ(after.load(), 100u);
}

TEST(ThreadPoolErrors, ForeignTaskThrowingInsideWait)
{
    ThreadPool pool(1);
    TaskQueue failing(pool, "test.failing", 0);
    TaskQueue other(pool, "test.other", 1);
    test::OccupiedWorkers busy(pool);

    // this thread runs the failing task while it waits for the other queue
    bool otherRan = false;
    failing.enqueue([] { throw std::runtime_error("mine"); });
    other.enqueue([&] { otherRan = true; });
    EXPECT_NO_THROW(other.wait());
    EXPECT_TRUE(otherRan);

    busy.release();
    EXPECT_THROW(failing.wait(), std::runtime_error);
}

TEST(ThreadPoolErrors, FirstErrorWins)
{
    ThreadPool pool(1);
    TaskQueue queue(pool, "test.first", 0);
    test::OccupiedWorkers busy(pool); // one consumer: tasks run in enqueue order

    queue.enqueue([] { throw std::runtime_error("first"); });
    queue.enqueue([] { throw std::runtime_error("second"); });
    try
    {
        queue.wait();
        FAIL() << "no exception";
    }
    catch (const std::runtime_error& e)
    {
        EXPECT_STREQ(e.what(), "first");
    }
    EXPECT_NO_THROW(queue.wait());
}

TEST(ThreadPoolErrors, KeepTheirType)
{
    ThreadPool pool(2);
    TaskQueue queue(pool, "test.types", 1);

    queue.enqueue(nullptr); // an empty function fails where it runs
    EXPECT_THROW(queue.wait(), std::bad_function_call);

    queue.enqueue([] { throw 42; });
    try
    {
        queue.wait();
        FAIL() << "no exception";
    }
    catch (int value)
    {
        EXPECT_EQ(value, 42);
    }

    queue.enqueue([] { throw NORVA_EXCEPTION("test::types", "[test] %s", "typed"); });
    EXPECT_THROW(queue.wait(), Exception);
}

TEST(ThreadPoolErrors, WorkerSurvivesAThrow)
{
    ThreadPool pool(1);
    TaskQueue queue(pool, "test.survive", 0);
    std::atomic<bool> after { false };

    queue.enqueue([] { throw std::runtime_error("on the worker"); });
    queue.enqueue([&] { after = true; });
    while (!after) // not helping: the worker has to run both
    {
        std::this_thread::yield();
    }
    EXPECT_THROW(queue.wait(), std::runtime_error);
}

TEST(ThreadPoolErrors, DestructorSwallows)
{
    std::atomic<u32> ran { 0 };
    EXPECT_NO_THROW({
        TaskQueue queue;
        queue.enqueue([] { throw std::runtime_error("nobody asks"); });
        queue.enqueue([&] { ++ran; });
    });
    EXPECT_EQ(ran.load(), 1u); // the destructor still waited
}
