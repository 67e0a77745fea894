#pragma once

#include <latch>

#include <norva/core/thread.hpp>

namespace norva::test
{
    // Keeps every worker of a pool inside a task until release() (or destruction), so that
    // the test thread alone runs what is enqueued meanwhile.
    class OccupiedWorkers
    {
    public:
        explicit OccupiedWorkers(ThreadPool& pool)
            : m_started(pool.getThreadCount())
            , m_queue(pool, "test.occupy", 0)
        {
            for (u32 i = 0; i < pool.getThreadCount(); ++i)
            {
                m_queue.enqueue([this] {
                    m_started.count_down();
                    m_release.wait();
                });
            }
            // a worker takes one task and keeps it, so all of them are taken by workers
            m_started.wait();
        }

        ~OccupiedWorkers()
        {
            release();
        }

        void release()
        {
            if (!m_released)
            {
                m_released = true;
                m_release.count_down();
            }
        }

    private:
        std::latch m_started;
        std::latch m_release { 1 };
        bool m_released = false;
        TaskQueue m_queue; // last: its destructor waits before the latches go
    };

} // namespace norva::test
