// Glue shared by the methods built on the LZMA SDK (lzma, lzma2, ppmd8).

#include <cstdlib>

#include "sdk.hpp"

namespace
{
    void* allocate(ISzAllocPtr, size_t size)
    {
        return std::malloc(size);
    }

    void release(ISzAllocPtr, void* address)
    {
        std::free(address);
    }

    const ISzAlloc allocator = { allocate, release };

} // namespace

namespace norva::detail
{
    ISzAllocPtr sdkAllocator()
    {
        return &allocator;
    }

    const char* sdkErrorText(SRes result)
    {
        switch (result)
        {
            case SZ_ERROR_DATA: return "data error";
            case SZ_ERROR_MEM: return "memory allocation failed";
            case SZ_ERROR_UNSUPPORTED: return "unsupported properties";
            case SZ_ERROR_INPUT_EOF: return "insufficient input";
            default: return "undefined error";
        }
    }

} // namespace norva::detail
