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
            const int row = bptc::bc6hModeRows[modeValue];
            if (row < 0)
            {
                bptcWriteErrorColour(dest, stride);
                return;
            }
            const bptc::BC6HMode& m = bptc::bc6hModes[row];

            // fields[field - D]: the shape, then w, x, y, z of red, green and blue
            int fields[13] = {};
            for (const bptc::BC6HRun& run : m.runs)
            {
                if (run.field == bptc::END)
                    break;
                const int step = run.from <= run.to ? 1 : -1;
                for (int b = run.from;; b += step)
                {
                    fields[run.field - bptc::D] |= bits.bit(position++) << b;
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
                    endpoints[0][c] = bptc::signExtendEndpoint(endpoints[0][c], width);
                if (isSigned || m.transformed)
                    for (int e = 1; e < count; ++e)
                        endpoints[e][c] = bptc::signExtendEndpoint(endpoints[e][c], m.precision[e][c]);
                if (m.transformed)
                    for (int e = 1; e < count; ++e)
                    {
                        endpoints[e][c] = (endpoints[0][c] + endpoints[e][c]) & ((1 << width) - 1);
                        if (isSigned)
                            endpoints[e][c] = bptc::signExtendEndpoint(endpoints[e][c], width);
                    }
                for (int e = 0; e < count; ++e)
                    endpoints[e][c] = bptc::unquantizeBC6H(endpoints[e][c], width, isSigned);
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
                    const int value = bptc::finishBC6H(bptc::interpolate(a[c], b[c], weights[index]), isSigned);
                    const u16 half = u16(value < 0 ? 0x8000 | -value : value); // sign and magnitude
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
