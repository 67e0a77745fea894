#pragma once

// What the archive mappers share: buffers sized by numbers that come from the archive, and
// the mapped result that either views the archive or owns such a buffer.

#include <algorithm>
#include <limits>
#include <memory>
#include <new>

#include <norva/core/exception.hpp>
#include <norva/filesystem/mapper.hpp>

namespace norva::filesystem::detail
{
    // A buffer of `size` bytes, uninitialised. A size the process cannot allocate is an
    // error of the archive (thrown with the caller's function and message), never a crash.
    inline std::unique_ptr<u8[]> allocateArchiveBuffer(u64 size, const char* function, const char* message)
    {
        u8* buffer = nullptr;
        if (size < std::numeric_limits<std::size_t>::max())
        {
            // at least one byte, so that an empty member still has an address
            buffer = new (std::nothrow) u8[std::size_t(std::max<u64>(size, 1))];
        }
        if (!buffer)
        {
            throw ::norva::Exception(message, function, __FILE__, __LINE__);
        }
        return std::unique_ptr<u8[]>(buffer);
    }

    // Deflate cannot make more than 1032 bytes of one (258 per 2-bit match code, plus block
    // overhead): a larger declared size is damage, not a buffer worth allocating. The
    // compressed size must already be known to lie within the archive.
    inline bool deflateCanMake(u64 compressedSize, u64 uncompressedSize)
    {
        return uncompressedSize <= compressedSize * 1032 + 64 * 1024;
    }

    // A member's bytes: a view into the archive (no buffer) or a buffer it owns.
    class ArchiveMemory : public VirtualMemory
    {
    public:
        explicit ArchiveMemory(ConstMemory view)
            : VirtualMemory(Memory(const_cast<u8*>(view.address), view.size))
        {
        }

        ArchiveMemory(std::unique_ptr<u8[]> buffer, u64 size)
            : VirtualMemory(Memory(buffer.get(), size))
            , m_buffer(std::move(buffer))
        {
        }

        bool ownsBuffer() const { return m_buffer != nullptr; }

    private:
        std::unique_ptr<u8[]> m_buffer;
    };

} // namespace norva::filesystem::detail
