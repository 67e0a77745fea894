// PNG encoder: one IHDR, the image data and IEND; every row uses filter 0 and the data is
// deflated in one call.

#include <algorithm>
#include <cstring>
#include <memory>

#include <libdeflate.h>

#include <norva/core/crc32.hpp>
#include <norva/core/endian.hpp>
#include <norva/core/stream.hpp>
#include <norva/image/decoder.hpp>

#include "format_guard.hpp"
#include "png_core.hpp"

namespace norva::png
{
    namespace
    {
        constexpr u8 signature[8] = { 0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A };

        // a chunk's length field is limited to 2^31 - 1
        constexpr u64 maxChunkSize = 0x7FFFFFFF;

        // libdeflate's level 6 is the usual zlib default
        constexpr int compressionLevel = 6;

        void writeChunk(Stream& stream, u32 type, ConstMemory data)
        {
            u8 head[8];
            storeBE32(head + 0, u32(data.size));
            storeBE32(head + 4, type);
            u32 crc = norva::crc32(0, ConstMemory(head + 4, 4));
            crc = norva::crc32(crc, data);
            u8 tail[4];
            storeBE32(tail, crc);
            stream.write(head, 8);
            stream.write(data.address, data.size);
            stream.write(tail, 4);
        }

        struct CompressorDeleter
        {
            void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
        };

        // Writes the whole file; `surface` is already in the target format.
        const char* writePNG(Stream& stream, const Surface& surface, int depth, int colorType)
        {
            const u64 bpp = u64(surface.format.bytes());
            const u64 rowSize = u64(surface.width) * bpp;
            const u64 rawSize = (rowSize + 1) * u64(surface.height);

            ByteBuffer raw = allocateZeroed(rawSize);
            if (!raw)
            {
                return "[ImageEncoder.PNG] Out of memory.";
            }
            for (int y = 0; y < surface.height; ++y)
            {
                u8* row = raw.get() + u64(y) * (rowSize + 1);
                row[0] = 0;
                const u8* src = surface.address(0, y);
                if (depth == 16)
                {
                    // host u16 to most significant byte first
                    for (u64 i = 0; i < rowSize; i += 2)
                    {
                        u16 v;
                        std::memcpy(&v, src + i, 2);
                        row[1 + i] = u8(v >> 8);
                        row[2 + i] = u8(v);
                    }
                }
                else
                {
                    std::memcpy(row + 1, src, size_t(rowSize));
                }
            }

            std::unique_ptr<libdeflate_compressor, CompressorDeleter> compressor(
                libdeflate_alloc_compressor(compressionLevel));
            if (!compressor)
            {
                return "[ImageEncoder.PNG] Out of memory.";
            }
            const size_t bound = libdeflate_zlib_compress_bound(compressor.get(), size_t(rawSize));
            ByteBuffer compressed = allocateZeroed(bound);
            if (!compressed)
            {
                return "[ImageEncoder.PNG] Out of memory.";
            }
            const size_t length = libdeflate_zlib_compress(compressor.get(), raw.get(), size_t(rawSize),
                                                           compressed.get(), bound);
            if (!length)
            {
                return "[ImageEncoder.PNG] Deflate failed.";
            }
            raw.reset();

            stream.write(signature, 8);

            u8 ihdr[13];
            storeBE32(ihdr + 0, u32(surface.width));
            storeBE32(ihdr + 4, u32(surface.height));
            ihdr[8] = u8(depth);
            ihdr[9] = u8(colorType);
            ihdr[10] = 0;
            ihdr[11] = 0;
            ihdr[12] = 0;
            writeChunk(stream, makeChunkType('I', 'H', 'D', 'R'), ConstMemory(ihdr, 13));

            for (u64 offset = 0; offset < length; offset += maxChunkSize)
            {
                const u64 n = std::min(maxChunkSize, u64(length) - offset);
                writeChunk(stream, makeChunkType('I', 'D', 'A', 'T'), ConstMemory(compressed.get() + offset, n));
            }

            writeChunk(stream, makeChunkType('I', 'E', 'N', 'D'), ConstMemory());
            return nullptr;
        }

    } // namespace

    ImageEncodeStatus encodePNG(Stream& output, const Surface& surface, const ImageEncodeOptions& options)
    {
        (void)options;
        ImageEncodeStatus status;

        if (surface.width <= 0 || surface.height <= 0 || !surface.image)
        {
            status.setError("[ImageEncoder.PNG] Incorrect image size (%d x %d).", surface.width, surface.height);
            return status;
        }

        const bool wide = surface.format.size[0] > 8;
        int colorType = 6;
        Format target = wide ? Format::RGBA16 : Format::RGBA8888;
        if (surface.format.isLuminance())
        {
            if (surface.format.isAlpha())
            {
                colorType = 4;
                target = wide ? Format::LA1616 : Format::LA88;
            }
            else
            {
                colorType = 0;
                target = wide ? Format::L16 : Format::L8;
            }
        }

        return guardStatus<ImageEncodeStatus>("[ImageEncoder.PNG] ", [&] {
            ImageEncodeStatus result;
            const char* error = nullptr;
            if (surface.format == target)
            {
                error = writePNG(output, surface, wide ? 16 : 8, colorType);
            }
            else
            {
                Bitmap temp(surface.width, surface.height, target);
                if (!temp.blit(0, 0, surface))
                {
                    result.setError("[ImageEncoder.PNG] No conversion from the source format.");
                    return result;
                }
                error = writePNG(output, temp, wide ? 16 : 8, colorType);
            }
            if (error)
            {
                result.setError("%s", error);
            }
            return result;
        });
    }

} // namespace norva::png
