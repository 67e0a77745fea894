// PowerVR texture files: the legacy 44- and 52-byte headers and version 3 in either byte
// order. Compressed pixel types are rows of the texture table; uncompressed ones describe
// their channels and are blitted. Data: per mip level, per surface, per face, per slice,
// one image.
//
// Level sizes come from the table row (ceiling division for every block size; PVRTC levels
// hold at least 2 x 2 blocks) or from the pixel size, and every span is checked against
// the file, so truncation ends in a status.

#include <algorithm>

#include <norva/core/byte_reader.hpp>
#include <norva/image/decoder.hpp>
#include <norva/image/texture.hpp>

#include "texture_private.hpp"

namespace norva
{
    namespace
    {
        using TC = TextureCompression;

        constexpr const char* tag = "[ImageDecoder.PVR] ";

        constexpr u32 PVR3_LE = 0x03525650;
        constexpr u32 PVR3_BE = 0x50565203;
        constexpr u32 PVR_TAG = 0x21525650; // "PVR!"

        // Legacy pixel types: a Format or a code.
        struct LegacyType
        {
            u32 type;
            Format format;
            TC code;
        };

        constexpr LegacyType legacyTypes[] = {
            { 0, Format(16, Format::UNORM, Format::ARGB, 4, 4, 4, 4), TC::NONE },
            { 16, Format(16, Format::UNORM, Format::ARGB, 4, 4, 4, 4), TC::NONE },
            { 1, Format(16, Format::UNORM, Format::ARGB, 1, 5, 5, 5), TC::NONE },
            { 17, Format(16, Format::UNORM, Format::ARGB, 1, 5, 5, 5), TC::NONE },
            { 2, Format(16, Format::UNORM, Format::RGBA, 5, 6, 5, 0), TC::NONE },
            { 19, Format(16, Format::UNORM, Format::RGBA, 5, 6, 5, 0), TC::NONE },
            { 3, Format(16, Format::UNORM, Format::RGBA, 5, 5, 5, 0), TC::NONE },
            { 20, Format(16, Format::UNORM, Format::RGBA, 5, 5, 5, 0), TC::NONE },
            { 4, Format(24, Format::UNORM, Format::RGBA, 8, 8, 8, 0), TC::NONE },
            { 21, Format(24, Format::UNORM, Format::RGBA, 8, 8, 8, 0), TC::NONE },
            { 5, Format(32, Format::UNORM, Format::ARGB, 8, 8, 8, 8), TC::NONE },
            { 18, Format(32, Format::UNORM, Format::RGBA, 8, 8, 8, 8), TC::NONE }, // bytes R, G, B, A
            { 6, Format(16, Format::UNORM, Format::ARGB, 8, 3, 3, 2), TC::NONE },
            { 7, LuminanceFormat(8, Format::UNORM, 8, 0), TC::NONE },
            { 22, LuminanceFormat(8, Format::UNORM, 8, 0), TC::NONE },
            { 67, LuminanceFormat(8, Format::UNORM, 8, 0), TC::NONE },
            { 8, LuminanceFormat(16, Format::UNORM, 8, 8), TC::NONE },
            { 23, LuminanceFormat(16, Format::UNORM, 8, 8), TC::NONE },
            { 68, LuminanceFormat(16, Format::UNORM, 8, 8), TC::NONE },
            { 12, Format(), TC::PVRTC_RGBA_2BPP },
            { 24, Format(), TC::PVRTC_RGBA_2BPP },
            { 13, Format(), TC::PVRTC_RGBA_4BPP },
            { 25, Format(), TC::PVRTC_RGBA_4BPP },
            { 26, Format(32, Format::UNORM, Format::BGRA, 8, 8, 8, 8), TC::NONE },
            { 32, Format(), TC::DXT1 },
            { 33, Format(), TC::DXT3 }, // DXT2: premultiplied DXT3 blocks
            { 34, Format(), TC::DXT3 },
            { 35, Format(), TC::DXT5 }, // DXT4: premultiplied DXT5 blocks
            { 36, Format(), TC::DXT5 },
            { 37, Format(8, Format::UNORM, Format::RGBA, 3, 3, 2, 0), TC::NONE },
            { 38, LuminanceFormat(8, Format::UNORM, 4, 4), TC::NONE },
            { 42, Format(32, Format::UNORM, Format::ABGR, 2, 10, 10, 10), TC::NONE },
            { 43, Format(32, Format::UNORM, Format::ARGB, 2, 10, 10, 10), TC::NONE },
            { 48, Format(16, Format::FLOAT16, Format::RGBA, 16, 0, 0, 0), TC::NONE },
            { 49, Format(32, Format::FLOAT16, Format::RGBA, 16, 16, 0, 0), TC::NONE },
            { 50, Format(64, Format::FLOAT16, Format::RGBA, 16, 16, 16, 16), TC::NONE },
            { 51, Format(32, Format::FLOAT32, Format::RGBA, 32, 0, 0, 0), TC::NONE },
            { 52, Format(64, Format::FLOAT32, Format::RGBA, 32, 32, 0, 0), TC::NONE },
            { 53, Format(128, Format::FLOAT32, Format::RGBA, 32, 32, 32, 32), TC::NONE },
            { 54, Format(), TC::ETC1_RGB },
            { 64, Format(8, Format::UNORM, 0x27, 8, 0, 0, 0), TC::NONE },
            { 66, LuminanceFormat(16, Format::UNORM, 16, 0), TC::NONE },
        };

        // Version 3 compressed pixel formats 0..50 as PowerVR's tools number them (17 and 18
        // have no row). EAC and BC4/BC5 take their signed rows from the channel type.
        constexpr TC v3Codes[] = {
            TC::PVRTC_RGB_2BPP, TC::PVRTC_RGBA_2BPP, TC::PVRTC_RGB_4BPP, TC::PVRTC_RGBA_4BPP,
            TC::PVRTC2_RGBA_2BPP, TC::PVRTC2_RGBA_4BPP, TC::ETC1_RGB,
            TC::DXT1, TC::DXT3, TC::DXT3, TC::DXT5, TC::DXT5, // DXT2 and DXT4 with their block layout
            TC::RGTC1_RED, TC::RGTC2_RG, TC::BPTC_RGB_UNSIGNED_FLOAT, TC::BPTC_RGBA_UNORM,
            TC::UYVY, TC::NONE, TC::NONE, TC::RGB9_E5, TC::R8G8_B8G8, TC::G8R8_G8B8,
            TC::ETC2_RGB, TC::ETC2_RGBA, TC::ETC2_RGB_ALPHA1, TC::EAC_R11, TC::EAC_RG11,
            TC::ASTC_RGBA_4x4, TC::ASTC_RGBA_5x4, TC::ASTC_RGBA_5x5, TC::ASTC_RGBA_6x5, TC::ASTC_RGBA_6x6,
            TC::ASTC_RGBA_8x5, TC::ASTC_RGBA_8x6, TC::ASTC_RGBA_8x8, TC::ASTC_RGBA_10x5, TC::ASTC_RGBA_10x6,
            TC::ASTC_RGBA_10x8, TC::ASTC_RGBA_10x10, TC::ASTC_RGBA_12x10, TC::ASTC_RGBA_12x12,
            TC::ASTC_RGBA_3x3x3, TC::ASTC_RGBA_4x3x3, TC::ASTC_RGBA_4x4x3, TC::ASTC_RGBA_4x4x4, TC::ASTC_RGBA_5x4x4,
            TC::ASTC_RGBA_5x5x4, TC::ASTC_RGBA_5x5x5, TC::ASTC_RGBA_6x5x5, TC::ASTC_RGBA_6x6x5, TC::ASTC_RGBA_6x6x6,
        };
        static_assert(std::size(v3Codes) == 51);

        // Channel names in bytes 0..3 and their bit counts in bytes 4..7. Packed layouts
        // ('r', 'g', 'b' 5:6:5) name the channels from the word's top bits down, as GL's
        // packed types do; whole-byte channels ('r', 'g', 'b', 'a' 8:8:8:8) are stored in
        // the order named, first channel at the lowest address, as GL's byte types do.
        Format channelFormat(u64 pixelFormat, u16 type)
        {
            bool wholeBytes = true;
            for (int i = 0; i < 4; ++i)
                wholeBytes &= ((pixelFormat >> (32 + 8 * i)) & 7) == 0;

            u32 sizes = 0;
            u32 offsets = 0;
            u32 position = 0;
            for (int k = 0; k < 4; ++k)
            {
                const int i = wholeBytes ? k : 3 - k;
                const char name = char(pixelFormat >> (8 * i));
                const u32 bits = u32(pixelFormat >> (32 + 8 * i)) & 0xFF;
                int component = -1;
                switch (name)
                {
                    case 'r': component = 0; break;
                    case 'g': component = 1; break;
                    case 'b': component = 2; break;
                    case 'a': component = 3; break;
                    default: break;
                }
                if (component < 0)
                    continue;
                sizes |= bits << (8 * component);
                offsets |= (position & 0xFF) << (8 * component);
                position += bits;
            }
            return Format((position + 7) & ~7u, type, sizes, offsets);
        }

        class Interface : public TextureDecoder
        {
        public:
            explicit Interface(ConstMemory memory);

            ConstMemory memory(int level, int depth, int face) override;

        private:
            void parseLegacy(ByteReader& reader, u32 headerSize);
            void parseVersion3(ByteReader& reader, bool bigEndian);
            bool setSize(u32 width, u32 height, u32 depth);

            ConstMemory m_memory;
            u64 m_dataOffset = 0;
            s32 m_surfaces = 1;
        };

        Interface::Interface(ConstMemory memory)
            : TextureDecoder(tag)
            , m_memory(memory)
        {
            ByteReader reader(memory);
            const u32 version = reader.le32();
            if (reader.isShort())
                m_header.setError("[ImageDecoder.PVR] Incorrect format version: 0x%x", 0u);
            else if (version == 44 || version == 52)
                parseLegacy(reader, version);
            else if (version == PVR3_LE || version == PVR3_BE)
                parseVersion3(reader, version == PVR3_BE);
            else
                m_header.setError("[ImageDecoder.PVR] Incorrect format version: 0x%x", version);

            if (m_header.success && m_dataOffset > memory.size)
                m_header.setError("[ImageDecoder.PVR] Incorrect header.");
        }

        bool Interface::setSize(u32 width, u32 height, u32 depth)
        {
            if (width == 0 || height == 0 || width > maxTextureSize || height > maxTextureSize ||
                depth > maxTextureSize)
            {
                m_header.setError("[ImageDecoder.PVR] Incorrect image size: %u x %u x %u.", width, height, depth);
                return false;
            }
            m_header.width = s32(width);
            m_header.height = s32(height);
            m_header.depth = s32(std::max<u32>(depth, 1));
            return true;
        }

        void Interface::parseLegacy(ByteReader& reader, u32 headerSize)
        {
            const u32 height = reader.le32();
            const u32 width = reader.le32();
            const u32 mipmaps = reader.le32();
            const u32 flags = reader.le32();
            if (headerSize == 52)
            {
                reader.seek(44);
                const u32 identifier = reader.le32();
                if (!reader.isShort() && identifier != PVR_TAG)
                {
                    m_header.setError("[ImageDecoder.PVR] Incorrect format identifier: 0x%x", identifier);
                    return;
                }
            }
            if (reader.isShort() || m_memory.size < headerSize)
            {
                m_header.setError("[ImageDecoder.PVR] Incorrect header.");
                return;
            }
            if (mipmaps > 31)
            {
                m_header.setError("[ImageDecoder.PVR] Incorrect mip map count: %u.", mipmaps);
                return;
            }
            if (!setSize(width, height, 1))
                return;

            m_header.levels = s32(mipmaps) + 1;
            m_header.faces = 1;
            m_dataOffset = headerSize;

            const u32 type = flags & 0xFF;
            for (const LegacyType& entry : legacyTypes)
            {
                if (entry.type == type)
                {
                    if (entry.code != TC::NONE)
                    {
                        m_info = TextureCompressionInfo(entry.code);
                        m_header.compression = u32(entry.code);
                        m_header.format = m_info.format;
                    }
                    else
                    {
                        m_header.format = entry.format;
                    }
                    return;
                }
            }
        }

        void Interface::parseVersion3(ByteReader& reader, bool bigEndian)
        {
            reader.skip(4); // flags
            const u64 pixelFormat = bigEndian ? reader.be64() : reader.le64();
            const u32 colorSpace = reader.order32(bigEndian);
            const u32 channelType = reader.order32(bigEndian);
            const u32 height = reader.order32(bigEndian);
            const u32 width = reader.order32(bigEndian);
            const u32 depth = reader.order32(bigEndian);
            const u32 surfaces = reader.order32(bigEndian);
            const u32 faces = reader.order32(bigEndian);
            const u32 mipmaps = reader.order32(bigEndian);
            const u32 metadata = reader.order32(bigEndian);
            if (reader.isShort())
            {
                m_header.setError("[ImageDecoder.PVR] Incorrect header.");
                return;
            }

            if (channelType >= 13)
            {
                m_header.setError("[ImageDecoder.PVR] Incorrect channeltype: %d", int(channelType));
                return;
            }
            const bool compressed = (pixelFormat >> 32) == 0;
            if (compressed && pixelFormat >= std::size(v3Codes))
            {
                m_header.setError("[ImageDecoder.PVR] Incorrect pixelformat: %d", int(pixelFormat));
                return;
            }
            if (surfaces > 1)
            {
                m_header.setError("[ImageDecoder.PVR] Surface arrays not supported.");
                return;
            }
            if (faces != 1 && faces != 6)
            {
                m_header.setError("[ImageDecoder.PVR] Incorrect number of faces: %d", int(faces));
                return;
            }
            if (colorSpace > 1)
            {
                m_header.setError("[ImageDecoder.PVR] Incorrect colorspace: %d", int(colorSpace));
                return;
            }
            if (mipmaps > 32)
            {
                m_header.setError("[ImageDecoder.PVR] Incorrect mip map count: %u.", mipmaps);
                return;
            }
            if (!setSize(width, height, depth))
                return;

            m_header.levels = s32(std::max<u32>(mipmaps, 1));
            m_header.faces = s32(faces);
            m_surfaces = 1;
            m_dataOffset = 52 + u64(metadata);

            if (compressed)
            {
                // signed normalised channel types (byte, short, int) pick the signed rows
                const bool snorm = channelType == 1 || channelType == 5 || channelType == 9;
                TC code = v3Codes[pixelFormat];
                if (snorm)
                {
                    switch (code)
                    {
                        case TC::RGTC1_RED: code = TC::RGTC1_SIGNED_RED; break;
                        case TC::RGTC2_RG: code = TC::RGTC2_SIGNED_RG; break;
                        case TC::EAC_R11: code = TC::EAC_SIGNED_R11; break;
                        case TC::EAC_RG11: code = TC::EAC_SIGNED_RG11; break;
                        default: break;
                    }
                }
                m_info = TextureCompressionInfo(code);
                m_header.compression = u32(code);
                m_header.format = m_info.format;
                return;
            }

            // channel types 12 (float) and 4..11 (wider integers) leave the type UNORM
            // except for floats, which take their width from the channel size
            u16 type = Format::UNORM;
            if (channelType == 12)
            {
                const Format probe = channelFormat(pixelFormat, Format::FLOAT32);
                const u32 bits = probe.size[0];
                type = bits == 16 ? Format::FLOAT16 : bits == 32 ? Format::FLOAT32 : Format::NONE;
            }
            m_header.format = channelFormat(pixelFormat, type);
        }

        ConstMemory Interface::memory(int level, int depth, int face)
        {
            if (!hasImage(level, face) || depth < 0 || depth >= std::max(m_header.depth, 1))
                return ConstMemory();

            // levels, then surfaces, faces and slices inside each level; products saturate
            // so that a huge header walks off the end of the file instead of wrapping
            auto product = [](u64 a, u64 b) {
                u64 r;
                return __builtin_mul_overflow(a, b, &r) ? ~u64(0) : r;
            };
            u64 offset = m_dataOffset;
            for (int l = 0; l < level; ++l)
            {
                const u64 images = u64(m_surfaces) * u64(m_header.faces) * u64(getMipSize(m_header.depth, l));
                const u64 bytes = product(getImageSize(l), images);
                if (offset > m_memory.size || bytes > m_memory.size - offset)
                    return ConstMemory();
                offset += bytes;
            }
            const s32 slices = getMipSize(m_header.depth, level);
            if (depth >= slices)
                return ConstMemory();
            const u64 size = getImageSize(level);
            const u64 skip = product(size, u64(face) * u64(slices) + u64(depth));
            if (offset > m_memory.size || skip > m_memory.size - offset)
                return ConstMemory();
            offset += skip;
            return ConstMemory(m_memory.address + offset, std::min(size, m_memory.size - offset));
        }

        ImageDecoderInterface* createDecoderPVR(ConstMemory memory)
        {
            return new Interface(memory);
        }

    } // namespace

    void registerImageDecoderPVR()
    {
        registerImageDecoder(createDecoderPVR, ".pvr");
    }

} // namespace norva
