// BC1-BC3 (DXT1, DXT3, DXT5) block encoders. The colour half is block_dxt_color.hpp's
// (DXT1 with transparent texels uses the three-colour mode and index 3 for them); BC2 alpha
// is four bits per texel, BC3 alpha the BC4-style endpoint fit.

#include <algorithm>
#include <cstring>

#include <norva/core/endian.hpp>

#include "block_codecs.hpp"
#include "block_dxt_color.hpp"
#include "block_endpoints.hpp"

namespace norva
{
    namespace
    {
        using Texels = float[16][4];

        // From the fit's value order (x, ..., y) to the BC3 alpha index: the endpoints are 0 and 1.
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

    } // namespace

    void encodeBlockDXT1(const TextureCompressionInfo&, u8* output, const u8* source, s32 stride)
    {
        dxtcolor::encoder()(output, source, stride, false);
    }

    void encodeBlockDXT1A(const TextureCompressionInfo&, u8* output, const u8* source, s32 stride)
    {
        dxtcolor::encoder()(output, source, stride, true); // alpha 0 is transparent
    }

    void encodeBlockDXT3(const TextureCompressionInfo&, u8* output, const u8* source, s32 stride)
    {
        Texels texels;
        loadTexels(texels, source, stride);
        encodeBlockBC2Alpha(output, texels);
        dxtcolor::encoder()(output + 8, source, stride, false);
    }

    void encodeBlockDXT5(const TextureCompressionInfo&, u8* output, const u8* source, s32 stride)
    {
        Texels texels;
        loadTexels(texels, source, stride);
        dxtcolor::encoder()(output + 8, source, stride, false);
        encodeBlockBC3Alpha(output, texels);
    }

} // namespace norva
