// Truevision TGA: colour-mapped, true-colour and grey images, raw or run-length encoded,
// in any of the four orientations; and the encoder of uncompressed 24- and 32-bit files.
//
// Every header field, colour-map entry, packet and pixel is read against the size of the
// memory: a truncated or damaged file ends in a status, never in a read past the data.

#include <algorithm>
#include <cstring>
#include <vector>

#include <norva/core/byte_reader.hpp>
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

        constexpr u64 headerSize = 18;

        enum DataType : u8
        {
            COLOR_MAPPED = 1,
            TRUE_COLOR = 2,
            GREY = 3,
            RLE_BIT = 8,
        };

        // 5:5:5 with blue lowest; the top bit is not alpha (writers disagree on it)
        constexpr Format BGR555 { 16, Format::UNORM, Format::BGRA, 5, 5, 5, 0 };

        // A 16-bit colour-map entry or pixel, each 5-bit field widened as c * 255 / 31.
        u32 expand555(u16 v)
        {
            const u32 b = (v & 31) * 255 / 31;
            const u32 g = ((v >> 5) & 31) * 255 / 31;
            const u32 r = ((v >> 10) & 31) * 255 / 31;
            return 0xFF000000 | (r << 16) | (g << 8) | b;
        }

        // --------------------------------------------------------------------
        // header
        // --------------------------------------------------------------------

        struct HeaderTGA
        {
            u8 idLength = 0;
            u8 colorMapType = 0;
            u8 dataType = 0;
            u16 colorMapFirst = 0;
            u16 colorMapLength = 0;
            u8 colorMapBits = 0;
            u16 width = 0;
            u16 height = 0;
            u8 pixelBits = 0;
            u8 descriptor = 0;

            u64 colorMapOffset = 0;     // from the start of the file, behind the image id
            Status status;

            bool isColorMapped() const { return (dataType & ~RLE_BIT) == COLOR_MAPPED; }
            bool isRLE() const { return (dataType & RLE_BIT) != 0; }
            bool isTopDown() const { return (descriptor & 0x20) != 0; }
            bool isRightToLeft() const { return (descriptor & 0x10) != 0; }
            int pixelBytes() const { return pixelBits / 8; }

            // Colour-mapped files keep their colour map; true-colour files may carry one
            // that nothing uses; grey files carry one only when the map type says so.
            u64 colorMapBytes() const
            {
                const int type = dataType & ~RLE_BIT;
                if (type == TRUE_COLOR || (type == GREY && colorMapType == 1) || type == COLOR_MAPPED)
                    return u64(colorMapLength) * ((colorMapBits + 1) / 8);
                return 0;
            }

            bool read(ConstMemory memory)
            {
                ByteReader r(memory);
                idLength = r.byte();
                colorMapType = r.byte();
                dataType = r.byte();
                colorMapFirst = r.le16();
                colorMapLength = r.le16();
                colorMapBits = r.byte();
                r.skip(4); // x and y origin
                width = r.le16();
                height = r.le16();
                pixelBits = r.byte();
                descriptor = r.byte();
                if (r.isShort())
                {
                    status.setError("[ImageDecoder.TGA] Not enough data.");
                    return false;
                }

                switch (dataType)
                {
                    case 1: case 2: case 3: case 9: case 10: case 11:
                        break;
                    default:
                        status.setError("[ImageDecoder.TGA] Invalid data type (%d).", dataType);
                        return false;
                }
                if (pixelBits != 8 && pixelBits != 16 && pixelBits != 24 && pixelBits != 32)
                {
                    status.setError("[ImageDecoder.TGA] Invalid pixel size (%d).", pixelBits);
                    return false;
                }
                if (colorMapType > 1)
                {
                    status.setError("[ImageDecoder.TGA] Invalid colormap type (%d).", colorMapType);
                    return false;
                }
                if (isColorMapped())
                {
                    if (colorMapLength > 256)
                    {
                        status.setError("[ImageDecoder.TGA] Invalid colormap length.");
                        return false;
                    }
                    if (colorMapBits != 15 && colorMapBits != 16 && colorMapBits != 24 && colorMapBits != 32)
                    {
                        status.setError("[ImageDecoder.TGA] Invalid colormap size.");
                        return false;
                    }
                    // the pixels are 8-bit indices; wider ones cannot address this map
                    if (pixelBits != 8)
                    {
                        status.setError("[ImageDecoder.TGA] Invalid pixel size (%d).", pixelBits);
                        return false;
                    }
                }
                if (width == 0 || height == 0)
                {
                    status.setError("[ImageDecoder.TGA] Incorrect image size (%d x %d).", width, height);
                    return false;
                }
                colorMapOffset = headerSize + idLength;
                if (colorMapOffset > memory.size)
                {
                    status.setError("[ImageDecoder.TGA] Not enough data.");
                    return false;
                }
                return true;
            }

            Format getFormat() const
            {
                switch (pixelBits)
                {
                    case 8: return isColorMapped() ? Format::BGRA8888 : Format::L8;
                    // 16-bit grey is grey and alpha, 16-bit colour is 5:5:5
                    case 16: return (dataType & ~RLE_BIT) == GREY ? Format::LA88 : BGR555;
                    case 24: return Format::BGR888;
                    default: return Format::BGRA8888;
                }
            }
        };

        // --------------------------------------------------------------------
        // pixels
        // --------------------------------------------------------------------

        // Expands packets into the rows of target (a pixel of `bytes` bytes each, in file
        // order) until every row is full or the data runs out. A packet may run across the
        // end of a row. Returns false when the data ended first.
        bool expandRLE(ByteReader& r, const Surface& target, int bytes)
        {
            const int width = target.width;
            int x = 0;
            int y = 0;
            u8* row = target.address(0, 0);
            while (y < target.height)
            {
                const int h = r.peek();
                if (h < 0)
                    return false;
                r.skip(1);
                int n = (h & 127) + 1;
                const bool repeat = (h & 0x80) != 0;
                const u8* value = repeat ? r.bytes(bytes).address : nullptr;
                if (repeat && !value)
                    return false;
                while (n > 0)
                {
                    const int count = std::min(n, width - x);
                    u8* p = row + ptrdiff_t(x) * bytes;
                    if (repeat)
                    {
                        for (int i = 0; i < count; ++i)
                            std::memcpy(p + ptrdiff_t(i) * bytes, value, size_t(bytes));
                    }
                    else
                    {
                        ConstMemory values = r.bytes(u64(count) * bytes);
                        if (!values.address)
                            return false;
                        std::memcpy(p, values.address, values.size);
                    }
                    n -= count;
                    x += count;
                    if (x == width)
                    {
                        x = 0;
                        if (++y == target.height)
                            return true;
                        row = target.address(0, y);
                    }
                }
            }
            return true;
        }

        // Reverses the order of the `width` pixels of `bytes` bytes each in a row.
        void mirrorRow(u8* row, int width, int bytes)
        {
            for (int left = 0, right = width - 1; left < right; ++left, --right)
            {
                u8* a = row + ptrdiff_t(left) * bytes;
                u8* b = row + ptrdiff_t(right) * bytes;
                std::swap_ranges(a, a + bytes, b);
            }
        }

        class Interface : public ImageDecoderInterface
        {
        public:
            explicit Interface(ConstMemory memory)
                : m_memory(memory)
            {
                if (m_tga.read(memory))
                {
                    m_header.width = m_tga.width;
                    m_header.height = m_tga.height;
                    m_header.palette = m_tga.isColorMapped();
                    m_header.format = m_tga.getFormat();
                }
                else
                {
                    m_header.setError("%s", m_tga.status.info.c_str());
                }
            }

            ImageHeader header() override
            {
                return m_header;
            }

            ImageDecodeStatus decode(Surface& dest, Palette* palette, int level, int depth, int face) override
            {
                (void)level;
                (void)depth;
                (void)face;
                if (!m_header.success)
                {
                    ImageDecodeStatus status;
                    status.setError("%s", m_header.info.c_str());
                    return status;
                }
                return guardStatus<ImageDecodeStatus>("[ImageDecoder.TGA] ", [&] { return decodeImage(dest, palette); });
            }

        private:
            ConstMemory m_memory;
            HeaderTGA m_tga;
            ImageHeader m_header;
            Palette m_palette;

            // The colour map into m_palette: entry i at position first + i, so that a raw
            // index addresses it directly and indices outside the map read transparent black.
            bool readColorMap(ByteReader& r)
            {
                m_palette = Palette();
                const int entryBytes = (m_tga.colorMapBits + 1) / 8;
                ConstMemory map = r.bytes(u64(m_tga.colorMapLength) * entryBytes);
                if (!map.address)
                    return false;
                const int count = std::min(int(m_tga.colorMapLength), 256 - std::min(int(m_tga.colorMapFirst), 256));
                for (int i = 0; i < count; ++i)
                {
                    const u8* e = map.address + ptrdiff_t(i) * entryBytes;
                    u32 color = 0;
                    switch (entryBytes)
                    {
                        case 2: color = expand555(loadLE16(e)); break;
                        case 3: color = 0xFF000000 | (u32(e[2]) << 16) | (u32(e[1]) << 8) | e[0]; break;
                        default: color = loadLE32(e); break;
                    }
                    m_palette.color[m_tga.colorMapFirst + i] = color;
                }
                m_palette.size = u32(std::min(int(m_tga.colorMapFirst) + int(m_tga.colorMapLength), 256));
                return true;
            }

            ImageDecodeStatus decodeImage(Surface& dest, Palette* palette)
            {
                ImageDecodeStatus status;
                ByteReader r(m_memory);
                r.seek(m_tga.colorMapOffset);

                if (m_tga.isColorMapped())
                {
                    if (!readColorMap(r))
                    {
                        status.setError("[ImageDecoder.TGA] Not enough data.");
                        return status;
                    }
                }
                else if (!r.skip(m_tga.colorMapBytes()))
                {
                    status.setError("[ImageDecoder.TGA] Not enough data.");
                    return status;
                }

                const int width = m_tga.width;
                const int height = m_tga.height;
                const int bytes = m_tga.pixelBytes();
                const Format format = m_tga.isColorMapped() ? Format::INDEX8 : m_header.format;
                const s64 rowBytes = s64(width) * bytes;

                // The pixels in file row order: the file itself when raw, else a buffer the
                // packets expand into. A row count below height means the data ran short.
                std::vector<u8> buffer;
                const u8* pixels = nullptr;
                int rows = height;
                if (m_tga.isRLE())
                {
                    // a packet of 1 + bytes bytes gives at most 128 pixels: a file too short
                    // to hold the image is refused before its buffer is allocated
                    const u64 reachable = (r.remaining() / u64(1 + bytes) + 1) * 128;
                    if (u64(width) * u64(height) > reachable)
                    {
                        status.setError("[ImageDecoder.TGA] Not enough data.");
                        return status;
                    }
                    // the destination in the file's own format takes the packets straight
                    // into its rows, in file order
                    if (dest.format == format && !m_tga.isColorMapped() && !m_tga.isRightToLeft() && dest.width >= width &&
                        dest.height >= height)
                    {
                        const Surface target = m_tga.isTopDown()
                                                   ? Surface(width, height, format, dest.stride, dest.image)
                                                   : Surface(width, height, format, -dest.stride, dest.address(0, height - 1));
                        if (!expandRLE(r, target, bytes))
                            status.setError("[ImageDecoder.TGA] Not enough data.");
                        status.direct = true;
                        return status;
                    }
                    buffer.resize(size_t(rowBytes) * size_t(height));
                    Surface target(width, height, format, int(rowBytes), buffer.data());
                    if (!expandRLE(r, target, bytes))
                        status.setError("[ImageDecoder.TGA] Not enough data.");
                    pixels = buffer.data();
                }
                else
                {
                    const u64 available = r.remaining() / u64(rowBytes);
                    if (available < u64(height))
                    {
                        rows = int(available);
                        status.setError("[ImageDecoder.TGA] Not enough data.");
                    }
                    pixels = r.position();
                }

                // Right-to-left rows are turned round in a copy (the file's bytes are read-only).
                if (m_tga.isRightToLeft() && rows)
                {
                    if (!m_tga.isRLE())
                        buffer.assign(pixels, pixels + size_t(rowBytes) * size_t(rows));
                    for (int y = 0; y < rows; ++y)
                        mirrorRow(buffer.data() + size_t(rowBytes) * size_t(y), width, bytes);
                    pixels = buffer.data();
                }

                // The rows as a surface in picture order: bottom-up files start at their
                // last stored row and step backwards. A short raw file draws the rows it has
                // at their place (the top of a top-down picture, the bottom of a bottom-up one).
                const int first = m_tga.isTopDown() ? 0 : height - rows;
                if (!rows)
                    return status;
                const u8* top = m_tga.isTopDown() ? pixels : pixels + (rows - 1) * rowBytes;
                const int stride = int(m_tga.isTopDown() ? rowBytes : -rowBytes);
                const Surface source(width, rows, format, stride, const_cast<u8*>(top));
                Surface part(dest, 0, first, width, rows);
                drawPixels(part, source, palette, status);
                return status;
            }

            void drawPixels(Surface& dest, const Surface& source, Palette* palette, ImageDecodeStatus& status)
            {
                if (!m_tga.isColorMapped())
                {
                    if (!dest.blit(0, 0, source))
                        status.setError("[ImageDecoder.TGA] No conversion to the destination format.");
                    return;
                }
                if (palette)
                {
                    *palette = m_palette;
                    if (!dest.blit(0, 0, source))
                        status.setError("[ImageDecoder.TGA] No conversion to the destination format.");
                    return;
                }
                Bitmap temp(source.width, source.height, Format::BGRA8888);
                for (int y = 0; y < source.height; ++y)
                {
                    const u8* in = source.address(0, y);
                    u32* out = reinterpret_cast<u32*>(temp.address(0, y));
                    for (int x = 0; x < source.width; ++x)
                        out[x] = m_palette.color[in[x]];
                }
                if (!dest.blit(0, 0, temp))
                    status.setError("[ImageDecoder.TGA] No conversion to the destination format.");
            }
        };

        ImageDecoderInterface* createDecoderTGA(ConstMemory memory)
        {
            return new Interface(memory);
        }

        // --------------------------------------------------------------------
        // encoder
        // --------------------------------------------------------------------

        ImageEncodeStatus writeTGA(Stream& output, const Surface& surface)
        {
            ImageEncodeStatus status;
            const bool alpha = surface.format.isAlpha();
            const Format format = alpha ? Format::BGRA8888 : Format::BGR888;
            const int bytes = format.bytes();

            u8 h[headerSize] = {};
            h[2] = TRUE_COLOR;
            storeLE16(h + 12, u16(surface.width));
            storeLE16(h + 14, u16(surface.height));
            h[16] = u8(bytes * 8);
            h[17] = alpha ? 0x28 : 0x20; // top-left origin; 8 alpha bits
            const u64 rowBytes = u64(surface.width) * bytes;

            if (surface.format == format)
            {
                output.write(h, headerSize);
                for (int y = 0; y < surface.height; ++y)
                    output.write(surface.address(0, y), rowBytes);
                return status;
            }

            Bitmap temp(surface.width, surface.height, format);
            if (!temp.blit(0, 0, surface))
            {
                status.setError("[ImageEncoder.TGA] No conversion from the source format.");
                return status;
            }
            output.write(h, headerSize);
            output.write(temp.image, rowBytes * u64(surface.height));
            return status;
        }

        ImageEncodeStatus encodeTGA(Stream& output, const Surface& surface, const ImageEncodeOptions& options)
        {
            (void)options;
            // width and height are 16-bit fields
            if (surface.width <= 0 || surface.height <= 0 || surface.width > 0xFFFF || surface.height > 0xFFFF ||
                !surface.image)
            {
                ImageEncodeStatus status;
                status.setError("[ImageEncoder.TGA] Incorrect image size (%d x %d).", surface.width, surface.height);
                return status;
            }
            return guardStatus<ImageEncodeStatus>("[ImageEncoder.TGA] ", [&] { return writeTGA(output, surface); });
        }

    } // namespace

    void registerImageCodecTGA()
    {
        registerImageDecoder(createDecoderTGA, ".tga");
        registerImageEncoder(encodeTGA, ".tga");
    }

} // namespace norva
