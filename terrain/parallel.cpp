#include "parallel.hpp"

#include <algorithm>
#include <cstdio>

#include <norva/core/thread.hpp>

void parallelFor(std::size_t count, std::size_t grain, const std::function<void(std::size_t, std::size_t)>& fn)
{
    grain = std::max<std::size_t>(grain, 1);
    if (count <= grain)
    {
        if (count)
        {
            fn(0, count);
        }
        return;
    }

    norva::TaskQueue queue("terrain", 0);
    for (std::size_t begin = 0; begin < count; begin += grain)
    {
        const std::size_t end = std::min(count, begin + grain);
        queue.enqueue([&fn, begin, end] { fn(begin, end); });
    }
    queue.wait();
}

OrderedProgress::OrderedProgress(std::size_t count, std::function<std::string(std::size_t)> line)
    : m_done(count, false)
    , m_line(std::move(line))
{
}

void OrderedProgress::done(std::size_t begin, std::size_t end)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    end = std::min(end, m_done.size());
    for (std::size_t i = begin; i < end; ++i)
    {
        m_done[i] = true;
    }
    std::string text;
    while (m_next < m_done.size() && m_done[m_next])
    {
        text += m_line(m_next++);
    }
    if (!text.empty())
    {
        std::fputs(text.c_str(), stderr);
        std::fflush(stderr);
    }
}
