#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <norva/core/configure.hpp>

namespace norva
{
    class TaskQueue;

    // Worker threads running small tasks from three queues; priority 0 is taken first.
    // A thread waiting for its TaskQueue runs queued tasks of any queue meanwhile, so a
    // waiter must not hold a lock that someone else's task may need.
    class ThreadPool : private NonCopyable
    {
    public:
        // A pool of its own with the given number of workers (at least one). The library
        // uses getInstance(); this is for tests. Its TaskQueues must be gone before it is.
        explicit ThreadPool(u32 threads);
        ~ThreadPool();

        // Made on first use with one worker per hardware thread (one when that is unknown).
        // Its workers stop at exit; the object itself stays, so statics destroyed later may
        // still use it, and their tasks then run on the enqueuing thread.
        static ThreadPool& getInstance();

        // The number of workers of getInstance().
        static u32 getHardwareConcurrency();

        u32 getThreadCount() const { return m_threadCount; }

        // Runs one queued task of any queue on the calling thread; false when none was found.
        bool dequeueAndRun();

        // Joins the workers and drops the tasks still queued, counting them as done so that
        // nobody waits for them. Tasks enqueued afterwards run on the enqueuing thread.
        void shutdown();

    private:
        friend class TaskQueue;
        struct QueueState;
        struct Task;
        struct Queues;

        QueueState* createQueue(const std::string& name, u32 priority);
        void releaseQueue(QueueState* state);
        void enqueue(QueueState* state, std::function<void()>&& func);
        void wait(QueueState* state);
        void worker();
        bool hasQueuedTasks() const;

        static void run(Task& task);
        static void drop(Task& task);

        u32 m_threadCount;
        std::unique_ptr<Queues> m_queues;

        // read on every enqueue and by every idle worker, written rarely
        alignas(64) std::atomic<bool> m_stop { false };
        std::atomic<u32> m_sleeping { 0 };
        std::mutex m_mutex;
        std::condition_variable m_condition;

        // QueueState records, allocated in blocks and reused
        std::mutex m_stateMutex;
        std::vector<std::unique_ptr<QueueState[]>> m_stateBlocks;
        std::vector<QueueState*> m_freeStates;

        std::vector<std::thread> m_workers;
    };

    // A named handle through which a component enqueues tasks and waits for them.
    // Priority 0 is for the library's own queues, 1 is the default; larger values mean 2.
    class TaskQueue : private NonCopyable
    {
    public:
        TaskQueue(); // "concurrent.default", priority 1
        TaskQueue(const std::string& name, u32 priority);
        TaskQueue(ThreadPool& pool, const std::string& name, u32 priority);

        // Waits like wait(); an exception nobody waited for is dropped.
        ~TaskQueue();

        // A task that throws still counts as done; wait() rethrows what it threw.
        void enqueue(std::function<void()> func);

        // Returns once every task enqueued so far is done, running pool tasks meanwhile, then
        // rethrows the first exception a task of this queue threw since the last wait().
        void wait();

        // Runs one queued task of any queue; false when none was found.
        bool dequeueAndRun();

    private:
        ThreadPool* m_pool;
        ThreadPool::QueueState* m_state;
    };

} // namespace norva
