#include <norva/core/time.hpp>

#include <chrono>

namespace norva
{
    namespace
    {
        s64 now()
        {
            using namespace std::chrono;
            return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
        }

        const s64 start = now();

    } // namespace

    s64 elapsedMicroseconds()
    {
        return (now() - start) / 1000;
    }

} // namespace norva
