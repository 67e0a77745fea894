#pragma once

// Shared by the texture drivers and containers, and read by their tests.

#include <atomic>

#include <norva/core/configure.hpp>

namespace norva
{
    // Block-row tasks the drivers have queued since start: the tests check that an image
    // of N block rows is cut into N tasks.
    std::atomic<u64>& getTextureTaskCounter();

} // namespace norva

#include <norva/image/texture.hpp>

namespace norva
{
    // The fewest bytes of block data that decode a width x height image: getBlockDataSize,
    // except that PVRTC levels below 2 x 2 words may also come unpadded (the level's own
    // words only), as basisu writes them.
    u64 getLeastBlockDataSize(const TextureCompressionInfo& info, s32 width, s32 height);

    // The row that decodes info's blocks into a `dest` destination: info itself, except that
    // float destinations take the float path of the codecs that have one, so values outside
    // 0..1 survive: linear ASTC rows keep HDR values above 1.0 (RGBA, four floats), signed
    // EAC rows their negative values (R or RG floats). Unsigned destinations of signed EAC
    // take the float path too and clamp at 0, as signed BC4 and BC5 (float rows) do. Same
    // code, block and data size.
    TextureCompressionInfo getDecodingRow(const TextureCompressionInfo& info, const Format& dest);

} // namespace norva

#include <algorithm>

#include <norva/image/decoder.hpp>
#include <norva/image/texture.hpp>

namespace norva
{
    // The largest side a texture container accepts: far beyond any GPU, and small enough
    // that every size product of the containers stays exact in 64 bits.
    constexpr u32 maxTextureSize = u32(1) << 24;

    // The size of mip level `level` of a side: halved per level, never below 1.
    inline s32 getMipSize(s32 size, int level)
    {
        return level >= 31 ? 1 : std::max(size >> level, 1);
    }

    // Decodes one image of a texture container (width x height pixels, one level, face
    // and slice) into dest, clipped to it. A non-zero code decodes its blocks from span
    // through the drivers; code 0 blits rows of `stride` bytes of `format` pixels. Fails
    // with a message starting with `tag` when the span is too short, the format is empty or
    // has no conversion into dest's.
    ImageDecodeStatus decodeTextureImage(const char* tag, const Surface& dest, ConstMemory span,
                                         const TextureCompressionInfo& info, s32 width, s32 height,
                                         const Format& format, u64 stride);

    // The part every texture container shares: the header, the table row of its code, and
    // a decode that refuses a failed header and (level, face) pairs outside the header's
    // counts, finds the span through memory() and decodes it with decodeTextureImage.
    // Containers without levels (PKM, .astc) leave levels and faces at 0: one image.
    class TextureDecoder : public ImageDecoderInterface
    {
    public:
        ImageHeader header() override { return m_header; }
        ImageDecodeStatus decode(Surface& dest, Palette* palette, int level, int depth, int face) override;

    protected:
        explicit TextureDecoder(const char* tag) : m_tag(tag) {}

        // Bytes of one row of uncompressed pixels; KTX pads rows to 4 bytes.
        virtual u64 getRowBytes(s32 width) const { return u64(m_header.format.bits + 7) / 8 * u64(width); }

        // Bytes of one image of a level: its blocks, or its rows of pixels.
        u64 getImageSize(int level) const;

        bool hasImage(int level, int face) const
        {
            return m_header.success && level >= 0 && level < std::max(m_header.levels, 1) && face >= 0 &&
                   face < std::max(m_header.faces, 1);
        }

        const char* m_tag;
        ImageHeader m_header;
        TextureCompressionInfo m_info;
    };

    // Single-image block files (PKM, .astc): a header, then the blocks of one image.
    class BlockFileDecoder : public TextureDecoder
    {
    public:
        ConstMemory memory(int level, int depth, int face) override
        {
            (void)depth;
            return hasImage(level, face) ? m_blocks : ConstMemory();
        }

    protected:
        explicit BlockFileDecoder(const char* tag) : TextureDecoder(tag) {}

        ConstMemory m_blocks;
    };

} // namespace norva
