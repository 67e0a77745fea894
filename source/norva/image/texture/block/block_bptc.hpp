#pragma once

// Tables the BPTC (BC6H and BC7) codecs share: interpolation weights, the 64 partition
// shapes of two and three regions and their anchor texels. Texels are numbered row by row.

#include <array>
#include <cstddef>
#include <cstring>

#include <norva/core/configure.hpp>

namespace norva
{
    inline constexpr int bptcWeights2[4] = { 0, 21, 43, 64 };
    inline constexpr int bptcWeights3[8] = { 0, 9, 18, 27, 37, 46, 55, 64 };
    inline constexpr int bptcWeights4[16] = { 0, 4, 9, 13, 17, 21, 26, 30, 34, 38, 43, 47, 51, 55, 60, 64 };

    namespace detail
    {
        // one bit per texel: set for region 1
        inline constexpr u16 bptcShapes2[64] = {
            0xCCCC, 0x8888, 0xEEEE, 0xECC8, 0xC880, 0xFEEC, 0xFEC8, 0xEC80,
            0xC800, 0xFFEC, 0xFE80, 0xE800, 0xFFE8, 0xFF00, 0xFFF0, 0xF000,
            0xF710, 0x008E, 0x7100, 0x08CE, 0x008C, 0x7310, 0x3100, 0x8CCE,
            0x088C, 0x3110, 0x6666, 0x366C, 0x17E8, 0x0FF0, 0x718E, 0x399C,
            0xAAAA, 0xF0F0, 0x5A5A, 0x33CC, 0x3C3C, 0x55AA, 0x9696, 0xA55A,
            0x73CE, 0x13C8, 0x324C, 0x3BDC, 0x6996, 0xC33C, 0x9966, 0x0660,
            0x0272, 0x04E4, 0x4E40, 0x2720, 0xC936, 0x936C, 0x39C6, 0x639C,
            0x9336, 0x9CC6, 0x817E, 0xE718, 0xCCF0, 0x0FCC, 0x7744, 0xEE22,
        };

        // two bits per texel: the region
        inline constexpr u32 bptcShapes3[64] = {
            0xAA685050, 0x6A5A5040, 0x5A5A4200, 0x5450A0A8, 0xA5A50000, 0xA0A05050, 0x5555A0A0, 0x5A5A5050,
            0xAA550000, 0xAA555500, 0xAAAA5500, 0x90909090, 0x94949494, 0xA4A4A4A4, 0xA9A59450, 0x2A0A4250,
            0xA5945040, 0x0A425054, 0xA5A5A500, 0x55A0A0A0, 0xA8A85454, 0x6A6A4040, 0xA4A45000, 0x1A1A0500,
            0x0050A4A4, 0xAAA59090, 0x14696914, 0x69691400, 0xA08585A0, 0xAA821414, 0x50A4A450, 0x6A5A0200,
            0xA9A58000, 0x5090A0A8, 0xA8A09050, 0x24242424, 0x00AA5500, 0x24924924, 0x24499224, 0x50A50A50,
            0x500AA550, 0xAAAA4444, 0x66660000, 0xA5A0A5A0, 0x50A050A0, 0x69286928, 0x44AAAA44, 0x66666600,
            0xAA444444, 0x54A854A8, 0x95809580, 0x96969600, 0xA85454A8, 0x80959580, 0xAA141414, 0x96960000,
            0xAAAA1414, 0xA05050A0, 0xA0A5A5A0, 0x96000000, 0x40804080, 0xA9A8A9A8, 0xAAAAAA44, 0x2A4A5254,
        };

        constexpr std::array<std::array<std::array<u8, 16>, 64>, 3> makeBptcPartitions()
        {
            std::array<std::array<std::array<u8, 16>, 64>, 3> table {};
            for (int shape = 0; shape < 64; ++shape)
                for (int i = 0; i < 16; ++i)
                {
                    table[1][shape][i] = u8((bptcShapes2[shape] >> i) & 1);
                    table[2][shape][i] = u8((bptcShapes3[shape] >> (2 * i)) & 3);
                }
            return table;
        }
    } // namespace detail

    // [regions - 1][shape][texel] -> region
    inline constexpr auto bptcPartitions = detail::makeBptcPartitions();

    // The anchor of region 1 of the two-region shapes, and of regions 1 and 2 of the
    // three-region shapes; region 0's anchor is texel 0.
    inline constexpr u8 bptcAnchor2[64] = {
        15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15,
        15, 2, 8, 2, 2, 8, 8, 15, 2, 8, 2, 2, 8, 8, 2, 2,
        15, 15, 6, 8, 2, 8, 15, 15, 2, 8, 2, 2, 2, 15, 15, 6,
        6, 2, 6, 8, 15, 15, 2, 2, 15, 15, 15, 15, 15, 2, 2, 15,
    };

    inline constexpr u8 bptcAnchor3a[64] = {
        3, 3, 15, 15, 8, 3, 15, 15, 8, 8, 6, 6, 6, 5, 3, 3,
        3, 3, 8, 15, 3, 3, 6, 10, 5, 8, 8, 6, 8, 5, 15, 15,
        8, 15, 3, 5, 6, 10, 8, 15, 15, 3, 15, 5, 15, 15, 15, 15,
        3, 15, 5, 5, 5, 8, 5, 10, 5, 10, 8, 13, 15, 12, 3, 3,
    };

    inline constexpr u8 bptcAnchor3b[64] = {
        15, 8, 8, 3, 15, 15, 3, 8, 15, 15, 15, 15, 15, 15, 15, 8,
        15, 8, 15, 3, 15, 8, 15, 8, 3, 15, 6, 10, 15, 15, 10, 8,
        15, 3, 15, 10, 10, 8, 9, 10, 6, 15, 8, 15, 3, 6, 6, 8,
        15, 3, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 3, 15, 15, 8,
    };

    // Whether texel i stores its index with one bit less.
    constexpr bool bptcIsAnchor(int regions, int shape, int i)
    {
        if (i == 0)
            return true;
        if (regions == 2)
            return i == bptcAnchor2[shape];
        if (regions == 3)
            return i == bptcAnchor3a[shape] || i == bptcAnchor3b[shape];
        return false;
    }

    // Mode tables and the endpoint arithmetic the decoders and encoders share.
    namespace bptc
    {
        enum BC6HField : u8
        {
            END = 0, D = 2, RW, RX, RY, RZ, GW, GX, GY, GZ, BW, BX, BY, BZ
        };

        // A run of header bits: stream bits go to bits `from` .. `to` of the field, in that
        // order (the high bits of modes 13 and 14 are stored reversed).
        struct BC6HRun
        {
            u8 field;
            u8 from;
            u8 to;
        };

        struct BC6HMode
        {
            int value;          // the mode bits (2 bits for rows 0 and 1, else 5)
            int regions;
            bool transformed;
            int indexBits;
            int precision[4][3]; // A0, B0, A1, B1 x R, G, B
            BC6HRun runs[32];
        };

        inline constexpr BC6HMode bc6hModes[14] = {
            { 0, 2, true, 3, { { 10, 10, 10 }, { 5, 5, 5 }, { 5, 5, 5 }, { 5, 5, 5 } },
              { { GY, 4, 4 }, { BY, 4, 4 }, { BZ, 4, 4 }, { RW, 0, 9 }, { GW, 0, 9 }, { BW, 0, 9 }, { RX, 0, 4 },
                { GZ, 4, 4 }, { GY, 0, 3 }, { GX, 0, 4 }, { BZ, 0, 0 }, { GZ, 0, 3 }, { BX, 0, 4 }, { BZ, 1, 1 },
                { BY, 0, 3 }, { RY, 0, 4 }, { BZ, 2, 2 }, { RZ, 0, 4 }, { BZ, 3, 3 }, { D, 0, 4 } } },
            { 1, 2, true, 3, { { 7, 7, 7 }, { 6, 6, 6 }, { 6, 6, 6 }, { 6, 6, 6 } },
              { { GY, 5, 5 }, { GZ, 4, 4 }, { GZ, 5, 5 }, { RW, 0, 6 }, { BZ, 0, 0 }, { BZ, 1, 1 }, { BY, 4, 4 },
                { GW, 0, 6 }, { BY, 5, 5 }, { BZ, 2, 2 }, { GY, 4, 4 }, { BW, 0, 6 }, { BZ, 3, 3 }, { BZ, 5, 5 },
                { BZ, 4, 4 }, { RX, 0, 5 }, { GY, 0, 3 }, { GX, 0, 5 }, { GZ, 0, 3 }, { BX, 0, 5 }, { BY, 0, 3 },
                { RY, 0, 5 }, { RZ, 0, 5 }, { D, 0, 4 } } },
            { 2, 2, true, 3, { { 11, 11, 11 }, { 5, 4, 4 }, { 5, 4, 4 }, { 5, 4, 4 } },
              { { RW, 0, 9 }, { GW, 0, 9 }, { BW, 0, 9 }, { RX, 0, 4 }, { RW, 10, 10 }, { GY, 0, 3 }, { GX, 0, 3 },
                { GW, 10, 10 }, { BZ, 0, 0 }, { GZ, 0, 3 }, { BX, 0, 3 }, { BW, 10, 10 }, { BZ, 1, 1 }, { BY, 0, 3 },
                { RY, 0, 4 }, { BZ, 2, 2 }, { RZ, 0, 4 }, { BZ, 3, 3 }, { D, 0, 4 } } },
            { 6, 2, true, 3, { { 11, 11, 11 }, { 4, 5, 4 }, { 4, 5, 4 }, { 4, 5, 4 } },
              { { RW, 0, 9 }, { GW, 0, 9 }, { BW, 0, 9 }, { RX, 0, 3 }, { RW, 10, 10 }, { GZ, 4, 4 }, { GY, 0, 3 },
                { GX, 0, 4 }, { GW, 10, 10 }, { GZ, 0, 3 }, { BX, 0, 3 }, { BW, 10, 10 }, { BZ, 1, 1 }, { BY, 0, 3 },
                { RY, 0, 3 }, { BZ, 0, 0 }, { BZ, 2, 2 }, { RZ, 0, 3 }, { GY, 4, 4 }, { BZ, 3, 3 }, { D, 0, 4 } } },
            { 10, 2, true, 3, { { 11, 11, 11 }, { 4, 4, 5 }, { 4, 4, 5 }, { 4, 4, 5 } },
              { { RW, 0, 9 }, { GW, 0, 9 }, { BW, 0, 9 }, { RX, 0, 3 }, { RW, 10, 10 }, { BY, 4, 4 }, { GY, 0, 3 },
                { GX, 0, 3 }, { GW, 10, 10 }, { BZ, 0, 0 }, { GZ, 0, 3 }, { BX, 0, 4 }, { BW, 10, 10 }, { BY, 0, 3 },
                { RY, 0, 3 }, { BZ, 1, 1 }, { BZ, 2, 2 }, { RZ, 0, 3 }, { BZ, 4, 4 }, { BZ, 3, 3 }, { D, 0, 4 } } },
            { 14, 2, true, 3, { { 9, 9, 9 }, { 5, 5, 5 }, { 5, 5, 5 }, { 5, 5, 5 } },
              { { RW, 0, 8 }, { BY, 4, 4 }, { GW, 0, 8 }, { GY, 4, 4 }, { BW, 0, 8 }, { BZ, 4, 4 }, { RX, 0, 4 },
                { GZ, 4, 4 }, { GY, 0, 3 }, { GX, 0, 4 }, { BZ, 0, 0 }, { GZ, 0, 3 }, { BX, 0, 4 }, { BZ, 1, 1 },
                { BY, 0, 3 }, { RY, 0, 4 }, { BZ, 2, 2 }, { RZ, 0, 4 }, { BZ, 3, 3 }, { D, 0, 4 } } },
            { 18, 2, true, 3, { { 8, 8, 8 }, { 6, 5, 5 }, { 6, 5, 5 }, { 6, 5, 5 } },
              { { RW, 0, 7 }, { GZ, 4, 4 }, { BY, 4, 4 }, { GW, 0, 7 }, { BZ, 2, 2 }, { GY, 4, 4 }, { BW, 0, 7 },
                { BZ, 3, 3 }, { BZ, 4, 4 }, { RX, 0, 5 }, { GY, 0, 3 }, { GX, 0, 4 }, { BZ, 0, 0 }, { GZ, 0, 3 },
                { BX, 0, 4 }, { BZ, 1, 1 }, { BY, 0, 3 }, { RY, 0, 5 }, { RZ, 0, 5 }, { D, 0, 4 } } },
            { 22, 2, true, 3, { { 8, 8, 8 }, { 5, 6, 5 }, { 5, 6, 5 }, { 5, 6, 5 } },
              { { RW, 0, 7 }, { BZ, 0, 0 }, { BY, 4, 4 }, { GW, 0, 7 }, { GY, 5, 5 }, { GY, 4, 4 }, { BW, 0, 7 },
                { GZ, 5, 5 }, { BZ, 4, 4 }, { RX, 0, 4 }, { GZ, 4, 4 }, { GY, 0, 3 }, { GX, 0, 5 }, { GZ, 0, 3 },
                { BX, 0, 4 }, { BZ, 1, 1 }, { BY, 0, 3 }, { RY, 0, 4 }, { BZ, 2, 2 }, { RZ, 0, 4 }, { BZ, 3, 3 },
                { D, 0, 4 } } },
            { 26, 2, true, 3, { { 8, 8, 8 }, { 5, 5, 6 }, { 5, 5, 6 }, { 5, 5, 6 } },
              { { RW, 0, 7 }, { BZ, 1, 1 }, { BY, 4, 4 }, { GW, 0, 7 }, { BY, 5, 5 }, { GY, 4, 4 }, { BW, 0, 7 },
                { BZ, 5, 5 }, { BZ, 4, 4 }, { RX, 0, 4 }, { GZ, 4, 4 }, { GY, 0, 3 }, { GX, 0, 4 }, { BZ, 0, 0 },
                { GZ, 0, 3 }, { BX, 0, 5 }, { BY, 0, 3 }, { RY, 0, 4 }, { BZ, 2, 2 }, { RZ, 0, 4 }, { BZ, 3, 3 },
                { D, 0, 4 } } },
            { 30, 2, false, 3, { { 6, 6, 6 }, { 6, 6, 6 }, { 6, 6, 6 }, { 6, 6, 6 } },
              { { RW, 0, 5 }, { GZ, 4, 4 }, { BZ, 0, 0 }, { BZ, 1, 1 }, { BY, 4, 4 }, { GW, 0, 5 }, { GY, 5, 5 },
                { BY, 5, 5 }, { BZ, 2, 2 }, { GY, 4, 4 }, { BW, 0, 5 }, { GZ, 5, 5 }, { BZ, 3, 3 }, { BZ, 5, 5 },
                { BZ, 4, 4 }, { RX, 0, 5 }, { GY, 0, 3 }, { GX, 0, 5 }, { GZ, 0, 3 }, { BX, 0, 5 }, { BY, 0, 3 },
                { RY, 0, 5 }, { RZ, 0, 5 }, { D, 0, 4 } } },
            { 3, 1, false, 4, { { 10, 10, 10 }, { 10, 10, 10 }, {}, {} },
              { { RW, 0, 9 }, { GW, 0, 9 }, { BW, 0, 9 }, { RX, 0, 9 }, { GX, 0, 9 }, { BX, 0, 9 } } },
            { 7, 1, true, 4, { { 11, 11, 11 }, { 9, 9, 9 }, {}, {} },
              { { RW, 0, 9 }, { GW, 0, 9 }, { BW, 0, 9 }, { RX, 0, 8 }, { RW, 10, 10 }, { GX, 0, 8 }, { GW, 10, 10 },
                { BX, 0, 8 }, { BW, 10, 10 } } },
            { 11, 1, true, 4, { { 12, 12, 12 }, { 8, 8, 8 }, {}, {} },
              { { RW, 0, 9 }, { GW, 0, 9 }, { BW, 0, 9 }, { RX, 0, 7 }, { RW, 11, 10 }, { GX, 0, 7 }, { GW, 11, 10 },
                { BX, 0, 7 }, { BW, 11, 10 } } },
            { 15, 1, true, 4, { { 16, 16, 16 }, { 4, 4, 4 }, {}, {} },
              { { RW, 0, 9 }, { GW, 0, 9 }, { BW, 0, 9 }, { RX, 0, 3 }, { RW, 15, 10 }, { GX, 0, 3 }, { GW, 15, 10 },
                { BX, 0, 3 }, { BW, 15, 10 } } },
        };

        // mode value (2 bits, or 5 when the low two are 2 or 3) -> row of bc6hModes, -1 reserved
        inline constexpr s8 bc6hModeRows[32] = {
            0, 1, 2, 10, 0, 1, 3, 11, 0, 1, 4, 12, 0, 1, 5, 13,
            0, 1, 6, -1, 0, 1, 7, -1, 0, 1, 8, -1, 0, 1, 9, -1,
        };

        inline int signExtendEndpoint(int value, int bits)
        {
            const int shift = 32 - bits;
            return int(u32(value) << shift) >> shift;
        }

        // An endpoint component of the given precision to the 16-bit range the interpolation
        // works in (signed: sign and magnitude, the magnitude up to 0x7FFF).
        inline int unquantizeBC6H(int value, int precision, bool isSigned)
        {
            if (!isSigned)
            {
                if (precision >= 15 || value == 0)
                    return value;
                if (value == (1 << precision) - 1)
                    return 0xFFFF;
                return ((value << 16) + 0x8000) >> precision;
            }
            if (precision >= 16)
                return value;
            const bool negative = value < 0;
            int m = negative ? -value : value;
            if (m == 0)
                return 0;
            if (m >= (1 << (precision - 1)) - 1)
                m = 0x7FFF;
            else
                m = ((m << 15) + 0x4000) >> (precision - 1);
            return negative ? -m : m;
        }

        // The interpolated 16-bit value as the half's bits: unsigned as they are; signed in
        // two's complement, the magnitude scaled toward zero as Direct3D does.
        inline int finishBC6H(int value, bool isSigned)
        {
            if (!isSigned)
                return (value * 31) >> 6;
            return value < 0 ? -(((-value) * 31) >> 5) : (value * 31) >> 5;
        }

        struct BC7Mode
        {
            int regions;        // 1..3
            int partitionBits;
            int pbits;          // 0, per endpoint (regions * 2), or shared per region (mode 1)
            bool sharedPBit;
            int rotationBits;
            int selectionBits;
            int indexBits;
            int secondIndexBits;
            int colorBits;
            int alphaBits;
        };

        inline constexpr BC7Mode bc7Modes[8] = {
            { 3, 4, 6, false, 0, 0, 3, 0, 4, 0 },
            { 2, 6, 2, true, 0, 0, 3, 0, 6, 0 },
            { 3, 6, 0, false, 0, 0, 2, 0, 5, 0 },
            { 2, 6, 4, false, 0, 0, 2, 0, 7, 0 },
            { 1, 0, 0, false, 2, 1, 2, 3, 5, 6 },
            { 1, 0, 0, false, 2, 0, 2, 2, 7, 8 },
            { 1, 0, 2, false, 0, 0, 4, 0, 7, 7 },
            { 2, 6, 4, false, 0, 0, 2, 0, 5, 5 },
        };

        // A component of `precision` bits (p-bit included) to 8 bits, the top bits repeated.
        constexpr int expandBC7(int value, int precision)
        {
            value <<= 8 - precision;
            return value | (value >> precision);
        }

        inline const int* weightsFor(int bits)
        {
            return bits == 2 ? bptcWeights2 : bits == 3 ? bptcWeights3 : bptcWeights4;
        }

        inline int interpolate(int a, int b, int weight)
        {
            return (a * (64 - weight) + b * weight + 32) >> 6;
        }


        // Writes the low `count` bits of value at the running bit position of a 16-byte
        // block, least significant bit first; the block starts zeroed.
        inline void setBlockBits(u8* block, int& position, int count, u32 value)
        {
            const u32 mask = count >= 32 ? ~0u : (1u << count) - 1;
            int byte = position >> 3;
            for (u64 bits = u64(value & mask) << (position & 7); bits; bits >>= 8)
                block[byte++] |= u8(bits);
            position += count;
        }
    } // namespace bptc

    // Reserved and damaged blocks: every texel (0, 0, 0, 1), four floats.
    inline void bptcWriteErrorColour(u8* dest, s32 stride)
    {
        const float texel[4] = { 0.0f, 0.0f, 0.0f, 1.0f };
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 4; ++x)
                std::memcpy(dest + std::ptrdiff_t(y) * stride + x * 16, texel, 16);
    }

} // namespace norva
