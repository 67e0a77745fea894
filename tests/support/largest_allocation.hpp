#pragma once

// The largest single allocation made while a LargestAllocation lives, through the address
// sanitizer's allocation hook; 0 where the build has none (then tests of it prove nothing
// but still run).

#include <atomic>
#include <cstddef>

#include <gtest/gtest.h>

#if defined(__SANITIZE_ADDRESS__)
// the sanitizer runtime's allocation hook (gcc ships no header for it)
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*onMalloc)(const volatile void*, size_t),
                                                        void (*onFree)(const volatile void*));
#endif

namespace norva::test
{
    inline std::atomic<bool> recordingAllocations { false };
    inline std::atomic<size_t> largestAllocation { 0 };

    class LargestAllocation
    {
    public:
        LargestAllocation()
        {
#if defined(__SANITIZE_ADDRESS__)
            static const bool installed = __sanitizer_install_malloc_and_free_hooks(
                [](const volatile void*, size_t size) {
                    if (recordingAllocations && size > largestAllocation)
                    {
                        largestAllocation = size;
                    }
                },
                [](const volatile void*) {}) != 0;
            EXPECT_TRUE(installed);
#endif
            largestAllocation = 0;
            recordingAllocations = true;
        }
        ~LargestAllocation() { recordingAllocations = false; }
        LargestAllocation(const LargestAllocation&) = delete;
        LargestAllocation& operator=(const LargestAllocation&) = delete;

        size_t bytes() const { return largestAllocation; }
    };

} // namespace norva::test
