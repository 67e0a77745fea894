#pragma once

// Tables of the ASTC block decoder, built at compile time from the format's own rules: the
// 2048 two-dimensional block modes, the 21 integer-sequence ranges, the trit and quint
// digit tables and the unquantisation of colour values and weights.

#include <array>

#include <norva/core/configure.hpp>

namespace norva::astc
{
    // The integer-sequence ranges, 0..1 up to 0..255, as (bits, trits, quints).
    struct Range
    {
        u8 bits;
        u8 trits;
        u8 quints;
        u16 levels;
    };

    inline constexpr Range ranges[21] = {
        { 1, 0, 0, 2 },   { 0, 1, 0, 3 },   { 2, 0, 0, 4 },   { 0, 0, 1, 5 },   { 1, 1, 0, 6 },
        { 3, 0, 0, 8 },   { 1, 0, 1, 10 },  { 2, 1, 0, 12 },  { 4, 0, 0, 16 },  { 2, 0, 1, 20 },
        { 3, 1, 0, 24 },  { 5, 0, 0, 32 },  { 3, 0, 1, 40 },  { 4, 1, 0, 48 },  { 6, 0, 0, 64 },
        { 4, 0, 1, 80 },  { 5, 1, 0, 96 },  { 7, 0, 0, 128 }, { 5, 0, 1, 160 }, { 6, 1, 0, 192 },
        { 8, 0, 0, 256 },
    };

    // Bits that `count` values of range q take in an integer sequence.
    constexpr int iseBitCount(int q, int count)
    {
        const Range& r = ranges[q];
        return count * r.bits + (r.trits ? (8 * count + 4) / 5 : 0) + (r.quints ? (7 * count + 2) / 3 : 0);
    }

    // The five trits of each 8-bit trit block, two bits per digit (digit k at bit 2k).
    inline constexpr std::array<u16, 256> tritDigits = [] {
        std::array<u16, 256> table {};
        for (int t = 0; t < 256; ++t)
        {
            auto bit = [t](int i) { return (t >> i) & 1; };
            int c, t3, t4;
            if (((t >> 2) & 7) == 7)
            {
                c = (((t >> 5) & 7) << 2) | (t & 3);
                t4 = 2;
                t3 = 2;
            }
            else
            {
                c = t & 0x1F;
                if (((t >> 5) & 3) == 3)
                {
                    t4 = 2;
                    t3 = bit(7);
                }
                else
                {
                    t4 = bit(7);
                    t3 = (t >> 5) & 3;
                }
            }
            auto cbit = [c](int i) { return (c >> i) & 1; };
            int t0, t1, t2;
            if ((c & 3) == 3)
            {
                t2 = 2;
                t1 = cbit(4);
                t0 = (cbit(3) << 1) | (cbit(2) & ~cbit(3) & 1);
            }
            else if (((c >> 2) & 3) == 3)
            {
                t2 = 2;
                t1 = 2;
                t0 = c & 3;
            }
            else
            {
                t2 = cbit(4);
                t1 = (c >> 2) & 3;
                t0 = (cbit(1) << 1) | (cbit(0) & ~cbit(1) & 1);
            }
            table[t] = u16(t0 | (t1 << 2) | (t2 << 4) | (t3 << 6) | (t4 << 8));
        }
        return table;
    }();

    // The three quints of each 7-bit quint block, three bits per digit.
    inline constexpr std::array<u16, 128> quintDigits = [] {
        std::array<u16, 128> table {};
        for (int q = 0; q < 128; ++q)
        {
            auto bit = [q](int i) { return (q >> i) & 1; };
            int q0, q1, q2;
            if (((q >> 1) & 3) == 3 && ((q >> 5) & 3) == 0)
            {
                q2 = (bit(0) << 2) | ((bit(4) & ~bit(0) & 1) << 1) | (bit(3) & ~bit(0) & 1);
                q1 = 4;
                q0 = 4;
            }
            else
            {
                int c;
                if (((q >> 1) & 3) == 3)
                {
                    q2 = 4;
                    c = (((q >> 3) & 3) << 3) | ((~(q >> 5) & 3) << 1) | bit(0);
                }
                else
                {
                    q2 = (q >> 5) & 3;
                    c = q & 0x1F;
                }
                if ((c & 7) == 5)
                {
                    q1 = 4;
                    q0 = (c >> 3) & 3;
                }
                else
                {
                    q1 = (c >> 3) & 3;
                    q0 = c & 7;
                }
            }
            table[q] = u16(q0 | (q1 << 3) | (q2 << 6));
        }
        return table;
    }();

    // Unquantisation of an integer-sequence value v = (digit << bits) | m of range q.
    // Colour values become 0..255; weights 0..64.
    constexpr int unquantizeColor(int q, int v)
    {
        const Range& r = ranges[q];
        const int b = r.bits;
        if (!r.trits && !r.quints)
        {
            int value = v << (8 - b);
            for (int filled = b; filled < 8; filled += b)
                value |= value >> b;
            return value & 0xFF;
        }
        const int m = v & ((1 << b) - 1);
        const int digit = v >> b;
        const int A = (m & 1) ? 0x1FF : 0;
        auto bit = [m](int i) { return (m >> i) & 1; };
        const int bb = bit(1), c = bit(2), d = bit(3), e = bit(4), f = bit(5);
        int B = 0, C = 0;
        if (r.trits)
        {
            switch (b)
            {
            case 1: C = 204; break;
            case 2: C = 93; B = (bb << 8) | (bb << 4) | (bb << 2) | (bb << 1); break;
            case 3: C = 44; B = (c << 8) | (bb << 7) | (c << 3) | (bb << 2) | (c << 1) | bb; break;
            case 4: C = 22; B = (d << 8) | (c << 7) | (bb << 6) | (d << 2) | (c << 1) | bb; break;
            case 5: C = 11; B = (e << 8) | (d << 7) | (c << 6) | (bb << 5) | (e << 1) | d; break;
            case 6: C = 5; B = (f << 8) | (e << 7) | (d << 6) | (c << 5) | (bb << 4) | f; break;
            }
        }
        else
        {
            switch (b)
            {
            case 1: C = 113; break;
            case 2: C = 54; B = (bb << 8) | (bb << 3) | (bb << 2); break;
            case 3: C = 26; B = (c << 8) | (bb << 7) | (c << 2) | (bb << 1) | c; break;
            case 4: C = 13; B = (d << 8) | (c << 7) | (bb << 6) | (d << 1) | c; break;
            case 5: C = 6; B = (e << 8) | (d << 7) | (c << 6) | (bb << 5) | e; break;
            }
        }
        int t = digit * C + B;
        t ^= A;
        return (A & 0x80) | (t >> 2);
    }

    constexpr int unquantizeWeight(int q, int v)
    {
        const Range& r = ranges[q];
        const int b = r.bits;
        int result;
        if (!r.trits && !r.quints)
        {
            int value = v << (6 - b);
            for (int filled = b; filled < 6; filled += b)
                value |= value >> b;
            result = value & 0x3F;
        }
        else if (b == 0)
        {
            result = r.trits ? (v == 0 ? 0 : v == 1 ? 32 : 63) : (v * 16 - (v > 2 ? 1 : 0));
        }
        else
        {
            const int m = v & ((1 << b) - 1);
            const int digit = v >> b;
            const int A = (m & 1) ? 0x7F : 0;
            const int bb = (m >> 1) & 1, c = (m >> 2) & 1;
            int B = 0, C = 0;
            if (r.trits)
            {
                switch (b)
                {
                case 1: C = 50; break;
                case 2: C = 23; B = (bb << 6) | (bb << 2) | bb; break;
                case 3: C = 11; B = (c << 6) | (bb << 5) | (c << 1) | bb; break;
                }
            }
            else
            {
                switch (b)
                {
                case 1: C = 28; break;
                case 2: C = 13; B = (bb << 6) | (bb << 1); break;
                }
            }
            int t = digit * C + B;
            t ^= A;
            result = (A & 0x20) | (t >> 2);
        }
        return result > 32 ? result + 1 : result;
    }

    // Colour tables for the ranges 0..5 (q = 4) and up, in one array; offsets per range.
    inline constexpr std::array<u16, 21> colorTableOffsets = [] {
        std::array<u16, 21> offsets {};
        int offset = 0;
        for (int q = 0; q < 21; ++q)
        {
            offsets[q] = u16(offset);
            offset += ranges[q].levels;
        }
        return offsets;
    }();

    inline constexpr std::array<u8, 1280> colorUnquantized = [] {
        std::array<u8, 1280> table {};
        for (int q = 0; q < 21; ++q)
            for (int v = 0; v < ranges[q].levels; ++v)
                table[colorTableOffsets[q] + v] = u8(unquantizeColor(q, v));
        return table;
    }();

    // Weight ranges 0..11 (0..1 to 0..31), 32 entries each.
    inline constexpr std::array<std::array<u8, 32>, 12> weightUnquantized = [] {
        std::array<std::array<u8, 32>, 12> table {};
        for (int q = 0; q < 12; ++q)
            for (int v = 0; v < ranges[q].levels; ++v)
                table[q][v] = u8(unquantizeWeight(q, v));
        return table;
    }();

    // One 2D block mode (bits 0-10 of a block).
    struct BlockMode
    {
        u8 gridWidth;
        u8 gridHeight;
        u8 weightRange;  // index into ranges, 0..11
        u8 weightBits;   // integer-sequence bits of all weights
        u8 flags;
    };

    enum : u8
    {
        MODE_DUAL_PLANE = 1,
        MODE_ERROR = 2,        // reserved encoding, or more than 64 weights, or weight bits outside 24..96
        MODE_VOID_EXTENT = 4,
    };

    constexpr BlockMode decodeBlockMode(int mode)
    {
        BlockMode result {};
        auto bits = [mode](int low, int count) { return (mode >> low) & ((1 << count) - 1); };
        if ((mode & 0x1FF) == 0x1FC)
        {
            result.flags = MODE_VOID_EXTENT;
            return result;
        }
        int w = 0, h = 0, r = 0;
        int high = bits(9, 1);
        int dual = bits(10, 1);
        const int a = bits(5, 2);
        if (bits(0, 2))
        {
            r = (bits(0, 2) << 1) | bits(4, 1);
            const int b = bits(7, 2);
            switch (bits(2, 2))
            {
            case 0: w = b + 4; h = a + 2; break;
            case 1: w = b + 8; h = a + 2; break;
            case 2: w = a + 2; h = b + 8; break;
            default:
                if (bits(8, 1))
                {
                    w = bits(7, 1) + 2;
                    h = a + 2;
                }
                else
                {
                    w = a + 2;
                    h = bits(7, 1) + 6;
                }
                break;
            }
        }
        else
        {
            r = (bits(2, 2) << 1) | bits(4, 1);
            if (bits(0, 4) == 0)
            {
                result.flags = MODE_ERROR;
                return result;
            }
            switch (bits(7, 2))
            {
            case 0: w = 12; h = a + 2; break;
            case 1: w = a + 2; h = 12; break;
            case 2:
                w = a + 6;
                h = bits(9, 2) + 6;
                high = 0;
                dual = 0;
                break;
            default:
                if (bits(5, 2) == 0)
                {
                    w = 6;
                    h = 10;
                }
                else if (bits(5, 2) == 1)
                {
                    w = 10;
                    h = 6;
                }
                else
                {
                    result.flags = MODE_ERROR;
                    return result;
                }
                break;
            }
        }
        if (r < 2)
        {
            result.flags = MODE_ERROR;
            return result;
        }
        const int q = (r - 2) + 6 * high;
        const int count = w * h * (dual + 1);
        const int weightBits = count <= 64 ? iseBitCount(q, count) : 0;
        result.gridWidth = u8(w);
        result.gridHeight = u8(h);
        result.weightRange = u8(q);
        result.weightBits = u8(weightBits);
        result.flags = u8(dual ? MODE_DUAL_PLANE : 0);
        if (count > 64 || weightBits < 24 || weightBits > 96)
            result.flags |= MODE_ERROR;
        return result;
    }

    inline constexpr std::array<BlockMode, 2048> blockModes = [] {
        std::array<BlockMode, 2048> table {};
        for (int mode = 0; mode < 2048; ++mode)
            table[mode] = decodeBlockMode(mode);
        return table;
    }();

} // namespace norva::astc
