// Atari ST pictures: DEGAS and DEGAS Elite (.pi1-.pi3, packed .pc1-.pc3), NEOchrome (.neo),
// Spectrum 512 (.spu, packed .spc) and CrackArt (.ca1-.ca3). All store bitplanes and a
// palette of 12-bit colour words, and all decode to BGRA 8888.
//
// Every family checks the sizes its layout fixes before it reads, and every unpacker stops
// at the end of its output buffer and at the end of the file.

#include <algorithm>
#include <cstring>
#include <vector>

#include <norva/core/byte_reader.hpp>
#include <norva/image/decoder.hpp>

#include "direct_decode.hpp"
#include "format_guard.hpp"

namespace norva
{
    namespace
    {
        // --------------------------------------------------------------------
        // layout
        // --------------------------------------------------------------------

        struct Resolution
        {
            int width;
            int height;
            int bitplanes;
        };

        // by the resolution code every family stores
        constexpr Resolution resolutions[3] = {
            { 320, 200, 4 },
            { 640, 200, 2 },
            { 640, 400, 1 },
        };

        constexpr u64 screenBytes = 32000;  // every mode: 200 rows of 160 bytes, or 400 of 80
        constexpr u64 paletteBytes = 32;    // 16 colour words
        constexpr u64 neoFileBytes = 32128;
        constexpr u64 spuFileBytes = 51104; // the screen, then 199 lines of 48 colour words
        constexpr int spectrumLines = 199;
        constexpr int spectrumColours = 48;
        constexpr u64 spectrumPackedBytes = 31840; // rows 1 to 199 of the screen

        constexpr u32 opaqueBlack = 0xFF000000;
        constexpr u32 monoPalette[2] = { 0xFFEEEEEE, 0xFF000000 }; // the ST's mono monitor

        const char* const tag = "[ImageDecoder.ATARI] ";

        // --------------------------------------------------------------------
        // colours and bitplanes
        // --------------------------------------------------------------------

        // A 12-bit colour word: blue in bits 0-3, green 4-7, red 8-11. The STE put the fourth
        // bit of each level below the other three: bit 3 is the level's least significant bit.
        u32 colourFromWord(u16 word)
        {
            auto level = [](u32 n) {
                const u32 v = ((n & 7) << 1) | ((n >> 3) & 1);
                return v * 17;
            };
            const u32 b = level(word & 15);
            const u32 g = level((word >> 4) & 15);
            const u32 r = level((word >> 8) & 15);
            return b | (g << 8) | (r << 16) | 0xFF000000u;
        }

        void readPalette(u32* palette, const u8* words, int count)
        {
            for (int i = 0; i < count; ++i)
                palette[i] = colourFromWord(loadBE16(words + i * 2));
        }

        // Interleaved bitplanes: groups of 16 pixels, each group one big-endian word per
        // plane; bit 15 - i of word p is bit p of pixel i. `data` holds width * height *
        // bitplanes / 8 bytes.
        void interleavedToIndices(u8* indices, const u8* data, int width, int height, int bitplanes)
        {
            const int groups = width * height / 16;
            for (int g = 0; g < groups; ++g)
            {
                u16 words[4];
                for (int p = 0; p < bitplanes; ++p)
                    words[p] = loadBE16(data + (g * bitplanes + p) * 2);
                u8* out = indices + g * 16;
                for (int i = 0; i < 16; ++i)
                {
                    const int bit = 15 - i;
                    u8 index = 0;
                    for (int p = 0; p < bitplanes; ++p)
                        index |= u8(((words[p] >> bit) & 1) << p);
                    out[i] = index;
                }
            }
        }

        // Plane-major rows: within each row, every word of plane 0, then of plane 1, ...
        // (packed DEGAS pictures).
        void rowPlanesToIndices(u8* indices, const u8* data, int width, int height, int bitplanes)
        {
            const int words = width / 16;
            for (int y = 0; y < height; ++y)
            {
                const u8* row = data + y * words * bitplanes * 2;
                u8* out = indices + y * width;
                std::fill(out, out + width, 0);
                for (int p = 0; p < bitplanes; ++p)
                {
                    for (int k = 0; k < words; ++k)
                    {
                        const u16 word = loadBE16(row + (p * words + k) * 2);
                        for (int i = 0; i < 16; ++i)
                            out[k * 16 + i] |= u8(((word >> (15 - i)) & 1) << p);
                    }
                }
            }
        }

        // --------------------------------------------------------------------
        // unpackers: each stops at the end of its output and of its input
        // --------------------------------------------------------------------

        // PackBits as DEGAS Elite writes it: n < 128 copies n + 1 bytes, 128 ends the data,
        // n > 128 repeats the next byte 257 - n times.
        void unpackDEGAS(u8* out, u64 outSize, ByteReader in)
        {
            u64 pos = 0;
            while (pos < outSize && !in.atEnd())
            {
                const u32 n = in.byte();
                if (n < 128)
                {
                    const u64 count = std::min<u64>(std::min<u64>(n + 1, outSize - pos), in.remaining());
                    in.read(out + pos, count);
                    pos += count;
                }
                else if (n == 128)
                {
                    break;
                }
                else
                {
                    if (in.atEnd())
                        break;
                    const u8 value = in.byte();
                    const u64 count = std::min<u64>(257 - n, outSize - pos);
                    std::memset(out + pos, value, count);
                    pos += count;
                }
            }
        }

        // Spectrum 512's run-length code: n < 128 copies n + 1 bytes, n >= 128 repeats the
        // next byte 258 - n times. Returns the bytes produced.
        u64 unpackSPC(u8* out, u64 outSize, ByteReader in)
        {
            u64 pos = 0;
            while (pos < outSize && !in.atEnd())
            {
                const u32 n = in.byte();
                if (n < 128)
                {
                    const u64 want = std::min<u64>(n + 1, outSize - pos);
                    const u64 count = std::min<u64>(want, in.remaining());
                    in.read(out + pos, count);
                    pos += count;
                }
                else
                {
                    if (in.atEnd())
                        break;
                    const u8 value = in.byte();
                    const u64 count = std::min<u64>(258 - n, outSize - pos);
                    std::memset(out + pos, value, count);
                    pos += count;
                }
            }
            return pos;
        }

        // CrackArt: the stream fills the screen in columns `offset` bytes apart (one column
        // per start byte 0, 1, 2 ...), with an escape byte introducing runs and skips.
        void unpackCA(u8* out, ByteReader in, u8 escape, u32 offset)
        {
            u64 pos = 0;
            u64 column = 0;
            u64 done = 0;
            auto advance = [&] {
                ++done;
                pos += offset;
                if (pos >= screenBytes)
                    pos = ++column;
            };
            auto put = [&](u8 value, u64 count) {
                for (u64 i = 0; i < count && done < screenBytes && pos < screenBytes; ++i)
                {
                    out[pos] = value;
                    advance();
                }
            };
            auto skip = [&](u64 count) {
                for (u64 i = 0; i < count && done < screenBytes && pos < screenBytes; ++i)
                    advance();
            };

            while (done < screenBytes && pos < screenBytes && !in.atEnd())
            {
                const u8 b = in.byte();
                if (b != escape)
                {
                    put(b, 1);
                    continue;
                }
                const u8 c = in.byte();
                if (in.isShort())
                    break;
                if (c == escape)
                {
                    put(escape, 1);
                }
                else if (c == 0)
                {
                    const u64 count = u64(in.byte()) + 1;
                    const u8 value = in.byte();
                    if (in.isShort())
                        break;
                    put(value, count);
                }
                else if (c == 1)
                {
                    const u64 count = u64(in.be16()) + 1;
                    const u8 value = in.byte();
                    if (in.isShort())
                        break;
                    put(value, count);
                }
                else if (c == 2)
                {
                    const u8 b1 = in.byte();
                    if (in.isShort())
                        break;
                    if (b1 == 0)
                    {
                        skip(screenBytes);
                        break;
                    }
                    const u64 count = (u64(b1) << 8) + in.byte() + 1;
                    if (in.isShort())
                        break;
                    skip(count);
                }
                else
                {
                    const u8 value = in.byte();
                    if (in.isShort())
                        break;
                    put(value, u64(c) + 1);
                }
            }
        }

        // --------------------------------------------------------------------
        // the decoder objects
        // --------------------------------------------------------------------

        struct PictureHeader
        {
            int width = 0;
            int height = 0;
            int bitplanes = 0;
            bool compressed = false;
        };

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
            void accept(const Resolution& r, bool compressed, const u8* data)
            {
                m_picture = { r.width, r.height, r.bitplanes, compressed };
                m_data = data;
                m_header.width = r.width;
                m_header.height = r.height;
                m_header.format = Format::BGRA8888;
            }

            void reject(const char* message) { m_header.setError("%s%s", tag, message); }

            // Renders the picture into a BGRA 8888 surface at least as large as it; false
            // when the data runs out before the picture is complete.
            virtual bool decodeImage(Surface& dest) = 0;

            // Writes dest pixel (x, y) = the colour of its index.
            void writeIndexed(Surface& dest, const std::vector<u8>& indices, const u32* palette) const
            {
                for (int y = 0; y < m_picture.height; ++y)
                {
                    u32* row = reinterpret_cast<u32*>(dest.address(0, y));
                    const u8* in = indices.data() + u64(y) * m_picture.width;
                    for (int x = 0; x < m_picture.width; ++x)
                        storeLE32(row + x, palette[in[x]]);
                }
            }

            ConstMemory m_memory;
            ImageHeader m_header;
            PictureHeader m_picture;
            const u8* m_data = nullptr; // null when the header was rejected

        private:
            ImageDecodeStatus decodeSurface(Surface& dest)
            {
                ImageDecodeStatus status;
                if (!m_header.success || !m_data)
                {
                    status.setError("%s", m_header.info.c_str());
                    return status;
                }

                status = decodeDirectOrBlit(dest, m_header, tag, [&](Surface& target) {
                    ImageDecodeStatus drawn;
                    if (!decodeImage(target))
                        drawn.setError("%sOut of data.", tag);
                    return drawn;
                });
                status.direct = status.direct && status.success;
                return status;
            }
        };

        class InterfaceDEGAS : public Interface
        {
        public:
            explicit InterfaceDEGAS(ConstMemory memory) : Interface(memory)
            {
                ByteReader in(memory);
                const u16 word = in.be16();
                const u32 code = word & 3;
                if (code == 3)
                {
                    reject("unsupported resolution.");
                    return;
                }
                const bool compressed = (word & 0x8000) != 0;
                const u64 needed = 2 + paletteBytes + (compressed ? 0 : screenBytes);
                if (memory.size < needed)
                {
                    reject("Out of data.");
                    return;
                }
                accept(resolutions[code], compressed, memory.address + 2);
            }

        protected:
            bool decodeImage(Surface& dest) override
            {
                const int w = m_picture.width;
                const int h = m_picture.height;
                u32 palette[16];
                readPalette(palette, m_data, 16);

                std::vector<u8> indices(u64(w) * h);
                const u8* pixels = m_data + paletteBytes;
                if (m_picture.compressed)
                {
                    std::vector<u8> screen(screenBytes, 0);
                    const u64 offset = u64(pixels - m_memory.address);
                    unpackDEGAS(screen.data(), screenBytes, ByteReader(m_memory.slice(offset)));
                    rowPlanesToIndices(indices.data(), screen.data(), w, h, m_picture.bitplanes);
                }
                else
                {
                    if (m_picture.bitplanes == 1)
                        std::copy(monoPalette, monoPalette + 2, palette);
                    interleavedToIndices(indices.data(), pixels, w, h, m_picture.bitplanes);
                }
                writeIndexed(dest, indices, palette);
                return true;
            }
        };

        class InterfaceNEO : public Interface
        {
        public:
            explicit InterfaceNEO(ConstMemory memory) : Interface(memory)
            {
                if (memory.size != neoFileBytes)
                {
                    reject("Incorrect number of bytes.");
                    return;
                }
                ByteReader in(memory);
                const u16 flags = in.be16();
                const u16 code = in.be16();
                if (flags != 0)
                {
                    reject("Incorrect flags.");
                    return;
                }
                if (code > 2)
                {
                    reject("Unsupported resolution.");
                    return;
                }
                accept(resolutions[code], false, memory.address + 4);
            }

        protected:
            bool decodeImage(Surface& dest) override
            {
                u32 palette[16];
                readPalette(palette, m_data, 16);
                if (m_picture.bitplanes == 1)
                    std::copy(monoPalette, monoPalette + 2, palette);
                std::vector<u8> indices(u64(m_picture.width) * m_picture.height);
                interleavedToIndices(indices.data(), m_memory.address + 128, m_picture.width, m_picture.height,
                                     m_picture.bitplanes);
                writeIndexed(dest, indices, palette);
                return true;
            }
        };

        class InterfaceSPU : public Interface
        {
        public:
            explicit InterfaceSPU(ConstMemory memory) : Interface(memory)
            {
                if (memory.size < 12)
                {
                    reject("Incorrect header size.");
                    return;
                }
                ByteReader in(memory);
                const bool packed = in.be16() == 0x5350; // "SP"
                if (packed)
                {
                    in.skip(2);
                    m_bitmapLength = in.be32();
                    m_paletteLength = in.be32();
                    const u64 expected = 12 + u64(m_bitmapLength) + u64(m_paletteLength);
                    // some writers pad the file by 78 bytes
                    if (memory.size != expected && memory.size != expected + 78)
                    {
                        reject("Incorrect number of bytes.");
                        return;
                    }
                }
                else if (memory.size != spuFileBytes)
                {
                    reject("Incorrect number of bytes.");
                    return;
                }
                accept(resolutions[0], packed, memory.address + (packed ? 12 : 0));
            }

        protected:
            bool decodeImage(Surface& dest) override
            {
                std::vector<u8> indices(u64(320) * 200, 0);
                std::vector<u32> palettes(u64(spectrumLines) * spectrumColours, opaqueBlack);

                if (m_picture.compressed)
                {
                    if (!unpackPacked(indices, palettes))
                        return false;
                }
                else
                {
                    interleavedToIndices(indices.data(), m_data, 320, 200, 4);
                    readPalette(palettes.data(), m_data + screenBytes, spectrumLines * spectrumColours);
                }

                // row 0 carries no palette: it stays transparent black
                std::memset(dest.address(0, 0), 0, 320 * 4);
                for (int y = 1; y < 200; ++y)
                {
                    const u32* line = palettes.data() + (y - 1) * spectrumColours;
                    u32* row = reinterpret_cast<u32*>(dest.address(0, y));
                    const u8* in = indices.data() + y * 320;
                    for (int x = 0; x < 320; ++x)
                        storeLE32(row + x, line[paletteEntry(in[x], x)]);
                }
                return true;
            }

        private:
            // The hardware reloads the 16 colour registers three times along each line; which
            // of the line's 48 colours a pixel shows depends on its index and its x.
            static int paletteEntry(int c, int x)
            {
                const int x1 = (c & 1) ? 10 * c - 5 : 10 * c + 1;
                if (x >= x1)
                    c += x < x1 + 160 ? 16 : 32;
                return c;
            }

            bool unpackPacked(std::vector<u8>& indices, std::vector<u32>& palettes) const
            {
                std::vector<u8> planes(spectrumPackedBytes, 0);
                const ByteReader bitmap(m_data, m_bitmapLength);
                if (unpackSPC(planes.data(), spectrumPackedBytes, bitmap) != spectrumPackedBytes)
                    return false;

                // plane-major: plane 0 for rows 1-199, then plane 1, ...; 20 words a row
                for (int p = 0; p < 4; ++p)
                {
                    for (int r = 0; r < spectrumLines; ++r)
                    {
                        u8* out = indices.data() + (r + 1) * 320;
                        for (int k = 0; k < 20; ++k)
                        {
                            const u16 word = loadBE16(planes.data() + ((p * spectrumLines + r) * 20 + k) * 2);
                            for (int i = 0; i < 16; ++i)
                                out[k * 16 + i] |= u8(((word >> (15 - i)) & 1) << p);
                        }
                    }
                }

                // masks, each followed by one colour word per set bit, least significant first
                ByteReader in(m_data + m_bitmapLength, m_paletteLength);
                const int masks = spectrumLines * spectrumColours / 16;
                for (int m = 0; m < masks; ++m)
                {
                    const u16 mask = in.be16();
                    for (int bit = 0; bit < 16; ++bit)
                    {
                        if (mask & (1u << bit))
                            palettes[m * 16 + bit] = colourFromWord(in.be16());
                    }
                    if (in.isShort())
                        return false;
                }
                return true;
            }

            u32 m_bitmapLength = 0;
            u32 m_paletteLength = 0;
        };

        class InterfaceCA : public Interface
        {
        public:
            explicit InterfaceCA(ConstMemory memory) : Interface(memory)
            {
                ByteReader in(memory);
                const u8 c = in.byte();
                const u8 a = in.byte();
                if (in.isShort() || c != 'C' || a != 'A')
                {
                    reject("Incorrect header.");
                    return;
                }
                const bool compressed = in.byte() != 0;
                const u8 code = in.byte();
                if (code > 2)
                {
                    reject("Unsupported resolution.");
                    return;
                }
                const Resolution& r = resolutions[code];
                // the colour words, then the screen or the unpacker's four header bytes
                const u64 needed = 4 + u64(2) * (1u << r.bitplanes) + (compressed ? 4 : screenBytes);
                if (in.isShort() || memory.size < needed)
                {
                    reject("Out of data.");
                    return;
                }
                accept(r, compressed, memory.address + 4);
            }

        protected:
            bool decodeImage(Surface& dest) override
            {
                const int colours = 1 << m_picture.bitplanes;
                u32 palette[16];
                readPalette(palette, m_data, colours);
                const u8* pixels = m_data + colours * 2;

                std::vector<u8> indices(u64(m_picture.width) * m_picture.height);
                if (m_picture.compressed)
                {
                    ByteReader in(m_memory.slice(u64(pixels - m_memory.address)));
                    const u8 escape = in.byte();
                    const u8 fill = in.byte();
                    const u32 offset = in.be16() & 0x7FFF;
                    std::vector<u8> screen(screenBytes, fill);
                    unpackCA(screen.data(), in, escape, offset);
                    interleavedToIndices(indices.data(), screen.data(), m_picture.width, m_picture.height,
                                         m_picture.bitplanes);
                }
                else
                {
                    interleavedToIndices(indices.data(), pixels, m_picture.width, m_picture.height, m_picture.bitplanes);
                }
                writeIndexed(dest, indices, palette);
                return true;
            }
        };

        template <typename T>
        ImageDecoderInterface* create(ConstMemory memory)
        {
            return new T(memory);
        }

        ImageDecoderInterface* createDecoderDEGAS(ConstMemory memory) { return create<InterfaceDEGAS>(memory); }
        ImageDecoderInterface* createDecoderNEO(ConstMemory memory) { return create<InterfaceNEO>(memory); }
        ImageDecoderInterface* createDecoderSPU(ConstMemory memory) { return create<InterfaceSPU>(memory); }
        ImageDecoderInterface* createDecoderCA(ConstMemory memory) { return create<InterfaceCA>(memory); }

    } // namespace

    void registerImageDecoderATARI()
    {
        for (const char* extension : { ".pi1", ".pi2", ".pi3", ".pc1", ".pc2", ".pc3" })
            registerImageDecoder(createDecoderDEGAS, extension);
        registerImageDecoder(createDecoderNEO, ".neo");
        registerImageDecoder(createDecoderSPU, ".spu");
        registerImageDecoder(createDecoderSPU, ".spc");
        for (const char* extension : { ".ca1", ".ca2", ".ca3" })
            registerImageDecoder(createDecoderCA, extension);
    }

} // namespace norva
