// Commodore 64 paint-program pictures: memory images of the VIC-II's video memory (bitmap,
// screen matrix, colour memory, background colours), most with a two-byte load address in
// front, some run-length packed. Every class renders through the fixed 16-colour palette to
// BGRA 8888.
//
// The classes differ only in where their parts lie and in a few rendering quirks, so the
// renderers (hires, multicolour, FLI, interlace) are shared and each class is a layout plus,
// where needed, an unpacker. A file is accepted at its class's size and load address (a few
// classes also take the shorter files and other load addresses their programs wrote), every
// read of picture data is bounded by the data actually present, and every unpacker stops at
// the end of its output and of its input.

#include <algorithm>
#include <array>
#include <cstring>
#include <random>
#include <vector>

#include <norva/core/byte_reader.hpp>
#include <norva/core/endian.hpp>
#include <norva/image/decoder.hpp>

#include "formats/direct_decode.hpp"
#include "format_guard.hpp"

namespace norva
{
    namespace
    {
        const char* const tag = "[ImageDecoder.C64] ";

        // A << 24 | R << 16 | G << 8 | B, so storeLE32 lays them out as B, G, R, A
        constexpr u32 palette[16] = {
            0xFF000000, 0xFFFFFFFF, 0xFF68372B, 0xFF70A4B2, 0xFF6F3D86, 0xFF588D43, 0xFF352879, 0xFFB8C76F,
            0xFF6F4F25, 0xFF433900, 0xFF9A6759, 0xFF444444, 0xFF6C6C6C, 0xFF9AD284, 0xFF6C5EB5, 0xFF959595,
        };

        // Sprite colour bytes are used unmasked by some classes: indices above 15 are
        // transparent black.
        u32 colourOf(u32 index)
        {
            return index < 16 ? palette[index] : 0;
        }

        // --------------------------------------------------------------------
        // picture data and frames
        // --------------------------------------------------------------------

        // The bytes behind the load address (or the unpacked buffer). Reads past the end give
        // 0: layouts address fixed offsets and some reach beyond what a class stores.
        struct Data
        {
            const u8* address = nullptr;
            u64 size = 0;

            u8 operator[](u64 i) const { return i < size ? address[i] : 0; }
        };

        using Indices = std::vector<u8>;
        using Table = std::array<u8, 200>; // one byte per raster line

        struct Picture
        {
            int width = 0;
            int height = 0;
            std::vector<u32> colours; // width * height
        };

        // The bitmap byte of pixel (x, y); its screen and colour bytes are at cell >> 3.
        u64 cellByte(int x, int y)
        {
            return u64(x & ~7) + u64(y >> 3) * 320 + u64(y & 7);
        }

        // one line of each eight in an FLI picture has its own screen
        u64 fliScreen(int y)
        {
            return u64(y & 7) * 1024;
        }

        // the multicolour bit pair of pixel (x, y) in the bitmap at `bitmap`
        int pairAt(const Data& d, u64 bitmap, int x, int y)
        {
            return (d[bitmap + cellByte(x, y)] >> (6 - (x & 6))) & 3;
        }

        bool bitAt(const Data& d, u64 bitmap, int x, int y)
        {
            return (d[bitmap + cellByte(x, y)] >> (7 - (x & 7))) & 1;
        }

        struct Hires
        {
            u64 bitmap = 0;
            u64 screen = 0;
            bool fli = false;
            bool leftFlag = true; // FLI: the left columns show 15, else `leftColour`
            u8 leftColour = 0;
        };

        void drawHires(Indices& out, int width, int height, const Data& d, const Hires& h)
        {
            for (int y = 0; y < height; ++y)
            {
                for (int x = 0; x < width; ++x)
                {
                    u8 index;
                    if (h.fli && x < 24)
                    {
                        // the VIC-II's FLI bug: the first three cells show no screen data
                        index = h.leftFlag ? 15 : h.leftColour;
                    }
                    else
                    {
                        const u64 c = cellByte(x, y);
                        const u8 s = d[h.screen + (h.fli ? fliScreen(y) : 0) + (c >> 3)];
                        index = bitAt(d, h.bitmap, x, y) ? s >> 4 : s & 15;
                    }
                    out[u64(y) * width + x] = index;
                }
            }
        }

        struct Multi
        {
            u64 bitmap = 0;
            u64 screen = 0;
            u64 colour = 0;
            bool fli = false;
            Table backgrounds{}; // pair 00 of each line (low nibble); zeros give black
            const Table* left = nullptr; // FLI: pair 11 left of column 24 (high nibble)

            void background(u8 value) { backgrounds.fill(value); }
        };

        void drawMulticolor(Indices& out, int width, int height, const Data& d, const Multi& m)
        {
            for (int y = 0; y < height; ++y)
            {
                for (int x = 0; x < width; ++x)
                {
                    const u64 cell = cellByte(x, y) >> 3;
                    const bool left = m.fli && x < 24;
                    const u64 screen = m.screen + (m.fli ? fliScreen(y) : 0) + cell;
                    u8 index = 0;
                    switch (pairAt(d, m.bitmap, x, y))
                    {
                        case 0: index = m.backgrounds[y] & 15; break;
                        case 1: index = left ? 15 : d[screen] >> 4; break;
                        case 2: index = left ? 15 : d[screen] & 15; break;
                        default:
                            // without a table for them the left columns keep colour memory
                            index = left && m.left ? (*m.left)[y] >> 4 : d[m.colour + cell] & 15;
                            break;
                    }
                    out[u64(y) * width + x] = index;
                }
            }
        }

        void toColours(Picture& p, const Indices& indices)
        {
            for (size_t i = 0; i < indices.size(); ++i)
                p.colours[i] = colourOf(indices[i]);
        }

        // Two frames shown alternately: each channel is the mean of the frames (mode 0), the
        // mean with frame 2 one pixel to the left (mode 1), or even columns from frame 1 and
        // odd ones from frame 2 (mode 2).
        void blend(Picture& p, const Indices& a, const Indices& b, int mode)
        {
            auto half = [](u32 c) { return (c >> 1) & 0x7F7F7F; };
            for (int y = 0; y < p.height; ++y)
            {
                for (int x = 0; x < p.width; ++x)
                {
                    const u64 i = u64(y) * p.width + x;
                    const u32 c1 = colourOf(a[i]);
                    u32 c;
                    if (mode == 2)
                        c = (x & 1) ? colourOf(b[i]) : c1;
                    else if (mode == 1)
                        c = half(c1) + (x > 0 ? half(colourOf(b[i - 1])) : 0);
                    else
                        c = half(c1) + half(colourOf(b[i]));
                    p.colours[i] = c | 0xFF000000;
                }
            }
        }

        void convertHires(Picture& p, const Data& d, const Hires& h)
        {
            Indices indices(u64(p.width) * p.height, 0);
            drawHires(indices, p.width, p.height, d, h);
            toColours(p, indices);
        }

        void convertMulticolor(Picture& p, const Data& d, const Multi& m)
        {
            Indices indices(u64(p.width) * p.height, 0);
            drawMulticolor(indices, p.width, p.height, d, m);
            toColours(p, indices);
        }

        void convertHiresInterlace(Picture& p, const Data& d, const Hires& h1, const Hires& h2)
        {
            Indices a(u64(p.width) * p.height, 0);
            Indices b(a.size(), 0);
            drawHires(a, p.width, p.height, d, h1);
            drawHires(b, p.width, p.height, d, h2);
            blend(p, a, b, 0);
        }

        void convertMulticolorInterlace(Picture& p, const Data& d, const Multi& m1, const Multi& m2, int mode)
        {
            Indices a(u64(p.width) * p.height, 0);
            Indices b(a.size(), 0);
            drawMulticolor(a, p.width, p.height, d, m1);
            drawMulticolor(b, p.width, p.height, d, m2);
            blend(p, a, b, mode);
        }

        // --------------------------------------------------------------------
        // unpackers: each stops at the end of its output and of its input
        // --------------------------------------------------------------------

        enum class Runs
        {
            ZeroIs256,  // a count of 0 writes 256 bytes
            ZeroEnds,   // a count of 0 ends the data
            CountPlusOne,
        };

        // An escape byte, a count and a value make a run; any other byte is copied.
        void unpackRLE(u8* out, u64 outSize, ByteReader in, u8 escape, Runs runs)
        {
            u64 pos = 0;
            while (pos < outSize && !in.atEnd())
            {
                const u8 b = in.byte();
                if (b != escape)
                {
                    out[pos++] = b;
                    continue;
                }
                const u32 count = in.byte();
                if (in.isShort() || (count == 0 && runs == Runs::ZeroEnds))
                    break;
                const u8 value = in.byte();
                if (in.isShort())
                    break;
                u64 n = count;
                if (runs == Runs::ZeroIs256 && count == 0)
                    n = 256;
                else if (runs == Runs::CountPlusOne)
                    n = u64(count) + 1;
                n = std::min(n, outSize - pos);
                std::memset(out + pos, value, n);
                pos += n;
            }
        }

        // Read from the last byte backwards while above offset 272, written from the end of
        // the output backwards. The packer's eight escape codes are at offsets 127 to 134 and
        // its three fill bytes at 136 to 138.
        void unpackBackwardRLE(u8* out, u64 outSize, const Data& packed)
        {
            constexpr u64 floor = 272;
            if (packed.size <= floor + 1)
                return;
            u8 codes[8];
            for (int i = 0; i < 8; ++i)
                codes[i] = packed[127 + i];
            const u8 fills[3] = { packed[136], packed[137], packed[138] };

            u64 in = packed.size - 1; // the next byte to read
            u64 pos = outSize;        // the bytes still to write
            auto more = [&] { return in > floor; };
            auto next = [&] { return packed[in--]; };
            auto put = [&](u8 value, u64 count) {
                for (; count && pos; --count)
                    out[--pos] = value;
            };

            while (pos && more())
            {
                const u8 b = next();
                int code = 0;
                while (code < 8 && codes[code] != b)
                    ++code;
                switch (code)
                {
                    case 0:
                        if (!more()) return;
                        put(next(), 1);
                        break;
                    case 1:
                        if (!more()) return;
                        put(next(), 3);
                        break;
                    case 2:
                        if (!more()) return;
                        put(0, u64(next()) + 2);
                        break;
                    case 3: put(0, 3); break;
                    case 4:
                    {
                        if (!more()) return;
                        const u64 n = next();
                        if (!more()) return;
                        put(next(), n + 2);
                        break;
                    }
                    case 5: case 6: case 7: put(fills[code - 5], 2); break;
                    default: put(b, 1); break;
                }
            }
        }

        // --------------------------------------------------------------------
        // the decoder object shared by every class
        // --------------------------------------------------------------------

        using Render = void (*)(Picture&, const Data&);

        class Interface : public ImageDecoderInterface
        {
        public:
            explicit Interface(ConstMemory memory) : m_memory(memory) {}

            ImageHeader header() override { return m_header; }

            ImageDecodeStatus decode(Surface& dest, Palette*, int, int, int) override
            {
                return guardStatus<ImageDecodeStatus>(tag, [&] { return decodeSurface(dest); });
            }

        protected:
            u16 loadAddress() const { return m_memory.size >= 2 ? loadLE16(m_memory.address) : 0; }

            // the data behind the load address
            Data fileData(u64 offset = 2) const
            {
                if (m_memory.size < offset)
                    return {};
                return { m_memory.address + offset, m_memory.size - offset };
            }

            bool matches(u64 offset, const char* text) const
            {
                const u64 n = std::strlen(text);
                return m_memory.size >= offset + n && std::memcmp(m_memory.address + offset, text, n) == 0;
            }

            void accept(int width, int height, const Data& data, Render render)
            {
                m_data = data;
                m_render = render;
                m_header.width = width;
                m_header.height = height;
                m_header.format = Format::BGRA8888;
            }

            // unpacks into the owned buffer and accepts it
            template <typename Unpack>
            void acceptUnpacked(u64 size, Unpack&& unpack, Render render, int width = 320, int height = 200)
            {
                m_buffer.assign(size, 0);
                unpack(m_buffer.data(), size);
                accept(width, height, { m_buffer.data(), size }, render);
            }

            void reject(const char* message) { m_header.setError("%s%s", tag, message); }

            ConstMemory m_memory;
            ImageHeader m_header;

        private:
            static void write(Surface& target, const Picture& picture)
            {
                for (int y = 0; y < picture.height; ++y)
                {
                    u8* row = target.address(0, y);
                    for (int x = 0; x < picture.width; ++x)
                        storeLE32(row + x * 4, picture.colours[u64(y) * picture.width + x]);
                }
            }

            ImageDecodeStatus decodeSurface(Surface& dest)
            {
                ImageDecodeStatus status;
                if (!m_header.success || !m_render)
                {
                    status.setError("%s", m_header.info.empty() ? "[ImageDecoder.C64] No picture." : m_header.info.c_str());
                    return status;
                }

                Picture picture;
                picture.width = m_header.width;
                picture.height = m_header.height;
                picture.colours.assign(u64(picture.width) * picture.height, 0);
                m_render(picture, m_data);

                return decodeDirectOrBlit(dest, m_header, tag, [&](Surface& target) {
                    write(target, picture);
                    return ImageDecodeStatus();
                });
            }

            Data m_data;
            Render m_render = nullptr;
            std::vector<u8> m_buffer; // unpacked data of packed classes
        };

        // --------------------------------------------------------------------
        // classes accepted by load address and exact size
        // --------------------------------------------------------------------

        struct Layout
        {
            u16 load;
            u64 size;
            Render render;
            int width = 320;
            int height = 200;
            // Files of some programs circulate cut short behind the last byte the picture
            // draws from (or with only part of their padding): the smallest such file, or 0
            // when only the exact size is accepted.
            u64 shortest = 0;
            // a second address that versions of the program saved at, or 0
            u16 otherLoad = 0;
        };

        class GenericInterface : public Interface
        {
        public:
            GenericInterface(ConstMemory memory, const Layout& layout) : Interface(memory)
            {
                const u64 shortest = layout.shortest ? layout.shortest : layout.size;
                const u16 load = loadAddress();
                if (memory.size < shortest || memory.size > layout.size)
                    reject("Incorrect file size.");
                else if (load != layout.load && (!layout.otherLoad || load != layout.otherLoad))
                    reject("Incorrect load address.");
                else
                    accept(layout.width, layout.height, fileData(), layout.render);
            }
        };

        // multicolour with one background byte (mode 1), or black (mode 0 when bg < 0)
        template <u64 Bitmap, u64 Screen, u64 Colour, int Background>
        void renderMulticolor(Picture& p, const Data& d)
        {
            Multi m;
            m.bitmap = Bitmap;
            m.screen = Screen;
            m.colour = Colour;
            if (Background >= 0)
                m.background(d[u64(Background)]);
            convertMulticolor(p, d, m);
        }

        template <u64 Bitmap, u64 Screen, bool Fli>
        void renderHires(Picture& p, const Data& d)
        {
            Hires h;
            h.bitmap = Bitmap;
            h.screen = Screen;
            h.fli = Fli;
            convertHires(p, d, h);
        }

        void renderFD2(Picture& p, const Data& d)
        {
            Multi m;
            m.bitmap = 9216;
            m.screen = 1024;
            m.colour = 0;
            m.fli = true;
            convertMulticolor(p, d, m);
        }

        // FLI multicolour with a multicolour sprite layer over the left 24 columns
        void renderFPR(Picture& p, const Data& d)
        {
            Table left;
            for (int y = 0; y < 200; ++y)
                left[y] = d[896 + u64(y)];
            Multi m;
            m.bitmap = 10368;
            m.screen = 2176;
            m.colour = 1152;
            m.fli = true;
            m.left = &left;
            Indices indices(u64(p.width) * p.height, 0);
            drawMulticolor(indices, p.width, p.height, d, m);

            for (int y = 0; y < p.height; ++y)
            {
                const u64 block = u64(y / 42) + (((y + 1) & 2) ? 5 : 0);
                for (int x = 0; x < 24; ++x)
                {
                    const u8 byte = d[block * 64 + u64((y % 42) / 2) * 3 + u64(x / 8)];
                    const int pair = (byte >> (6 - (x & 6))) & 3;
                    const u8 colours[4] = { 0, d[640 + u64(y)], d[1096], d[1097] };
                    const u8 colour = colours[pair] & 15;
                    if (colour)
                        indices[u64(y) * p.width + x] = colour;
                }
            }
            toColours(p, indices);
        }

        // Two screens and two colour memories alternating every four lines, a background
        // per four lines; the left columns of pair 11 were noise on the real machine.
        void renderHCB(Picture& p, const Data& d)
        {
            // fixed seed: the same file gives the same pixels
            std::minstd_rand noise(0x43363421u);
            Indices indices(u64(p.width) * p.height, 0);
            for (int y = 0; y < p.height; ++y)
            {
                const u64 bank = u64((y >> 2) & 1) * 1024;
                for (int x = 0; x < p.width; ++x)
                {
                    const u64 cell = cellByte(x, y) >> 3;
                    const bool left = x < 24;
                    u8 index = 0;
                    switch (pairAt(d, 4096, x, y))
                    {
                        case 0: index = d[12096 + u64(y / 4)] & 15; break;
                        case 1: index = left ? 15 : d[2048 + bank + cell] >> 4; break;
                        case 2: index = left ? 15 : d[2048 + bank + cell] & 15; break;
                        default: index = left ? u8(noise() & 15) : d[bank + cell] & 15; break;
                    }
                    indices[u64(y) * p.width + x] = index;
                }
            }
            toColours(p, indices);
        }

        // multicolour whose pair 11 takes one colour for the whole picture
        void renderPMG(Picture& p, const Data& d)
        {
            Indices indices(u64(p.width) * p.height, 0);
            const u8 background = d[8114] & 15;
            const u8 common = d[8117] & 15;
            for (int y = 0; y < p.height; ++y)
            {
                for (int x = 0; x < p.width; ++x)
                {
                    const u8 s = d[8306 + (cellByte(x, y) >> 3)];
                    const u8 colours[4] = { background, u8(s >> 4), u8(s & 15), common };
                    indices[u64(y) * p.width + x] = colours[pairAt(d, 114, x, y)];
                }
            }
            toColours(p, indices);
        }

        // 24 x 21 sprites of 64-byte blocks: bit b of the sprite line's byte column k
        bool spriteBit(const Data& d, u64 base, u64 block, int x, int line)
        {
            const u64 k = u64((x % 24) / 8);
            return (d[base + block * 64 + k + u64(line) * 3] >> (7 - (x & 7))) & 1;
        }

        // hires FLI seen through a window, under one sprite layer
        void renderSHFXL(Picture& p, const Data& d)
        {
            for (int y = 0; y < p.height; ++y)
            {
                for (int x = 0; x < p.width; ++x)
                {
                    const u64 c = u64((x + 88) & ~7) + u64(y >> 3) * 320 + u64(y & 7);
                    const u8 s = d[fliScreen(y) + (c >> 3)];
                    // the sprite pointers of the previous raster line's screen
                    const u64 block = d[fliScreen((y - 1) & 7) + 1017 + u64(x / 24)];
                    u32 index = ((d[8192 + c] >> (7 - (x & 7))) & 1) ? s >> 4 : s & 15;
                    if (spriteBit(d, 0, block, x, y % 21))
                        index = d[1001];
                    p.colours[u64(y) * p.width + x] = colourOf(index);
                }
            }
        }

        const Layout layoutA64 = { 0x4000, 10242, renderMulticolor<0, 8192, 9216, 10239> };
        const Layout layoutAFL = { 0x4000, 16385, renderHires<8192, 0, true> };
        // bitmap and screen (9000 bytes) are all it draws; the rest of the 9009-byte file is not
        const Layout layoutART = { 0x2000, 9009, renderHires<0, 8000, false>, 320, 200, 9002 };
        const Layout layoutBLP = { 0xA000, 10242, renderMulticolor<0, 8192, 9216, 8064> };
        const Layout layoutCDU = { 0x7EEF, 10277, renderMulticolor<273, 8273, 9273, 10273> };
        const Layout layoutDD = { 0x1C00, 9218, renderHires<1024, 0, false>, 320, 200, 0, 0x5C00 };
        const Layout layoutDOL = { 0x5800, 10242, renderMulticolor<2048, 1024, 0, 2024> };
        const Layout layoutFD2 = { 0x3C00, 17409, renderFD2 };
        const Layout layoutFPR = { 0x3780, 18370, renderFPR };
        const Layout layoutFPT = { 0x4000, 10004, renderMulticolor<0, 8000, 9000, 10002> };
        const Layout layoutHCB = { 0x5000, 12148, renderHCB };
        const Layout layoutHFC = { 0x4000, 16386, renderHires<0, 8192, true> };
        const Layout layoutKOA = { 0x6000, 10003, renderMulticolor<0, 8000, 9000, -1> };
        const Layout layoutMPIC = { 0x2000, 10018, renderMulticolor<0, 8000, 9016, 9001> };
        const Layout layoutPMG = { 0x3F8E, 9332, renderPMG };
        // the background byte at 10000 is the last one it draws
        const Layout layoutRPM = { 0x6000, 10006, renderMulticolor<0, 8000, 9000, 10000>, 320, 200, 10003 };
        const Layout layoutSAR = { 0x7800, 10018, renderMulticolor<1024, 0, 9216, 1008> };
        const Layout layoutSHFXL = { 0x4000, 15362, renderSHFXL, 144, 168 };
        const Layout layoutVID = { 0x5800, 10050, renderMulticolor<2048, 1024, 0, 2025> };

        template <const Layout& L>
        ImageDecoderInterface* createGeneric(ConstMemory memory)
        {
            return new GenericInterface(memory, L);
        }

        // --------------------------------------------------------------------
        // classes with rules of their own (packed forms, magic texts)
        // --------------------------------------------------------------------

        // the background byte follows colour memory
        void renderAMI(Picture& p, const Data& d) { renderMulticolor<0, 8000, 9000, 10000>(p, d); }
        void renderDRZ(Picture& p, const Data& d) { renderMulticolor<2048, 1024, 0, -1>(p, d); }

        void renderDRL(Picture& p, const Data& d)
        {
            Multi a;
            a.bitmap = 2048;
            a.screen = 1024;
            a.colour = 0;
            a.background(d[10048]);
            Multi b = a;
            b.bitmap = 10240;
            convertMulticolorInterlace(p, d, a, b, 2);
        }

        void renderECI(Picture& p, const Data& d)
        {
            Hires a;
            a.bitmap = 0;
            a.screen = 8192;
            a.fli = true;
            a.leftFlag = false;
            a.leftColour = 0;
            Hires b = a;
            b.bitmap = 16384;
            b.screen = 24576;
            convertHiresInterlace(p, d, a, b);
        }

        void renderFUN(Picture& p, const Data& d)
        {
            Multi a;
            a.bitmap = 8192;
            a.screen = 0;
            a.colour = 16384;
            a.fli = true;
            for (int y = 0; y < 200; ++y)
                a.backgrounds[y] = y < 100 ? d[16200 + u64(y)] : d[33576 + u64(y - 100)];
            Multi b = a;
            b.bitmap = 25576;
            b.screen = 17384;
            convertMulticolorInterlace(p, d, a, b, 2);
        }

        void renderGUN(Picture& p, const Data& d)
        {
            Multi a;
            a.bitmap = 8192;
            a.screen = 0;
            a.colour = 16384;
            a.fli = true;
            for (int y = 0; y < 200; ++y)
            {
                if (y < 176)
                    a.backgrounds[y] = d[16207 + u64(y)];
                else if (y == 176)
                    a.backgrounds[y] = d[16383];
                else
                    a.backgrounds[y] = d[18408 + u64(std::min(y, 196) - 177)];
            }
            Multi b = a;
            b.bitmap = 25600;
            b.screen = 17408;
            convertMulticolorInterlace(p, d, a, b, 2);
        }

        void renderHIM(Picture& p, const Data& d) { renderHires<320, 8232, true>(p, d); }

        void renderMCI(Picture& p, const Data& d)
        {
            Multi a;
            a.bitmap = 1024;
            a.screen = 0;
            a.colour = 18432;
            a.background(d[1000]);
            Multi b = a;
            b.bitmap = 9216;
            b.screen = 17408;
            convertMulticolorInterlace(p, d, a, b, 2);
        }

        void renderPP(Picture& p, const Data& d)
        {
            Multi a;
            a.bitmap = 9216;
            a.screen = 1024;
            a.colour = 0;
            a.fli = true;
            a.background(d[17279]);
            Multi b = a;
            b.bitmap = 25600;
            b.screen = 17408;
            convertMulticolorInterlace(p, d, a, b, 2);
        }

        // hires FLI in a 96 x 167 window, under two sprite layers
        void renderSHF(Picture& p, const Data& d)
        {
            for (int y = 0; y < p.height; ++y)
            {
                const int r = y + 1;
                const u64 screen = fliScreen(y);
                for (int x = 0; x < p.width; ++x)
                {
                    const u64 c = u64((x + 112) & ~7) + u64(r >> 3) * 320 + u64(r & 7);
                    const u8 s = d[fliScreen(r) + (c >> 3)];
                    u32 index = ((d[8192 + c] >> (7 - (x & 7))) & 1) ? s >> 4 : s & 15;
                    const u64 column = u64(x / 24);
                    const bool a = spriteBit(d, 0, d[screen + 1016 + column], x, y % 21);
                    const bool b = spriteBit(d, 0, d[screen + 1020 + column], x, y % 21);
                    if (b)
                        index = d[1001];
                    else if (a)
                        index = d[1000];
                    p.colours[u64(y) * p.width + x] = colourOf(index);
                }
            }
        }

        // Underlay sprites of UFLI and UIFLI: six double-width sprites across, one band of
        // twelve sprite blocks per 40 lines.
        bool underlayBit(const Data& d, u64 base, int x, int y)
        {
            const int u = x - 24;
            const u64 s = u64(u / 48);
            const u64 n = s + 12 * u64(y / 40) + ((y & 2) ? 6 : 0);
            const u8 byte = d[base + 64 * n + u64(((y + 1) % 42) / 2) * 3 + u64((u % 48) / 16)];
            return (byte >> (7 - ((u / 2) & 7))) & 1;
        }

        void renderUFLI(Picture& p, const Data& d)
        {
            for (int y = 0; y < p.height; ++y)
            {
                for (int x = 0; x < p.width; ++x)
                {
                    u32 index;
                    if (x < 24 || x >= 312)
                    {
                        index = d[4081] & 15;
                    }
                    else
                    {
                        const u64 c = cellByte(x, y);
                        const u8 s = d[4096 + u64(y & 6) * 512 + (c >> 3)];
                        if (bitAt(d, 8192, x, y))
                            index = s >> 4;
                        else if (!underlayBit(d, 0, x, y))
                            index = s & 15;
                        else if (d[4079])
                            index = d[4082 + u64((x - 24) / 48)] & 15;
                        else
                            index = d[4080];
                    }
                    p.colours[u64(y) * p.width + x] = colourOf(index);
                }
            }
        }

        void renderUIFLI(Picture& p, const Data& d)
        {
            struct Frame
            {
                u64 bitmap, screens, sprites, colour;
            };
            const Frame frames[2] = { { 8192, 0, 4096, 4080 }, { 24576, 16384, 20480, 20464 } };
            Indices out[2] = { Indices(u64(p.width) * p.height), Indices(u64(p.width) * p.height) };
            for (int f = 0; f < 2; ++f)
            {
                const Frame& frame = frames[f];
                for (int y = 0; y < p.height; ++y)
                {
                    for (int x = 0; x < p.width; ++x)
                    {
                        u8 index = d[frame.colour];
                        if (x >= 24)
                        {
                            const u64 c = cellByte(x, y);
                            const u8 s = d[frame.screens + u64(y & 6) * 512 + (c >> 3)];
                            if (bitAt(d, frame.bitmap, x, y))
                                index = s >> 4;
                            else if (!underlayBit(d, frame.sprites, x, y))
                                index = s & 15;
                        }
                        out[f][u64(y) * p.width + x] = index;
                    }
                }
            }
            blend(p, out[0], out[1], 0);
        }

        class InterfaceAMI : public Interface
        {
        public:
            explicit InterfaceAMI(ConstMemory memory) : Interface(memory)
            {
                const u64 n = memory.size;
                if (n < 4 || memory.address[n - 1] != 0 || memory.address[n - 2] != 0xC2)
                {
                    reject("Incorrect end marker.");
                    return;
                }
                acceptUnpacked(10513, [&](u8* out, u64 size) {
                    unpackRLE(out, size, ByteReader(memory.slice(2)), 0xC2, Runs::ZeroIs256);
                }, renderAMI);
            }
        };

        // Drazpaint and Drazlace: unpacked at an exact size, or packed behind a magic text
        class InterfaceDraz : public Interface
        {
        public:
            InterfaceDraz(ConstMemory memory, const char* magic, u64 fileSize, Render render) : Interface(memory)
            {
                if (loadAddress() != 0x5800)
                {
                    reject("Incorrect load address.");
                    return;
                }
                const u64 size = fileSize - 2;
                if (memory.size == fileSize)
                {
                    accept(320, 200, fileData(), render);
                }
                else if (matches(2, magic) && memory.size > 16)
                {
                    const u8 escape = memory.address[15];
                    acceptUnpacked(size, [&](u8* out, u64 n) {
                        unpackRLE(out, n, ByteReader(memory.slice(16)), escape, Runs::ZeroIs256);
                    }, render);
                }
                else
                {
                    reject("Incorrect file size.");
                }
            }
        };

        class InterfaceECI : public Interface
        {
        public:
            explicit InterfaceECI(ConstMemory memory) : Interface(memory)
            {
                if (loadAddress() != 0x4000 || memory.size < 3)
                    reject("Incorrect load address.");
                else if (memory.size == 32770)
                    accept(320, 200, fileData(), renderECI);
                else
                    acceptUnpacked(32768, [&](u8* out, u64 n) {
                        unpackRLE(out, n, ByteReader(memory.slice(3)), memory.address[2], Runs::ZeroIs256);
                    }, renderECI);
            }
        };

        class InterfaceFUN : public Interface
        {
        public:
            explicit InterfaceFUN(ConstMemory memory) : Interface(memory)
            {
                if (memory.size < 18 || loadAddress() != 0x3FF0 || !matches(2, "FUNPAINT (MT) "))
                {
                    reject("Incorrect header.");
                    return;
                }
                if (memory.address[16])
                {
                    const u8 escape = memory.address[17];
                    acceptUnpacked(33678, [&](u8* out, u64 n) {
                        unpackRLE(out, n, ByteReader(memory.slice(18)), escape, Runs::ZeroEnds);
                    }, renderFUN);
                }
                else if (memory.size == 33694)
                {
                    acceptUnpacked(33678, [&](u8* out, u64 n) {
                        std::memcpy(out, memory.address + 18, std::min<u64>(n, memory.size - 18));
                    }, renderFUN);
                }
                else
                {
                    reject("Incorrect file size.");
                }
            }
        };

        class InterfaceGUN : public Interface
        {
        public:
            explicit InterfaceGUN(ConstMemory memory) : Interface(memory)
            {
                if (memory.size != 33603 || loadAddress() != 0x4000 || !matches(1002, "GUNPAINT (JZ)   "))
                    reject("Incorrect header.");
                else
                    accept(320, 200, fileData(), renderGUN);
            }
        };

        class InterfaceHIM : public Interface
        {
        public:
            explicit InterfaceHIM(ConstMemory memory) : Interface(memory)
            {
                if (loadAddress() != 0x4000)
                {
                    reject("Incorrect load address.");
                    return;
                }
                if (memory.size == 16385 && memory.address[2] == 0xFF)
                {
                    accept(320, 200, fileData(), renderHIM);
                    return;
                }
                const Data d = fileData();
                acceptUnpacked(16383, [&](u8* out, u64) { unpackHIM(out, d); }, renderHIM);
            }

        private:
            // backwards from the last byte down to offset 15, written backwards from 16369:
            // n > 0 is followed by n - 1 literals, 0 by a count and a value
            static void unpackHIM(u8* out, const Data& d)
            {
                constexpr u64 floor = 15;
                u64 in = d.size;  // bytes above `in` are consumed
                u64 pos = 16370;  // bytes below `pos` are still free
                auto more = [&] { return in > floor; };
                auto next = [&] { return d[--in]; };
                while (more() && pos)
                {
                    const u8 n = next();
                    if (n)
                    {
                        for (int i = 1; i < n && more() && pos; ++i)
                            out[--pos] = next();
                    }
                    else
                    {
                        if (!more()) break;
                        u32 count = next();
                        if (!more()) break;
                        const u8 value = next();
                        for (; count && pos; --count)
                            out[--pos] = value;
                    }
                }
            }
        };

        class InterfaceKOA : public GenericInterface
        {
        public:
            explicit InterfaceKOA(ConstMemory memory) : GenericInterface(memory, layoutKOA) {}
        };

        class InterfaceMCI : public Interface
        {
        public:
            explicit InterfaceMCI(ConstMemory memory) : Interface(memory)
            {
                if (memory.size == 19434 && loadAddress() == 0x9C00)
                {
                    accept(320, 200, fileData(), renderMCI);
                }
                else if (loadAddress() == 0x0801 && matches(7, "2059"))
                {
                    const Data packed = fileData();
                    acceptUnpacked(19432, [&](u8* out, u64 n) { unpackBackwardRLE(out, n, packed); }, renderMCI);
                }
                else
                {
                    reject("Incorrect header.");
                }
            }
        };

        class InterfacePP : public Interface
        {
        public:
            explicit InterfacePP(ConstMemory memory) : Interface(memory)
            {
                if (memory.size == 33602 && loadAddress() == 0x3C00)
                {
                    accept(320, 200, fileData(), renderPP);
                }
                else if (memory.size > 6 && loadAddress() == 0x3BFC && memory.address[2] == 0x10 &&
                         memory.address[3] == 0x10 && memory.address[4] == 0x10)
                {
                    const u8 escape = memory.address[5];
                    acceptUnpacked(33600, [&](u8* out, u64 n) {
                        unpackRLE(out, n, ByteReader(memory.slice(6)), escape, Runs::CountPlusOne);
                    }, renderPP);
                }
                else
                {
                    reject("Incorrect header.");
                }
            }
        };

        class InterfaceSHF : public Interface
        {
        public:
            explicit InterfaceSHF(ConstMemory memory) : Interface(memory)
            {
                if (memory.size == 15874 && loadAddress() == 0x4000)
                    accept(96, 167, fileData(), renderSHF);
                else if (loadAddress() == 0xA000)
                    // its run-length scheme is unknown: showing the packed bytes as a picture
                    // would report garbage as success
                    reject("Packed SHF pictures are not supported.");
                else
                    reject("Incorrect header.");
            }
        };

        class InterfaceUFLI : public Interface
        {
        public:
            explicit InterfaceUFLI(ConstMemory memory) : Interface(memory)
            {
                if (memory.size == 16194 && loadAddress() == 0x4000)
                    accept(320, 200, fileData(), renderUFLI);
                else if (memory.size > 3 && loadAddress() == 0x8000)
                    acceptUnpacked(16192, [&](u8* out, u64 n) {
                        unpackRLE(out, n, ByteReader(memory.slice(3)), memory.address[2], Runs::ZeroIs256);
                    }, renderUFLI);
                else
                    reject("Incorrect header.");
            }
        };

        class InterfaceUIFLI : public Interface
        {
        public:
            explicit InterfaceUIFLI(ConstMemory memory) : Interface(memory)
            {
                if (memory.size > 3 && loadAddress() == 0x4000)
                    acceptUnpacked(32897, [&](u8* out, u64 n) {
                        unpackRLE(out, n, ByteReader(memory.slice(3)), memory.address[2], Runs::ZeroIs256);
                    }, renderUIFLI);
                else
                    reject("Incorrect header.");
            }
        };

        template <typename T>
        ImageDecoderInterface* create(ConstMemory memory)
        {
            return new T(memory);
        }

        ImageDecoderInterface* createDecoderDRL(ConstMemory memory)
        {
            return new InterfaceDraz(memory, "DRAZLACE! 1.0", 18242, renderDRL);
        }

        ImageDecoderInterface* createDecoderDRZ(ConstMemory memory)
        {
            return new InterfaceDraz(memory, "DRAZPAINT 2.0", 10051, renderDRZ);
        }

    } // namespace

    void registerImageDecoderC64()
    {
        struct Entry
        {
            ImageDecoderInterface* (*create)(ConstMemory);
            std::initializer_list<const char*> extensions;
        };
        const Entry entries[] = {
            { createGeneric<layoutA64>, { ".a64" } },
            { createGeneric<layoutAFL>, { ".afl", ".afli" } },
            { create<InterfaceAMI>, { ".ami" } },
            { createGeneric<layoutART>, { ".art", ".ocp" } },
            { createGeneric<layoutBLP>, { ".blp", ".bpi", ".pi" } },
            { createGeneric<layoutCDU>, { ".cdu" } },
            { createGeneric<layoutDD>, { ".dd", ".ddl" } },
            { createGeneric<layoutDOL>, { ".dol" } },
            { createDecoderDRL, { ".drl", ".dlp" } },
            { createDecoderDRZ, { ".drz", ".dp64", ".drp", ".dp" } },
            { create<InterfaceECI>, { ".eci" } },
            { createGeneric<layoutFD2>, { ".fd2" } },
            { createGeneric<layoutFPR>, { ".fpr" } },
            { createGeneric<layoutFPT>, { ".fpt", ".fcp" } },
            { create<InterfaceFUN>, { ".fun", ".fp2" } },
            { create<InterfaceGUN>, { ".gun", ".ifl" } },
            { createGeneric<layoutHCB>, { ".hcb" } },
            { createGeneric<layoutHFC>, { ".hfc" } },
            { create<InterfaceHIM>, { ".him" } },
            { create<InterfaceKOA>, { ".koa", ".kla" } },
            { create<InterfaceMCI>, { ".mci", ".mcp" } },
            { createGeneric<layoutMPIC>, { ".mpic" } },
            { createGeneric<layoutPMG>, { ".pmg" } },
            { create<InterfacePP>, { ".pp", ".ppp" } },
            { createGeneric<layoutRPM>, { ".rpm" } },
            { createGeneric<layoutSAR>, { ".sar" } },
            { create<InterfaceSHF>, { ".unp", ".shfli" } },
            { createGeneric<layoutSHFXL>, { ".shx", ".shfxl" } },
            { create<InterfaceUFLI>, { ".ufup", ".ufli" } },
            { create<InterfaceUIFLI>, { ".uifli" } },
            { createGeneric<layoutVID>, { ".vid" } },
        };
        for (const Entry& entry : entries)
        {
            for (const char* extension : entry.extensions)
                registerImageDecoder(entry.create, extension);
        }
    }

} // namespace norva
