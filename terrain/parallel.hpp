#pragma once

#include <cstddef>
#include <functional>

// Splits [0, count) into ranges of about `grain` items and runs fn(begin, end) on each, on the
// thread pool; returns when all are done and rethrows the first exception a range threw.
// Small counts run on the calling thread.
void parallelFor(std::size_t count, std::size_t grain, const std::function<void(std::size_t, std::size_t)>& fn);

#include <mutex>
#include <string>
#include <vector>

// Progress lines for work done out of order: item i's line is printed to standard error once
// items 0..i are all done, so the lines keep their order.
class OrderedProgress
{
public:
    OrderedProgress(std::size_t count, std::function<std::string(std::size_t)> line);

    void done(std::size_t begin, std::size_t end);

private:
    std::mutex m_mutex;
    std::vector<bool> m_done;
    std::size_t m_next = 0;
    std::function<std::string(std::size_t)> m_line;
};
