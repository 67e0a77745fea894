// The chunk walker's bounded reads and the decoder's buffers.

#include "png_core.hpp"

#include <climits>
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>

#include <norva/core/byte_reader.hpp>

namespace norva::png
{

    ChunkRead readChunk(const u8* p, const u8* end, Chunk& chunk)
    {
        if (p > end)
        {
            return ChunkRead::END;
        }
        // length, type, payload, CRC
        ByteReader reader(p, u64(end - p));
        if (!reader.has(12))
        {
            return ChunkRead::END;
        }
        const u32 size = reader.be32();
        const u32 type = reader.be32();
        const ConstMemory data = reader.bytes(size);
        reader.skip(4);
        if (reader.isShort())
        {
            return ChunkRead::OVERRUN;
        }
        chunk.size = size;
        chunk.type = type;
        chunk.data = data.address;
        chunk.next = reader.position();
        return ChunkRead::OK;
    }

    void FreeDeleter::operator()(u8* p) const
    {
        std::free(p);
    }

    ByteBuffer allocateBuffer(u64 bytes, bool zeroed)
    {
        // the largest image (32768 x 32768 x 8 bytes and its filter bytes) stays below this
        constexpr u64 limit = u64(1) << 34;
        if (bytes > limit || bytes > u64(SIZE_MAX) / 2)
        {
            return nullptr;
        }
        // Large buffers are written once, front to back, right after allocation: on huge
        // pages that costs a few page faults instead of one every 4 KiB.
        constexpr u64 hugePage = u64(1) << 21;
        if (bytes >= 2 * hugePage)
        {
            const size_t size = size_t((bytes + hugePage - 1) & ~(hugePage - 1));
            void* p = nullptr;
            if (posix_memalign(&p, size_t(hugePage), size) != 0)
            {
                return nullptr;
            }
#if defined(MADV_HUGEPAGE)
            madvise(p, size, MADV_HUGEPAGE);
#endif
            if (zeroed)
            {
                std::memset(p, 0, size_t(bytes));
            }
            return ByteBuffer(static_cast<u8*>(p));
        }
        // 0 bytes may give null; one byte keeps "null" meaning "no memory"
        const size_t size = bytes ? size_t(bytes) : 1;
        return ByteBuffer(static_cast<u8*>(zeroed ? std::calloc(size, 1) : std::malloc(size)));
    }

    ByteBuffer allocateZeroed(u64 bytes)
    {
        return allocateBuffer(bytes, true);
    }

} // namespace norva::png
