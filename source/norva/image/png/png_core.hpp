#pragma once

// Building blocks of the PNG decoder that are tested on their own: the chunk walker's
// bounds, the decoder's buffers and the two inflaters. The row kernels are in
// png_kernels.hpp, the row expanders in png_expand.hpp.

#include <cstddef>
#include <memory>

#include <norva/core/memory.hpp>

namespace norva::png
{
    constexpr u32 makeChunkType(char a, char b, char c, char d)
    {
        return (u32(u8(a)) << 24) | (u32(u8(b)) << 16) | (u32(u8(c)) << 8) | u32(u8(d));
    }

    // One chunk as the walker sees it. The payload is known to lie inside the memory.
    struct Chunk
    {
        u32 type = 0;
        const u8* data = nullptr;
        u32 size = 0;
        const u8* next = nullptr;    // behind the CRC
    };

    enum class ChunkRead
    {
        OK,
        END,        // fewer than 12 bytes left: no further chunk
        OVERRUN,    // the length reaches past the memory
    };

    // Reads the chunk at p; the length is compared with the bytes left so that no u32
    // length can wrap the cursor.
    ChunkRead readChunk(const u8* p, const u8* end, Chunk& chunk);

    // Owning byte buffer whose allocation failure is a null buffer, not an exception.
    //
    // Blocks of `keptBlockMinimum` bytes or more go back to a process-wide cache when the
    // buffer is released, and the next decode takes them from there: a photo's inflated
    // rows are written once and read once, and faulting in fresh pages for them costs
    // about a sixth of the decode. The cache keeps at most `keptBlockCount` blocks and
    // `keptLimit` bytes in all (the joined stream, the rows and the interlace buffer of a
    // 4096 x 4096 RGBA image); what does not fit is freed. A buffer takes a kept block of
    // at most twice its size, so that a small request leaves a large block to the large
    // request that follows it.
    class ByteBuffer
    {
    public:
        ByteBuffer() = default;
        ByteBuffer(ByteBuffer&& other) noexcept;
        ByteBuffer& operator=(ByteBuffer&& other) noexcept;
        ByteBuffer(const ByteBuffer&) = delete;
        ByteBuffer& operator=(const ByteBuffer&) = delete;
        ~ByteBuffer();

        u8* get() const { return m_data; }
        explicit operator bool() const { return m_data != nullptr; }

        // Releases the memory (to the cache, for a kept block).
        void reset();

    private:
        friend ByteBuffer allocateBuffer(u64 bytes, bool zeroed);

        u8* m_data = nullptr;
        u64 m_capacity = 0;    // a block's size; 0 for a small allocation of its own
    };

    constexpr u64 keptBlockMinimum = u64(1) << 20;
    constexpr u64 keptLimit = u64(128) << 20;
    constexpr int keptBlockCount = 4;

    ByteBuffer allocateZeroed(u64 bytes);
    ByteBuffer allocateBuffer(u64 bytes, bool zeroed);

    // The bytes the cache holds now, and freeing them all (for tests).
    u64 keptBytes();
    void releaseKeptBlocks();

    // Compressed sizes up to this go to stb_image's inflater, larger ones to libdeflate.
    constexpr u64 smallInflateLimit = 131072;

    enum class InflateResult
    {
        OK,
        FAILED,         // the stream is damaged or does not give exactly the expected size
        BAD_CHECKSUM,   // the stream inflates, but not to the bytes its Adler-32 was made from
        OUT_OF_MEMORY,
    };

    // Inflates a zlib stream into a buffer of exactly `expected` bytes, all of them written.
    InflateResult inflateZlib(ConstMemory compressed, u64 expected, ByteBuffer& output);

} // namespace norva::png

namespace norva
{
    class Stream;
    class Surface;
    struct ImageEncodeOptions;
    struct ImageEncodeStatus;
}

namespace norva::png
{
    // The ".png" encoder: grey, grey with alpha or RGBA at 8 or 16 bits.
    ImageEncodeStatus encodePNG(Stream& output, const Surface& surface, const ImageEncodeOptions& options);

} // namespace norva::png
