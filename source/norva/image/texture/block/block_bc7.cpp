// BC7 (BPTC unorm, linear and sRGB) block decoder after the Direct3D 11 layout: eight
// modes, up to three regions from the 64 partition shapes, p-bits, rotation and the
// separate alpha index of modes 4 and 5. Texels are written as four floats.

#include <cstring>
#include <utility>

#include <norva/core/endian.hpp>

#include "block_bptc.hpp"
#include "block_codecs.hpp"

namespace norva
{
    namespace
    {
        // LSB-first reader over the 128 bits of a block; never past bit 127 for the modes
        // above (mode 0..7 layouts sum to 128 bits).
        class BitReader
        {
        public:
            explicit BitReader(const u8* block)
                : low(loadLE64(block)), high(loadLE64(block + 8))
            {
            }

            int read(int count)
            {
                if (count == 0)
                    return 0;
                u64 value;
                if (position >= 64)
                    value = high >> (position - 64);
                else if (position + count <= 64)
                    value = low >> position;
                else
                    value = (low >> position) | (high << (64 - position));
                position += count;
                return int(value & ((u64(1) << count) - 1));
            }

            int position = 0;

        private:
            u64 low;
            u64 high;
        };

        void decodeBC7Block(u8* dest, s32 stride, const u8* block)
        {
            int mode = 0;
            while (mode < 8 && !(block[0] & (1 << mode)))
                ++mode;
            if (mode == 8)
            {
                bptcWriteErrorColour(dest, stride);
                return;
            }

            const bptc::BC7Mode& m = bptc::bc7Modes[mode];
            BitReader reader(block);
            reader.read(mode + 1);

            const int shape = reader.read(m.partitionBits);
            const int rotation = reader.read(m.rotationBits);
            const int selection = reader.read(m.selectionBits);

            // endpoints[region * 2 + end][channel]
            int endpoints[6][4];
            const int count = m.regions * 2;
            for (int c = 0; c < 3; ++c)
                for (int e = 0; e < count; ++e)
                    endpoints[e][c] = reader.read(m.colorBits);
            for (int e = 0; e < count; ++e)
                endpoints[e][3] = m.alphaBits ? reader.read(m.alphaBits) : 255;

            int pbit[6] = {};
            for (int p = 0; p < m.pbits; ++p)
                pbit[p] = reader.read(1);

            for (int e = 0; e < count; ++e)
            {
                const int p = m.sharedPBit ? pbit[e >> 1] : pbit[e];
                for (int c = 0; c < 4; ++c)
                {
                    const int bits = c < 3 ? m.colorBits : m.alphaBits;
                    if (!bits)
                        continue;
                    if (m.pbits)
                        endpoints[e][c] = bptc::expandBC7((endpoints[e][c] << 1) | p, bits + 1);
                    else
                        endpoints[e][c] = bptc::expandBC7(endpoints[e][c], bits);
                }
            }

            const u8* partition = bptcPartitions[m.regions - 1][shape].data();
            int indices[16];
            for (int i = 0; i < 16; ++i)
            {
                const bool anchor = bptcIsAnchor(m.regions, shape, i);
                indices[i] = reader.read(m.indexBits - (anchor ? 1 : 0));
            }
            int second[16] = {};
            if (m.secondIndexBits)
                for (int i = 0; i < 16; ++i)
                    second[i] = reader.read(m.secondIndexBits - (i == 0 ? 1 : 0));

            const int* colorWeights = bptc::weightsFor(m.indexBits);
            const int* alphaWeights = bptc::weightsFor(m.secondIndexBits ? m.secondIndexBits : m.indexBits);
            const int* colorIndex = indices;
            const int* alphaIndex = m.secondIndexBits ? second : indices;
            if (selection)
            {
                std::swap(colorWeights, alphaWeights);
                std::swap(colorIndex, alphaIndex);
            }

            for (int i = 0; i < 16; ++i)
            {
                const int* a = endpoints[partition[i] * 2];
                const int* b = endpoints[partition[i] * 2 + 1];
                int color[4];
                for (int c = 0; c < 3; ++c)
                    color[c] = bptc::interpolate(a[c], b[c], colorWeights[colorIndex[i]]);
                color[3] = bptc::interpolate(a[3], b[3], alphaWeights[alphaIndex[i]]);
                if (rotation)
                    std::swap(color[3], color[rotation - 1]);

                float texel[4];
                for (int c = 0; c < 4; ++c)
                    texel[c] = float(color[c]) * (1.0f / 255.0f);
                std::memcpy(dest + ptrdiff_t(i >> 2) * stride + (i & 3) * 16, texel, 16);
            }
        }

    } // namespace

    void decodeBlockBC7(const TextureCompressionInfo&, u8* dest, const u8* block, s32 stride)
    {
        decodeBC7Block(dest, stride, block);
    }

} // namespace norva
