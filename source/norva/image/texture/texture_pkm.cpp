// PKM files: a 16-byte big-endian header ("PKM ", version "10" or "20", the ETC/EAC format,
// the block-padded and the real size) and the blocks of one image, decoded at the real size. The encoder writes ETC1
// files through the block drivers, the same bytes as Android's etc1tool.

#include <vector>

#include <norva/core/byte_reader.hpp>
#include <norva/core/endian.hpp>
#include <norva/core/stream.hpp>
#include <norva/image/decoder.hpp>
#include <norva/image/texture.hpp>

#include "format_guard.hpp"
#include "texture_private.hpp"

namespace norva
{
    namespace
    {
        using TC = TextureCompression;

        constexpr const char* tag = "[ImageDecoder.PKM] ";
        constexpr u32 PKM_MAGIC = 0x504B4D20; // "PKM "
        constexpr u64 headerSize = 16;

        // Format numbers 0..8; 2 (ETC2 RGB with a different alpha layout) is not supported.
        constexpr TC pkmCodes[] = {
            TC::ETC1_RGB, TC::ETC2_RGB, TC::NONE, TC::ETC2_RGBA, TC::ETC2_RGB_ALPHA1,
            TC::EAC_R11, TC::EAC_RG11, TC::EAC_SIGNED_R11, TC::EAC_SIGNED_RG11,
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
            const u32 magic = reader.be32();
            const u16 version = reader.be16();
            const u16 format = reader.be16();
            const u16 width = reader.be16();
            const u16 height = reader.be16();
            const u16 realWidth = reader.be16();
            const u16 realHeight = reader.be16();

            if (reader.isShort() || magic != PKM_MAGIC)
            {
                m_header.setError("[ImageDecoder.PKM] Incorrect header.");
                return;
            }
            if (version != 0x3130 && version != 0x3230)
            {
                m_header.setError("[ImageDecoder.PKM] Incorrect version (0x%x).", version);
                return;
            }
            if (format == 2)
            {
                m_header.setError("[ImageDecoder.PKM] Unsupported compression.");
                return;
            }
            if (format >= std::size(pkmCodes))
            {
                m_header.setError("[ImageDecoder.PKM] Incorrect compression.");
                return;
            }
            if (width == 0 || height == 0)
            {
                m_header.setError("[ImageDecoder.PKM] Incorrect image size: %u x %u.", width, height);
                return;
            }

            m_info = TextureCompressionInfo(pkmCodes[format]);
            m_blocks = reader.rest();
            // The real size is the picture; the padded one only counts the blocks. Files whose
            // real size would lay the blocks out differently keep the padded size.
            const bool clips = realWidth != 0 && realHeight != 0 && (realWidth + 3) / 4 == (width + 3) / 4 &&
                               (realHeight + 3) / 4 == (height + 3) / 4;
            m_header.width = clips ? realWidth : width;
            m_header.height = clips ? realHeight : height;
            m_header.format = Format::RGBA8888;
            m_header.compression = u32(m_info.compression);
        }

        ImageDecoderInterface* createDecoderPKM(ConstMemory memory)
        {
            return new Interface(memory);
        }

        ImageEncodeStatus encodePKM(Stream& stream, const Surface& surface, const ImageEncodeOptions& options)
        {
            (void)options;
            ImageEncodeStatus status;

            // The header holds 16-bit sizes: a larger image cannot be described.
            if (surface.width <= 0 || surface.height <= 0 || surface.width > 0xFFFC || surface.height > 0xFFFC)
            {
                status.setError("[ImageEncoder.PKM] Image size %d x %d does not fit the header.", surface.width,
                                surface.height);
                return status;
            }
            const TextureCompressionInfo info(TC::ETC1_RGB);
            if (!info.encode)
            {
                status.setError("[ImageEncoder.PKM] No ETC1 compressor.");
                return status;
            }

            const u16 paddedWidth = u16((surface.width + 3) & ~3);
            const u16 paddedHeight = u16((surface.height + 3) & ~3);
            u8 header[headerSize] = { 'P', 'K', 'M', ' ', '1', '0', 0, 0 };
            storeBE16(header + 8, paddedWidth);
            storeBE16(header + 10, paddedHeight);
            storeBE16(header + 12, u16(surface.width));
            storeBE16(header + 14, u16(surface.height));

            return guardStatus<ImageEncodeStatus>("[ImageEncoder.PKM] ", [&] {
                ImageEncodeStatus result;
                std::vector<u8> blocks(size_t(info.getBlockDataSize(surface.width, surface.height)));
                const ImageDecodeStatus encoded = info.compress(Memory(blocks.data(), blocks.size()), surface);
                if (!encoded.success)
                {
                    result.setError("[ImageEncoder.PKM] %s", encoded.info.c_str());
                    return result;
                }
                stream.write(header, headerSize);
                stream.write(blocks.data(), blocks.size());
                return result;
            });
        }

    } // namespace

    void registerImageCodecPKM()
    {
        registerImageDecoder(createDecoderPKM, ".pkm");
        registerImageEncoder(encodePKM, ".pkm");
    }

} // namespace norva
