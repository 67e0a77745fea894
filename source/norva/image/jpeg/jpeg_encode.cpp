// JPEG encoder: baseline (SOF0), 8-bit, the standard Huffman tables, no chroma
// subsampling. Every MCU row is its own restart interval, coded by a pool task into its
// own buffer; the calling thread writes the headers and then the rows in order.

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <memory>
#include <new>
#include <thread>

#include <norva/core/endian.hpp>
#include <norva/core/exception.hpp>

#include "jpeg_color.hpp"
#include "jpeg_encode.hpp"

namespace norva::jpeg
{
    namespace
    {
        // ------------------------------------------------------------------
        // tables (T.81 Annex K)
        // ------------------------------------------------------------------

        // K.1 and K.2, natural order
        constexpr u8 baseQuantization[2][64] =
        {
            {
                16, 11, 10, 16, 24, 40, 51, 61,
                12, 12, 14, 19, 26, 58, 60, 55,
                14, 13, 16, 24, 40, 57, 69, 56,
                14, 17, 22, 29, 51, 87, 80, 62,
                18, 22, 37, 56, 68, 109, 103, 77,
                24, 35, 55, 64, 81, 104, 113, 92,
                49, 64, 78, 87, 103, 121, 120, 101,
                72, 92, 95, 98, 112, 100, 103, 99,
            },
            {
                17, 18, 24, 47, 99, 99, 99, 99,
                18, 21, 26, 66, 99, 99, 99, 99,
                24, 26, 56, 99, 99, 99, 99, 99,
                47, 66, 99, 99, 99, 99, 99, 99,
                99, 99, 99, 99, 99, 99, 99, 99,
                99, 99, 99, 99, 99, 99, 99, 99,
                99, 99, 99, 99, 99, 99, 99, 99,
                99, 99, 99, 99, 99, 99, 99, 99,
            },
        };

        struct HuffmanSpec
        {
            u8 counts[16];      // codes of length 1..16
            u8 symbols[162];
        };

        // K.3 to K.6: DC luminance, AC luminance, DC chrominance, AC chrominance
        constexpr HuffmanSpec huffmanSpecs[4] =
        {
            {
                { 0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0 },
                { 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11 },
            },
            {
                { 0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7D },
                {
                    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61, 0x07,
                    0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xA1, 0x08, 0x23, 0x42, 0xB1, 0xC1, 0x15, 0x52, 0xD1, 0xF0,
                    0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0A, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x25, 0x26, 0x27, 0x28,
                    0x29, 0x2A, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49,
                    0x4A, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69,
                    0x6A, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89,
                    0x8A, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9A, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
                    0xA8, 0xA9, 0xAA, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xC2, 0xC3, 0xC4, 0xC5,
                    0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xDA, 0xE1, 0xE2,
                    0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xEA, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8,
                    0xF9, 0xFA,
                },
            },
            {
                { 0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0 },
                { 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11 },
            },
            {
                { 0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77 },
                {
                    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61, 0x71,
                    0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xA1, 0xB1, 0xC1, 0x09, 0x23, 0x33, 0x52, 0xF0,
                    0x15, 0x62, 0x72, 0xD1, 0x0A, 0x16, 0x24, 0x34, 0xE1, 0x25, 0xF1, 0x17, 0x18, 0x19, 0x1A, 0x26,
                    0x27, 0x28, 0x29, 0x2A, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48,
                    0x49, 0x4A, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68,
                    0x69, 0x6A, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87,
                    0x88, 0x89, 0x8A, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9A, 0xA2, 0xA3, 0xA4, 0xA5,
                    0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xC2, 0xC3,
                    0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xDA,
                    0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xEA, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8,
                    0xF9, 0xFA,
                },
            },
        };

        constexpr int symbolCount(const HuffmanSpec& spec)
        {
            int n = 0;
            for (u8 c : spec.counts)
                n += c;
            return n;
        }

        static_assert(symbolCount(huffmanSpecs[0]) == 12 && symbolCount(huffmanSpecs[2]) == 12);
        static_assert(symbolCount(huffmanSpecs[1]) == 162 && symbolCount(huffmanSpecs[3]) == 162);

        // Code and length of every symbol (T.81 Annex C); AC symbols are run << 4 | size.
        struct HuffmanCodes
        {
            u16 code[256];
            u8 size[256];
        };

        constexpr HuffmanCodes buildCodes(const HuffmanSpec& spec)
        {
            HuffmanCodes codes {};
            u32 code = 0;
            int k = 0;
            for (int length = 1; length <= 16; ++length)
            {
                for (int i = 0; i < spec.counts[length - 1]; ++i)
                {
                    codes.code[spec.symbols[k]] = u16(code++);
                    codes.size[spec.symbols[k]] = u8(length);
                    ++k;
                }
                code <<= 1;
            }
            return codes;
        }

        constexpr HuffmanCodes huffmanCodes[4] =
        {
            buildCodes(huffmanSpecs[0]),
            buildCodes(huffmanSpecs[1]),
            buildCodes(huffmanSpecs[2]),
            buildCodes(huffmanSpecs[3]),
        };

        // The four DHT segments as written: DC 0, AC 0, DC 1, AC 1.
        constexpr int dhtBlockSize = 432;

        constexpr std::array<u8, dhtBlockSize> buildDHT()
        {
            std::array<u8, dhtBlockSize> block {};
            const u8 classes[4] = { 0x00, 0x10, 0x01, 0x11 };
            size_t p = 0;
            for (int t = 0; t < 4; ++t)
            {
                const int n = symbolCount(huffmanSpecs[t]);
                const int length = 2 + 1 + 16 + n;
                block[p++] = 0xFF;
                block[p++] = 0xC4;
                block[p++] = u8(length >> 8);
                block[p++] = u8(length);
                block[p++] = classes[t];
                for (u8 c : huffmanSpecs[t].counts)
                    block[p++] = c;
                for (int i = 0; i < n; ++i)
                    block[p++] = huffmanSpecs[t].symbols[i];
            }
            return block;
        }

        constexpr std::array<u8, dhtBlockSize> dhtBlock = buildDHT();

        // zig-zag position of each natural index
        constexpr std::array<u8, 64> buildZigzagPosition()
        {
            std::array<u8, 64> position {};
            for (int k = 0; k < 64; ++k)
                position[zigzagTable[k]] = u8(k);
            return position;
        }

        constexpr std::array<u8, 64> zigzagPosition = buildZigzagPosition();

        // A natural-order mask to zig-zag order one byte at a time: for the eight natural
        // indices 8b..8b+7 and each pattern of them, the bits of their zig-zag positions.
        struct ZigzagMaskTable
        {
            u64 bits[8][256];
        };

        constexpr ZigzagMaskTable buildZigzagMaskTable()
        {
            ZigzagMaskTable table {};
            for (int b = 0; b < 8; ++b)
            {
                for (int pattern = 0; pattern < 256; ++pattern)
                {
                    u64 bits = 0;
                    for (int j = 0; j < 8; ++j)
                    {
                        if (pattern & (1 << j))
                            bits |= u64(1) << zigzagPosition[b * 8 + j];
                    }
                    table.bits[b][pattern] = bits;
                }
            }
            return table;
        }

        constexpr ZigzagMaskTable zigzagMaskTable = buildZigzagMaskTable();

        inline u64 toZigzagMask(u64 natural)
        {
            u64 mask = 0;
            for (int b = 0; b < 8; ++b)
                mask |= zigzagMaskTable.bits[b][(natural >> (b * 8)) & 0xFF];
            return mask;
        }

        // ------------------------------------------------------------------
        // bit writer
        // ------------------------------------------------------------------

        struct BitWriter
        {
            u64 data = 0;       // filled from the top bit
            int free = 64;      // bits still free at the bottom
            s32 lastDC[3] = {};
        };

        // Eight bytes from the top of data; a 0xFF byte is followed by a stuffed 0x00.
        inline u8* writeBytes(u8* p, u64 data)
        {
            // any byte 0xFF <=> any byte of ~data zero
            const u64 inverse = ~data;
            if (((inverse - 0x0101010101010101ull) & data & 0x8080808080808080ull) == 0)
            {
                storeBE64(p, data);
                return p + 8;
            }
            for (int i = 0; i < 8; ++i)
            {
                const u8 byte = u8(data >> (56 - i * 8));
                *p++ = byte;
                if (byte == 0xFF)
                    *p++ = 0;
            }
            return p;
        }

        // count (1..32) low bits of bits, which has no others
        inline u8* flushBits(BitWriter& writer, u8* p, u64 bits, int count)
        {
            if (count < writer.free)
            {
                writer.free -= count;
                writer.data |= bits << writer.free;
                return p;
            }
            const int rest = count - writer.free;
            writer.data |= bits >> rest;
            p = writeBytes(p, writer.data);
            writer.free = 64 - rest;
            writer.data = rest ? bits << writer.free : 0;
            return p;
        }

        // The used bits rounded up to whole bytes; the padding bits are 0.
        inline u8* finishBits(BitWriter& writer, u8* p)
        {
            const int bytes = (64 - writer.free + 7) >> 3;
            for (int i = 0; i < bytes; ++i)
            {
                const u8 byte = u8(writer.data >> (56 - i * 8));
                *p++ = byte;
                if (byte == 0xFF)
                    *p++ = 0;
            }
            writer.data = 0;
            writer.free = 64;
            return p;
        }

        // The size category of v and its extra bits (v - 1 for a negative v, low bits).
        struct Magnitude
        {
            int size;
            u32 bits;
        };

        constexpr Magnitude magnitude(s32 v)
        {
            const s32 sign = v >> 31;
            const u32 absolute = u32((v ^ sign) - sign);
            const int size = std::bit_width(absolute);
            return { size, u32(v + sign) & ((1u << size) - 1) };
        }

        // AC coefficients of 8-bit samples, quantised by at least 2, stay far inside
        // -1024..1023 (the transform's AC output is below 1200 in magnitude): their size
        // and extra bits come from one table, bits | size << 16.
        constexpr int magnitudeLimit = 1024;

        struct MagnitudeTable
        {
            u32 entry[2 * magnitudeLimit];
        };

        constexpr MagnitudeTable buildMagnitudeTable()
        {
            MagnitudeTable table {};
            for (int v = -magnitudeLimit; v < magnitudeLimit; ++v)
            {
                const Magnitude m = magnitude(v);
                table.entry[v + magnitudeLimit] = m.bits | u32(m.size) << 16;
            }
            return table;
        }

        constexpr MagnitudeTable magnitudeTable = buildMagnitudeTable();

        inline Magnitude acMagnitude(s32 v)
        {
            if (u32(v + magnitudeLimit) < u32(2 * magnitudeLimit))
            {
                const u32 entry = magnitudeTable.entry[v + magnitudeLimit];
                return { int(entry >> 16), entry & 0xFFFF };
            }
            return magnitude(v);
        }

        inline u8* huffmanEncodeBlock(BitWriter& writer, u8* p, int component, const s16* block, u64 nonzero)
        {
            const HuffmanCodes& dc = huffmanCodes[component ? 2 : 0];
            const HuffmanCodes& ac = huffmanCodes[component ? 3 : 1];

            const s32 diff = block[0] - writer.lastDC[component];
            writer.lastDC[component] = block[0];
            const Magnitude d = magnitude(diff);
            p = flushBits(writer, p, (u64(dc.code[d.size]) << d.size) | d.bits, dc.size[d.size] + d.size);

            u64 mask = toZigzagMask(nonzero) & ~u64(1);
            int last = 0;
            while (mask)
            {
                const int k = std::countr_zero(mask);
                mask &= mask - 1;
                int run = k - last - 1;
                last = k;
                while (run > 15)
                {
                    p = flushBits(writer, p, ac.code[0xF0], ac.size[0xF0]);
                    run -= 16;
                }
                const Magnitude m = acMagnitude(block[zigzagTable[k]]);
                const int symbol = (run << 4) | m.size;
                p = flushBits(writer, p, (u64(ac.code[symbol]) << m.size) | m.bits, ac.size[symbol] + m.size);
            }
            if (last != 63)
                p = flushBits(writer, p, ac.code[0x00], ac.size[0x00]);
            return p;
        }

        // ------------------------------------------------------------------
        // generic block readers
        // ------------------------------------------------------------------

        template <int Bytes, int Red, int Green, int Blue>
        void readColorBlock(s16* planes, const u8* image, ptrdiff_t stride, int columns, int rows)
        {
            for (int y = 0; y < 8; ++y)
            {
                const u8* row = image + std::min(y, rows - 1) * stride;
                for (int x = 0; x < 8; ++x)
                {
                    const u8* pixel = row + std::min(x, columns - 1) * Bytes;
                    const s32 r = pixel[Red];
                    const s32 g = pixel[Green];
                    const s32 b = pixel[Blue];
                    const s32 luma = (76 * r + 151 * g + 29 * b) >> 8;
                    planes[y * 8 + x] = s16(luma - 128);
                    planes[64 + y * 8 + x] = s16(((b - luma) * 9) >> 4);
                    planes[128 + y * 8 + x] = s16(((r - luma) * 182) >> 8);
                }
            }
        }

        // ------------------------------------------------------------------
        // markers
        // ------------------------------------------------------------------

        void putMarker(Buffer& out, u8 marker, u16 length)
        {
            u8 head[4] = { 0xFF, marker };
            storeBE16(head + 2, length);
            out.append(head, 4);
        }

        void putByte(Buffer& out, u8 value)
        {
            out.append(&value, 1);
        }

        // What the output stream threw, told apart from the encoder's own failures.
        struct StreamError
        {
            std::string message;
        };

        void write(Stream& stream, const void* data, u64 bytes)
        {
            try
            {
                stream.write(data, bytes);
            }
            catch (const std::exception& e)
            {
                throw StreamError { e.what() };
            }
        }

    } // namespace

    void readBlockY(s16* planes, const u8* image, ptrdiff_t stride, int columns, int rows)
    {
        for (int y = 0; y < 8; ++y)
        {
            const u8* row = image + std::min(y, rows - 1) * stride;
            for (int x = 0; x < 8; ++x)
                planes[y * 8 + x] = s16(row[std::min(x, columns - 1)] - 128);
        }
    }

    void readBlockBGR(s16* planes, const u8* image, ptrdiff_t stride, int columns, int rows)
    {
        readColorBlock<3, 2, 1, 0>(planes, image, stride, columns, rows);
    }

    void readBlockRGB(s16* planes, const u8* image, ptrdiff_t stride, int columns, int rows)
    {
        readColorBlock<3, 0, 1, 2>(planes, image, stride, columns, rows);
    }

    void readBlockBGRA(s16* planes, const u8* image, ptrdiff_t stride, int columns, int rows)
    {
        readColorBlock<4, 2, 1, 0>(planes, image, stride, columns, rows);
    }

    void readBlockRGBA(s16* planes, const u8* image, ptrdiff_t stride, int columns, int rows)
    {
        readColorBlock<4, 0, 1, 2>(planes, image, stride, columns, rows);
    }

    EncoderKernels selectEncoderKernels(Sample sample, CPUFlags flags)
    {
        EncoderKernels kernels;
        const bool sse2 = (flags & CPU_SSE2) != 0;
        kernels.fdct = sse2 ? fdctSSE2 : fdctInteger;
        kernels.dctName = sse2 ? "SSE2 DCT" : "integer DCT";

        switch (sample)
        {
            case JPEG_U8_Y:
                kernels.generic = readBlockY;
                if (sse2)
                {
                    kernels.fast = readBlockY_SSE2;
                    kernels.readerName = "SSE2 Y 8x8";
                }
                break;
            case JPEG_U8_BGR:
                kernels.generic = readBlockBGR;
                break;
            case JPEG_U8_RGB:
                kernels.generic = readBlockRGB;
                break;
            case JPEG_U8_BGRA:
                kernels.generic = readBlockBGRA;
                if (sse2)
                {
                    kernels.fast = readBlockBGRA_SSE2;
                    kernels.readerName = "SSE2 BGRA 8x8";
                }
                break;
            case JPEG_U8_RGBA:
            default:
                kernels.generic = readBlockRGBA;
                if (sse2)
                {
                    kernels.fast = readBlockRGBA_SSE2;
                    kernels.readerName = "SSE2 RGBA 8x8";
                }
                break;
        }
        if (!kernels.fast)
            kernels.fast = kernels.generic;
        return kernels;
    }

    int qualityScale(float quality)
    {
        // a NaN quality takes the finest tables rather than an undefined conversion
        float t = 1.0f - quality;
        t = t > 0.0f ? std::min(t, 1.0f) : 0.0f;
        t += 1.0f;
        const float t2 = t * t;
        const float t5 = t2 * t2 * t;
        return int(t5 * t5 * (8.0f * t));
    }

    // ----------------------------------------------------------------------
    // Encoder
    // ----------------------------------------------------------------------

    struct Encoder::Row
    {
        Buffer data;
        std::atomic<bool> done { false };
        bool failed = false;
    };

    Encoder::Encoder(Sample sample, int width, int height, ptrdiff_t stride, float quality, CPUFlags flags)
        : m_width(width)
        , m_height(height)
        , m_stride(stride)
        , m_components(sample == JPEG_U8_Y ? 1 : 3)
        , m_mcusPerRow((width + 7) >> 3)
        , m_mcuRows((height + 7) >> 3)
        , m_lastMcuWidth(width - ((width + 7) & ~7) + 8)
        , m_lastMcuHeight(height - ((height + 7) & ~7) + 8)
        , m_mcuStep(color::bytesPerPixel(sample) * 8)
        , m_kernels(selectEncoderKernels(sample, flags))
    {
        setQuality(qualityScale(quality));
    }

    void Encoder::setQuality(int scale)
    {
        for (int table = 0; table < 2; ++table)
        {
            for (int i = 0; i < 64; ++i)
            {
                const int q = std::clamp((baseQuantization[table][i] * scale + 512) >> 10, 2, 255);
                m_dqt[table][zigzagPosition[i]] = u8(q);
                m_reciprocal[table][i] = u16(32768 / q);
            }
        }
    }

    std::string Encoder::info() const
    {
        std::string text = std::string("JPEG Encoder: ") + m_kernels.dctName;
        if (*m_kernels.readerName)
            text += std::string(" ") + m_kernels.readerName;
        return text;
    }

    void Encoder::writeMarkers(Stream& stream) const
    {
        Buffer out;

        const u8 soi[2] = { 0xFF, 0xD8 };
        out.append(soi, 2);

        for (int table = 0; table < 2; ++table)
        {
            putMarker(out, 0xDB, 67);
            putByte(out, u8(table));
            out.append(m_dqt[table], 64);
        }

        putMarker(out, 0xC0, u16(8 + 3 * m_components));
        putByte(out, 8);
        u8 size[4];
        storeBE16(size + 0, u16(m_height));
        storeBE16(size + 2, u16(m_width));
        out.append(size, 4);
        putByte(out, u8(m_components));
        for (int c = 0; c < m_components; ++c)
        {
            const u8 component[3] = { u8(c + 1), 0x11, u8(c ? 1 : 0) };
            out.append(component, 3);
        }

        out.append(dhtBlock.data(), dhtBlock.size());

        putMarker(out, 0xDD, 4);
        u8 interval[2];
        storeBE16(interval, u16(m_mcusPerRow));
        out.append(interval, 2);

        putMarker(out, 0xDA, u16(6 + 2 * m_components));
        putByte(out, u8(m_components));
        for (int c = 0; c < m_components; ++c)
        {
            const u8 selector[2] = { u8(c + 1), u8(c ? 0x11 : 0x00) };
            out.append(selector, 2);
        }
        const u8 spectral[3] = { 0, 63, 0 };
        out.append(spectral, 3);

        write(stream, out.data(), out.size());
    }

    void Encoder::encodeRow(Row& row, const u8* image, int y) const
    {
        // one MCU codes to at most 3 x 448 bytes (26-bit codes, every byte stuffed): the
        // area never overflows between two checks
        constexpr size_t threshold = 1536;
        alignas(64) u8 area[threshold + 3 * 512];
        alignas(64) s16 planes[3 * 64];
        alignas(64) s16 block[64];

        const bool lastRow = y == m_mcuRows - 1;
        const int rows = lastRow ? m_lastMcuHeight : 8;
        const u8* source = image + ptrdiff_t(y) * 8 * m_stride;

        BitWriter writer;
        u8* p = area;
        for (int x = 0; x < m_mcusPerRow; ++x)
        {
            const bool lastColumn = x == m_mcusPerRow - 1;
            const int columns = lastColumn ? m_lastMcuWidth : 8;
            const ReadBlockFunc read = lastRow || lastColumn ? m_kernels.generic : m_kernels.fast;
            read(planes, source + ptrdiff_t(x) * m_mcuStep, m_stride, columns, rows);

            for (int c = 0; c < m_components; ++c)
            {
                const u64 nonzero = m_kernels.fdct(block, planes + c * 64, m_reciprocal[c ? 1 : 0]);
                p = huffmanEncodeBlock(writer, p, c, block, nonzero);
            }
            if (size_t(p - area) > threshold)
            {
                row.data.append(area, u64(p - area));
                p = area;
            }
        }
        p = finishBits(writer, p);
        row.data.append(area, u64(p - area));
    }

    void Encoder::encode(Stream& stream, const u8* image, const EncodeSettings& settings)
    {
        std::unique_ptr<Row[]> rows(new Row[size_t(m_mcuRows)]);

        auto writeRow = [&](int y) {
            Row& row = rows[size_t(y)];
            if (row.failed)
                throw std::bad_alloc();
            const u8 marker[2] = { 0xFF, u8(0xD0 + (y & 7)) };
            write(stream, row.data.data(), row.data.size());
            write(stream, marker, 2);
            row.data.reset();
        };

        if (settings.serial)
        {
            writeMarkers(stream);
            for (int y = 0; y < m_mcuRows; ++y)
            {
                encodeRow(rows[size_t(y)], image, y);
                writeRow(y);
            }
        }
        else
        {
            std::atomic<bool> cancel { false };
            TaskQueue queue(settings.pool ? *settings.pool : ThreadPool::getInstance(), "concurrent.default", 1);

            // when the caller leaves early (a stream error) the rows not started are skipped;
            // the queue then waits for the running ones before the rows go away
            struct CancelOnExit
            {
                std::atomic<bool>& cancel;
                ~CancelOnExit() { cancel.store(true, std::memory_order_relaxed); }
            } cancelOnExit { cancel };

            for (int y = 0; y < m_mcuRows; ++y)
            {
                queue.enqueue([this, &rows, &cancel, image, y] {
                    Row& row = rows[size_t(y)];
                    if (!cancel.load(std::memory_order_relaxed))
                    {
                        try
                        {
                            encodeRow(row, image, y);
                        }
                        catch (...)
                        {
                            row.failed = true;
                        }
                    }
                    row.done.store(true, std::memory_order_release);
                });
            }

            writeMarkers(stream);

            for (int y = 0; y < m_mcuRows; ++y)
            {
                while (!rows[size_t(y)].done.load(std::memory_order_acquire))
                {
                    if (!queue.dequeueAndRun())
                        std::this_thread::yield();
                }
                writeRow(y);
            }
        }

        const u8 eoi[2] = { 0xFF, 0xD9 };
        write(stream, eoi, 2);
    }

    // ----------------------------------------------------------------------
    // entry points
    // ----------------------------------------------------------------------

    ImageEncodeStatus encodeImage(Stream& stream, const Surface& surface, float quality, const EncodeSettings& settings)
    {
        ImageEncodeStatus status;

        // SOF0 stores both sizes in 16 bits, and a zero size is no image
        if (surface.width <= 0 || surface.height <= 0 || surface.width > 65535 || surface.height > 65535)
        {
            status.setError("Incorrect dimensions (%d x %d)", surface.width, surface.height);
            return status;
        }
        if (!surface.image)
        {
            status.setError("No image data");
            return status;
        }

        const SampleFormat sample = getSampleFormat(surface.format);
        try
        {
            std::unique_ptr<Bitmap> temporary;
            const Surface* source = &surface;
            if (!(sample.format == surface.format))
            {
                if (u64(surface.width) * u64(surface.height) * u64(sample.format.bytes()) > Bitmap::maxBytes)
                {
                    status.setError("Out of memory");
                    return status;
                }
                temporary = std::make_unique<Bitmap>(surface.width, surface.height, sample.format);
                if (!temporary->blit(0, 0, surface))
                {
                    status.setError("Unsupported source format");
                    return status;
                }
                source = temporary.get();
            }

            Encoder encoder(sample.sample, source->width, source->height, source->stride, quality, settings.flags);
            encoder.encode(stream, source->image, settings);
            status.info = encoder.info();
        }
        catch (const StreamError& e)
        {
            status.setError("Stream write failed (%s)", e.message.c_str());
        }
        catch (const std::bad_alloc&)
        {
            status.setError("Out of memory");
        }
        catch (const norva::Exception&)
        {
            // the library's allocations report failure this way
            status.setError("Out of memory");
        }
        catch (const std::exception& e)
        {
            status.setError("%s", e.what());
        }
        return status;
    }

    ImageEncodeStatus encodeImage(Stream& stream, const Surface& surface, float quality)
    {
        return encodeImage(stream, surface, quality, EncodeSettings());
    }

} // namespace norva::jpeg
