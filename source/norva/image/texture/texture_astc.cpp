// .astc files (astcenc): a 16-byte little-endian header with the block size and 24-bit
// image sizes, then the 16-byte blocks of one 2D image, top block row first.

#include <norva/core/byte_reader.hpp>
#include <norva/image/decoder.hpp>
#include <norva/image/texture.hpp>

#include "texture_private.hpp"

namespace norva
{
    namespace
    {
        using TC = TextureCompression;

        constexpr const char* tag = "[ImageDecoder.ASTC] ";
        constexpr u32 ASTC_MAGIC = 0x5CA1AB13;

        struct BlockSize
        {
            u8 width;
            u8 height;
            TC code;
        };

        constexpr BlockSize blockSizes[] = {
            { 4, 4, TC::ASTC_RGBA_4x4 }, { 5, 4, TC::ASTC_RGBA_5x4 }, { 5, 5, TC::ASTC_RGBA_5x5 },
            { 6, 5, TC::ASTC_RGBA_6x5 }, { 6, 6, TC::ASTC_RGBA_6x6 }, { 8, 5, TC::ASTC_RGBA_8x5 },
            { 8, 6, TC::ASTC_RGBA_8x6 }, { 8, 8, TC::ASTC_RGBA_8x8 }, { 10, 5, TC::ASTC_RGBA_10x5 },
            { 10, 6, TC::ASTC_RGBA_10x6 }, { 10, 8, TC::ASTC_RGBA_10x8 }, { 10, 10, TC::ASTC_RGBA_10x10 },
            { 12, 10, TC::ASTC_RGBA_12x10 }, { 12, 12, TC::ASTC_RGBA_12x12 },
        };

        class Interface : public BlockFileDecoder
        {
        public:
            explicit Interface(ConstMemory memory);
        };

        Interface::Interface(ConstMemory memory)
            : BlockFileDecoder(tag)
        {
            ByteReader reader(memory);
            const u32 magic = reader.le32();
            const u8 blockWidth = reader.byte();
            const u8 blockHeight = reader.byte();
            const u8 blockDepth = reader.byte();
            const u32 width = reader.le24();
            const u32 height = reader.le24();
            const u32 depth = reader.le24();
            if (reader.isShort() || magic != ASTC_MAGIC)
            {
                m_header.setError("[ImageDecoder.ASTC] Incorrect header.");
                return;
            }

            // Volumes and 3D blocks have no 2D reading: refuse them instead of decoding
            // the first slice's worth of blocks as a picture.
            const BlockSize* size = nullptr;
            for (const BlockSize& entry : blockSizes)
                if (entry.width == blockWidth && entry.height == blockHeight)
                    size = &entry;
            if (!size || blockDepth > 1 || depth > 1)
            {
                m_header.setError("[ImageDecoder.ASTC] Incorrect block size.");
                return;
            }
            if (width == 0 || height == 0)
            {
                m_header.setError("[ImageDecoder.ASTC] Incorrect image size: %u x %u.", width, height);
                return;
            }

            m_info = TextureCompressionInfo(size->code);
            m_blocks = reader.rest();
            m_header.width = s32(width);
            m_header.height = s32(height);
            m_header.depth = s32(depth);
            m_header.format = m_info.format;
            m_header.compression = u32(size->code);
        }

        ImageDecoderInterface* createDecoderASTC(ConstMemory memory)
        {
            return new Interface(memory);
        }

    } // namespace

    void registerImageDecoderASTC()
    {
        registerImageDecoder(createDecoderASTC, ".astc");
    }

} // namespace norva
