// ETC1, ETC2 (RGB, punch-through alpha, RGBA) and EAC R11/RG11 block decoders, following
// the Khronos ETC and EAC block formats. Every 8-byte half-block is one big-endian 64-bit
// word; texel i = 4x + y runs column by column.

#include <algorithm>
#include <cstring>

#include <norva/core/endian.hpp>

#include "block_codecs.hpp"

namespace norva
{
    namespace
    {
        constexpr int etcModifiers[8][2] = {
            { 2, 8 }, { 5, 17 }, { 9, 29 }, { 13, 42 }, { 18, 60 }, { 24, 80 }, { 33, 106 }, { 47, 183 },
        };

        constexpr int etcDistances[8] = { 3, 6, 11, 16, 23, 32, 41, 64 };

        constexpr int eacModifiers[16][8] = {
            { -3, -6, -9, -15, 2, 5, 8, 14 },
            { -3, -7, -10, -13, 2, 6, 9, 12 },
            { -2, -5, -8, -13, 1, 4, 7, 12 },
            { -2, -4, -6, -13, 1, 3, 5, 12 },
            { -3, -6, -8, -12, 2, 5, 7, 11 },
            { -3, -7, -9, -11, 2, 6, 8, 10 },
            { -4, -7, -8, -11, 3, 6, 7, 10 },
            { -3, -5, -8, -11, 2, 4, 7, 10 },
            { -2, -6, -8, -10, 1, 5, 7, 9 },
            { -2, -5, -8, -10, 1, 4, 7, 9 },
            { -2, -4, -8, -10, 1, 3, 7, 9 },
            { -2, -5, -7, -10, 1, 4, 6, 9 },
            { -3, -4, -7, -10, 2, 3, 6, 9 },
            { -1, -2, -3, -10, 0, 1, 2, 9 },
            { -4, -6, -8, -9, 3, 5, 7, 8 },
            { -3, -5, -7, -9, 2, 4, 6, 8 },
        };

        inline int bits(u64 word, int low, int count)
        {
            return int((word >> low) & ((u64(1) << count) - 1));
        }

        inline u8 clamp255(int value)
        {
            return u8(std::clamp(value, 0, 255));
        }

        inline u8* texelAt(u8* dest, s32 stride, int x, int y)
        {
            return dest + ptrdiff_t(y) * stride + x * 4;
        }

        inline void writeTexel(u8* dest, s32 stride, int x, int y, const int color[3], int delta, u8 alpha)
        {
            u8* texel = texelAt(dest, stride, x, y);
            texel[0] = clamp255(color[0] + delta);
            texel[1] = clamp255(color[1] + delta);
            texel[2] = clamp255(color[2] + delta);
            texel[3] = alpha;
        }

        // The 2-bit index of texel i: low bit at i, high bit at 16 + i.
        inline int colorIndex(u64 word, int i)
        {
            return int(((word >> i) & 1) | (((word >> (16 + i)) & 1) << 1));
        }

        inline int expand4(int x)
        {
            return x * 17;
        }

        // Sums outside 0..31 (ETC1 differential blocks that ETC2 would read as T, H or
        // planar) expand as they come, cut to 8 bits.
        inline int expand5(int x)
        {
            return ((x * 8) | (x >> 2)) & 0xFF;
        }

        inline int expand6(int x)
        {
            return (x << 2) | (x >> 4);
        }

        inline int expand7(int x)
        {
            return (x << 1) | (x >> 6);
        }

        // Individual and differential modes: two sub-blocks, each a base colour and a
        // modifier table. `punchThrough` is the transparent variant (opaque flag clear).
        void decodeSubBlocks(u8* dest, s32 stride, u64 word, bool differential, bool punchThrough)
        {
            int colors[2][3];
            if (differential)
            {
                for (int c = 0; c < 3; ++c)
                {
                    const int base = bits(word, 59 - 8 * c, 5);
                    const int delta = (bits(word, 56 - 8 * c, 3) ^ 4) - 4;
                    colors[0][c] = expand5(base);
                    colors[1][c] = expand5(base + delta);
                }
            }
            else
            {
                for (int c = 0; c < 3; ++c)
                {
                    colors[0][c] = expand4(bits(word, 60 - 8 * c, 4));
                    colors[1][c] = expand4(bits(word, 56 - 8 * c, 4));
                }
            }

            const bool flip = (word >> 32) & 1;
            const int tables[2] = { bits(word, 37, 3), bits(word, 34, 3) };
            for (int x = 0; x < 4; ++x)
            {
                for (int y = 0; y < 4; ++y)
                {
                    const int sub = flip ? (y >> 1) : (x >> 1);
                    const int index = colorIndex(word, 4 * x + y);
                    const int* modifiers = etcModifiers[tables[sub]];
                    if (punchThrough && index == 2)
                    {
                        std::memset(texelAt(dest, stride, x, y), 0, 4);
                        continue;
                    }
                    int delta = (index & 1) ? modifiers[1] : modifiers[0];
                    if (index & 2)
                        delta = -delta;
                    if (punchThrough && index == 0)
                        delta = 0;
                    writeTexel(dest, stride, x, y, colors[sub], delta, 255);
                }
            }
        }

        // T and H modes: four paint colours picked by the texel index.
        void decodePaint(u8* dest, s32 stride, u64 word, const int paint[4][3], bool punchThrough)
        {
            for (int x = 0; x < 4; ++x)
            {
                for (int y = 0; y < 4; ++y)
                {
                    const int index = colorIndex(word, 4 * x + y);
                    if (punchThrough && index == 2)
                        std::memset(texelAt(dest, stride, x, y), 0, 4);
                    else
                        writeTexel(dest, stride, x, y, paint[index], 0, 255);
                }
            }
        }

        void decodeModeT(u8* dest, s32 stride, u64 word, bool punchThrough)
        {
            const int c1[3] = { expand4((bits(word, 59, 2) << 2) | bits(word, 56, 2)), expand4(bits(word, 52, 4)),
                                expand4(bits(word, 48, 4)) };
            const int c2[3] = { expand4(bits(word, 44, 4)), expand4(bits(word, 40, 4)), expand4(bits(word, 36, 4)) };
            const int d = etcDistances[(bits(word, 34, 2) << 1) | bits(word, 32, 1)];
            int paint[4][3];
            for (int c = 0; c < 3; ++c)
            {
                paint[0][c] = c1[c];
                paint[1][c] = std::min(c2[c] + d, 255);
                paint[2][c] = c2[c];
                paint[3][c] = std::max(c2[c] - d, 0);
            }
            decodePaint(dest, stride, word, paint, punchThrough);
        }

        void decodeModeH(u8* dest, s32 stride, u64 word, bool punchThrough)
        {
            const int c1[3] = { expand4(bits(word, 59, 4)), expand4((bits(word, 56, 3) << 1) | bits(word, 52, 1)),
                                expand4((bits(word, 51, 1) << 3) | bits(word, 47, 3)) };
            const int c2[3] = { expand4(bits(word, 43, 4)), expand4(bits(word, 39, 4)), expand4(bits(word, 35, 4)) };
            const int v1 = (c1[0] << 16) | (c1[1] << 8) | c1[2];
            const int v2 = (c2[0] << 16) | (c2[1] << 8) | c2[2];
            const int d = etcDistances[(bits(word, 34, 1) << 2) | (bits(word, 32, 1) << 1) | (v1 >= v2 ? 1 : 0)];
            int paint[4][3];
            for (int c = 0; c < 3; ++c)
            {
                paint[0][c] = std::min(c1[c] + d, 255);
                paint[1][c] = std::max(c1[c] - d, 0);
                paint[2][c] = std::min(c2[c] + d, 255);
                paint[3][c] = std::max(c2[c] - d, 0);
            }
            decodePaint(dest, stride, word, paint, punchThrough);
        }

        void decodePlanar(u8* dest, s32 stride, u64 word)
        {
            const int o[3] = { expand6(bits(word, 57, 6)), expand7((bits(word, 56, 1) << 6) | bits(word, 49, 6)),
                               expand6((bits(word, 48, 1) << 5) | (bits(word, 43, 2) << 3) | bits(word, 39, 3)) };
            const int h[3] = { expand6((bits(word, 34, 5) << 1) | bits(word, 32, 1)), expand7(bits(word, 25, 7)),
                               expand6(bits(word, 19, 6)) };
            const int v[3] = { expand6(bits(word, 13, 6)), expand7(bits(word, 6, 7)), expand6(bits(word, 0, 6)) };
            for (int y = 0; y < 4; ++y)
            {
                for (int x = 0; x < 4; ++x)
                {
                    u8* texel = texelAt(dest, stride, x, y);
                    for (int c = 0; c < 3; ++c)
                        texel[c] = clamp255((4 * o[c] + 2 + x * (h[c] - o[c]) + y * (v[c] - o[c])) >> 2);
                    texel[3] = 255;
                }
            }
        }

        void decodeETC1Block(u8* dest, s32 stride, const u8* block)
        {
            const u64 word = loadBE64(block);
            decodeSubBlocks(dest, stride, word, (word >> 33) & 1, false);
        }

        // With punch-through alpha bit 33 is the opaque flag and there is no individual mode.
        void decodeETC2Block(u8* dest, s32 stride, const u8* block, bool punchThrough)
        {
            const u64 word = loadBE64(block);
            const bool flag = (word >> 33) & 1;
            if (!punchThrough && !flag)
            {
                decodeSubBlocks(dest, stride, word, false, false);
                return;
            }

            const bool transparent = punchThrough && !flag;
            const auto outside = [word](int c) {
                const int sum = bits(word, 59 - 8 * c, 5) + (bits(word, 56 - 8 * c, 3) ^ 4) - 4;
                return sum < 0 || sum > 31;
            };
            if (outside(0))
                decodeModeT(dest, stride, word, transparent);
            else if (outside(1))
                decodeModeH(dest, stride, word, transparent);
            else if (outside(2))
                decodePlanar(dest, stride, word);
            else
                decodeSubBlocks(dest, stride, word, true, transparent);
        }

        inline int eacIndex(u64 word, int i)
        {
            return int((word >> (3 * (15 - i))) & 7);
        }

        void decodeEACAlpha(u8* dest, s32 stride, const u8* block)
        {
            const u64 word = loadBE64(block);
            const int base = bits(word, 56, 8);
            const int multiplier = bits(word, 52, 4);
            const int* modifiers = eacModifiers[bits(word, 48, 4)];
            for (int x = 0; x < 4; ++x)
                for (int y = 0; y < 4; ++y)
                    texelAt(dest, stride, x, y)[3] = clamp255(base + modifiers[eacIndex(word, 4 * x + y)] * multiplier);
        }

        // One 11-bit channel widened to 16 bits, written every `step` 16-bit values.
        void decodeEAC11(u8* dest, s32 stride, const u8* block, int step, bool isSigned)
        {
            const u64 word = loadBE64(block);
            const int multiplier = bits(word, 52, 4);
            const int* modifiers = eacModifiers[bits(word, 48, 4)];
            for (int x = 0; x < 4; ++x)
            {
                for (int y = 0; y < 4; ++y)
                {
                    const int modifier = modifiers[eacIndex(word, 4 * x + y)];
                    u16 value;
                    if (isSigned)
                    {
                        const int base = std::max(int(s8(u8(bits(word, 56, 8)))), -127);
                        int v = multiplier ? (base + modifier * multiplier) * 8 : base * 8 + modifier;
                        v = std::clamp(v, -1023, 1023);
                        // 1023 widens to 32767, the signed 16-bit maximum
                        const int magnitude = std::abs(v);
                        const int wide = (magnitude << 5) | (magnitude >> 5);
                        value = u16(s16(v < 0 ? -wide : wide));
                    }
                    else
                    {
                        const int base = bits(word, 56, 8);
                        int v = multiplier ? base * 8 + 4 + modifier * multiplier * 8 : base * 8 + 4 + modifier;
                        v = std::clamp(v, 0, 2047);
                        value = u16((v << 5) | (v >> 6));
                    }
                    u8* texel = dest + ptrdiff_t(y) * stride + x * step * 2;
                    std::memcpy(texel, &value, 2);
                }
            }
        }

        bool isPunchThrough(const TextureCompressionInfo& info)
        {
            return info.compression == TextureCompression::ETC2_RGB_ALPHA1 ||
                   info.compression == TextureCompression::ETC2_SRGB_ALPHA1;
        }

        // 4 x 4 texels of `channels` signed 16-bit values (rows of 4 texels) as floats
        void writeSignedFloats(u8* dest, s32 stride, const s16* values, int channels)
        {
            for (int y = 0; y < 4; ++y)
            {
                float row[8];
                for (int i = 0; i < 4 * channels; ++i)
                    row[i] = float(values[y * 4 * channels + i]) / 32767.0f;
                std::memcpy(dest + ptrdiff_t(y) * stride, row, size_t(16 * channels));
            }
        }

        bool isSignedEAC(const TextureCompressionInfo& info)
        {
            return info.compression == TextureCompression::EAC_SIGNED_R11 ||
                   info.compression == TextureCompression::EAC_SIGNED_RG11;
        }

    } // namespace

    void decodeBlockETC1(const TextureCompressionInfo&, u8* dest, const u8* block, s32 stride)
    {
        decodeETC1Block(dest, stride, block);
    }

    void decodeBlockETC2(const TextureCompressionInfo& info, u8* dest, const u8* block, s32 stride)
    {
        decodeETC2Block(dest, stride, block, isPunchThrough(info));
    }

    void decodeBlockETC2EAC(const TextureCompressionInfo&, u8* dest, const u8* block, s32 stride)
    {
        decodeETC2Block(dest, stride, block + 8, false);
        decodeEACAlpha(dest, stride, block);
    }

    void decodeBlockEACR11(const TextureCompressionInfo& info, u8* dest, const u8* block, s32 stride)
    {
        decodeEAC11(dest, stride, block, 1, isSignedEAC(info));
    }

    void decodeBlockEACRG11(const TextureCompressionInfo& info, u8* dest, const u8* block, s32 stride)
    {
        decodeEAC11(dest, stride, block, 2, isSignedEAC(info));
        decodeEAC11(dest + 2, stride, block + 8, 2, isSignedEAC(info));
    }

    // The signed 16-bit values read as signed normalised numbers, i / 32767, as GL reads them
    // (1023 widens to 32767 and -1023 to -32767, so the 11-bit extremes are exactly -1 and 1).
    void decodeBlockEACR11Float(const TextureCompressionInfo& info, u8* dest, const u8* block, s32 stride)
    {
        s16 values[16];
        decodeBlockEACR11(info, reinterpret_cast<u8*>(values), block, 8);
        writeSignedFloats(dest, stride, values, 1);
    }

    void decodeBlockEACRG11Float(const TextureCompressionInfo& info, u8* dest, const u8* block, s32 stride)
    {
        s16 values[32];
        decodeBlockEACRG11(info, reinterpret_cast<u8*>(values), block, 16);
        writeSignedFloats(dest, stride, values, 2);
    }

} // namespace norva
