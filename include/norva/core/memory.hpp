#pragma once

#include <norva/core/configure.hpp>

namespace norva
{
    // Writable, non-owning view of bytes.
    struct Memory
    {
        u8* address = nullptr;
        u64 size = 0;

        Memory() = default;
        Memory(u8* address, u64 size) : address(address), size(size) {}

        u8* begin() const { return address; }
        u8* end() const { return address + size; }
    };

    // Read-only, non-owning view of bytes.
    struct ConstMemory
    {
        const u8* address = nullptr;
        u64 size = 0;

        ConstMemory() = default;
        ConstMemory(const u8* address, u64 size) : address(address), size(size) {}
        ConstMemory(Memory memory) : address(memory.address), size(memory.size) {}

        const u8* begin() const { return address; }
        const u8* end() const { return address + size; }

        // The bytes from offset on; an offset past the end gives an empty view.
        ConstMemory slice(u64 offset) const
        {
            return offset < size ? ConstMemory(address + offset, size - offset) : ConstMemory();
        }
    };

    struct Alignment
    {
        u32 value;
        Alignment() : value(64) {}
        explicit Alignment(u32 value) : value(value) {}
    };

    // Throws norva::Exception when the allocation fails; freeing null is allowed.
    void* alignedMalloc(u64 size, u32 alignment);
    void alignedFree(void* pointer);

} // namespace norva
