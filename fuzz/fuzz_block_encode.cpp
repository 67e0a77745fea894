// BC1-BC5 and ETC1 block encoders on arbitrary texels: the first byte picks the row, the
// next bytes are the block's 16 texels in the row's format (RGBA 8888, or four floats for
// the RGTC rows with NaN, infinities and subnormals included; missing bytes are zero).
// The encoder must be deterministic, DXT1 with alpha must keep exactly the alpha-0 texels
// transparent, and the RGTC blocks must decode to finite values inside their range.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <norva/image/texture.hpp>

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
