// BC4 and BC5 (RGTC1, RGTC2) block encoders, unsigned and signed. Each channel gets an
// endpoint pair fitted to its 16 values, in the six-value mode (which holds the range ends
// exactly) when the values touch an end of the range and in the eight-value mode
// otherwise; each texel then takes the nearest entry of the palette the decoder builds.

#include <algorithm>
#include <cstring>

#include <norva/core/endian.hpp>

#include "block_bc4_indices.hpp"
#include "block_codecs.hpp"
#include "block_endpoints.hpp"
#include "block_rgtc.hpp"

namespace norva
{
    namespace
    {
        // Unsigned bytes round to nearest (x and y are already inside [0, 1]): truncation
        // would store an endpoint of exactly 200 / 255, which is 199.99998 after the float
        // product, as 199.
        u8 unsignedByte(float v)
        {
            return u8(v * 255.0f + 0.5f);
        }

        // Signed bytes round half away from zero.
        u8 signedByte(float v)
        {
            const float s = std::clamp(v, -1.0f, 1.0f) * 127.0f;
            return u8(s8(s + (s < 0.0f ? -0.5f : 0.5f)));
        }

        void chooseEndpointsUnsigned(const float values[16], u8* block)
        {
            const auto [low, high] = std::minmax_element(values, values + 16);
            float x;
            float y;
            if (*low == 0.0f || *high == 1.0f)
            {
                refineChannelEndpoints(x, y, values, 6, 0.0f);
                block[0] = unsignedByte(x);
                block[1] = unsignedByte(y);
            }
            else
            {
                refineChannelEndpoints(x, y, values, 8, 0.0f);
                block[0] = unsignedByte(y);
                block[1] = unsignedByte(x);
            }
        }

        void chooseEndpointsSigned(const float values[16], u8* block)
        {
            const auto [low, high] = std::minmax_element(values, values + 16);
            float x;
            float y;
            if (*low != -1.0f && *high != 1.0f)
            {
                refineChannelEndpoints(x, y, values, 8, -1.0f);
                block[0] = signedByte(y);
                block[1] = signedByte(x);
            }
            else
            {
                refineChannelEndpoints(x, y, values, 6, -1.0f);
                block[0] = signedByte(x);
                block[1] = signedByte(y);
            }
        }

        // Nearest palette entry per texel; ties keep the lower index.
        template <void (*Palette)(float*, const u8*)>
        void assignIndices(u8* block, const float values[16])
        {
            float palette[8];
            Palette(palette, block);
            const u64 indices = bc4indices::chooser()(palette, values);
            storeLE16(block + 2, u16(indices));
            storeLE32(block + 4, u32(indices >> 16));
        }

        // Channel `component` of the 16 float texels, clamped into the range the block can
        // hold (NaN becomes the minimum) so that the fit only sees finite values.
        void gatherChannel(float values[16], const u8* source, s32 stride, int component, float minimum)
        {
            for (int y = 0; y < 4; ++y)
            {
                const u8* row = source + ptrdiff_t(y) * stride;
                for (int x = 0; x < 4; ++x)
                {
                    float v;
                    std::memcpy(&v, row + x * 16 + component * 4, 4);
                    values[y * 4 + x] = v >= minimum ? std::min(v, 1.0f) : minimum;
                }
            }
        }

        void encodeChannelUnsigned(u8* block, const u8* source, s32 stride, int component)
        {
            float values[16];
            gatherChannel(values, source, stride, component, 0.0f);
            chooseEndpointsUnsigned(values, block);
            assignIndices<channelPaletteUnsigned>(block, values);
        }

        void encodeChannelSigned(u8* block, const u8* source, s32 stride, int component)
        {
            float values[16];
            gatherChannel(values, source, stride, component, -1.0f);
            chooseEndpointsSigned(values, block);
            assignIndices<channelPaletteSigned>(block, values);
        }

    } // namespace

    void encodeBlockBC4U(const TextureCompressionInfo&, u8* output, const u8* source, s32 stride)
    {
        std::memset(output, 0, 8);
        encodeChannelUnsigned(output, source, stride, 0);
    }

    void encodeBlockBC4S(const TextureCompressionInfo&, u8* output, const u8* source, s32 stride)
    {
        std::memset(output, 0, 8);
        encodeChannelSigned(output, source, stride, 0);
    }

    void encodeBlockBC5U(const TextureCompressionInfo&, u8* output, const u8* source, s32 stride)
    {
        std::memset(output, 0, 16);
        encodeChannelUnsigned(output, source, stride, 0);
        encodeChannelUnsigned(output + 8, source, stride, 1);
    }

    void encodeBlockBC5S(const TextureCompressionInfo&, u8* output, const u8* source, s32 stride)
    {
        std::memset(output, 0, 16);
        encodeChannelSigned(output, source, stride, 0);
        encodeChannelSigned(output + 8, source, stride, 1);
    }

} // namespace norva
