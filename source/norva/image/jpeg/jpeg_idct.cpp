// Scalar inverse DCTs: 8-bit and 12-bit sample precision, both producing 8-bit output.

#include "jpeg_private.hpp"

namespace norva::jpeg
{
    namespace
    {
        // factors x 4096
        constexpr s64 k1 = 2217;    //  0.5411961
        constexpr s64 k2 = -7567;   // -1.847759065
        constexpr s64 k3 = 3135;    //  0.765366865
        constexpr s64 k4 = 4816;    //  1.175875602
        constexpr s64 k5 = 1223;    //  0.298631336
        constexpr s64 k6 = 8410;    //  2.053119869
        constexpr s64 k7 = 12586;   //  3.072711026
        constexpr s64 k8 = 6149;    //  1.501321110
        constexpr s64 k9 = -3685;   // -0.899976223
        constexpr s64 k10 = -10497; // -2.562915447
        constexpr s64 k11 = -8034;  // -1.961570560
        constexpr s64 k12 = -1597;  // -0.390180644

        // The butterfly works in 64 bits so that corrupt coefficients cannot overflow;
        // valid data gives the same results as 32-bit arithmetic.
        inline void idct1D(const s64* s, s64* out, s64 bias, int shift)
        {
            const s64 p1 = (s[2] + s[6]) * k1;
            const s64 t2 = p1 + s[6] * k2;
            const s64 t3 = p1 + s[2] * k3;
            const s64 t0 = (s[0] + s[4]) * 4096;
            const s64 t1 = (s[0] - s[4]) * 4096;
            const s64 x0 = t0 + t3 + bias;
            const s64 x3 = t0 - t3 + bias;
            const s64 x1 = t1 + t2 + bias;
            const s64 x2 = t1 - t2 + bias;

            s64 a = s[7];
            s64 b = s[5];
            s64 c = s[3];
            s64 d = s[1];
            s64 p3 = a + c;
            s64 p4 = b + d;
            s64 q1 = a + d;
            s64 q2 = b + c;
            const s64 p5 = (p3 + p4) * k4;
            a *= k5;
            b *= k6;
            c *= k7;
            d *= k8;
            q1 = p5 + q1 * k9;
            q2 = p5 + q2 * k10;
            p3 *= k11;
            p4 *= k12;
            d += q1 + p4;
            c += q2 + p3;
            b += q2 + p4;
            a += q1 + p3;

            out[0] = (x0 + d) >> shift;
            out[7] = (x0 - d) >> shift;
            out[1] = (x1 + c) >> shift;
            out[6] = (x1 - c) >> shift;
            out[2] = (x2 + b) >> shift;
            out[5] = (x2 - b) >> shift;
            out[3] = (x3 + a) >> shift;
            out[4] = (x3 - a) >> shift;
        }

        inline u8 clampByte(s64 v)
        {
            return u8(v < 0 ? 0 : v > 255 ? 255 : v);
        }

        // The dequantised value, saturated to the 16 bits the SIMD transform works in (which
        // wraps instead); valid data reaches neither limit.
        inline s64 dequantize(s16 c, u16 q)
        {
            const s32 v = s32(c) * s32(q);
            return v < -32768 ? -32768 : v > 32767 ? 32767 : v;
        }

        template <s64 SecondBias, int SecondShift>
        void idctTemplate(u8* dest, const s16* data, const u16* qt)
        {
            s64 temp[64];

            for (int x = 0; x < 8; ++x)
            {
                const s16* column = data + x;
                const u16* q = qt + x;

                if (!(column[8] | column[16] | column[24] | column[32] | column[40] | column[48] | column[56]))
                {
                    const s64 dc = dequantize(column[0], q[0]) * 4;
                    for (int y = 0; y < 8; ++y)
                        temp[y * 8 + x] = dc;
                    continue;
                }

                s64 s[8];
                s64 out[8];
                for (int y = 0; y < 8; ++y)
                    s[y] = dequantize(column[y * 8], q[y * 8]);
                idct1D(s, out, 512, 10);
                for (int y = 0; y < 8; ++y)
                    temp[y * 8 + x] = out[y];
            }

            for (int y = 0; y < 8; ++y)
            {
                s64 out[8];
                idct1D(temp + y * 8, out, SecondBias, SecondShift);
                for (int x = 0; x < 8; ++x)
                    dest[y * 8 + x] = clampByte(out[x]);
            }
        }

    } // namespace

    void idctInteger(u8* dest, const s16* data, const u16* qt)
    {
        idctTemplate<65536 + (128 << 17), 17>(dest, data, qt);
    }

    void idctInteger12(u8* dest, const s16* data, const u16* qt)
    {
        // level shift by 2048 and reduction to 8 bits in one shift
        idctTemplate<65536 + (s64(2048) << 17), 21>(dest, data, qt);
    }

    void idctInteger12Rounded(u8* dest, const s16* data, const u16* qt)
    {
        // the same with the reduction rounded to nearest
        idctTemplate<(s64(1) << 20) + (s64(2048) << 17), 21>(dest, data, qt);
    }

} // namespace norva::jpeg
