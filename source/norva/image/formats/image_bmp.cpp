// Windows and OS/2 bitmaps, icons and cursors, and files of those extensions that hold a
// PNG, JPEG or GIF image (handed to the decoder registered for that format).
//
// Every field, palette, row and RLE command is read against the size of the memory: a
// truncated or damaged file ends in a status, never in a read past the data.

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include <norva/core/byte_reader.hpp>
#include <norva/core/exception.hpp>
#include <norva/core/stream.hpp>
#include <norva/image/decoder.hpp>

#include "format_guard.hpp"

namespace norva
{
    namespace
    {
        // --------------------------------------------------------------------
        // layout
        // --------------------------------------------------------------------

        constexpr u64 fileHeaderSize = 14;

        // Generous for any real bitmap; keeps every size product far from overflow.
        constexpr s64 maxDimension = s64(1) << 24;
        constexpr u64 maxPixels = u64(1) << 30;

        enum Compression : u32
        {
            BI_RGB = 0,
            BI_RLE8 = 1,
            BI_RLE4 = 2,
            BI_BITFIELDS = 3,
            BI_JPEG = 4,
            BI_PNG = 5,
            BI_ALPHABITFIELDS = 6,
        };

        // A mask is usable when its bits are one run inside the pixel.
        bool isContiguousMask(u32 mask, u32 bits)
        {
            if (!mask)
            {
                return true;
            }
            const u64 inside = (u64(1) << bits) - 1;
            if (u64(mask) & ~inside)
            {
                return false;
            }
            const u32 shifted = mask >> std::countr_zero(mask);
            return (shifted & (shifted + 1)) == 0;
        }

        // The fields the decoder uses; the rest of the header (resolution, colour space,
        // profile, the OS/2 extensions) is skipped.
        struct BitmapHeader
        {
            u32 headerSize = 0;
            s32 width = 0;
            s32 height = 0;
            u32 planes = 0;
            u32 bitCount = 0;
            u32 compression = 0;
            u32 colorsUsed = 0;
            u32 colorsImportant = 0;

            u32 redMask = 0;
            u32 greenMask = 0;
            u32 blueMask = 0;
            u32 alphaMask = 0;

            u32 paletteEntrySize = 4;
            u32 paletteEntries = 0;
            const u8* palette = nullptr;
            bool bottomUp = true;

            const char* error = nullptr;
            Format format;
        };

        bool isBitfields(u32 compression)
        {
            return compression == BI_BITFIELDS || compression == BI_ALPHABITFIELDS;
        }

        void readMasks(ByteReader& r, BitmapHeader& h, bool alpha)
        {
            h.redMask = r.le32();
            h.greenMask = r.le32();
            h.blueMask = r.le32();
            if (alpha)
            {
                h.alphaMask = r.le32();
            }
        }

        // The size-dependent fields: OS/2 1.x (12 bytes), OS/2 2.x short (16), then the
        // Windows headers (40, 52, 56, 108, 124) and OS/2 2.x full (64), which begin with
        // the 40-byte BITMAPINFOHEADER. Masks count only with the bitfield compressions.
        const char* readHeaderFields(ConstMemory memory, BitmapHeader& h)
        {
            ByteReader r(memory);
            h.headerSize = r.le32();
            if (r.isShort())
            {
                return "[ImageDecoder.BMP] Out of data.";
            }
            switch (h.headerSize)
            {
                case 12: case 16: case 40: case 52: case 56: case 64: case 108: case 124:
                    break;
                default:
                    return "[ImageDecoder.BMP] Incorrect header size.";
            }
            if (memory.size < h.headerSize)
            {
                return "[ImageDecoder.BMP] Out of data.";
            }

            if (h.headerSize == 12)
            {
                h.width = r.le16();
                h.height = s16(r.le16());
                h.planes = r.le16();
                h.bitCount = r.le16();
                h.paletteEntrySize = 3;
                return nullptr;
            }

            h.width = s32(r.le32());
            h.height = s32(r.le32());
            h.planes = r.le16();
            h.bitCount = r.le16();
            if (h.headerSize == 16)
            {
                return nullptr;
            }
            h.compression = r.le32();
            r.skip(12); // image size, resolution
            h.colorsUsed = r.le32();
            h.colorsImportant = r.le32();

            // Headers from v3 on always carry masks, and some writers fill them for plain
            // BI_RGB data too: they describe the pixels only with the bitfield compressions.
            if (!isBitfields(h.compression))
            {
                return nullptr;
            }
            if (h.headerSize == 40)
            {
                // the masks follow a plain info header
                if (h.bitCount == 16 || h.bitCount == 32)
                {
                    readMasks(r, h, h.compression == BI_ALPHABITFIELDS);
                }
            }
            else if (h.headerSize != 64)
            {
                readMasks(r, h, h.headerSize != 52);
            }
            return r.isShort() ? "[ImageDecoder.BMP] Out of data." : nullptr;
        }

        // Icons state twice the height: the image and its AND mask.
        const char* checkImageSize(BitmapHeader& h, bool icon)
        {
            s64 height = h.height;
            if (icon)
            {
                height /= 2;
            }
            h.bottomUp = height >= 0;
            height = height < 0 ? -height : height;
            if (h.width <= 0 || height <= 0 || h.width > maxDimension || height > maxDimension ||
                u64(h.width) * u64(height) > maxPixels)
            {
                return "[ImageDecoder.BMP] Incorrect image size.";
            }
            h.height = s32(height);
            return nullptr;
        }

        // The pixel format: palette entries up to 8 bits, the masks when there are any,
        // else the default layout of the bit count.
        const char* choosePixelFormat(BitmapHeader& h, const u8* header)
        {
            if (h.bitCount >= 1 && h.bitCount <= 8)
            {
                h.format = Format::BGRA8888;
                u32 used = h.colorsUsed ? h.colorsUsed : (1u << h.bitCount);
                u32 important = (h.colorsImportant == 0 || h.colorsImportant > 256) ? used : h.colorsImportant;
                h.colorsUsed = used;
                h.paletteEntries = std::min(important, 256u);
                h.palette = header + h.headerSize;
                return nullptr;
            }

            if (h.redMask || h.greenMask || h.blueMask)
            {
                if (h.bitCount != 16 && h.bitCount != 24 && h.bitCount != 32)
                {
                    return "[ImageDecoder.BMP] Incorrect number of color bits.";
                }
                // the shift is 64-bit: a 32-bit pixel keeps its whole alpha mask
                const u32 alpha = u32(h.alphaMask & ((u64(1) << h.bitCount) - 1));
                if (!isContiguousMask(h.redMask, h.bitCount) || !isContiguousMask(h.greenMask, h.bitCount) ||
                    !isContiguousMask(h.blueMask, h.bitCount) || !isContiguousMask(alpha, h.bitCount))
                {
                    return "[ImageDecoder.BMP] Incorrect color masks.";
                }
                h.alphaMask = alpha;
                h.format = Format(h.bitCount, h.redMask, h.greenMask, h.blueMask, alpha);
                if (!alpha)
                {
                    // an absent alpha sits right above the colour fields, as in the named
                    // formats (BGR565, BGRX8880), so that conversions recognise them
                    h.format.offset[3] = u8(h.format.size[0] + h.format.size[1] + h.format.size[2]);
                }
                return nullptr;
            }

            switch (h.bitCount)
            {
                case 16: h.format = Format(16, Format::UNORM, Format::BGRA, 5, 5, 5, 0); return nullptr;
                case 24: h.format = Format::BGR888; return nullptr;
                case 32: h.format = Format::BGRX8880; return nullptr;
                default: return "[ImageDecoder.BMP] Incorrect number of color bits.";
            }
        }

        BitmapHeader parseBitmapInfoHeader(ConstMemory memory, bool icon)
        {
            BitmapHeader h;
            h.error = readHeaderFields(memory, h);
            if (!h.error && h.planes != 1)
            {
                h.error = "[ImageDecoder.BMP] Incorrect number of planes.";
            }
            if (!h.error)
            {
                h.error = checkImageSize(h, icon);
            }
            if (!h.error)
            {
                h.error = choosePixelFormat(h, memory.address);
            }
            return h;
        }

        // --------------------------------------------------------------------
        // pixels
        // --------------------------------------------------------------------

        bool isRunLength(u32 compression)
        {
            return compression == BI_RLE8 || compression == BI_RLE4;
        }

        // Refuses sizes the file cannot hold before anything is allocated for them (by us
        // or by a caller that sizes its surface from the header): uncompressed rows must
        // all be there; an RLE command of two bytes draws at most 255 pixels, which bounds
        // what a stream can cover. Small images pass regardless, as sparse streams that
        // end rows early or skip with deltas are legal.
        const char* checkPixelData(const BitmapHeader& header, u64 available)
        {
            constexpr u64 smallImage = u64(1) << 16;
            const u64 pixels = u64(header.width) * u64(header.height);
            if (isRunLength(header.compression))
            {
                if (pixels > smallImage && pixels > available / 2 * 255)
                {
                    return "[ImageDecoder.BMP] Out of data.";
                }
                return nullptr;
            }
            if (header.compression == BI_RGB || (isBitfields(header.compression) && header.bitCount > 8))
            {
                const u64 stride = ((u64(header.width) * header.bitCount + 31) / 32) * 4;
                if (stride * u64(header.height) > available)
                {
                    return "[ImageDecoder.BMP] Out of data.";
                }
            }
            return nullptr;
        }

        // Where palette indices go: straight as indices, or through the palette as 32-bit
        // B, G, R, A colours; addressed in file row order (bottom-up files run upwards).
        struct IndexSink
        {
            Surface rows;
            const u32* colors = nullptr;    // null: the indices themselves

            IndexSink(const Surface& target, int width, int height, bool bottomUp, const u32* colors)
                : rows(target, 0, 0, width, height)
                , colors(colors)
            {
                if (bottomUp)
                {
                    rows.image = rows.address(0, rows.height - 1);
                    rows.stride = -rows.stride;
                }
            }

            void put(int x, int y, u8 index) const
            {
                if (colors)
                {
                    std::memcpy(rows.address(x, y), &colors[index], 4);
                }
                else
                {
                    rows.address(x, y)[0] = index;
                }
            }

            // what an RLE stream leaves undrawn is index 0
            void clear() const
            {
                for (int y = 0; y < rows.height; ++y)
                {
                    for (int x = 0; x < rows.width; ++x)
                    {
                        put(x, y, 0);
                    }
                }
            }
        };

        // Commands of two bytes; RLE4 runs and literals hold two pixels per byte, high first.
        // Pixels past the end of a row are dropped up to the next end-of-line, delta or
        // end-of-bitmap command: encoders pad rows (ImageMagick to a multiple of four
        // pixels), and the padding must not come back at the start of the row.
        // Returns false when the data ends before the end-of-bitmap command.
        bool decodeRLE(const IndexSink& sink, const BitmapHeader& header, ConstMemory data, bool nibbles)
        {
            const u8* p = data.address;
            const u8* end = data.address + data.size;
            const int width = header.width;
            const int height = header.height;
            // the column saturates at the width: everything from there on is dropped
            int x = 0;
            int y = 0;
            auto advance = [&](int n) { x = std::min(x + n, width); };

            while (y < height)
            {
                if (end - p < 2)
                {
                    return false;
                }
                const int n = p[0];
                const u8 v = p[1];
                p += 2;

                if (n > 0)
                {
                    for (int i = 0; i < n && x + i < width; ++i)
                    {
                        sink.put(x + i, y, nibbles ? u8((i & 1) ? (v & 0x0F) : (v >> 4)) : v);
                    }
                    advance(n);
                    continue;
                }

                switch (v)
                {
                    case 0:
                        ++y;
                        x = 0;
                        break;
                    case 1:
                        return true;
                    case 2:
                        if (end - p < 2)
                        {
                            return false;
                        }
                        advance(p[0]);
                        y += p[1];
                        p += 2;
                        break;
                    default:
                    {
                        const int count = v;
                        const int bytes = nibbles ? (count + 1) / 2 : count;
                        if (end - p < bytes)
                        {
                            return false;
                        }
                        for (int i = 0; i < count && x + i < width; ++i)
                        {
                            sink.put(x + i, y, nibbles ? u8((i & 1) ? (p[i / 2] & 0x0F) : (p[i / 2] >> 4)) : p[i]);
                        }
                        advance(count);
                        // literals are padded to a whole number of 16-bit words
                        p += bytes + (bytes & 1);
                        if (p > end)
                        {
                            p = end;
                        }
                        break;
                    }
                }
            }
            return true;
        }

        // Decodes palette indices into the caller's surface when it can take them as they
        // come (8-bit indices with a palette requested, else 32-bit B, G, R, A, at least as
        // large as the image); otherwise into one temporary that is then copied or blitted.
        template <typename Draw>
        const char* deliverIndices(Surface& dest, const BitmapHeader& header, const u32* colors, u32 count,
                                   Palette* palette, Draw draw)
        {
            const int width = header.width;
            const int height = header.height;
            const bool fits = dest.width >= width && dest.height >= height;
            if (palette)
            {
                if (dest.format.bytes() != 1)
                {
                    return "[ImageDecoder.BMP] Palette indices need an 8-bit destination.";
                }
                palette->size = count;
                std::memcpy(palette->color, colors, 256 * 4);
                if (fits)
                {
                    return draw(IndexSink(dest, width, height, header.bottomUp, nullptr));
                }
                // a smaller destination gets the indices that fit
                Bitmap index(width, height, Format::INDEX8);
                const char* error = draw(IndexSink(index, width, height, header.bottomUp, nullptr));
                const int w = std::min(dest.width, width);
                for (int y = 0; y < std::min(dest.height, height); ++y)
                {
                    std::memcpy(dest.address(0, y), index.address(0, y), size_t(std::max(w, 0)));
                }
                return error;
            }
            if (fits && dest.format == Format::BGRA8888)
            {
                return draw(IndexSink(dest, width, height, header.bottomUp, colors));
            }
            Bitmap colours(width, height, Format::BGRA8888);
            const char* error = draw(IndexSink(colours, width, height, header.bottomUp, colors));
            if (!dest.blit(0, 0, colours))
            {
                return "[ImageDecoder.BMP] No conversion to the destination format.";
            }
            return error;
        }

        const char* decodeBitmap(Surface& dest, ConstMemory info, u64 pixelOffset, bool icon, Palette* palette)
        {
            BitmapHeader header = parseBitmapInfoHeader(info, icon);
            if (header.error)
            {
                return header.error;
            }

            u32 colors[256] = {};
            u32 count = 0;
            if (header.palette)
            {
                const u64 start = u64(header.palette - info.address);
                for (; count < header.paletteEntries; ++count)
                {
                    const u64 offset = start + u64(count) * header.paletteEntrySize;
                    if (offset + 3 > info.size)
                    {
                        return "[ImageDecoder.BMP] Out of data.";
                    }
                    const u8* c = info.address + offset;
                    colors[count] = 0xFF000000u | (u32(c[2]) << 16) | (u32(c[1]) << 8) | c[0];
                }
            }

            const u32 compression = header.compression;
            if (compression > 13 || (compression >= 7 && compression <= 10))
            {
                return "[ImageDecoder.BMP] Incorrect compression.";
            }
            // compression 3 at up to 8 bits is OS/2's Huffman 1D, which is not decoded
            if (compression == BI_JPEG || compression == BI_PNG || compression >= 11 ||
                (isBitfields(compression) && header.bitCount <= 8))
            {
                return "[ImageDecoder.BMP] Unsupported compression.";
            }

            const ConstMemory data = info.slice(pixelOffset);
            if (const char* error = checkPixelData(header, data.size))
            {
                return error;
            }
            const u64 stride = ((u64(header.width) * header.bitCount + 31) / 32) * 4;

            if (isRunLength(compression))
            {
                bool complete = true;
                const char* error = deliverIndices(dest, header, colors, count, palette, [&](const IndexSink& sink) {
                    sink.clear();
                    complete = decodeRLE(sink, header, data, compression == BI_RLE4);
                    return static_cast<const char*>(nullptr);
                });
                if (error)
                {
                    return error;
                }
                return complete ? nullptr : "[ImageDecoder.BMP] Out of data.";
            }

            const u32 bits = header.bitCount;
            if (bits != 1 && bits != 2 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
            {
                return "[ImageDecoder.BMP] Incorrect number of color bits.";
            }

            if (bits == 1 || bits == 2 || bits == 4 || bits == 8)
            {
                const u32 mask = (1u << bits) - 1;
                return deliverIndices(dest, header, colors, count, palette, [&](const IndexSink& sink) {
                    for (int y = 0; y < header.height; ++y)
                    {
                        const u8* src = data.address + u64(y) * stride;
                        for (int x = 0; x < header.width; ++x)
                        {
                            const u64 bit = u64(x) * bits;
                            sink.put(x, y, u8((src[bit >> 3] >> (8 - bits - (bit & 7))) & mask));
                        }
                    }
                    return static_cast<const char*>(nullptr);
                });
            }

            if (bits == 16 || bits == 24 || bits == 32)
            {
                Surface rows(header.width, header.height, header.format, int(stride), const_cast<u8*>(data.address));
                if (header.bottomUp)
                {
                    rows.image = const_cast<u8*>(data.address) + u64(header.height - 1) * stride;
                    rows.stride = -int(stride);
                }
                if (!dest.blit(0, 0, rows))
                {
                    return "[ImageDecoder.BMP] No conversion to the destination format.";
                }
                return nullptr;
            }
            return "[ImageDecoder.BMP] Incorrect number of color bits.";
        }

        // --------------------------------------------------------------------
        // icons and cursors
        // --------------------------------------------------------------------

        struct IconImage
        {
            const char* error = nullptr;
            ConstMemory memory;     // from the entry's offset to the end of the file
            u32 size = 0;           // the directory's size of the entry (0: not stated)
            u32 colorCount = 0;
        };

        // One 16-byte directory entry: width, height, colour count, reserved, planes (hot
        // spot x for cursors), bit count (hot spot y), size and offset of the image.
        struct IconEntry
        {
            u64 width = 0;
            u64 height = 0;
            u32 colorCount = 0;
            u32 planes = 0;
            u32 bitCount = 0;
            u32 size = 0;
            u32 offset = 0;
        };

        IconEntry readIconEntry(ByteReader& r, bool cursor)
        {
            IconEntry e;
            const u8 width = r.byte();
            const u8 height = r.byte();
            e.width = width ? width : 256;
            e.height = height ? height : 256;
            e.colorCount = r.byte();
            r.skip(1);
            e.planes = r.le16();
            e.bitCount = r.le16();
            if (cursor)
            {
                e.bitCount = 0;
            }
            e.size = r.le32();
            e.offset = r.le32();
            return e;
        }

        IconImage selectIconImage(ConstMemory file)
        {
            IconImage result;
            ByteReader r(file);
            const u32 id = r.le32();
            const u32 count = r.le16();
            if (r.isShort())
            {
                result.error = "[ImageDecoder.BMP] Out of data.";
                return result;
            }
            if (id != 0x00010000 && id != 0x00020000)
            {
                result.error = "[ImageDecoder.BMP] Incorrect ICO/CUR identifier.";
                return result;
            }
            const bool cursor = id == 0x00020000;
            if (count == 0 || !r.has(u64(count) * 16))
            {
                result.error = "[ImageDecoder.BMP] Incorrect ICO/CUR directory.";
                return result;
            }

            u64 bestScore = 0;
            IconEntry best;
            for (u32 i = 0; i < count; ++i)
            {
                const IconEntry e = readIconEntry(r, cursor);
                if (!cursor && e.planes > 1)
                {
                    result.error = "[ImageDecoder.BMP] Incorrect number of planes in ICO/CUR directory.";
                    return result;
                }
                const u64 b = e.bitCount ? e.bitCount : (e.colorCount ? std::bit_ceil(e.colorCount) : 0);
                const u64 score = (b + 4) * (b + 4) * e.width * e.height;
                if (i == 0 || score > bestScore)
                {
                    best = e;
                    bestScore = score;
                }
            }

            if (best.offset >= file.size)
            {
                result.error = "[ImageDecoder.BMP] Out of data.";
                return result;
            }
            result.memory = file.slice(best.offset);
            result.size = best.size;
            result.colorCount = best.colorCount;
            return result;
        }

        // The pixels of a headerless icon bitmap follow its palette.
        u64 iconPixelOffset(const BitmapHeader& header, u32 directoryColors)
        {
            // up to 8 bits, colorsUsed is already 1 << bits when the header left it 0, so an
            // icon that states no colour count anywhere still skips its palette
            const u64 entries = std::max(header.colorsUsed, directoryColors);
            return header.headerSize + 4 * entries;
        }

        bool isPNG(ConstMemory m)
        {
            return m.size >= 2 && m.address[0] == 0x89 && m.address[1] == 0x50;
        }

        // The transparency of a bitmap icon: a 32-bit entry's fourth byte is alpha, unless it is
        // 0 everywhere (the entry predates alpha); otherwise the AND mask behind the pixels
        // (a bit a pixel, rows of whole 32-bit words, 1 transparent) when the file holds it.
        // Packed (RLE) entries have no known place for their mask and stay opaque.
        void applyIconTransparency(Bitmap& pixels, ConstMemory memory, const BitmapHeader& header, u64 pixelOffset)
        {
            if (isRunLength(header.compression))
            {
                return;
            }
            const int width = header.width;
            const int height = header.height;
            const u64 stride = ((u64(width) * header.bitCount + 31) / 32) * 4;
            const u8* data = memory.address + pixelOffset;     // stride * height bytes, checked
            auto fileRow = [&](int y) { return u64(header.bottomUp ? height - 1 - y : y); };

            if (header.bitCount == 32 && header.compression == BI_RGB)
            {
                bool alpha = false;
                for (u64 i = 3; i < stride * u64(height) && !alpha; i += 4)
                {
                    alpha = data[i] != 0;
                }
                if (alpha)
                {
                    for (int y = 0; y < height; ++y)
                    {
                        const u8* row = data + fileRow(y) * stride;
                        u8* out = pixels.address(0, y);
                        for (int x = 0; x < width; ++x)
                        {
                            out[x * 4 + 3] = row[x * 4 + 3];
                        }
                    }
                    return;
                }
            }

            const u64 maskStride = ((u64(width) + 31) / 32) * 4;
            const u64 maskOffset = pixelOffset + stride * u64(height);
            if (maskOffset > memory.size || maskStride * u64(height) > memory.size - maskOffset)
            {
                return;
            }
            const u8* mask = memory.address + maskOffset;
            for (int y = 0; y < height; ++y)
            {
                const u8* row = mask + fileRow(y) * maskStride;
                u8* out = pixels.address(0, y);
                for (int x = 0; x < width; ++x)
                {
                    out[x * 4 + 3] = (row[x >> 3] & (0x80 >> (x & 7))) ? 0 : 255;
                }
            }
        }

        // Header (when header is set) or pixels (when dest is set) of the best icon image.
        ImageDecodeStatus parseIconDirectory(ImageHeader* header, Surface* dest, ConstMemory file)
        {
            ImageDecodeStatus status;
            const IconImage image = selectIconImage(file);
            if (image.error)
            {
                status.setError("%s", image.error);
                return status;
            }

            if (image.memory.size >= 2 && loadLE16(image.memory.address) == 40)
            {
                const BitmapHeader bh = parseBitmapInfoHeader(image.memory, true);
                const u64 pixelOffset = iconPixelOffset(bh, image.colorCount);
                const char* error = bh.error;
                if (!error)
                {
                    error = checkPixelData(bh, image.memory.size - std::min(pixelOffset, image.memory.size));
                }
                if (error)
                {
                    status.setError("%s", error);
                    return status;
                }
                // bitmap entries carry transparency (alpha bytes or the AND mask)
                if (header)
                {
                    header->width = bh.width;
                    header->height = bh.height;
                    header->palette = false;
                    header->format = Format::BGRA8888;
                }
                if (dest)
                {
                    Bitmap pixels(bh.width, bh.height, Format::BGRA8888);
                    error = decodeBitmap(pixels, image.memory, pixelOffset, true, nullptr);
                    if (!error)
                    {
                        applyIconTransparency(pixels, image.memory, bh, pixelOffset);
                        if (!dest->blit(0, 0, pixels))
                        {
                            error = "[ImageDecoder.BMP] No conversion to the destination format.";
                        }
                    }
                    if (error)
                    {
                        status.setError("%s", error);
                    }
                }
                return status;
            }

            if (isPNG(image.memory))
            {
                // a PNG entry ends where the directory says; bitmap entries read as far as
                // their header describes, since real cursors state too small a size
                ConstMemory png = image.memory;
                if (image.size && image.size < png.size)
                {
                    png.size = image.size;
                }
                ImageDecoder decoder(png, ".png");
                if (header)
                {
                    const ImageHeader nested = decoder.header();
                    static_cast<Status&>(status) = nested;
                    *header = nested;
                }
                if (dest)
                {
                    status = decoder.decode(*dest);
                    status.direct = false;
                }
                return status;
            }

            status.setError("[ImageDecoder.BMP] Incorrect ICO/CUR magic.");
            return status;
        }

        // --------------------------------------------------------------------
        // decoder interface
        // --------------------------------------------------------------------

        enum class Kind
        {
            BITMAP,
            DIRECTORY,
            NESTED,
        };

        class Interface : public ImageDecoderInterface
        {
        public:
            explicit Interface(ConstMemory memory);

            ImageHeader header() override { return m_header; }
            ImageDecodeStatus decode(Surface& dest, Palette* palette, int, int, int) override
            {
                return guardDecode("[ImageDecoder.BMP] ", m_header, [&] { return decodeImage(dest, palette); });
            }

        private:
            ImageDecodeStatus decodeImage(Surface& dest, Palette* palette);

            ConstMemory m_memory;
            ImageHeader m_header;
            Kind m_kind = Kind::BITMAP;
            std::string m_extension;
        };

        Interface::Interface(ConstMemory memory)
            : m_memory(memory)
        {
            if (memory.size < 2)
            {
                m_header.setError("[ImageDecoder.BMP] Out of data.");
                return;
            }
            const u8 a = memory.address[0];
            const u8 b = memory.address[1];
            auto is = [a, b](char x, char y) { return a == u8(x) && b == u8(y); };

            if (is('B', 'M') || is('B', 'A') || is('C', 'I') || is('I', 'C') || is('C', 'P') || is('P', 'T'))
            {
                m_kind = Kind::BITMAP;
                if (memory.size < fileHeaderSize)
                {
                    m_header.setError("[ImageDecoder.BMP] Out of data.");
                    return;
                }
                const BitmapHeader bh = parseBitmapInfoHeader(memory.slice(fileHeaderSize), false);
                const char* error = bh.error;
                const u32 pixelOffset = loadLE32(memory.address + 10);
                if (!error && pixelOffset >= fileHeaderSize && pixelOffset <= memory.size)
                {
                    // a size the file cannot hold fails here, before a caller allocates for it
                    error = checkPixelData(bh, memory.size - pixelOffset);
                }
                if (error)
                {
                    m_header.setError("%s", error);
                    return;
                }
                m_header.width = bh.width;
                m_header.height = bh.height;
                m_header.palette = bh.bitCount <= 8;
                m_header.format = bh.format;
            }
            else if (a == 0 && b == 0)
            {
                m_kind = Kind::DIRECTORY;
                const ImageDecodeStatus status = guardStatus<ImageDecodeStatus>(
                    "[ImageDecoder.BMP] ", [&] { return parseIconDirectory(&m_header, nullptr, memory); });
                if (!status.success)
                {
                    m_header.setError("%s", status.info.c_str());
                }
            }
            else
            {
                m_kind = Kind::NESTED;
                if (a == 0x89 && b == 0x50)
                {
                    m_extension = ".png";
                }
                else if (a == 0xFF && b == 0xD8)
                {
                    m_extension = ".jpg";
                }
                else if (is('G', 'I'))
                {
                    m_extension = ".gif";
                }
                else if (a == 0xD7 && b == 0xCD)
                {
                    m_extension = ".apm";
                }
                else
                {
                    m_header.setError("[ImageDecoder.BMP] Incorrect header identifier.");
                    return;
                }
                ImageDecoder decoder(memory, m_extension);
                if (decoder.isDecoder())
                {
                    m_header = decoder.header();
                }
            }
        }

        ImageDecodeStatus Interface::decodeImage(Surface& dest, Palette* palette)
        {
            ImageDecodeStatus status;

            switch (m_kind)
            {
                case Kind::BITMAP:
                {
                    // the file header was checked to be whole when the header was read
                    const u32 pixelOffset = loadLE32(m_memory.address + 10);
                    if (pixelOffset < fileHeaderSize || pixelOffset > m_memory.size)
                    {
                        status.setError("[ImageDecoder.BMP] Out of data.");
                        break;
                    }
                    const char* error = decodeBitmap(dest, m_memory.slice(fileHeaderSize),
                                                     pixelOffset - fileHeaderSize, false,
                                                     m_header.palette ? palette : nullptr);
                    if (error)
                    {
                        status.setError("%s", error);
                    }
                    break;
                }
                case Kind::DIRECTORY:
                    status = parseIconDirectory(nullptr, &dest, m_memory);
                    break;
                case Kind::NESTED:
                {
                    ImageDecoder decoder(m_memory, m_extension);
                    if (decoder.isDecoder())
                    {
                        status = decoder.decode(dest);
                    }
                    break;
                }
            }
            status.direct = false;
            return status;
        }

        ImageDecoderInterface* createDecoderBMP(ConstMemory memory)
        {
            return new Interface(memory);
        }

        // --------------------------------------------------------------------
        // encoder
        // --------------------------------------------------------------------

        constexpr u32 encodedHeaderBytes = 70;

        // A 56-byte info header with the four masks, then the rows bottom-up; the caller
        // has checked that the sizes fit their fields.
        ImageEncodeStatus writeBMP(Stream& output, const Surface& surface)
        {
            ImageEncodeStatus status;
            Bitmap temp(surface.width, surface.height, Format::BGRA8888);
            if (!temp.blit(0, 0, surface))
            {
                status.setError("[ImageEncoder.BMP] No conversion from the source format.");
                return status;
            }
            const u32 imageBytes = u32(surface.width) * 4 * u32(surface.height);

            u8 h[encodedHeaderBytes] = {};
            h[0] = 'B';
            h[1] = 'M';
            storeLE32(h + 2, encodedHeaderBytes + imageBytes);
            storeLE32(h + 6, 0);
            storeLE32(h + 10, encodedHeaderBytes);
            storeLE32(h + 14, 56);
            storeLE32(h + 18, u32(surface.width));
            storeLE32(h + 22, u32(surface.height));
            storeLE16(h + 26, 1);
            storeLE16(h + 28, 32);
            storeLE32(h + 30, BI_BITFIELDS);
            storeLE32(h + 34, imageBytes);
            storeLE32(h + 38, 2835);
            storeLE32(h + 42, 2835);
            storeLE32(h + 46, 0);
            storeLE32(h + 50, 0);
            storeLE32(h + 54, 0x00FF0000);
            storeLE32(h + 58, 0x0000FF00);
            storeLE32(h + 62, 0x000000FF);
            storeLE32(h + 66, 0xFF000000);
            output.write(h, encodedHeaderBytes);

            for (int y = temp.height - 1; y >= 0; --y)
            {
                output.write(temp.address(0, y), u64(temp.width) * 4);
            }
            return status;
        }

        ImageEncodeStatus encodeBMP(Stream& output, const Surface& surface, const ImageEncodeOptions& options)
        {
            (void)options;
            ImageEncodeStatus status;

            constexpr u32 headerBytes = encodedHeaderBytes;
            if (surface.width <= 0 || surface.height <= 0 || !surface.image)
            {
                status.setError("[ImageEncoder.BMP] Incorrect image size (%d x %d).", surface.width, surface.height);
                return status;
            }
            const u64 imageBytes = u64(surface.width) * 4 * u64(surface.height);
            if (imageBytes + headerBytes > 0xFFFFFFFFull)
            {
                status.setError("[ImageEncoder.BMP] Too large image (%d x %d).", surface.width, surface.height);
                return status;
            }

            return guardStatus<ImageEncodeStatus>("[ImageEncoder.BMP] ", [&] { return writeBMP(output, surface); });
        }

    } // namespace

    void registerImageCodecBMP()
    {
        registerImageDecoder(createDecoderBMP, ".bmp");
        registerImageDecoder(createDecoderBMP, ".ico");
        registerImageDecoder(createDecoderBMP, ".cur");
        registerImageEncoder(encodeBMP, ".bmp");
    }

} // namespace norva
