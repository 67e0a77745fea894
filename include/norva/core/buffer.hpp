#pragma once

#include <norva/core/memory.hpp>

namespace norva
{
    // Owning, aligned, growable byte buffer. Growth is by 7/5 so append stays amortised linear.
    class Buffer : private NonCopyable
    {
    public:
        explicit Buffer(Alignment alignment = Alignment());
        explicit Buffer(u64 size, Alignment alignment = Alignment());
        Buffer(const u8* source, u64 size, Alignment alignment = Alignment());
        explicit Buffer(ConstMemory memory, Alignment alignment = Alignment());
        Buffer(Buffer&& other) noexcept;
        Buffer& operator=(Buffer&& other) noexcept;
        ~Buffer();

        void append(const void* source, u64 bytes);
        void resize(u64 bytes);
        void reset();

        u8* data() const { return m_data; }
        u64 size() const { return m_size; }
        u64 capacity() const { return m_capacity; }
        u32 alignment() const { return m_alignment; }

        u8* begin() const { return m_data; }
        u8* end() const { return m_data + m_size; }
        u8& operator[](u64 index) const { return m_data[index]; }

        operator Memory() const { return Memory(m_data, m_size); }
        operator ConstMemory() const { return ConstMemory(m_data, m_size); }

    private:
        // Moves the contents into a block of `capacity` bytes; returns the old block for the
        // caller to free.
        u8* reallocate(u64 capacity);

        u8* m_data = nullptr;
        u64 m_size = 0;
        u64 m_capacity = 0;
        u32 m_alignment;
    };

} // namespace norva
