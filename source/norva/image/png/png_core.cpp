// The chunk walker's bounded reads and the decoder's buffers.

#include "png_core.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <sys/mman.h>

#if defined(__SANITIZE_ADDRESS__)
#define NORVA_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NORVA_ASAN 1
#endif
#endif
#if defined(NORVA_ASAN)
#include <sanitizer/asan_interface.h>
#endif

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

    namespace
    {
        // the largest image (32768 x 32768 x 8 bytes and its filter bytes) stays below this
        constexpr u64 allocationLimit = u64(1) << 34;

        // Large buffers are written front to back right after allocation: on huge pages
        // that costs a few page faults instead of one every 4 KiB.
        constexpr u64 hugePage = u64(1) << 21;

        // AddressSanitizer sees a kept block as freed memory while the cache holds it, and
        // the part of a block beyond what a buffer asked for as out of bounds.
        void markUsable(u8* p, u64 bytes)
        {
#if defined(NORVA_ASAN)
            ASAN_UNPOISON_MEMORY_REGION(p, size_t(bytes));
#else
            (void)p;
            (void)bytes;
#endif
        }

        void markUnusable(u8* p, u64 bytes)
        {
#if defined(NORVA_ASAN)
            ASAN_POISON_MEMORY_REGION(p, size_t(bytes));
#else
            (void)p;
            (void)bytes;
#endif
        }

        u8* allocateBlock(u64 capacity)
        {
            void* p = nullptr;
            if (posix_memalign(&p, size_t(hugePage), size_t(capacity)) != 0)
            {
                return nullptr;
            }
#if defined(MADV_HUGEPAGE)
            if (capacity >= 2 * hugePage)
            {
                madvise(p, size_t(capacity), MADV_HUGEPAGE);
            }
#endif
            return static_cast<u8*>(p);
        }

        void freeBlock(u8* p, u64 capacity)
        {
            markUsable(p, capacity);
            std::free(p);
        }

        class BlockCache
        {
        public:
            // The smallest kept block of `bytes` to twice that; null when there is none.
            u8* take(u64 bytes, u64& capacity)
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                int best = -1;
                for (int i = 0; i < m_count; ++i)
                {
                    const u64 size = m_blocks[i].capacity;
                    if (size >= bytes && size / 2 <= bytes && (best < 0 || size < m_blocks[best].capacity))
                    {
                        best = i;
                    }
                }
                if (best < 0)
                {
                    return nullptr;
                }
                const Block block = m_blocks[best];
                m_blocks[best] = m_blocks[--m_count];
                m_total -= block.capacity;
                capacity = block.capacity;
                return block.data;
            }

            // Keeps the block; the smallest blocks go when the cache is over its limits (a
            // large block serves a small image as well).
            void give(u8* data, u64 capacity)
            {
                if (capacity > keptLimit)
                {
                    freeBlock(data, capacity);
                    return;
                }
                markUnusable(data, capacity);
                Block leaving[keptBlockCount + 1];
                int count = 0;
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_blocks[m_count++] = { data, capacity };
                    m_total += capacity;
                    while (m_count > keptBlockCount || m_total > keptLimit)
                    {
                        int smallest = 0;
                        for (int i = 1; i < m_count; ++i)
                        {
                            if (m_blocks[i].capacity < m_blocks[smallest].capacity)
                            {
                                smallest = i;
                            }
                        }
                        leaving[count++] = m_blocks[smallest];
                        m_total -= m_blocks[smallest].capacity;
                        m_blocks[smallest] = m_blocks[--m_count];
                    }
                }
                for (int i = 0; i < count; ++i)
                {
                    freeBlock(leaving[i].data, leaving[i].capacity);
                }
            }

            void clear()
            {
                Block leaving[keptBlockCount + 1];
                int count = 0;
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    while (m_count)
                    {
                        leaving[count++] = m_blocks[--m_count];
                    }
                    m_total = 0;
                }
                for (int i = 0; i < count; ++i)
                {
                    freeBlock(leaving[i].data, leaving[i].capacity);
                }
            }

            u64 total()
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                return m_total;
            }

        private:
            struct Block
            {
                u8* data;
                u64 capacity;
            };

            std::mutex m_mutex;
            Block m_blocks[keptBlockCount + 1] = {};
            int m_count = 0;
            u64 m_total = 0;
        };

        // Never destroyed: a buffer released during static destruction still finds it.
        BlockCache& blockCache()
        {
            static BlockCache* cache = new BlockCache;
            return *cache;
        }

    } // namespace

    ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
        : m_data(other.m_data)
        , m_capacity(other.m_capacity)
    {
        other.m_data = nullptr;
        other.m_capacity = 0;
    }

    ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept
    {
        if (this != &other)
        {
            reset();
            m_data = other.m_data;
            m_capacity = other.m_capacity;
            other.m_data = nullptr;
            other.m_capacity = 0;
        }
        return *this;
    }

    ByteBuffer::~ByteBuffer()
    {
        reset();
    }

    void ByteBuffer::reset()
    {
        if (m_capacity)
        {
            blockCache().give(m_data, m_capacity);
        }
        else
        {
            std::free(m_data);
        }
        m_data = nullptr;
        m_capacity = 0;
    }

    ByteBuffer allocateBuffer(u64 bytes, bool zeroed)
    {
        if (bytes > allocationLimit || bytes > u64(SIZE_MAX) / 2)
        {
            return ByteBuffer();
        }
        ByteBuffer buffer;
        if (bytes < keptBlockMinimum)
        {
            // 0 bytes may give null; one byte keeps "null" meaning "no memory"
            const size_t size = bytes ? size_t(bytes) : 1;
            buffer.m_data = static_cast<u8*>(zeroed ? std::calloc(size, 1) : std::malloc(size));
            return buffer;
        }
        u64 capacity = 0;
        u8* data = blockCache().take(bytes, capacity);
        if (!data)
        {
            capacity = (bytes + hugePage - 1) & ~(hugePage - 1);
            data = allocateBlock(capacity);
            if (!data)
            {
                return ByteBuffer();
            }
            markUnusable(data, capacity);
        }
        markUsable(data, bytes);
        buffer.m_data = data;
        buffer.m_capacity = capacity;
        if (zeroed)
        {
            std::memset(data, 0, size_t(bytes));
        }
        return buffer;
    }

    ByteBuffer allocateZeroed(u64 bytes)
    {
        return allocateBuffer(bytes, true);
    }

    u64 keptBytes()
    {
        return blockCache().total();
    }

    void releaseKeptBlocks()
    {
        blockCache().clear();
    }

} // namespace norva::png
