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
        struct ModeBC7
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

        constexpr ModeBC7 modesBC7[8] = {
            { 3, 4, 6, false, 0, 0, 3, 0, 4, 0 },
            { 2, 6, 2, true, 0, 0, 3, 0, 6, 0 },
            { 3, 6, 0, false, 0, 0, 2, 0, 5, 0 },
            { 2, 6, 4, false, 0, 0, 2, 0, 7, 0 },
            { 1, 0, 0, false, 2, 1, 2, 3, 5, 6 },
            { 1, 0, 0, false, 2, 0, 2, 2, 7, 8 },
            { 1, 0, 2, false, 0, 0, 4, 0, 7, 7 },
            { 2, 6, 4, false, 0, 0, 2, 0, 5, 5 },
        };

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

        int expandBits(int value, int precision)
        {
            value <<= 8 - precision;
            return value | (value >> precision);
        }

        int interpolate(int a, int b, int weight)
        {
            return (a * (64 - weight) + b * weight + 32) >> 6;
        }

        const int* weightsFor(int bits)
        {
            return bits == 2 ? bptcWeights2 : bits == 3 ? bptcWeights3 : bptcWeights4;
        }

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

            const ModeBC7& m = modesBC7[mode];
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
                        endpoints[e][c] = expandBits((endpoints[e][c] << 1) | p, bits + 1);
                    else
                        endpoints[e][c] = expandBits(endpoints[e][c], bits);
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

            const int* colorWeights = weightsFor(m.indexBits);
            const int* alphaWeights = weightsFor(m.secondIndexBits ? m.secondIndexBits : m.indexBits);
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
                    color[c] = interpolate(a[c], b[c], colorWeights[colorIndex[i]]);
                color[3] = interpolate(a[3], b[3], alphaWeights[alphaIndex[i]]);
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
