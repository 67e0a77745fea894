// Runs one exit scenario of the thread pool in a process of its own; the exit code tells
// the test what happened (0 = as it should be).

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include <norva/core/thread.hpp>

using namespace norva;

namespace
{
    enum Code
    {
        QUEUED_TASK_RAN = 3,
        LATE_SUM_WRONG = 4,
        LATE_NOT_INLINE = 5,
        LATE_ERROR_LOST = 6,
        BAD_ARGUMENTS = 9,
    };

    std::atomic<u32> started { 0 };
    // never destroyed, so nothing waits for their tasks
    TaskQueue* blockers = nullptr;
    TaskQueue* leftOver = nullptr;
    TaskQueue* probe = nullptr;

    thread_local bool ranInline = false;

    // Built before main and so before the pool: destroyed after the pool has stopped.
    struct LateUser
    {
        bool active = false;

        ~LateUser()
        {
            if (!active)
            {
                return;
            }

            const std::thread::id self = std::this_thread::get_id();
            std::atomic<u32> sum { 0 };
            std::atomic<u32> elsewhere { 0 };
            bool failed = false;
            {
                TaskQueue queue("late", 0);
                for (u32 i = 1; i <= 100; ++i)
                {
                    queue.enqueue([&, i] {
                        sum += i;
                        elsewhere += std::this_thread::get_id() != self;
                    });
                }
                queue.enqueue([] { throw std::runtime_error("late"); });
                try
                {
                    queue.wait();
                }
                catch (const std::runtime_error&)
                {
                    failed = true;
                }
            }

            if (sum != 5050)
            {
                _exit(LATE_SUM_WRONG);
            }
            if (elsewhere != 0)
            {
                _exit(LATE_NOT_INLINE);
            }
            if (!failed)
            {
                _exit(LATE_ERROR_LOST);
            }
        }
    };

    LateUser lateUser;

    // Every worker is busy while tasks that must never run are still queued.
    int queuedAtExit()
    {
        const u32 workers = ThreadPool::getHardwareConcurrency();
        leftOver = new TaskQueue("exit.queued", 1);
        probe = new TaskQueue("exit.probe", 2);
        blockers = new TaskQueue("exit.blockers", 0);
        for (u32 i = 0; i < workers; ++i)
        {
            // Holds its worker until the pool has stopped, which shows in enqueue running
            // the task right here; what it enqueued before that is dropped with the rest.
            // It probes only once every worker is held, so no worker can run a probe.
            blockers->enqueue([workers] {
                ++started;
                while (started < workers)
                {
                    std::this_thread::yield();
                }
                while (!ranInline)
                {
                    probe->enqueue([] { ranInline = true; });
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            });
        }
        while (started < workers)
        {
            std::this_thread::yield();
        }
        for (int i = 0; i < 1000; ++i)
        {
            leftOver->enqueue([] { _exit(QUEUED_TASK_RAN); });
        }
        return 0;
    }

    int lateEnqueue()
    {
        lateUser.active = true;
        TaskQueue queue;
        std::atomic<u32> count { 0 };
        for (int i = 0; i < 100; ++i)
        {
            queue.enqueue([&] { ++count; });
        }
        queue.wait();
        return count == 100 ? 0 : LATE_SUM_WRONG;
    }

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && !std::strcmp(argv[1], "queued"))
    {
        return queuedAtExit();
    }
    if (argc == 2 && !std::strcmp(argv[1], "late"))
    {
        return lateEnqueue();
    }
    return BAD_ARGUMENTS;
}
