#include <norva/core/memory.hpp>

#include <cstdlib>

#include <norva/core/exception.hpp>

namespace norva
{
    void* alignedMalloc(u64 size, u32 alignment)
    {
        // posix_memalign wants a power of two that is a multiple of sizeof(void*)
        std::size_t align = alignment < sizeof(void*) ? sizeof(void*) : alignment;
        if (align & (align - 1))
        {
            NORVA_THROW("norva::alignedMalloc", "[Memory] Alignment %u is not a power of two.", alignment);
        }

        void* pointer = nullptr;
        if (size > SIZE_MAX || posix_memalign(&pointer, align, size ? std::size_t(size) : 1) != 0)
        {
            NORVA_THROW("norva::alignedMalloc", "[Memory] Allocating %llu bytes failed.",
                        static_cast<unsigned long long>(size));
        }
        return pointer;
    }

    void alignedFree(void* pointer)
    {
        std::free(pointer);
    }

} // namespace norva
