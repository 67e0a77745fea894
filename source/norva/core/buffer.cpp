#include <norva/core/buffer.hpp>

#include <cstring>
#include <utility>

namespace norva
{
    Buffer::Buffer(Alignment alignment)
        : m_alignment(alignment.value)
    {
    }

    Buffer::Buffer(u64 size, Alignment alignment)
        : m_alignment(alignment.value)
    {
        if (size)
        {
            m_data = static_cast<u8*>(alignedMalloc(size, m_alignment));
            m_size = size;
            m_capacity = size;
        }
    }

    Buffer::Buffer(const u8* source, u64 size, Alignment alignment)
        : Buffer(size, alignment)
    {
        if (size)
        {
            std::memcpy(m_data, source, size);
        }
    }

    Buffer::Buffer(ConstMemory memory, Alignment alignment)
        : Buffer(memory.address, memory.size, alignment)
    {
    }

    Buffer::Buffer(Buffer&& other) noexcept
        : m_data(std::exchange(other.m_data, nullptr))
        , m_size(std::exchange(other.m_size, 0))
        , m_capacity(std::exchange(other.m_capacity, 0))
        , m_alignment(other.m_alignment)
    {
    }

    Buffer& Buffer::operator=(Buffer&& other) noexcept
    {
        if (this != &other)
        {
            alignedFree(m_data);
            m_data = std::exchange(other.m_data, nullptr);
            m_size = std::exchange(other.m_size, 0);
            m_capacity = std::exchange(other.m_capacity, 0);
            m_alignment = other.m_alignment;
        }
        return *this;
    }

    Buffer::~Buffer()
    {
        alignedFree(m_data);
    }

    u8* Buffer::reallocate(u64 capacity)
    {
        u8* data = static_cast<u8*>(alignedMalloc(capacity, m_alignment));
        if (m_size)
        {
            std::memcpy(data, m_data, m_size);
        }
        m_capacity = capacity;
        return std::exchange(m_data, data);
    }

    void Buffer::append(const void* source, u64 bytes)
    {
        if (!bytes)
        {
            return;
        }

        u64 required = m_size + bytes;
        u8* previous = required > m_capacity ? reallocate(required * 7 / 5) : nullptr;

        // the source may lie in this buffer's own bytes: the old block goes after the copy
        std::memcpy(m_data + m_size, source, bytes);
        alignedFree(previous);
        m_size = required;
    }

    void Buffer::resize(u64 bytes)
    {
        if (bytes > m_capacity)
        {
            alignedFree(reallocate(bytes));
        }
        m_size = bytes;
    }

    void Buffer::reset()
    {
        alignedFree(m_data);
        m_data = nullptr;
        m_size = 0;
        m_capacity = 0;
    }

} // namespace norva
