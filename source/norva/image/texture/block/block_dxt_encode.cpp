// BC1-BC3 (DXT1, DXT3, DXT5) block encoders. The colour half fits a segment to the block's
// 5:6:5-quantised colours in luminance-weighted space and projects every texel onto it;
// DXT1 with transparent texels uses the three-colour mode and index 3 for them. BC2 alpha
// is four bits per texel, BC3 alpha the BC4-style endpoint fit.

#include <algorithm>
#include <cstring>

#include <norva/core/endian.hpp>

#include "block_codecs.hpp"
#include "block_endpoints.hpp"

namespace norva
{
    namespace
    {
        using Texels = float[16][4];

        // From the fit's point order (x, ..., y) to the BC1 index: the endpoints are 0 and 1.
        constexpr u32 colorMap3[3] = { 0, 2, 1 };
        constexpr u32 colorMap4[4] = { 0, 2, 3, 1 };
        constexpr u32 alphaMap6[6] = { 0, 2, 3, 4, 5, 1 };
        constexpr u32 alphaMap8[8] = { 0, 2, 3, 4, 5, 6, 7, 1 };

        void loadTexels(Texels& texels, const u8* source, s32 stride)
        {
            for (int y = 0; y < 4; ++y)
            {
                const u8* row = source + ptrdiff_t(y) * stride;
                for (int x = 0; x < 4; ++x)
                    for (int c = 0; c < 4; ++c)
                        texels[y * 4 + x][c] = float(row[x * 4 + c]) * (1.0f / 255.0f);
            }
        }

        float quantize(float v, float levels)
        {
            return float(int(v * levels + 0.5f)) * (1.0f / levels);
        }

        u16 packRGB565(const float c[3])
        {
            const u32 r = u32(std::clamp(c[0], 0.0f, 1.0f) * 31.0f + 0.5f);
            const u32 g = u32(std::clamp(c[1], 0.0f, 1.0f) * 63.0f + 0.5f);
            const u32 b = u32(std::clamp(c[2], 0.0f, 1.0f) * 31.0f + 0.5f);
            return u16((r << 11) | (g << 5) | b);
        }

        // The decoded colour of a 5:6:5 value, in the weighted space.
        void unpackWeighted(float c[3], u16 v)
        {
            c[0] = float(v >> 11) * (1.0f / 31.0f) * bc1LumaWeights[0];
            c[1] = float((v >> 5) & 63) * (1.0f / 63.0f) * bc1LumaWeights[1];
            c[2] = float(v & 31) * (1.0f / 31.0f) * bc1LumaWeights[2];
        }

        void writeColorBlock(u8* output, u16 color0, u16 color1, u32 indices)
        {
            storeLE16(output + 0, color0);
            storeLE16(output + 2, color1);
            storeLE32(output + 4, indices);
        }

        // colorKey: texels with alpha below threshold are transparent (three-colour mode,
        // index 3). Without it the block is always in the four-colour mode (BC2/BC3 colour).
        void encodeColorBlockBC1(u8* output, const Texels& texels, bool colorKey, float threshold)
        {
            int steps = 4;
            if (colorKey)
            {
                int transparent = 0;
                for (int i = 0; i < 16; ++i)
                    transparent += texels[i][3] < threshold;
                if (transparent == 16)
                {
                    writeColorBlock(output, 0x0000, 0xFFFF, 0xFFFFFFFF);
                    return;
                }
                if (transparent)
                    steps = 3;
            }

            // Fit on the colours the format can store, measured by luminance.
            float weighted[16][4];
            for (int i = 0; i < 16; ++i)
            {
                weighted[i][0] = quantize(texels[i][0], 31.0f) * bc1LumaWeights[0];
                weighted[i][1] = quantize(texels[i][1], 63.0f) * bc1LumaWeights[1];
                weighted[i][2] = quantize(texels[i][2], 31.0f) * bc1LumaWeights[2];
                weighted[i][3] = 1.0f;
            }
            float x[3];
            float y[3];
            optimizeRGBEndpoints(x, y, weighted, steps);
            for (int c = 0; c < 3; ++c)
            {
                x[c] *= bc1LumaInverse[c];
                y[c] *= bc1LumaInverse[c];
            }
            const u16 a = packRGB565(x);
            const u16 b = packRGB565(y);

            if (steps == 4 && a == b)
            {
                writeColorBlock(output, a, a, 0);
                return;
            }

            // Four-colour blocks need color0 > color1, three-colour blocks color0 <= color1.
            u16 color0 = a;
            u16 color1 = b;
            if ((steps == 3) != (a <= b))
                std::swap(color0, color1);
            float first[3];
            float second[3];
            unpackWeighted(first, color0);
            unpackWeighted(second, color1);

            // Texels project onto the segment in units of one palette step.
            float dir[3];
            float dirSquared = 0.0f;
            for (int c = 0; c < 3; ++c)
            {
                dir[c] = second[c] - first[c];
                dirSquared += dir[c] * dir[c];
            }
            const float scale = (a != b) ? float(steps - 1) / dirSquared : 0.0f;
            for (float& d : dir)
                d *= scale;

            const u32* map = steps == 3 ? colorMap3 : colorMap4;
            u32 indices = 0;
            for (int i = 0; i < 16; ++i)
            {
                u32 index;
                if (steps == 3 && texels[i][3] < threshold)
                {
                    index = 3;
                }
                else
                {
                    float t = 0.0f;
                    for (int c = 0; c < 3; ++c)
                        t += (texels[i][c] * bc1LumaWeights[c] - first[c]) * dir[c];
                    if (t <= 0.0f)
                        index = 0;
                    else if (t >= float(steps - 1))
                        index = 1;
                    else
                        index = map[int(t + 0.5f)];
                }
                indices |= index << (2 * i);
            }
            writeColorBlock(output, color0, color1, indices);
        }

        void encodeBlockBC2Alpha(u8* output, const Texels& texels)
        {
            u32 words[2] = { 0, 0 };
            for (int i = 0; i < 16; ++i)
            {
                const u32 nibble = u32(texels[i][3] * 15.0f + 0.5f);
                words[i / 8] |= nibble << (4 * (i % 8));
            }
            storeLE32(output + 0, words[0]);
            storeLE32(output + 4, words[1]);
        }

        void encodeBlockBC3Alpha(u8* output, const Texels& texels)
        {
            float alpha[16];
            float low = 1.0f;
            float high = 0.0f;
            for (int i = 0; i < 16; ++i)
            {
                alpha[i] = float(int(texels[i][3] * 255.0f + 0.5f)) * (1.0f / 255.0f);
                low = std::min(low, alpha[i]);
                high = std::max(high, alpha[i]);
            }

            std::memset(output, 0, 8);
            if (low == 1.0f)
            {
                output[0] = 255;
                output[1] = 255;
                return;
            }

            const int steps = (low == 0.0f || high == 1.0f) ? 6 : 8;
            float a;
            float b;
            refineChannelEndpoints(a, b, alpha, steps, 0.0f);
            const u32 byteA = u32(a * 255.0f + 0.5f);
            const u32 byteB = u32(b * 255.0f + 0.5f);
            a = float(byteA) * (1.0f / 255.0f);
            b = float(byteB) * (1.0f / 255.0f);

            if (steps == 8 && byteA == byteB)
            {
                output[0] = u8(byteA);
                output[1] = u8(byteB);
                return;
            }

            // The two ends of the fit in the order the bytes give them: six-value blocks store
            // the low endpoint first, eight-value blocks the high one.
            const float first = steps == 6 ? a : b;
            const float second = steps == 6 ? b : a;
            output[0] = u8(steps == 6 ? byteA : byteB);
            output[1] = u8(steps == 6 ? byteB : byteA);

            const float span = second - first;
            const float scale = span != 0.0f ? float(steps - 1) / span : 0.0f;
            const u32* map = steps == 6 ? alphaMap6 : alphaMap8;
            u64 indices = 0;
            for (int i = 0; i < 16; ++i)
            {
                const float value = texels[i][3];
                const float t = (value - first) * scale;
                u64 index;
                if (t <= 0.0f)
                    index = (steps == 6 && value <= first * 0.5f) ? 6 : 0;
                else if (t >= float(steps - 1))
                    index = (steps == 6 && value >= (second + 1.0f) * 0.5f) ? 7 : 1;
                else
                    index = map[int(t + 0.5f)];
                indices |= index << (3 * i);
            }
            // two 24-bit groups of eight texels: bytes 2-4 and 5-7
            for (int k = 0; k < 6; ++k)
                output[2 + k] = u8(indices >> (8 * k));
        }

        void encodeBlockBC1Alpha(u8* output, const Texels& texels, float threshold)
        {
            encodeColorBlockBC1(output, texels, true, threshold);
        }

    } // namespace

    void encodeBlockDXT1(const TextureCompressionInfo&, u8* output, const u8* source, s32 stride)
    {
        Texels texels;
        loadTexels(texels, source, stride);
        encodeBlockBC1Alpha(output, texels, 0.0f); // no texel is transparent
    }

    void encodeBlockDXT1A(const TextureCompressionInfo&, u8* output, const u8* source, s32 stride)
    {
        Texels texels;
        loadTexels(texels, source, stride);
        encodeBlockBC1Alpha(output, texels, 1.0f / 255.0f); // only alpha 0 is transparent
    }

    void encodeBlockDXT3(const TextureCompressionInfo&, u8* output, const u8* source, s32 stride)
    {
        Texels texels;
        loadTexels(texels, source, stride);
        encodeBlockBC2Alpha(output, texels);
        encodeColorBlockBC1(output + 8, texels, false, 0.0f);
    }

    void encodeBlockDXT5(const TextureCompressionInfo&, u8* output, const u8* source, s32 stride)
    {
        Texels texels;
        loadTexels(texels, source, stride);
        encodeColorBlockBC1(output + 8, texels, false, 0.0f);
        encodeBlockBC3Alpha(output, texels);
    }

} // namespace norva
