// IFF pictures: ILBM (interleaved bit planes, 1 to 32 planes, extra half-brite and
// hold-and-modify) and PBM (one byte a pixel), plain or ByteRun1-packed.
//
// The file is a big-endian chunk list: "FORM", size, form type, then chunks of id, size and
// data padded to even length. Every chunk is read inside the file; a body shorter than the
// picture leaves the rest of it zero.

#include <algorithm>
#include <cstring>
#include <vector>

#include <norva/core/byte_reader.hpp>
#include <norva/core/endian.hpp>
#include <norva/image/decoder.hpp>

#include "format_guard.hpp"

namespace norva
{
    namespace
    {
        constexpr u32 camgHAM = 0x800;
        constexpr u32 camgEHB = 0x80;

        u32 fourcc(const char* id)
        {
            return loadBE32(id);
        }

        // Deep pictures store red in the lowest planes: 17 to 24 planes hold red in planes
        // 0-7, green in 8-15 and blue in 16-23, as the 25 to 32 plane layout does (the first
        // byte of a pixel is red), and 5:6:5 direct colour has red in planes 0-4.
        Format getFormatIFF(int planes, bool ham)
        {
            if (ham || (planes >= 1 && planes <= 8))
                return Format::BGRA8888;
            if (planes >= 9 && planes <= 16)
                return Format::RGB565;
            if (planes >= 17 && planes <= 24)
                return Format::RGB888;
            if (planes >= 25 && planes <= 32)
                return Format::RGBA8888;
            return Format();
        }

        struct Chunk
        {
            u32 id;
            ConstMemory data;   // cut at the end of the file
        };

        // Calls visit(chunk) for each chunk behind the form type.
        template <typename Visit>
        void walkChunks(ConstMemory memory, Visit&& visit)
        {
            ByteReader reader(memory);
            reader.seek(12);
            while (reader.has(8))
            {
                const u32 id = reader.be32();
                const u32 size = reader.be32();
                const u64 available = std::min<u64>(size, reader.remaining());
                const ConstMemory data = reader.bytes(available);
                if (!visit(Chunk { id, data }))
                    return;
                if (available < size || !reader.skip(size & 1))
                    return;
            }
        }

        struct BitmapHeader
        {
            bool found = false;
            int width = 0;      // as stored; rows are padded (ILBM to 16 pixels, PBM to even)
            int height = 0;
            int planes = 0;
            int masking = 0;
            int compression = 0;    // 0 none, 1 ByteRun1

            // PBM rows hold an even number of pixels
            int paddedWidth() const { return (width + 1) & ~1; }
        };

        // Bytes of one plane row: a multiple of 16 pixels.
        u64 planeRowBytes(int width)
        {
            return u64((width + 15) & ~15) / 8;
        }

        // A byte n above 128 repeats the next byte 257 - n times, n below 128 copies the
        // next n + 1 bytes; n = 128 ends the expansion, as do the end of the chunk and a
        // full buffer.
        void expandByteRun1(u8* out, u64 size, ConstMemory body)
        {
            ByteReader reader(body);
            u64 pos = 0;
            while (pos < size && !reader.atEnd())
            {
                const u8 n = reader.byte();
                if (n > 128)
                {
                    const u8 value = reader.byte();
                    if (reader.isShort())
                        return;
                    const u64 count = std::min<u64>(257 - n, size - pos);
                    std::memset(out + pos, value, count);
                    pos += count;
                }
                else if (n < 128)
                {
                    const u64 count = std::min<u64>(u64(n) + 1, reader.remaining());
                    const u64 copy = std::min(count, size - pos);
                    std::memcpy(out + pos, reader.bytes(count).address, copy);
                    pos += copy;
                }
                else
                {
                    return;
                }
            }
        }

        // planes into bytes: plane p sets bit p % 8 of byte p / 8 of a pixel. out holds
        // width * ceil(planes / 8) bytes a row.
        void convertBitplanes(u8* out, const u8* body, int width, int height, int planes, int masking)
        {
            const u64 rowBytes = planeRowBytes(width);
            const int pixelBytes = (planes + 7) / 8;
            const u64 rowAdvance = rowBytes * u64(planes + (masking == 1));
            for (int y = 0; y < height; ++y)
            {
                u8* dest = out + u64(y) * width * pixelBytes;
                std::memset(dest, 0, size_t(width) * pixelBytes);
                const u8* row = body + u64(y) * rowAdvance;
                for (int p = 0; p < planes; ++p)
                {
                    const u8* plane = row + u64(p) * rowBytes;
                    const u8 bit = u8(1 << (p & 7));
                    u8* target = dest + p / 8;
                    for (int x = 0; x < width; ++x)
                    {
                        if (plane[x >> 3] & (0x80 >> (x & 7)))
                            target[x * pixelBytes] |= bit;
                    }
                }
            }
        }

        // Hold-and-modify: each pixel takes a palette colour or changes one channel of the
        // pixel to its left; every row starts from palette entry 0. The row advance counts
        // the mask plane as well when there is one.
        void convertHAM(u8* out, const u8* body, int width, int height, int planes, int masking, const u32* palette)
        {
            const u64 rowBytes = planeRowBytes(width);
            const u64 rowAdvance = rowBytes * u64(planes + (masking == 1));
            const int indexPlanes = planes - 2;
            const int shift = 10 - planes;
            for (int y = 0; y < height; ++y)
            {
                const u8* row = body + u64(y) * rowAdvance;
                u8* dest = out + u64(y) * width * 4;
                u32 color = palette[0];
                u8 b = u8(color);
                u8 g = u8(color >> 8);
                u8 r = u8(color >> 16);
                for (int x = 0; x < width; ++x)
                {
                    const u8 mask = u8(0x80 >> (x & 7));
                    u32 index = 0;
                    for (int p = 0; p < indexPlanes; ++p)
                    {
                        if (row[u64(p) * rowBytes + (x >> 3)] & mask)
                            index |= 1u << p;
                    }
                    u32 control = (row[u64(planes - 2) * rowBytes + (x >> 3)] & mask) ? 1 : 0;
                    if ((planes == 6 || planes == 8) && (row[u64(planes - 1) * rowBytes + (x >> 3)] & mask))
                        control |= 2;
                    switch (control)
                    {
                        case 0:
                            color = palette[index];
                            b = u8(color);
                            g = u8(color >> 8);
                            r = u8(color >> 16);
                            break;
                        case 1: b = u8(index << shift); break;
                        case 2: r = u8(index << shift); break;
                        default: g = u8(index << shift); break;
                    }
                    dest[x * 4 + 0] = b;
                    dest[x * 4 + 1] = g;
                    dest[x * 4 + 2] = r;
                    dest[x * 4 + 3] = 255;
                }
            }
        }

        class Interface : public ImageDecoderInterface
        {
        public:
            explicit Interface(ConstMemory memory);

            ImageHeader header() override { return m_header; }
            ImageDecodeStatus decode(Surface& dest, Palette* palette, int, int, int) override
            {
                return guardDecode("[ImageDecoder.IFF] ", m_header, [&] { return decodeImage(dest, palette); });
            }

        private:
            ImageDecodeStatus decodeImage(Surface& dest, Palette* palette);

            ConstMemory m_memory;
            ImageHeader m_header;
            bool m_pbm = false;
            BitmapHeader m_bmhd;
            u32 m_camg = 0;
        };

        Interface::Interface(ConstMemory memory)
            : m_memory(memory)
        {
            ByteReader reader(memory);
            const u32 form = reader.be32();
            reader.be32();
            const u32 type = reader.be32();
            if (reader.isShort() || form != fourcc("FORM") || (type != fourcc("ILBM") && type != fourcc("PBM ")))
            {
                m_header.setError("[ImageDecoder.IFF] Incorrect signature.");
                return;
            }
            m_pbm = type == fourcc("PBM ");

            walkChunks(memory, [&](const Chunk& chunk) {
                ByteReader data(chunk.data);
                if (chunk.id == fourcc("BMHD"))
                {
                    const int width = data.be16();
                    const int height = data.be16();
                    data.skip(4);
                    const int planes = data.byte();
                    const int masking = data.byte();
                    // the pad byte behind the compression byte is not part of it: ppmtoilbm
                    // writes 0x80 there for uncompressed bodies
                    const u8 compression = data.byte();
                    if (!data.isShort())
                    {
                        m_bmhd.found = true;
                        m_bmhd.width = width;
                        m_bmhd.height = height;
                        m_bmhd.planes = planes;
                        m_bmhd.masking = masking;
                        m_bmhd.compression = compression;
                    }
                }
                else if (chunk.id == fourcc("CAMG"))
                {
                    m_camg = data.be32();
                }
                return chunk.id != fourcc("BODY");
            });

            if (!m_bmhd.found)
            {
                m_header.setError("[ImageDecoder.IFF] Missing BMHD chunk.");
                return;
            }
            const bool ham = (m_camg & camgHAM) != 0;
            const Format format = getFormatIFF(m_bmhd.planes, ham);
            // hold-and-modify needs two control planes and at least one index plane
            if (!format.bits || (ham && (m_bmhd.planes < 3 || m_bmhd.planes > 8)))
            {
                m_header.setError("[ImageDecoder.IFF] Unsupported number of planes (%d).", m_bmhd.planes);
                return;
            }

            // other packings (Atari's vertical runs, 2) would decode as ByteRun1 into garbage
            if (m_bmhd.compression > 1)
            {
                m_header.setError("[ImageDecoder.IFF] Unsupported compression (%d).", m_bmhd.compression);
                return;
            }

            m_header.width = m_bmhd.width;
            m_header.height = m_bmhd.height;
            m_header.palette = m_bmhd.planes <= 8 && !ham;
            m_header.format = format;
        }

        ImageDecodeStatus Interface::decodeImage(Surface& dest, Palette* palette)
        {
            ImageDecodeStatus status;

            const int width = m_bmhd.width;
            const int height = m_bmhd.height;
            const int planes = m_bmhd.planes;
            const bool ham = (m_camg & camgHAM) != 0;

            Palette colors;
            bool hasColorMap = false;
            ConstMemory body;
            bool hasBody = false;
            walkChunks(m_memory, [&](const Chunk& chunk) {
                if (chunk.id == fourcc("CMAP"))
                {
                    // more than 256 entries do not fit the palette
                    const u32 count = u32(std::min<u64>(chunk.data.size / 3, 256));
                    for (u32 i = 0; i < count; ++i)
                    {
                        const u8* c = chunk.data.address + i * 3;
                        colors.color[i] = 0xFF000000 | u32(c[0]) << 16 | u32(c[1]) << 8 | c[2];
                    }
                    colors.size = count;
                    hasColorMap = true;
                }
                else if (chunk.id == fourcc("BODY"))
                {
                    body = chunk.data;
                    hasBody = true;
                    return false;
                }
                return true;
            });
            if (!hasBody)
            {
                status.setError("[ImageDecoder.IFF] Missing BODY chunk.");
                return status;
            }

            // the body as the converters read it: ILBM rows of planes (and the mask plane),
            // PBM rows of one byte a pixel, or of the pixel's bytes past 8 planes
            const int pixelBytes = (planes + 7) / 8;
            const u64 rowBytes = m_pbm ? u64(m_bmhd.paddedWidth()) * pixelBytes
                                       : planeRowBytes(width) * u64(planes + (m_bmhd.masking == 1));
            const u64 bodyBytes = rowBytes * u64(height);
            std::vector<u8> pixels(bodyBytes);
            if (m_bmhd.compression == 1)
                expandByteRun1(pixels.data(), bodyBytes, body);
            else if (body.size && bodyBytes)
                std::memcpy(pixels.data(), body.address, std::min(bodyBytes, body.size));

            if (ham)
            {
                Bitmap bitmap(width, height, Format::BGRA8888);
                convertHAM(bitmap.image, pixels.data(), width, height, planes, m_bmhd.masking, colors.color);
                if (!dest.blit(0, 0, bitmap))
                    status.setError("[ImageDecoder.IFF] No conversion to the destination format.");
                return status;
            }

            // extra half-brite: entries 32 to 63 are the first 32 at half level
            if ((m_camg & camgEHB) && (colors.size == 32 || colors.size == 64))
            {
                for (int i = 0; i < 32; ++i)
                {
                    const u32 c = colors.color[i];
                    colors.color[i + 32] = 0xFF000000 | ((c >> 1) & 0x007F7F7F);
                }
                colors.size = 64;
            }

            std::vector<u8> indices;
            if (planes <= 8)
            {
                // a row of indices: PBM keeps its padded rows, bit planes give width bytes
                u64 indexStride = u64(width);
                if (m_pbm)
                {
                    indices.swap(pixels);
                    indexStride = rowBytes;
                }
                else
                {
                    indices.resize(u64(width) * height);
                    convertBitplanes(indices.data(), pixels.data(), width, height, planes, m_bmhd.masking);
                }

                // indices into an 8-bit destination, row by row at its stride, clipped
                if (palette && hasColorMap && dest.format.bits == 8)
                {
                    *palette = colors;
                    const int w = std::min(width, dest.width);
                    const int h = std::min(height, dest.height);
                    for (int y = 0; y < h; ++y)
                        std::memcpy(dest.address(0, y), indices.data() + u64(y) * indexStride, w);
                    return status;
                }

                Bitmap bitmap(width, height, Format::BGRA8888);
                for (int y = 0; y < height; ++y)
                {
                    const u8* source = indices.data() + u64(y) * indexStride;
                    u8* row = bitmap.address(0, y);
                    for (int x = 0; x < width; ++x)
                        storeLE32(row + x * 4, colors.color[source[x]]);
                }
                if (!dest.blit(0, 0, bitmap))
                    status.setError("[ImageDecoder.IFF] No conversion to the destination format.");
                return status;
            }

            Bitmap bitmap(width, height, m_header.format);
            if (m_pbm)
            {
                for (int y = 0; y < height; ++y)
                    std::memcpy(bitmap.address(0, y), pixels.data() + u64(y) * rowBytes, size_t(width) * pixelBytes);
            }
            else
            {
                convertBitplanes(bitmap.image, pixels.data(), width, height, planes, m_bmhd.masking);
            }
            if (!dest.blit(0, 0, bitmap))
                status.setError("[ImageDecoder.IFF] No conversion to the destination format.");
            return status;
        }

        ImageDecoderInterface* createDecoderIFF(ConstMemory memory)
        {
            return new Interface(memory);
        }

    } // namespace

    void registerImageDecoderIFF()
    {
        for (const char* extension : { ".iff", ".lbm", ".ham", ".ham8", ".ilbm", ".ehb" })
            registerImageDecoder(createDecoderIFF, extension);
    }

} // namespace norva
