// ASTC colour endpoint modes: the sixteen ways a partition's colour values become its two
// endpoints. LDR modes give 8-bit components; HDR modes (2, 3, 7, 11, 14 and 15) give the
// format's 12-bit HDR values, alpha 0x780 (1.0) where they carry none.

#include <algorithm>
#include <utility>

#include "block_astc.hpp"

namespace norva::astc
{
    namespace
    {
        inline int clamp255(int v)
        {
            return std::clamp(v, 0, 255);
        }

        inline int clamp4095(int v)
        {
            return std::clamp(v, 0, 4095);
        }

        inline void set(int* e, int r, int g, int b, int a)
        {
            e[0] = r;
            e[1] = g;
            e[2] = b;
            e[3] = a;
        }

        // moves the top bit of b into a's place and returns a as a signed 6-bit offset
        inline void bitTransferSigned(int& a, int& b)
        {
            b >>= 1;
            b |= a & 0x80;
            a >>= 1;
            a &= 0x3F;
            if (a & 0x20)
                a -= 0x40;
        }

        inline void blueContract(int* e, int r, int g, int b, int a)
        {
            set(e, (r + b) >> 1, (g + b) >> 1, b, a);
        }

        void clampLDR(Endpoints& ep)
        {
            for (int c = 0; c < 4; ++c)
            {
                ep.e0[c] = clamp255(ep.e0[c]);
                ep.e1[c] = clamp255(ep.e1[c]);
            }
        }

        inline int signExtend(int value, int bits)
        {
            const int shift = 32 - bits;
            return int(u32(value) << shift) >> shift;
        }

        // CEM 11 (and the colour of 14, 15): HDR RGB, direct
        void decodeHDRColor(Endpoints& ep, const int* v)
        {
            const int majorComponent = ((v[4] & 0x80) >> 7) | ((v[5] & 0x80) >> 6);
            if (majorComponent == 3)
            {
                set(ep.e0, v[0] << 4, v[2] << 4, (v[4] & 0x7F) << 5, 0x780);
                set(ep.e1, v[1] << 4, v[3] << 4, (v[5] & 0x7F) << 5, 0x780);
                return;
            }
            const int mode = ((v[1] & 0x80) >> 7) | ((v[2] & 0x80) >> 6) | ((v[3] & 0x80) >> 5);
            int a = v[0] | ((v[1] & 0x40) << 2);
            int b0 = v[2] & 0x3F;
            int b1 = v[3] & 0x3F;
            int c = v[1] & 0x3F;
            constexpr int dbits[8] = { 7, 6, 7, 6, 5, 6, 5, 6 };
            int d0 = signExtend(v[4] & ((1 << dbits[mode]) - 1), dbits[mode]);
            int d1 = signExtend(v[5] & ((1 << dbits[mode]) - 1), dbits[mode]);

            const int x0 = (v[2] >> 6) & 1;
            const int x1 = (v[3] >> 6) & 1;
            const int x2 = (v[4] >> 6) & 1;
            const int x3 = (v[5] >> 6) & 1;
            const int x4 = (v[4] >> 5) & 1;
            const int x5 = (v[5] >> 5) & 1;
            const int ohm = 1 << mode;
            if (ohm & 0xA4) a |= x0 << 9;
            if (ohm & 0x08) a |= x2 << 9;
            if (ohm & 0x50) a |= x4 << 9;
            if (ohm & 0x50) a |= x5 << 10;
            if (ohm & 0xA0) a |= x1 << 10;
            if (ohm & 0xC0) a |= x2 << 11;
            if (ohm & 0x04) c |= x1 << 6;
            if (ohm & 0xE8) c |= x3 << 6;
            if (ohm & 0x20) c |= x2 << 7;
            if (ohm & 0x5B) b0 |= x0 << 6;
            if (ohm & 0x5B) b1 |= x1 << 6;
            if (ohm & 0x12) b0 |= x2 << 7;
            if (ohm & 0x12) b1 |= x3 << 7;

            const int shift = (mode >> 1) ^ 3;
            a <<= shift;
            b0 <<= shift;
            b1 <<= shift;
            c <<= shift;
            d0 = d0 * (1 << shift);
            d1 = d1 * (1 << shift);

            int high[3] = { clamp4095(a), clamp4095(a - b0), clamp4095(a - b1) };
            int low[3] = { clamp4095(a - c), clamp4095(a - b0 - c - d0), clamp4095(a - b1 - c - d1) };
            if (majorComponent == 1)
            {
                std::swap(high[0], high[1]);
                std::swap(low[0], low[1]);
            }
            else if (majorComponent == 2)
            {
                std::swap(high[0], high[2]);
                std::swap(low[0], low[2]);
            }
            set(ep.e0, low[0], low[1], low[2], 0x780);
            set(ep.e1, high[0], high[1], high[2], 0x780);
        }

        // CEM 7: HDR RGB, base and scale
        void decodeHDRScale(Endpoints& ep, const int* v)
        {
            const int modeValue = ((v[0] & 0xC0) >> 6) | ((v[1] & 0x80) >> 5) | ((v[2] & 0x80) >> 4);
            int majorComponent, mode;
            if ((modeValue & 0xC) != 0xC)
            {
                majorComponent = modeValue >> 2;
                mode = modeValue & 3;
            }
            else if (modeValue != 0xF)
            {
                majorComponent = modeValue & 3;
                mode = 4;
            }
            else
            {
                majorComponent = 0;
                mode = 5;
            }

            int red = v[0] & 0x3F;
            int green = v[1] & 0x1F;
            int blue = v[2] & 0x1F;
            int scale = v[3] & 0x1F;
            const int x0 = (v[1] >> 6) & 1;
            const int x1 = (v[1] >> 5) & 1;
            const int x2 = (v[2] >> 6) & 1;
            const int x3 = (v[2] >> 5) & 1;
            const int x4 = (v[3] >> 7) & 1;
            const int x5 = (v[3] >> 6) & 1;
            const int x6 = (v[3] >> 5) & 1;
            const int ohm = 1 << mode;
            if (ohm & 0x30) green |= x0 << 6;
            if (ohm & 0x3A) green |= x1 << 5;
            if (ohm & 0x30) blue |= x2 << 6;
            if (ohm & 0x3A) blue |= x3 << 5;
            if (ohm & 0x3D) scale |= x6 << 5;
            if (ohm & 0x2D) scale |= x5 << 6;
            if (ohm & 0x04) scale |= x4 << 7;
            if (ohm & 0x3B) red |= x4 << 6;
            if (ohm & 0x04) red |= x3 << 6;
            if (ohm & 0x10) red |= x5 << 7;
            if (ohm & 0x0F) red |= x2 << 7;
            if (ohm & 0x05) red |= x1 << 8;
            if (ohm & 0x0A) red |= x0 << 8;
            if (ohm & 0x05) red |= x0 << 9;
            if (ohm & 0x02) red |= x6 << 9;
            if (ohm & 0x01) red |= x3 << 10;
            if (ohm & 0x02) red |= x5 << 10;

            constexpr int shifts[6] = { 1, 1, 2, 3, 4, 5 };
            const int shift = shifts[mode];
            red <<= shift;
            green <<= shift;
            blue <<= shift;
            scale <<= shift;
            if (mode != 5)
            {
                green = red - green;
                blue = red - blue;
            }
            if (majorComponent == 1)
                std::swap(red, green);
            else if (majorComponent == 2)
                std::swap(red, blue);
            set(ep.e1, clamp4095(red), clamp4095(green), clamp4095(blue), 0x780);
            set(ep.e0, clamp4095(red - scale), clamp4095(green - scale), clamp4095(blue - scale), 0x780);
        }

        // CEM 15: HDR alpha from v6, v7
        void decodeHDRAlpha(Endpoints& ep, int v6, int v7)
        {
            const int mode = ((v6 >> 7) & 1) | ((v7 >> 6) & 2);
            v6 &= 0x7F;
            v7 &= 0x7F;
            if (mode == 3)
            {
                ep.e0[3] = v6 << 5;
                ep.e1[3] = v7 << 5;
                return;
            }
            v6 |= (v7 << (mode + 1)) & 0x780;
            v7 &= 0x3F >> mode;
            v7 ^= 0x20 >> mode;
            v7 -= 0x20 >> mode;
            v6 <<= 4 - mode;
            v7 = v7 * (1 << (4 - mode));
            v7 += v6;
            ep.e0[3] = v6;
            ep.e1[3] = clamp4095(v7);
        }

    } // namespace

    void decodeEndpoints(Endpoints& ep, int cem, const u8* values)
    {
        int v[8];
        const int count = 2 * (cem >> 2) + 2;
        for (int i = 0; i < count; ++i)
            v[i] = values[i];
        ep.hdrColor = false;
        ep.hdrAlpha = false;

        switch (cem)
        {
        case 0: // luminance, direct
            set(ep.e0, v[0], v[0], v[0], 0xFF);
            set(ep.e1, v[1], v[1], v[1], 0xFF);
            break;
        case 1: // luminance, base and offset
        {
            const int l0 = (v[0] >> 2) | (v[1] & 0xC0);
            const int l1 = std::min(l0 + (v[1] & 0x3F), 0xFF);
            set(ep.e0, l0, l0, l0, 0xFF);
            set(ep.e1, l1, l1, l1, 0xFF);
            break;
        }
        case 2: // HDR luminance, large range
        {
            int y0, y1;
            if (v[1] >= v[0])
            {
                y0 = v[0] << 4;
                y1 = v[1] << 4;
            }
            else
            {
                y0 = (v[1] << 4) + 8;
                y1 = (v[0] << 4) - 8;
            }
            set(ep.e0, y0, y0, y0, 0x780);
            set(ep.e1, y1, y1, y1, 0x780);
            ep.hdrColor = ep.hdrAlpha = true;
            break;
        }
        case 3: // HDR luminance, small range
        {
            int y0, d;
            if (v[0] & 0x80)
            {
                y0 = ((v[1] & 0xE0) << 4) | ((v[0] & 0x7F) << 2);
                d = (v[1] & 0x1F) << 2;
            }
            else
            {
                y0 = ((v[1] & 0xF0) << 4) | ((v[0] & 0x7F) << 1);
                d = (v[1] & 0x0F) << 1;
            }
            const int y1 = std::min(y0 + d, 0xFFF);
            set(ep.e0, y0, y0, y0, 0x780);
            set(ep.e1, y1, y1, y1, 0x780);
            ep.hdrColor = ep.hdrAlpha = true;
            break;
        }
        case 4: // luminance and alpha, direct
            set(ep.e0, v[0], v[0], v[0], v[2]);
            set(ep.e1, v[1], v[1], v[1], v[3]);
            break;
        case 5: // luminance and alpha, base and offset
            bitTransferSigned(v[1], v[0]);
            bitTransferSigned(v[3], v[2]);
            set(ep.e0, v[0], v[0], v[0], v[2]);
            set(ep.e1, v[0] + v[1], v[0] + v[1], v[0] + v[1], v[2] + v[3]);
            clampLDR(ep);
            break;
        case 6: // RGB, base and scale
            set(ep.e0, (v[0] * v[3]) >> 8, (v[1] * v[3]) >> 8, (v[2] * v[3]) >> 8, 0xFF);
            set(ep.e1, v[0], v[1], v[2], 0xFF);
            break;
        case 7:
            decodeHDRScale(ep, v);
            ep.hdrColor = ep.hdrAlpha = true;
            break;
        case 8: // RGB, direct
        case 12: // RGBA, direct
        {
            const int a0 = cem == 12 ? v[6] : 0xFF;
            const int a1 = cem == 12 ? v[7] : 0xFF;
            if (v[1] + v[3] + v[5] >= v[0] + v[2] + v[4])
            {
                set(ep.e0, v[0], v[2], v[4], a0);
                set(ep.e1, v[1], v[3], v[5], a1);
            }
            else
            {
                blueContract(ep.e0, v[1], v[3], v[5], a1);
                blueContract(ep.e1, v[0], v[2], v[4], a0);
            }
            break;
        }
        case 9: // RGB, base and offset
        case 13: // RGBA, base and offset
        {
            bitTransferSigned(v[1], v[0]);
            bitTransferSigned(v[3], v[2]);
            bitTransferSigned(v[5], v[4]);
            int a0 = 0xFF, a1 = 0xFF;
            if (cem == 13)
            {
                bitTransferSigned(v[7], v[6]);
                a0 = v[6];
                a1 = v[6] + v[7];
            }
            if (v[1] + v[3] + v[5] >= 0)
            {
                set(ep.e0, v[0], v[2], v[4], a0);
                set(ep.e1, v[0] + v[1], v[2] + v[3], v[4] + v[5], a1);
            }
            else
            {
                blueContract(ep.e0, v[0] + v[1], v[2] + v[3], v[4] + v[5], a1);
                blueContract(ep.e1, v[0], v[2], v[4], a0);
            }
            clampLDR(ep);
            break;
        }
        case 10: // RGB, base and scale, plus two alphas
            set(ep.e0, (v[0] * v[3]) >> 8, (v[1] * v[3]) >> 8, (v[2] * v[3]) >> 8, v[4]);
            set(ep.e1, v[0], v[1], v[2], v[5]);
            break;
        case 11:
            decodeHDRColor(ep, v);
            ep.hdrColor = ep.hdrAlpha = true;
            break;
        case 14: // HDR RGB, direct, LDR alpha
            decodeHDRColor(ep, v);
            ep.e0[3] = v[6];
            ep.e1[3] = v[7];
            ep.hdrColor = true;
            break;
        default: // 15: HDR RGB and HDR alpha, direct
            decodeHDRColor(ep, v);
            decodeHDRAlpha(ep, v[6], v[7]);
            ep.hdrColor = ep.hdrAlpha = true;
            break;
        }
    }

} // namespace norva::astc
