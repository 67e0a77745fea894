// ZSoft PCX: 1 to 4 bit planes of 1 bit (mono to 16-colour EGA), packed 2- and 4-bit
// pixels, 8-bit pixels with the VGA palette behind the image (grey without it), and 3 or 4
// byte planes (RGB, RGBA). Scan lines are run-length encoded.
//
// The header, the palettes and every run are read against the size of the memory; a line
// length that cannot hold the width, and plane/bit layouts that cannot be drawn, are
// refused when the header is read.

#include <algorithm>
#include <cstring>
#include <vector>

#include <norva/core/byte_reader.hpp>
#include <norva/image/decoder.hpp>

#include "format_guard.hpp"

namespace norva
{
    namespace
    {
        // --------------------------------------------------------------------
        // layout
        // --------------------------------------------------------------------

        constexpr u64 headerSize = 128;
        constexpr u64 vgaPaletteSize = 769;     // the marker 12, then 256 x R, G, B

        enum class Layout
        {
            PLANES,     // 1 bit in 1 to 4 planes: the planes' bits make the index
            PACKED,     // 2 or 4 bits in one plane: the index, most significant bits first
            VGA,        // 8 bits, one plane, the VGA palette
            GREY,       // 8 bits, one plane, no VGA palette: the bytes are grey levels
            RGB,        // 8 bits in 3 planes
            RGBA,       // 8 bits in 4 planes
        };

        u32 opaque(u32 r, u32 g, u32 b)
        {
            return 0xFF000000 | (r << 16) | (g << 8) | b;
        }

        struct HeaderPCX
        {
            u8 bits = 0;
            u8 planes = 0;
            u16 xmin = 0, ymin = 0, xmax = 0, ymax = 0;
            u32 bytesPerLine = 0;
            const u8* egaPalette = nullptr;     // 16 x R, G, B in the header
            const u8* vgaPalette = nullptr;     // 256 x R, G, B at the end of the file
            Layout layout = Layout::RGB;

            ImageHeader header;

            void read(ConstMemory memory)
            {
                ByteReader r(memory);
                if (r.byte() != 10)
                {
                    header.setError("[ImageDecoder.PCX] Incorrect manufacturer.");
                    return;
                }
                if (memory.size < headerSize)
                {
                    header.setError("[ImageDecoder.PCX] Incorrect file size.");
                    return;
                }
                r.skip(2); // version, encoding
                bits = r.byte();
                xmin = r.le16();
                ymin = r.le16();
                xmax = r.le16();
                ymax = r.le16();
                r.skip(4); // resolution
                egaPalette = r.bytes(48).address;
                r.skip(1);
                planes = r.byte();
                bytesPerLine = r.le16();
                if (memory.size >= headerSize + vgaPaletteSize && memory.address[memory.size - vgaPaletteSize] == 12)
                    vgaPalette = memory.address + memory.size - vgaPaletteSize + 1;

                if (xmax < xmin || ymax < ymin)
                {
                    header.setError("[ImageDecoder.PCX] Incorrect image size.");
                    return;
                }
                const u32 width = u32(xmax - xmin) + 1;
                const u32 height = u32(ymax - ymin) + 1;

                if (bits == 1 && planes >= 1 && planes <= 4)
                    layout = Layout::PLANES;
                else if ((bits == 2 || bits == 4) && planes == 1)
                    layout = Layout::PACKED;
                else if (bits == 8 && planes == 1)
                    layout = vgaPalette ? Layout::VGA : Layout::GREY;
                else if (bits == 8 && planes == 3)
                    layout = Layout::RGB;
                else if (bits == 8 && planes == 4)
                    layout = Layout::RGBA;
                else
                {
                    header.setError("[ImageDecoder.PCX] Unsupported layout (%d bits, %d planes).", bits, planes);
                    return;
                }

                // a line of each plane must hold the width
                const u32 lineBits = (width * bits + 7) / 8;
                if (!bytesPerLine)
                    bytesPerLine = lineBits;
                if (bytesPerLine < lineBits)
                {
                    header.setError("[ImageDecoder.PCX] Incorrect bytes per line (%u for width %u).", bytesPerLine, width);
                    return;
                }

                header.width = s32(width);
                header.height = s32(height);
                header.palette = layout == Layout::PLANES || layout == Layout::PACKED || layout == Layout::VGA;
                header.format = Format::BGRA8888;
            }

            u32 scanLine() const { return u32(planes) * bytesPerLine; }

            // The colours the indices address; size 0 for the true-colour and grey layouts.
            Palette palette() const
            {
                Palette p;
                if (layout == Layout::VGA)
                {
                    p.size = 256;
                    for (int i = 0; i < 256; ++i)
                        p.color[i] = opaque(vgaPalette[i * 3], vgaPalette[i * 3 + 1], vgaPalette[i * 3 + 2]);
                }
                else if (layout == Layout::PLANES || layout == Layout::PACKED)
                {
                    p.size = 1u << (bits * planes);
                    for (u32 i = 0; i < p.size; ++i)
                        p.color[i] = opaque(egaPalette[i * 3], egaPalette[i * 3 + 1], egaPalette[i * 3 + 2]);
                    // a mono file whose two entries agree (old writers leave the map empty)
                    if (p.size == 2 && p.color[0] == p.color[1])
                    {
                        p.color[0] = opaque(0, 0, 0);
                        p.color[1] = opaque(255, 255, 255);
                    }
                }
                return p;
            }
        };

        // --------------------------------------------------------------------
        // decoding
        // --------------------------------------------------------------------

        // Runs from the data into out until it is full; a run may cross scan lines. False
        // when the data ended first.
        bool expandRLE(ByteReader& r, u8* out, size_t size)
        {
            size_t n = 0;
            while (n < size)
            {
                const int b = r.peek();
                if (b < 0)
                    return false;
                r.skip(1);
                if (b < 192)
                {
                    out[n++] = u8(b);
                    continue;
                }
                const int value = r.peek();
                if (value < 0)
                    return false;
                r.skip(1);
                const size_t count = std::min(size_t(b & 63), size - n);
                std::memset(out + n, value, count);
                n += count;
            }
            return true;
        }

        class Interface : public ImageDecoderInterface
        {
        public:
            explicit Interface(ConstMemory memory)
                : m_memory(memory)
            {
                m_pcx.read(memory);
            }

            ImageHeader header() override
            {
                return m_pcx.header;
            }

            ImageDecodeStatus decode(Surface& dest, Palette* palette, int level, int depth, int face) override
            {
                (void)level;
                (void)depth;
                (void)face;
                ImageDecodeStatus status;
                if (!m_pcx.header.success)
                {
                    status.setError("%s", m_pcx.header.info.c_str());
                    return status;
                }
                // a run byte pair gives at most 63 bytes: a file too short for its size is
                // refused before the scan lines are allocated
                const u64 lines = u64(m_pcx.scanLine()) * u64(m_pcx.header.height);
                if (lines > (m_memory.size - headerSize) * 63)
                {
                    status.setError("[ImageDecoder.PCX] Not enough data.");
                    return status;
                }
                return guardStatus<ImageDecodeStatus>("[ImageDecoder.PCX] ", [&] { return decodeImage(dest, palette); });
            }

        private:
            ConstMemory m_memory;
            HeaderPCX m_pcx;

            ImageDecodeStatus decodeImage(Surface& dest, Palette* palette)
            {
                ImageDecodeStatus status;
                const int width = m_pcx.header.width;
                const int height = m_pcx.header.height;
                const size_t line = m_pcx.scanLine();
                std::vector<u8> data(line * size_t(height));
                ByteReader r(m_memory);
                r.seek(headerSize);
                if (!expandRLE(r, data.data(), data.size()))
                    status.setError("[ImageDecoder.PCX] Not enough data.");

                const Palette colors = m_pcx.palette();
                if (colors.size)
                {
                    Bitmap indices(width, height, Format::INDEX8);
                    for (int y = 0; y < height; ++y)
                        drawIndices(indices.address(0, y), data.data() + line * size_t(y));
                    if (palette)
                    {
                        *palette = colors;
                        blitInto(dest, indices, status);
                        return status;
                    }
                    Bitmap temp(width, height, Format::BGRA8888);
                    for (int y = 0; y < height; ++y)
                    {
                        const u8* in = indices.address(0, y);
                        u32* out = reinterpret_cast<u32*>(temp.address(0, y));
                        for (int x = 0; x < width; ++x)
                            out[x] = colors.color[in[x]];
                    }
                    blitInto(dest, temp, status);
                    return status;
                }

                Bitmap temp(width, height, Format::BGRA8888);
                const size_t bpl = m_pcx.bytesPerLine;
                for (int y = 0; y < height; ++y)
                {
                    const u8* in = data.data() + line * size_t(y);
                    u8* out = temp.address(0, y);
                    for (int x = 0; x < width; ++x)
                    {
                        u8* p = out + size_t(x) * 4;
                        if (m_pcx.layout == Layout::GREY)
                        {
                            p[0] = p[1] = p[2] = in[x];
                            p[3] = 255;
                            continue;
                        }
                        p[2] = in[x];
                        p[1] = in[bpl + x];
                        p[0] = in[bpl * 2 + x];
                        p[3] = m_pcx.layout == Layout::RGBA ? in[bpl * 3 + x] : 255;
                    }
                }
                blitInto(dest, temp, status);
                return status;
            }

            // One scan line of the indexed layouts into 8-bit indices.
            void drawIndices(u8* out, const u8* in) const
            {
                const int width = m_pcx.header.width;
                const size_t bpl = m_pcx.bytesPerLine;
                switch (m_pcx.layout)
                {
                    case Layout::PLANES:
                        for (int x = 0; x < width; ++x)
                        {
                            const int shift = 7 - (x & 7);
                            u8 index = 0;
                            for (int k = 0; k < m_pcx.planes; ++k)
                                index |= u8(((in[bpl * k + (x >> 3)] >> shift) & 1) << k);
                            out[x] = index;
                        }
                        break;
                    case Layout::PACKED:
                    {
                        const int bits = m_pcx.bits;
                        const int perByte = 8 / bits;
                        const int mask = (1 << bits) - 1;
                        for (int x = 0; x < width; ++x)
                        {
                            const int shift = 8 - bits * (x % perByte + 1);
                            out[x] = u8((in[x / perByte] >> shift) & mask);
                        }
                        break;
                    }
                    default:
                        std::memcpy(out, in, size_t(width));
                        break;
                }
            }

            static void blitInto(Surface& dest, const Surface& source, ImageDecodeStatus& status)
            {
                if (!dest.blit(0, 0, source))
                    status.setError("[ImageDecoder.PCX] No conversion to the destination format.");
            }
        };

        ImageDecoderInterface* createDecoderPCX(ConstMemory memory)
        {
            return new Interface(memory);
        }

    } // namespace

    void registerImageDecoderPCX()
    {
        registerImageDecoder(createDecoderPCX, ".pcx");
    }

} // namespace norva
