#include <norva/core/thread.hpp>

#include <algorithm>
#include <chrono>
#include <exception>

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer ignores fences: the queue's are what the suppression at the end of this
// file is about, and the pool's own only order its wake-ups, not its data
#pragma GCC diagnostic ignored "-Wtsan"
#endif
#include <concurrentqueue/concurrentqueue.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace norva
{
    struct ThreadPool::QueueState
    {
        // written by the enqueuing thread, read by the others
        alignas(64) std::atomic<u32> enqueued { 0 };
        u32 priority = 0;
        std::string name;

        // the first exception a task threw since the last wait()
        std::atomic<bool> failed { false };
        std::mutex errorMutex;
        std::exception_ptr error;

        // on a line of its own: every thread that finishes a task of this queue bumps it
        alignas(64) std::atomic<u32> completed { 0 };

        void setError(std::exception_ptr e)
        {
            std::lock_guard<std::mutex> lock(errorMutex);
            if (!error)
            {
                error = std::move(e);
            }
            failed = true;
        }

        std::exception_ptr takeError()
        {
            std::lock_guard<std::mutex> lock(errorMutex);
            failed = false;
            return std::exchange(error, nullptr);
        }
    };

    struct ThreadPool::Task
    {
        QueueState* state = nullptr;
        std::function<void()> func;
    };

    struct ThreadPool::Queues
    {
        static constexpr size_t capacity = 192;

        moodycamel::ConcurrentQueue<Task> byPriority[3] {
            moodycamel::ConcurrentQueue<Task>(capacity),
            moodycamel::ConcurrentQueue<Task>(capacity),
            moodycamel::ConcurrentQueue<Task>(capacity),
        };
    };

    namespace
    {
        constexpr size_t stateBatch = 32;

        // How long an idle worker keeps polling before it parks: briefly. Where the scheduler
        // wakes a parked worker on the busy CPU of the thread that enqueued (virtual machines
        // that report no shared cache), fairness holds it back there for about as long as it
        // last ran: a 2 ms spin made every wake-up after a pause cost 4 ms.
        constexpr auto spinTime = std::chrono::microseconds(20);
        // parked workers look again after this even without a signal
        constexpr auto parkTime = std::chrono::milliseconds(200);

        // A moment's wait while polling, without giving up the CPU.
        inline void pause()
        {
            for (int i = 0; i < 16; ++i)
            {
#if defined(__x86_64__) || defined(__i386__)
                _mm_pause();
#elif defined(__aarch64__)
                asm volatile("yield");
#endif
            }
        }

        // Stops the process-wide pool's workers at exit, in the place of its destructor: the
        // pool object is never freed because statics destroyed after this may still use it.
        struct PoolShutdown
        {
            ThreadPool* pool;
            ~PoolShutdown() { pool->shutdown(); }
        };

    } // namespace

    ThreadPool::ThreadPool(u32 threads)
        : m_threadCount(std::max(threads, 1u))
        , m_queues(std::make_unique<Queues>())
    {
        try
        {
            m_workers.reserve(m_threadCount);
            for (u32 i = 0; i < m_threadCount; ++i)
            {
                m_workers.emplace_back(&ThreadPool::worker, this);
            }
        }
        catch (...)
        {
            shutdown();
            throw;
        }
    }

    ThreadPool::~ThreadPool()
    {
        shutdown();
    }

    ThreadPool& ThreadPool::getInstance()
    {
        static ThreadPool* const pool = new ThreadPool(std::max(std::thread::hardware_concurrency(), 1u));
        static const PoolShutdown stopAtExit { pool };
        return *pool;
    }

    u32 ThreadPool::getHardwareConcurrency()
    {
        return getInstance().getThreadCount();
    }

    void ThreadPool::shutdown()
    {
        if (m_stop.exchange(true))
        {
            return;
        }

        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_condition.notify_all();
        }

        for (std::thread& thread : m_workers)
        {
            // a task that calls exit() runs this on its own worker, which cannot join itself
            if (thread.get_id() == std::this_thread::get_id())
            {
                thread.detach();
            }
            else
            {
                thread.join();
            }
        }
        m_workers.clear();

        Task task;
        for (auto& queue : m_queues->byPriority)
        {
            while (queue.try_dequeue(task))
            {
                drop(task);
            }
        }
    }

    ThreadPool::QueueState* ThreadPool::createQueue(const std::string& name, u32 priority)
    {
        std::string copy = name; // before a record is taken, so that a throw loses none
        QueueState* state;
        {
            std::lock_guard<std::mutex> lock(m_stateMutex);
            if (m_freeStates.empty())
            {
                m_stateBlocks.push_back(std::make_unique<QueueState[]>(stateBatch));
                QueueState* block = m_stateBlocks.back().get();
                for (size_t i = 0; i < stateBatch; ++i)
                {
                    m_freeStates.push_back(block + stateBatch - 1 - i);
                }
            }
            state = m_freeStates.back();
            m_freeStates.pop_back();
        }

        state->enqueued = 0;
        state->completed = 0;
        state->priority = std::min(priority, 2u);
        state->name = std::move(copy);
        state->takeError();
        return state;
    }

    void ThreadPool::releaseQueue(QueueState* state)
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        m_freeStates.push_back(state);
    }

    void ThreadPool::enqueue(QueueState* state, std::function<void()>&& func)
    {
        // counted before it becomes visible, so that completed never passes enqueued
        state->enqueued.fetch_add(1);

        Task task { state, std::move(func) };
        if (m_stop.load())
        {
            run(task);
            return;
        }

        if (!m_queues->byPriority[state->priority].enqueue(std::move(task)))
        {
            // the queue could not grow: the caller does the work
            run(task);
            return;
        }

        // Pairs with the fence in worker(): either this load sees the worker's sleeping count,
        // or the worker's look into the queues after its fence sees this task.
        std::atomic_thread_fence(std::memory_order_seq_cst);
        if (m_sleeping.load(std::memory_order_relaxed) > 0)
        {
            // under the mutex: a worker between its look into the queues and its wait cannot
            // miss this
            std::lock_guard<std::mutex> lock(m_mutex);
            m_condition.notify_one();
        }
    }

    bool ThreadPool::dequeueAndRun()
    {
        Task task;
        for (auto& queue : m_queues->byPriority)
        {
            if (queue.try_dequeue(task))
            {
                run(task);
                return true;
            }
        }
        return false;
    }

    void ThreadPool::wait(QueueState* state)
    {
        for (;;)
        {
            // completed first: then the difference cannot be negative and zero means all done
            const u32 completed = state->completed.load();
            const u32 enqueued = state->enqueued.load();
            if (enqueued - completed == 0)
            {
                break;
            }
            if (!dequeueAndRun())
            {
                std::this_thread::yield();
            }
        }

        if (state->failed.load())
        {
            if (std::exception_ptr error = state->takeError())
            {
                std::rethrow_exception(error);
            }
        }
    }

    void ThreadPool::run(Task& task)
    {
        QueueState* state = task.state;
        try
        {
            task.func();
        }
        catch (...)
        {
            state->setError(std::current_exception());
        }
        drop(task);
    }

    void ThreadPool::drop(Task& task)
    {
        // The waiter may return and free what the callable captured as soon as the count
        // moves, so the callable goes first and nothing is touched afterwards.
        QueueState* state = task.state;
        task.func = nullptr;
        task.state = nullptr;
        state->completed.fetch_add(1);
    }

    bool ThreadPool::hasQueuedTasks() const
    {
        for (const auto& queue : m_queues->byPriority)
        {
            if (queue.size_approx() > 0)
            {
                return true;
            }
        }
        return false;
    }

    void ThreadPool::worker()
    {
        using clock = std::chrono::steady_clock;
        auto last = clock::now();

        while (!m_stop.load())
        {
            if (dequeueAndRun())
            {
                last = clock::now();
            }
            else if (clock::now() - last < spinTime)
            {
                pause();
            }
            else
            {
                m_sleeping.fetch_add(1);
                std::atomic_thread_fence(std::memory_order_seq_cst);
                {
                    std::unique_lock<std::mutex> lock(m_mutex);
                    if (!m_stop.load() && !hasQueuedTasks())
                    {
                        m_condition.wait_for(lock, parkTime);
                    }
                }
                m_sleeping.fetch_sub(1);
            }
        }
    }

    // TaskQueue

    TaskQueue::TaskQueue()
        : TaskQueue("concurrent.default", 1)
    {
    }

    TaskQueue::TaskQueue(const std::string& name, u32 priority)
        : TaskQueue(ThreadPool::getInstance(), name, priority)
    {
    }

    TaskQueue::TaskQueue(ThreadPool& pool, const std::string& name, u32 priority)
        : m_pool(&pool)
        , m_state(pool.createQueue(name, priority))
    {
    }

    TaskQueue::~TaskQueue()
    {
        try
        {
            m_pool->wait(m_state);
        }
        catch (...)
        {
            // the owner never asked; every task is done all the same
        }
        m_pool->releaseQueue(m_state);
    }

    void TaskQueue::enqueue(std::function<void()> func)
    {
        m_pool->enqueue(m_state, std::move(func));
    }

    void TaskQueue::wait()
    {
        m_pool->wait(m_state);
    }

    bool TaskQueue::dequeueAndRun()
    {
        return m_pool->dequeueAndRun();
    }

} // namespace norva

#if defined(__SANITIZE_THREAD__)
// The queue hands emptied blocks back to their producer through relaxed loads and
// atomic_thread_fence, which ThreadSanitizer does not model: reusing a slot then looks like a
// race with the last read of it. Only accesses made inside the queue's producers are muted.
extern "C" const char* __tsan_default_suppressions()
{
    return "race:moodycamel::ConcurrentQueue*::ImplicitProducer::\n";
}
#endif
