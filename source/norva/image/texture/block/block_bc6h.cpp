// BC6H (BPTC float, unsigned and signed) block decoder after the Direct3D 11 layout: 14
// modes of one or two regions, delta-coded endpoints, and the finish that scales the
// interpolated values to half floats. Texels are written as four floats.

#include <cstring>

#include <norva/core/endian.hpp>

#include "block_bptc.hpp"
#include "block_codecs.hpp"

namespace norva
{
    namespace
    {
        enum Field : u8
        {
            END = 0, D = 2, RW, RX, RY, RZ, GW, GX, GY, GZ, BW, BX, BY, BZ
        };

        // A run of header bits: stream bits go to bits `from` .. `to` of the field, in that
        // order (the high bits of modes 13 and 14 are stored reversed).
        struct Run
        {
            u8 field;
            u8 from;
            u8 to;
        };

        struct ModeBC6H
        {
            int regions;
            bool transformed;
            int indexBits;
            int precision[4][3]; // A0, B0, A1, B1 x R, G, B
            Run runs[32];
        };

        constexpr ModeBC6H modesBC6H[14] = {
            { 2, true, 3, { { 10, 10, 10 }, { 5, 5, 5 }, { 5, 5, 5 }, { 5, 5, 5 } },
              { { GY, 4, 4 }, { BY, 4, 4 }, { BZ, 4, 4 }, { RW, 0, 9 }, { GW, 0, 9 }, { BW, 0, 9 }, { RX, 0, 4 },
                { GZ, 4, 4 }, { GY, 0, 3 }, { GX, 0, 4 }, { BZ, 0, 0 }, { GZ, 0, 3 }, { BX, 0, 4 }, { BZ, 1, 1 },
                { BY, 0, 3 }, { RY, 0, 4 }, { BZ, 2, 2 }, { RZ, 0, 4 }, { BZ, 3, 3 }, { D, 0, 4 } } },
            { 2, true, 3, { { 7, 7, 7 }, { 6, 6, 6 }, { 6, 6, 6 }, { 6, 6, 6 } },
              { { GY, 5, 5 }, { GZ, 4, 4 }, { GZ, 5, 5 }, { RW, 0, 6 }, { BZ, 0, 0 }, { BZ, 1, 1 }, { BY, 4, 4 },
                { GW, 0, 6 }, { BY, 5, 5 }, { BZ, 2, 2 }, { GY, 4, 4 }, { BW, 0, 6 }, { BZ, 3, 3 }, { BZ, 5, 5 },
                { BZ, 4, 4 }, { RX, 0, 5 }, { GY, 0, 3 }, { GX, 0, 5 }, { GZ, 0, 3 }, { BX, 0, 5 }, { BY, 0, 3 },
                { RY, 0, 5 }, { RZ, 0, 5 }, { D, 0, 4 } } },
            { 2, true, 3, { { 11, 11, 11 }, { 5, 4, 4 }, { 5, 4, 4 }, { 5, 4, 4 } },
              { { RW, 0, 9 }, { GW, 0, 9 }, { BW, 0, 9 }, { RX, 0, 4 }, { RW, 10, 10 }, { GY, 0, 3 }, { GX, 0, 3 },
                { GW, 10, 10 }, { BZ, 0, 0 }, { GZ, 0, 3 }, { BX, 0, 3 }, { BW, 10, 10 }, { BZ, 1, 1 }, { BY, 0, 3 },
                { RY, 0, 4 }, { BZ, 2, 2 }, { RZ, 0, 4 }, { BZ, 3, 3 }, { D, 0, 4 } } },
            { 2, true, 3, { { 11, 11, 11 }, { 4, 5, 4 }, { 4, 5, 4 }, { 4, 5, 4 } },
              { { RW, 0, 9 }, { GW, 0, 9 }, { BW, 0, 9 }, { RX, 0, 3 }, { RW, 10, 10 }, { GZ, 4, 4 }, { GY, 0, 3 },
                { GX, 0, 4 }, { GW, 10, 10 }, { GZ, 0, 3 }, { BX, 0, 3 }, { BW, 10, 10 }, { BZ, 1, 1 }, { BY, 0, 3 },
                { RY, 0, 3 }, { BZ, 0, 0 }, { BZ, 2, 2 }, { RZ, 0, 3 }, { GY, 4, 4 }, { BZ, 3, 3 }, { D, 0, 4 } } },
            { 2, true, 3, { { 11, 11, 11 }, { 4, 4, 5 }, { 4, 4, 5 }, { 4, 4, 5 } },
              { { RW, 0, 9 }, { GW, 0, 9 }, { BW, 0, 9 }, { RX, 0, 3 }, { RW, 10, 10 }, { BY, 4, 4 }, { GY, 0, 3 },
                { GX, 0, 3 }, { GW, 10, 10 }, { BZ, 0, 0 }, { GZ, 0, 3 }, { BX, 0, 4 }, { BW, 10, 10 }, { BY, 0, 3 },
                { RY, 0, 3 }, { BZ, 1, 1 }, { BZ, 2, 2 }, { RZ, 0, 3 }, { BZ, 4, 4 }, { BZ, 3, 3 }, { D, 0, 4 } } },
            { 2, true, 3, { { 9, 9, 9 }, { 5, 5, 5 }, { 5, 5, 5 }, { 5, 5, 5 } },
              { { RW, 0, 8 }, { BY, 4, 4 }, { GW, 0, 8 }, { GY, 4, 4 }, { BW, 0, 8 }, { BZ, 4, 4 }, { RX, 0, 4 },
                { GZ, 4, 4 }, { GY, 0, 3 }, { GX, 0, 4 }, { BZ, 0, 0 }, { GZ, 0, 3 }, { BX, 0, 4 }, { BZ, 1, 1 },
                { BY, 0, 3 }, { RY, 0, 4 }, { BZ, 2, 2 }, { RZ, 0, 4 }, { BZ, 3, 3 }, { D, 0, 4 } } },
            { 2, true, 3, { { 8, 8, 8 }, { 6, 5, 5 }, { 6, 5, 5 }, { 6, 5, 5 } },
              { { RW, 0, 7 }, { GZ, 4, 4 }, { BY, 4, 4 }, { GW, 0, 7 }, { BZ, 2, 2 }, { GY, 4, 4 }, { BW, 0, 7 },
                { BZ, 3, 3 }, { BZ, 4, 4 }, { RX, 0, 5 }, { GY, 0, 3 }, { GX, 0, 4 }, { BZ, 0, 0 }, { GZ, 0, 3 },
                { BX, 0, 4 }, { BZ, 1, 1 }, { BY, 0, 3 }, { RY, 0, 5 }, { RZ, 0, 5 }, { D, 0, 4 } } },
            { 2, true, 3, { { 8, 8, 8 }, { 5, 6, 5 }, { 5, 6, 5 }, { 5, 6, 5 } },
              { { RW, 0, 7 }, { BZ, 0, 0 }, { BY, 4, 4 }, { GW, 0, 7 }, { GY, 5, 5 }, { GY, 4, 4 }, { BW, 0, 7 },
                { GZ, 5, 5 }, { BZ, 4, 4 }, { RX, 0, 4 }, { GZ, 4, 4 }, { GY, 0, 3 }, { GX, 0, 5 }, { GZ, 0, 3 },
                { BX, 0, 4 }, { BZ, 1, 1 }, { BY, 0, 3 }, { RY, 0, 4 }, { BZ, 2, 2 }, { RZ, 0, 4 }, { BZ, 3, 3 },
                { D, 0, 4 } } },
            { 2, true, 3, { { 8, 8, 8 }, { 5, 5, 6 }, { 5, 5, 6 }, { 5, 5, 6 } },
              { { RW, 0, 7 }, { BZ, 1, 1 }, { BY, 4, 4 }, { GW, 0, 7 }, { BY, 5, 5 }, { GY, 4, 4 }, { BW, 0, 7 },
                { BZ, 5, 5 }, { BZ, 4, 4 }, { RX, 0, 4 }, { GZ, 4, 4 }, { GY, 0, 3 }, { GX, 0, 4 }, { BZ, 0, 0 },
                { GZ, 0, 3 }, { BX, 0, 5 }, { BY, 0, 3 }, { RY, 0, 4 }, { BZ, 2, 2 }, { RZ, 0, 4 }, { BZ, 3, 3 },
                { D, 0, 4 } } },
            { 2, false, 3, { { 6, 6, 6 }, { 6, 6, 6 }, { 6, 6, 6 }, { 6, 6, 6 } },
              { { RW, 0, 5 }, { GZ, 4, 4 }, { BZ, 0, 0 }, { BZ, 1, 1 }, { BY, 4, 4 }, { GW, 0, 5 }, { GY, 5, 5 },
                { BY, 5, 5 }, { BZ, 2, 2 }, { GY, 4, 4 }, { BW, 0, 5 }, { GZ, 5, 5 }, { BZ, 3, 3 }, { BZ, 5, 5 },
                { BZ, 4, 4 }, { RX, 0, 5 }, { GY, 0, 3 }, { GX, 0, 5 }, { GZ, 0, 3 }, { BX, 0, 5 }, { BY, 0, 3 },
                { RY, 0, 5 }, { RZ, 0, 5 }, { D, 0, 4 } } },
            { 1, false, 4, { { 10, 10, 10 }, { 10, 10, 10 }, {}, {} },
              { { RW, 0, 9 }, { GW, 0, 9 }, { BW, 0, 9 }, { RX, 0, 9 }, { GX, 0, 9 }, { BX, 0, 9 } } },
            { 1, true, 4, { { 11, 11, 11 }, { 9, 9, 9 }, {}, {} },
              { { RW, 0, 9 }, { GW, 0, 9 }, { BW, 0, 9 }, { RX, 0, 8 }, { RW, 10, 10 }, { GX, 0, 8 }, { GW, 10, 10 },
                { BX, 0, 8 }, { BW, 10, 10 } } },
            { 1, true, 4, { { 12, 12, 12 }, { 8, 8, 8 }, {}, {} },
              { { RW, 0, 9 }, { GW, 0, 9 }, { BW, 0, 9 }, { RX, 0, 7 }, { RW, 11, 10 }, { GX, 0, 7 }, { GW, 11, 10 },
                { BX, 0, 7 }, { BW, 11, 10 } } },
            { 1, true, 4, { { 16, 16, 16 }, { 4, 4, 4 }, {}, {} },
              { { RW, 0, 9 }, { GW, 0, 9 }, { BW, 0, 9 }, { RX, 0, 3 }, { RW, 15, 10 }, { GX, 0, 3 }, { GW, 15, 10 },
                { BX, 0, 3 }, { BW, 15, 10 } } },
        };

        // mode value (2 bits, or 5 when the low two are 2 or 3) -> row, -1 reserved
        constexpr s8 modeRows[32] = {
            0, 1, 2, 10, 0, 1, 3, 11, 0, 1, 4, 12, 0, 1, 5, 13,
            0, 1, 6, -1, 0, 1, 7, -1, 0, 1, 8, -1, 0, 1, 9, -1,
        };

        class Bits
        {
        public:
            explicit Bits(const u8* block)
                : low(loadLE64(block)), high(loadLE64(block + 8))
            {
            }

            int bit(int position) const
            {
                return int((position < 64 ? low >> position : high >> (position - 64)) & 1);
            }

            int read(int& position, int count) const
            {
                int value = 0;
                for (int i = 0; i < count; ++i)
                    value |= bit(position++) << i;
                return value;
            }

        private:
            u64 low;
            u64 high;
        };

        int signExtend(int value, int bits)
        {
            const int shift = 32 - bits;
            return int(u32(value) << shift) >> shift;
        }

        int unquantize(int value, int precision, bool isSigned)
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

        float halfToFloat(u16 half)
        {
            const u32 exponent = (half >> 10) & 0x1F;
            const u32 mantissa = half & 0x3FF;
            float value;
            if (exponent == 0)
            {
                const u32 bits = 0x3F000000u + mantissa;
                std::memcpy(&value, &bits, 4);
                value -= 0.5f;
                // the bits above hold 0.5 + m * 2^-24 exactly; the subtraction leaves m * 2^-24
            }
            else
            {
                const u32 bits = exponent == 31 ? 0x7F800000u | (mantissa << 13) : ((exponent + 112) << 23) | (mantissa << 13);
                std::memcpy(&value, &bits, 4);
            }
            return (half & 0x8000) ? -value : value;
        }

        void decodeBC6HBlock(u8* dest, s32 stride, const u8* block, bool isSigned)
        {
            const Bits bits(block);
            int modeValue = block[0] & 3;
            int position = 2;
            if (modeValue >= 2)
            {
                modeValue = block[0] & 31;
                position = 5;
            }
            const int row = modeRows[modeValue];
            if (row < 0)
            {
                bptcWriteErrorColour(dest, stride);
                return;
            }
            const ModeBC6H& m = modesBC6H[row];

            // fields[field - D]: the shape, then w, x, y, z of red, green and blue
            int fields[13] = {};
            for (const Run& run : m.runs)
            {
                if (run.field == END)
                    break;
                const int step = run.from <= run.to ? 1 : -1;
                for (int b = run.from;; b += step)
                {
                    fields[run.field - D] |= bits.bit(position++) << b;
                    if (b == run.to)
                        break;
                }
            }

            int endpoints[4][3];
            for (int e = 0; e < 4; ++e)
                for (int c = 0; c < 3; ++c)
                    endpoints[e][c] = fields[1 + c * 4 + e];

            const int count = m.regions * 2;
            for (int c = 0; c < 3; ++c)
            {
                const int width = m.precision[0][c];
                if (isSigned)
                    endpoints[0][c] = signExtend(endpoints[0][c], width);
                if (isSigned || m.transformed)
                    for (int e = 1; e < count; ++e)
                        endpoints[e][c] = signExtend(endpoints[e][c], m.precision[e][c]);
                if (m.transformed)
                    for (int e = 1; e < count; ++e)
                    {
                        endpoints[e][c] = (endpoints[0][c] + endpoints[e][c]) & ((1 << width) - 1);
                        if (isSigned)
                            endpoints[e][c] = signExtend(endpoints[e][c], width);
                    }
                for (int e = 0; e < count; ++e)
                    endpoints[e][c] = unquantize(endpoints[e][c], width, isSigned);
            }

            const int shape = m.regions == 2 ? fields[0] : 0;
            const u8* partition = bptcPartitions[m.regions - 1][shape].data();
            const int* weights = m.indexBits == 3 ? bptcWeights3 : bptcWeights4;
            for (int i = 0; i < 16; ++i)
            {
                const int index = bits.read(position, m.indexBits - (bptcIsAnchor(m.regions, shape, i) ? 1 : 0));
                const int* a = endpoints[partition[i] * 2];
                const int* b = endpoints[partition[i] * 2 + 1];
                float texel[4];
                for (int c = 0; c < 3; ++c)
                {
                    const int value = (a[c] * (64 - weights[index]) + b[c] * weights[index] + 32) >> 6;
                    u16 half;
                    if (!isSigned)
                        half = u16((value * 31) >> 6);
                    else if (value < 0)
                        half = u16(0x8000 | (((-value) * 31) >> 5)); // rounds toward zero, as D3D
                    else
                        half = u16((value * 31) >> 5);
                    texel[c] = halfToFloat(half);
                }
                texel[3] = 1.0f;
                std::memcpy(dest + ptrdiff_t(i >> 2) * stride + (i & 3) * 16, texel, 16);
            }
        }

    } // namespace

    void decodeBlockBC6HU(const TextureCompressionInfo&, u8* dest, const u8* block, s32 stride)
    {
        decodeBC6HBlock(dest, stride, block, false);
    }

    void decodeBlockBC6HS(const TextureCompressionInfo&, u8* dest, const u8* block, s32 stride)
    {
        decodeBC6HBlock(dest, stride, block, true);
    }

} // namespace norva
