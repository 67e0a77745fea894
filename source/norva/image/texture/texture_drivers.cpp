// Whole-image drivers of the block codecs: cut an image into block rows, one task per row
// on the thread pool, each decoding (or encoding) its blocks left to right.
//
// Decoding goes straight into the destination when it is whole blocks in the codec's
// format; otherwise each block is decoded into a block-sized temporary on the task's stack
// and converted into place with one shared Blitter, so partial edge blocks and foreign
// formats cost one extra pass over a block that is still in cache. Whole-surface codecs
// (PVRTC) are called once for the image instead.
//
// The block data is checked against the image size before anything is written, so a
// truncated level fails instead of being read past its end.

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>

#include <norva/core/thread.hpp>
#include <norva/image/blitter.hpp>
#include <norva/image/texture.hpp>

#include "texture_private.hpp"

namespace norva
{
    namespace
    {
        // The largest block the per-task temporaries hold: 12 x 12 pixels of four floats.
        constexpr int maxBlockBytes = 12 * 12 * 16;

        bool isPowerOfTwo(s32 value)
        {
            return value > 0 && (value & (value - 1)) == 0;
        }

        bool isWholeSurface(const TextureCompressionInfo& info)
        {
            return (info.compression & TextureCompression::FLAG_SURFACE) != 0;
        }

        // Texels across one PVRTC word of 64 bits: 4 at 4 bpp, 8 at 2 bpp. The linear rows'
        // blocks are one word; the sRGB rows describe 8 x 8 blocks of 4 or 2 words.
        s32 getWordWidth(const TextureCompressionInfo& info)
        {
            return 2 * info.width * info.height / info.bytes;
        }

        // Runs rows(0 .. count - 1), one task each, and waits; an exception from a task
        // (an allocation failure) comes back as a failed status.
        template <typename RowFunc>
        bool runBlockRows(ThreadPool& pool, u64 count, RowFunc rowFunc, ImageDecodeStatus& status)
        {
            try
            {
                TaskQueue queue(pool, "concurrent.default", 1);
                for (u64 row = 0; row < count; ++row)
                {
                    getTextureTaskCounter().fetch_add(1, std::memory_order_relaxed);
                    queue.enqueue([&rowFunc, row] { rowFunc(row); });
                }
                queue.wait();
            }
            catch (const std::bad_alloc&)
            {
                status.setError("[TextureCompression] Not enough memory.");
                return false;
            }
            return true;
        }

        ImageDecodeStatus decompressSurface(const TextureCompressionInfo& info, const Surface& dest,
                                            ConstMemory memory)
        {
            ImageDecodeStatus status;

            // PVRTC interpolates across the whole, wrapping surface: its sizes must be powers
            // of two, and a level is never smaller than 2 x 2 blocks (the encoder pads it).
            if (!isPowerOfTwo(dest.width) || !isPowerOfTwo(dest.height))
            {
                status.setError("[TextureCompression] PVRTC size %d x %d is not a power of two.",
                                dest.width, dest.height);
                return status;
            }

            // Levels are padded to 2 x 2 words (PVR files); a shorter span holds the level's
            // own words (basisu's KTX files), a grid of one word wrapping onto itself included.
            TextureCompressionInfo surface = info;
            if (memory.size >= info.getBlockDataSize(dest.width, dest.height))
            {
                surface.width = s32(info.getBlockCountX(dest.width) * u64(info.width));
                surface.height = s32(info.getBlockCountY(dest.height) * u64(info.height));
            }
            else
            {
                surface.width = std::max(dest.width, getWordWidth(info));
                surface.height = std::max(dest.height, 4);
            }

            if (surface.width == dest.width && surface.height == dest.height && dest.format == info.format)
            {
                info.decode(surface, dest.image, memory.address, dest.stride);
                status.direct = true;
                return status;
            }

            Blitter blitter(dest.format, info.format);
            if (!blitter.canConvert())
            {
                status.setError("[TextureCompression] No conversion from the decoded format.");
                return status;
            }

            try
            {
                Bitmap temp(surface.width, surface.height, info.format);
                info.decode(surface, temp.image, memory.address, temp.stride);
                Surface target = dest;
                if (!target.blit(0, 0, Surface(temp, 0, 0, dest.width, dest.height)))
                    status.setError("[TextureCompression] No conversion from the decoded format.");
            }
            catch (const std::exception&)
            {
                status.setError("[TextureCompression] Not enough memory.");
            }
            return status;
        }

    } // namespace

    std::atomic<u64>& getTextureTaskCounter()
    {
        static std::atomic<u64> counter { 0 };
        return counter;
    }

    // A PVRTC level holds at least 2 x 2 words, 4 texels high; counted in texels, since the
    // sRGB rows' blocks are more than one word.
    u64 TextureCompressionInfo::getBlockCountX(s32 pixels) const
    {
        if (width <= 0 || pixels <= 0)
            return 0;
        if (isWholeSurface(*this) && bytes > 0)
            pixels = std::max<s32>(pixels, 2 * getWordWidth(*this));
        return (u64(pixels) + u64(width) - 1) / u64(width);
    }

    u64 TextureCompressionInfo::getBlockCountY(s32 pixels) const
    {
        if (height <= 0 || pixels <= 0)
            return 0;
        if (isWholeSurface(*this))
            pixels = std::max<s32>(pixels, 2 * 4);
        return (u64(pixels) + u64(height) - 1) / u64(height);
    }

    u64 getLeastBlockDataSize(const TextureCompressionInfo& info, s32 w, s32 h)
    {
        if (!isWholeSurface(info) || info.width <= 0 || info.height <= 0 || info.bytes <= 0 || w <= 0 || h <= 0)
            return info.getBlockDataSize(w, h);
        const u64 ww = u64(getWordWidth(info));
        return (u64(w) + ww - 1) / ww * ((u64(h) + 3) / 4) * 8;
    }

    u64 TextureCompressionInfo::getBlockDataSize(s32 w, s32 h) const
    {
        const u64 blocks = getBlockCountX(w) * getBlockCountY(h); // each below 2^31
        u64 size = 0;
        if (bytes < 0 || __builtin_mul_overflow(blocks, u64(bytes), &size))
            return ~u64(0);
        return size;
    }

    ImageDecodeStatus TextureCompressionInfo::decompress(const Surface& dest, ConstMemory memory) const
    {
        return decompress(dest, memory, ThreadPool::getInstance());
    }

    ImageDecodeStatus TextureCompressionInfo::decompress(const Surface& dest, ConstMemory memory,
                                                         ThreadPool& pool) const
    {
        ImageDecodeStatus status;

        if (!decode)
        {
            status.setError("No decoder for 0x%x.", u32(compression));
            return status;
        }

        // Float destinations of the codecs with a float path decode through it, and so do
        // unsigned destinations of signed EAC (the row it gives decodes through itself again,
        // so this happens once).
        const TextureCompressionInfo row = getDecodingRow(*this, dest.format);
        if (row.decode != decode)
            return row.decompress(dest, memory, pool);

        if (dest.width <= 0 || dest.height <= 0)
            return status;

        if (width <= 0 || height <= 0 || bytes <= 0)
        {
            status.setError("[TextureCompression] Incorrect block size.");
            return status;
        }

        const u64 needed = getLeastBlockDataSize(*this, dest.width, dest.height);
        if (!memory.address || memory.size < needed)
        {
            status.setError("[TextureCompression] Not enough block data: %llu bytes for %d x %d pixels, %llu needed.",
                            (unsigned long long)memory.size, dest.width, dest.height, (unsigned long long)needed);
            return status;
        }

        if (isWholeSurface(*this))
            return decompressSurface(*this, dest, memory);

        const u64 xblocks = getBlockCountX(dest.width);
        const u64 yblocks = getBlockCountY(dest.height);
        const u64 rowBytes = xblocks * u64(bytes);

        const bool direct = dest.format == format && xblocks * u64(width) == u64(dest.width) &&
                            yblocks * u64(height) == u64(dest.height);
        if (direct)
        {
            const ptrdiff_t blockStep = ptrdiff_t(width) * format.bytes();
            const ptrdiff_t rowStep = ptrdiff_t(height) * dest.stride;
            auto rowFunc = [&](u64 by) {
                u8* out = dest.image + ptrdiff_t(by) * rowStep;
                const u8* in = memory.address + by * rowBytes;
                for (u64 bx = 0; bx < xblocks; ++bx)
                {
                    decode(*this, out, in, dest.stride);
                    out += blockStep;
                    in += bytes;
                }
            };
            if (runBlockRows(pool, yblocks, rowFunc, status))
                status.direct = true;
            return status;
        }

        const int blockStride = width * format.bytes();
        if (s64(blockStride) * height > maxBlockBytes)
        {
            status.setError("[TextureCompression] Block of %d x %d pixels is too large.", width, height);
            return status;
        }

        // No conversion means nothing would be written: say so instead of succeeding.
        const Blitter blitter(dest.format, format);
        if (!blitter.canConvert())
        {
            status.setError("[TextureCompression] No conversion from the decoded format.");
            return status;
        }

        const ptrdiff_t destStep = ptrdiff_t(width) * dest.format.bytes();
        auto rowFunc = [&](u64 by) {
            alignas(64) u8 temp[maxBlockBytes];
            const s32 y = s32(by) * height;
            BlitRect rect;
            rect.dest = dest.image + ptrdiff_t(y) * dest.stride;
            rect.destStride = dest.stride;
            rect.src = temp;
            rect.srcStride = blockStride;
            rect.height = std::min(dest.height - y, height);
            const u8* in = memory.address + by * rowBytes;
            for (s32 x = 0; x < dest.width; x += width)
            {
                decode(*this, temp, in, blockStride);
                rect.width = std::min(dest.width - x, width);
                blitter.convert(rect);
                rect.dest += destStep;
                in += bytes;
            }
        };
        runBlockRows(pool, yblocks, rowFunc, status);
        return status;
    }

    ImageDecodeStatus TextureCompressionInfo::compress(Memory output, const Surface& source) const
    {
        return compress(output, source, ThreadPool::getInstance());
    }

    ImageDecodeStatus TextureCompressionInfo::compress(Memory output, const Surface& source, ThreadPool& pool) const
    {
        ImageDecodeStatus status;

        if (!encode)
        {
            status.setError("No encoder for 0x%x.", u32(compression));
            return status;
        }

        if (source.width <= 0 || source.height <= 0)
            return status;

        const int pixelBytes = format.bytes();
        const int blockStride = width * pixelBytes;
        if (width <= 0 || height <= 0 || bytes <= 0 || isWholeSurface(*this) ||
            s64(blockStride) * height > maxBlockBytes)
        {
            status.setError("[TextureCompression] Incorrect block size.");
            return status;
        }

        const u64 needed = getBlockDataSize(source.width, source.height);
        if (!output.address || output.size < needed)
        {
            status.setError("[TextureCompression] Output of %llu bytes is too small, %llu needed.",
                            (unsigned long long)output.size, (unsigned long long)needed);
            return status;
        }

        const Blitter blitter(format, source.format);
        if (!blitter.canConvert())
        {
            status.setError("[TextureCompression] No conversion into the encoder's format.");
            return status;
        }

        const u64 xblocks = getBlockCountX(source.width);
        const u64 yblocks = getBlockCountY(source.height);

        auto rowFunc = [&](u64 by) {
            alignas(64) u8 temp[maxBlockBytes];
            const s32 y = s32(by) * height;
            const s32 rows = std::min(source.height - y, height);
            u8* out = output.address + by * xblocks * u64(bytes);
            for (s32 x = 0; x < source.width; x += width)
            {
                const s32 columns = std::min(source.width - x, width);
                BlitRect rect;
                rect.dest = temp;
                rect.destStride = blockStride;
                rect.src = source.address(x, y);
                rect.srcStride = source.stride;
                rect.width = columns;
                rect.height = rows;
                blitter.convert(rect);

                // Edge blocks repeat the last column and row, so the encoder fits the
                // image's own colours instead of whatever the temporary held.
                for (s32 r = 0; r < rows; ++r)
                {
                    u8* line = temp + r * blockStride;
                    for (s32 c = columns; c < width; ++c)
                        std::memcpy(line + c * pixelBytes, line + (columns - 1) * pixelBytes, pixelBytes);
                }
                for (s32 r = rows; r < height; ++r)
                    std::memcpy(temp + r * blockStride, temp + (rows - 1) * blockStride, blockStride);

                encode(*this, out, temp, blockStride);
                out += bytes;
            }
        };
        runBlockRows(pool, yblocks, rowFunc, status);
        return status;
    }

} // namespace norva
