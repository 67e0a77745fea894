// BC6H and BC7 block encoders on arbitrary texels: the first byte picks the row, the next
// 256 bytes are the block's 16 texels of four floats (NaN, infinities and subnormals
// included; missing bytes are zero). Every block must decode to finite values.

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
        TextureCompression::BPTC_RGB_UNSIGNED_FLOAT,
        TextureCompression::BPTC_RGB_SIGNED_FLOAT,
        TextureCompression::BPTC_RGBA_UNORM,
    };
    const TextureCompressionInfo info(codes[data[0] % 3]);
    float texels[16][4] = {};
    std::memcpy(texels, data + 1, size - 1 < sizeof(texels) ? size - 1 : sizeof(texels));

    u8 block[16];
    info.encode(info, block, reinterpret_cast<const u8*>(texels), 64);
    float decoded[16][4];
    info.decode(info, reinterpret_cast<u8*>(decoded), block, 64);
    for (const auto& texel : decoded)
        for (float v : texel)
            if (!std::isfinite(v))
                std::abort();
    return 0;
}
