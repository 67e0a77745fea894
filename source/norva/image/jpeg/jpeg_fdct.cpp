// Scalar forward DCT and quantisation: the twin of the SSE2 kernel, step for step the same
// 16-bit arithmetic (wrapping sums, saturating packs), so both give the same coefficients.

#include <algorithm>

#include "jpeg_encode.hpp"

namespace norva::jpeg
{
    namespace
    {
        // round(1024 * sqrt(2) * cos(k * pi / 16)) for k = 1, 2, 3, 5, 6, 7; k = 0 and 4
        // give 1024, a shift
        constexpr s32 c1 = 1420;
        constexpr s32 c2 = 1338;
        constexpr s32 c3 = 1204;
        constexpr s32 c5 = 805;
        constexpr s32 c6 = 554;
        constexpr s32 c7 = 283;

        // what _mm_add_epi16 / _mm_sub_epi16 keep
        inline s32 wrap(s32 v)
        {
            return s16(u16(u32(v)));
        }

        // what _mm_packs_epi32 keeps
        inline s32 saturate(s32 v)
        {
            return std::clamp(v, -32768, 32767);
        }

        // One 8-point transform, in[x * step] to out[u * step]. Terms with a multiplier are
        // rounded and shifted by Shift, the two without one (u = 0, 4) by Shift - 10.
        template <int Shift>
        void transform(const s16* in, s16* out, int step)
        {
            const s32 bias = 1 << (Shift - 1);
            s32 s[4];
            s32 d[4];
            for (int i = 0; i < 4; ++i)
            {
                s[i] = wrap(in[i * step] + in[(7 - i) * step]);
                d[i] = wrap(in[i * step] - in[(7 - i) * step]);
            }
            const s32 e0 = wrap(s[0] + s[3]);
            const s32 e1 = wrap(s[1] + s[2]);
            const s32 e2 = wrap(s[0] - s[3]);
            const s32 e3 = wrap(s[1] - s[2]);

            s32 x0 = wrap(e0 + e1);
            s32 x4 = wrap(e0 - e1);
            if constexpr (Shift > 10)
            {
                constexpr int plain = Shift - 10;
                x0 = wrap(x0 + (1 << (plain - 1))) >> plain;
                x4 = wrap(x4 + (1 << (plain - 1))) >> plain;
            }

            auto rotate = [&](s32 a, s32 b, s32 ca, s32 cb) { return a * ca + b * cb; };
            const s32 x2 = saturate((rotate(e2, e3, c2, c6) + bias) >> Shift);
            const s32 x6 = saturate((rotate(e2, e3, c6, -c2) + bias) >> Shift);
            const s32 x1 = saturate((rotate(d[0], d[1], c1, c3) + rotate(d[2], d[3], c5, c7) + bias) >> Shift);
            const s32 x3 = saturate((rotate(d[0], d[1], c3, -c7) + rotate(d[2], d[3], -c1, -c5) + bias) >> Shift);
            const s32 x5 = saturate((rotate(d[0], d[1], c5, -c1) + rotate(d[2], d[3], c7, c3) + bias) >> Shift);
            const s32 x7 = saturate((rotate(d[0], d[1], c7, -c5) + rotate(d[2], d[3], c3, -c1) + bias) >> Shift);

            out[0 * step] = s16(x0);
            out[1 * step] = s16(x1);
            out[2 * step] = s16(x2);
            out[3 * step] = s16(x3);
            out[4 * step] = s16(x4);
            out[5 * step] = s16(x5);
            out[6 * step] = s16(x6);
            out[7 * step] = s16(x7);
        }

    } // namespace

    u64 fdctInteger(s16* dest, const s16* samples, const u16* reciprocal)
    {
        // rows, then columns: the T.81 transform scaled by 2 * sqrt(2) after the first
        // pass and exact after the second
        s16 temp[64];
        for (int y = 0; y < 8; ++y)
            transform<10>(samples + y * 8, temp + y * 8, 1);
        for (int x = 0; x < 8; ++x)
            transform<13>(temp + x, temp + x, 8);

        u64 mask = 0;
        for (int i = 0; i < 64; ++i)
        {
            const s32 q = saturate((s32(temp[i]) * s32(reciprocal[i]) + 16384) >> 15);
            dest[i] = s16(q);
            mask |= u64(q != 0) << i;
        }
        return mask;
    }

} // namespace norva::jpeg
