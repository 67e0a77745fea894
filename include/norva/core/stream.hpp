#pragma once

#include <norva/core/buffer.hpp>

namespace norva
{
    // Byte stream through which encoders write.
    class Stream : private NonCopyable
    {
    public:
        enum SeekMode : u32
        {
            BEGIN = 0,
            CURRENT = 1,
            END = 2,
        };

        virtual ~Stream() = default;
        virtual u64 size() const = 0;
        virtual u64 offset() const = 0;
        virtual void seek(u64 distance, u32 mode) = 0;
        virtual void read(void* dest, u64 bytes) = 0;
        virtual void write(const void* source, u64 bytes) = 0;
    };

    class MemoryStream : public Stream
    {
    public:
        MemoryStream() = default;

        u64 size() const override;
        u64 offset() const override;
        void seek(u64 distance, u32 mode) override;
        void read(void* dest, u64 bytes) override;
        void write(const void* source, u64 bytes) override;

        operator ConstMemory() const { return ConstMemory(m_buffer.data(), m_buffer.size()); }
        const Buffer& buffer() const { return m_buffer; }

    private:
        Buffer m_buffer;
        u64 m_offset = 0;
    };

} // namespace norva
