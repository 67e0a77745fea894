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

    // Reserved and damaged blocks: every texel (0, 0, 0, 1), four floats.
    inline void bptcWriteErrorColour(u8* dest, s32 stride)
    {
        const float texel[4] = { 0.0f, 0.0f, 0.0f, 1.0f };
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 4; ++x)
                std::memcpy(dest + std::ptrdiff_t(y) * stride + x * 16, texel, 16);
    }

} // namespace norva
