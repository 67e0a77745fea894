// BC1-BC5 and ETC1 block encoders on arbitrary texels: the first byte picks the row, the
// next bytes are the block's 16 texels in the row's format (RGBA 8888, or four floats for
// the RGTC rows with NaN, infinities and subnormals included; missing bytes are zero).
// The encoder must be deterministic, DXT1 with alpha must keep exactly the alpha-0 texels
// transparent, the BC1 colour block must be the same from the scalar and the SSE2 code and
// use the mode its endpoint order says, and the RGTC blocks must decode to finite values
// inside their range.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <norva/core/cpu.hpp>
#include <norva/core/endian.hpp>
#include <norva/image/texture.hpp>

#include "texture/block/block_dxt_color.hpp"

using namespace norva;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    static const TextureCompression codes[] = {
        TextureCompression::DXT1,        TextureCompression::DXT1_ALPHA,       TextureCompression::DXT3,
        TextureCompression::DXT5,        TextureCompression::RGTC1_RED,        TextureCompression::RGTC1_SIGNED_RED,
        TextureCompression::RGTC2_RG,    TextureCompression::RGTC2_SIGNED_RG,  TextureCompression::ETC1_RGB,
    };
    const TextureCompression code = codes[data[0] % (sizeof(codes) / sizeof(codes[0]))];
    const TextureCompressionInfo info(code);

    alignas(16) u8 texels[256] = {};
    const size_t stride = size_t(info.format.bytes()) * 4;
    const size_t bytes = stride * 4;
    std::memcpy(texels, data + 1, size - 1 < bytes ? size - 1 : bytes);

    u8 block[16];
    u8 again[16];
    info.encode(info, block, texels, s32(stride));
    info.encode(info, again, texels, s32(stride));
    if (std::memcmp(block, again, size_t(info.bytes)) != 0)
        std::abort();

    if (info.format != Format::RGBA32F && code != TextureCompression::ETC1_RGB)
    {
        // the colour half (bytes 8-15 of DXT3/DXT5), alpha 0 transparent for DXT1 with alpha
        const bool colorKey = code == TextureCompression::DXT1_ALPHA;
        u8 scalar[8];
        dxtcolor::getEncoder(0)(scalar, texels, s32(stride), colorKey);
        if (std::memcmp(scalar, block + info.bytes - 8, 8) != 0)
            std::abort();
        if (getCPUFlags() & CPU_SSE2)
        {
            u8 simd[8];
            dxtcolor::getEncoder(CPU_SSE2)(simd, texels, s32(stride), colorKey);
            if (std::memcmp(scalar, simd, 8) != 0)
                std::abort();
        }
        // an opaque block is four-colour: color0 > color1, or one colour with indices 0
        bool opaque = true;
        for (int i = 0; i < 16; ++i)
            opaque = opaque && (!colorKey || texels[i * 4 + 3] != 0);
        const u16 color0 = loadLE16(scalar);
        const u16 color1 = loadLE16(scalar + 2);
        if (opaque && !(color0 > color1 || (color0 == color1 && loadLE32(scalar + 4) == 0)))
            std::abort();
    }

    alignas(16) u8 decoded[256];
    info.decode(info, decoded, block, s32(stride));
    if (info.format == Format::RGBA32F)
    {
        const bool isSigned = code == TextureCompression::RGTC1_SIGNED_RED || code == TextureCompression::RGTC2_SIGNED_RG;
        float values[64];
        std::memcpy(values, decoded, sizeof(values));
        for (float v : values)
            if (!std::isfinite(v) || v < (isSigned ? -1.0f : 0.0f) || v > 1.0f)
                std::abort();
    }
    else if (code == TextureCompression::DXT1_ALPHA)
    {
        for (int i = 0; i < 16; ++i)
            if ((texels[i * 4 + 3] == 0) != (decoded[i * 4 + 3] == 0))
                std::abort();
    }
    return 0;
}
