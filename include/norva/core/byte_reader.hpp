#pragma once

// A bounded reader over a ConstMemory. Every read checks what is left: a read past the end
// returns zero (or an empty view), moves nothing and marks the reader short. A parser reads
// a group of fields and then asks `isShort()` once, turning a short read into its own
// format's message ("[ImageDecoder.TGA] Not enough data.", ...).

#include <norva/core/endian.hpp>
#include <norva/core/memory.hpp>

namespace norva
{
    class ByteReader
    {
    public:
        ByteReader() = default;
        explicit ByteReader(ConstMemory memory) : m_begin(memory.address), m_size(memory.size) {}
        ByteReader(const u8* address, u64 size) : m_begin(address), m_size(size) {}

        u64 size() const { return m_size; }
        u64 offset() const { return m_offset; }
        u64 remaining() const { return m_size - m_offset; }
        bool has(u64 bytes) const { return bytes <= remaining(); }
        bool atEnd() const { return m_offset == m_size; }

        // True once any read, skip or seek asked for more than there was. Sticky.
        bool isShort() const { return m_short; }
        bool ok() const { return !m_short; }

        // The current position and the bytes from it to the end.
        const u8* position() const { return m_begin + m_offset; }
        ConstMemory rest() const { return ConstMemory(m_begin + m_offset, remaining()); }
        ConstMemory memory() const { return ConstMemory(m_begin, m_size); }

        bool seek(u64 offset)
        {
            if (offset > m_size)
                return fail();
            m_offset = offset;
            return true;
        }

        bool skip(u64 bytes)
        {
            if (!has(bytes))
                return fail();
            m_offset += bytes;
            return true;
        }

        // A view of the next `bytes` bytes, advancing past them; empty when short.
        ConstMemory bytes(u64 bytes)
        {
            if (!has(bytes))
            {
                fail();
                return ConstMemory();
            }
            ConstMemory view(m_begin + m_offset, bytes);
            m_offset += bytes;
            return view;
        }

        // Copies the next `count` bytes; fills the destination with zeros when short.
        bool read(void* dest, u64 count)
        {
            if (!has(count))
            {
                std::memset(dest, 0, count);
                return fail();
            }
            std::memcpy(dest, m_begin + m_offset, count);
            m_offset += count;
            return true;
        }

        u8 byte()
        {
            if (!has(1))
            {
                fail();
                return 0;
            }
            return m_begin[m_offset++];
        }
        s8 signedByte() { return s8(byte()); }

        u16 le16() { return load<u16, 2>(loadLE16); }
        u32 le24() { return load<u32, 3>(loadLE24); }
        u32 le32() { return load<u32, 4>(loadLE32); }
        u64 le64() { return load<u64, 8>(loadLE64); }
        u16 be16() { return load<u16, 2>(loadBE16); }
        u32 be24() { return load<u32, 3>(loadBE24); }
        u32 be32() { return load<u32, 4>(loadBE32); }
        u64 be64() { return load<u64, 8>(loadBE64); }

        float le32f() { return bitsToFloat(le32()); }
        float be32f() { return bitsToFloat(be32()); }

        // Reads in the byte order chosen at run time (TIFF-like, KTX, PVR, PFM headers).
        u16 order16(bool bigEndianOrder) { return bigEndianOrder ? be16() : le16(); }
        u32 order32(bool bigEndianOrder) { return bigEndianOrder ? be32() : le32(); }

        // The next byte without moving; -1 at the end (not a short read).
        int peek() const { return m_offset < m_size ? m_begin[m_offset] : -1; }

    private:
        template <typename T, int N>
        T load(T (*loader)(const void*))
        {
            if (!has(N))
            {
                fail();
                return T(0);
            }
            T value = loader(m_begin + m_offset);
            m_offset += N;
            return value;
        }

        static float bitsToFloat(u32 bits)
        {
            float value;
            std::memcpy(&value, &bits, 4);
            return value;
        }

        bool fail()
        {
            m_short = true;
            return false;
        }

        const u8* m_begin = nullptr;
        u64 m_size = 0;
        u64 m_offset = 0;
        bool m_short = false;
    };

} // namespace norva
