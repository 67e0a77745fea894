#include <norva/core/stream.hpp>

#include <algorithm>
#include <cstring>

#include <norva/core/exception.hpp>

namespace norva
{
    u64 MemoryStream::size() const
    {
        return m_buffer.size();
    }

    u64 MemoryStream::offset() const
    {
        return m_offset;
    }

    void MemoryStream::seek(u64 distance, u32 mode)
    {
        const u64 size = m_buffer.size();
        switch (mode)
        {
            case BEGIN:
                m_offset = std::min(distance, size);
                break;
            case CURRENT:
                // distance is at most the size away from the end, so compare before adding
                m_offset = distance > size - m_offset ? size : m_offset + distance;
                break;
            case END:
                m_offset = distance > size ? 0 : size - distance;
                break;
            default:
                break;
        }
    }

    void MemoryStream::read(void* dest, u64 bytes)
    {
        if (m_buffer.size() - m_offset < bytes)
        {
            NORVA_THROW("norva::MemoryStream::read", "[MemoryStream] Reading past end of buffer.");
        }
        if (bytes)
        {
            std::memcpy(dest, m_buffer.data() + m_offset, bytes);
            m_offset += bytes;
        }
    }

    void MemoryStream::write(const void* source, u64 bytes)
    {
        const u8* s = static_cast<const u8*>(source);
        u64 overwrite = std::min(bytes, m_buffer.size() - m_offset);
        if (overwrite)
        {
            std::memcpy(m_buffer.data() + m_offset, s, overwrite);
        }
        m_buffer.append(s + overwrite, bytes - overwrite);
        m_offset += bytes;
    }

} // namespace norva
