// KTX 1.1 files in either byte order: a 64-byte header of OpenGL enums, key/value data
// (skipped), then per mip level an image size word and every face's data padded to four
// bytes. A compressed internal format is a row of the texture table; otherwise the GL
// format and type describe the pixels, which are blitted with 4-byte aligned rows.
//
// The header and every image size word are read through a bounded reader, and the level
// walk stops at the end of the file, so truncation ends in a status.

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

        constexpr const char* tag = "[ImageDecoder.KTX] ";

        constexpr u8 identifier[12] = { 0xAB, 0x4B, 0x54, 0x58, 0x20, 0x31, 0x31, 0xBB, 0x0D, 0x0A, 0x1A, 0x0A };

        // glFormat: component type, order and count.
        struct GLFormat
        {
            u32 gl;
            u16 type;
            u32 order;
            int components;
        };

        constexpr u32 ORDER_GREEN = 0xE1; // the one component lands in green

        constexpr GLFormat glFormats[] = {
            { 0x1903, Format::UNORM, Format::RGBA, 1 },   // RED
            { 0x1904, Format::UNORM, ORDER_GREEN, 1 },    // GREEN
            { 0x1905, Format::UNORM, Format::BGRA, 1 },   // BLUE
            { 0x1907, Format::UNORM, Format::RGBA, 3 },   // RGB
            { 0x1908, Format::UNORM, Format::RGBA, 4 },   // RGBA
            { 0x80E0, Format::UNORM, Format::BGRA, 3 },   // BGR
            { 0x80E1, Format::UNORM, Format::BGRA, 4 },   // BGRA
            { 0x8227, Format::UNORM, Format::RGBA, 2 },   // RG
            { 0x8228, Format::UINT, Format::RGBA, 2 },    // RG_INTEGER
            { 0x8D94, Format::UINT, Format::RGBA, 1 },    // RED_INTEGER
            { 0x8D95, Format::UINT, ORDER_GREEN, 1 },     // GREEN_INTEGER
            { 0x8D96, Format::UINT, Format::BGRA, 1 },    // BLUE_INTEGER
            { 0x8D98, Format::UINT, Format::RGBA, 3 },    // RGB_INTEGER
            { 0x8D99, Format::UINT, Format::RGBA, 4 },    // RGBA_INTEGER
            { 0x8D9A, Format::UINT, Format::BGRA, 3 },    // BGR_INTEGER
            { 0x8D9B, Format::UINT, Format::BGRA, 4 },    // BGRA_INTEGER
        };

        // Packed glTypes: the Format for an RGBA-ordered glFormat and for a BGRA-ordered one.
        struct PackedType
        {
            u32 gl;
            Format rgba;
            Format bgra;
        };

        constexpr Format F(u32 bits, u32 order, u32 s0, u32 s1, u32 s2, u32 s3, u16 type = Format::UNORM)
        {
            return Format(bits, type, order, s0, s1, s2, s3);
        }

        constexpr PackedType packedTypes[] = {
            { 0x8032, F(8, Format::BGRA, 2, 3, 3, 0), F(8, Format::BGRA, 2, 3, 3, 0) },
            { 0x8362, F(8, Format::RGBA, 3, 3, 2, 0), F(8, Format::RGBA, 3, 3, 2, 0) },
            { 0x8033, F(16, Format::ABGR, 4, 4, 4, 4), F(16, Format::ARGB, 4, 4, 4, 4) },
            { 0x8034, F(16, Format::ABGR, 1, 5, 5, 5), F(16, Format::ARGB, 1, 5, 5, 5) },
            { 0x8035, F(32, Format::ABGR, 8, 8, 8, 8), F(32, Format::ARGB, 8, 8, 8, 8) },
            { 0x8036, F(32, Format::ABGR, 2, 10, 10, 10), F(32, Format::ARGB, 2, 10, 10, 10) },
            { 0x8363, F(16, Format::BGRA, 5, 6, 5, 0), F(16, Format::BGRA, 5, 6, 5, 0) },
            { 0x8364, F(16, Format::RGBA, 5, 6, 5, 0), F(16, Format::RGBA, 5, 6, 5, 0) },
            { 0x8365, F(16, Format::RGBA, 4, 4, 4, 4), F(16, Format::BGRA, 4, 4, 4, 4) },
            { 0x8366, F(16, Format::RGBA, 5, 5, 5, 1), F(16, Format::BGRA, 5, 5, 5, 1) },
            { 0x8367, F(32, Format::RGBA, 8, 8, 8, 8), F(32, Format::BGRA, 8, 8, 8, 8) },
            { 0x8368, F(32, Format::RGBA, 10, 10, 10, 2), F(32, Format::BGRA, 10, 10, 10, 2) },
            { 0x8D9F, F(32, Format::RGBA, 10, 10, 10, 2, Format::SNORM), F(32, Format::BGRA, 10, 10, 10, 2, Format::SNORM) },
        };

        // glTypes whose words are packed-float rows of the texture table.
        struct PackedCode
        {
            u32 gl;
            TC code;
        };

        constexpr PackedCode packedCodes[] = {
            { 0x8C3A, TC::R11F_G11F_B10F },
            { 0x8C3B, TC::R10F_G11F_B11F },
            { 0x8C3D, TC::RGB9_E5 },
        };

        // The Format (and possibly the code) of an uncompressed glFormat / glType pair; an
        // empty Format when the pair has none.
        Format translate(u32 glFormat, u32 glType, TC& code)
        {
            const GLFormat* format = nullptr;
            for (const GLFormat& entry : glFormats)
                if (entry.gl == glFormat)
                    format = &entry;
            const bool rgbaOrder = !format || format->order == Format::RGBA;

            for (const PackedType& entry : packedTypes)
                if (entry.gl == glType)
                    return rgbaOrder ? entry.rgba : entry.bgra;
            for (const PackedCode& entry : packedCodes)
            {
                if (entry.gl == glType)
                {
                    code = entry.code;
                    return TextureCompressionInfo(entry.code).format;
                }
            }

            if (!format)
                return Format();

            u16 type = format->type;
            u32 width = 0;
            switch (glType)
            {
                case 0x1400: width = 8; type = type == Format::UNORM ? Format::SNORM : Format::SINT; break;
                case 0x1401: width = 8; break;
                case 0x1402: width = 16; type = type == Format::UNORM ? Format::SNORM : Format::SINT; break;
                case 0x1403: width = 16; break;
                case 0x1404: width = 32; type = type == Format::UNORM ? Format::SNORM : Format::SINT; break;
                case 0x1405: width = 32; break;
                case 0x1406: width = 32; type = Format::FLOAT32; break;
                case 0x140B: width = 16; type = Format::FLOAT16; break;
                default: return Format();
            }
            const int n = format->components;
            return Format(width * n, type, format->order, width, n > 1 ? width : 0, n > 2 ? width : 0,
                          n > 3 ? width : 0);
        }

        class Interface : public TextureDecoder
        {
        public:
            explicit Interface(ConstMemory memory);

            ConstMemory memory(int level, int depth, int face) override;

        private:
            u64 getRowBytes(s32 width) const override
            {
                return (u64(m_header.format.bits + 7) / 8 * u64(width) + 3) & ~u64(3);
            }

            ConstMemory m_memory;
            bool m_bigEndian = false;
            u64 m_dataOffset = 0;
        };

        Interface::Interface(ConstMemory memory)
            : TextureDecoder(tag)
            , m_memory(memory)
        {
            ByteReader reader(memory);
            const ConstMemory id = reader.bytes(12);
            if (reader.isShort() || std::memcmp(id.address, identifier, 12) != 0 || memory.size < 64)
            {
                m_header.setError("[ImageDecoder.KTX] Incorrect identifier.");
                return;
            }
            const u32 endianness = reader.le32();
            if (endianness != 0x04030201 && endianness != 0x01020304)
            {
                m_header.setError("[ImageDecoder.KTX] Incorrect endianness.");
                return;
            }
            m_bigEndian = endianness == 0x01020304;

            u32 words[12];
            for (u32& word : words)
                word = reader.order32(m_bigEndian);
            const u32 glType = words[0];
            const u32 glFormat = words[2];
            const u32 glInternalFormat = words[3];
            const u32 width = words[5];
            const u32 height = words[6];
            const u32 arrayElements = words[8];
            const u32 faces = words[9];
            const u32 levels = words[10];
            const u32 keyValueBytes = words[11];

            if (faces != 1 && faces != 6)
            {
                m_header.setError("[ImageDecoder.KTX] Incorrect number of faces.");
                return;
            }
            if (arrayElements != 0)
            {
                m_header.setError("[ImageDecoder.KTX] Incorrect number of array elements (not supported).");
                return;
            }
            // 1D textures store a height of 0
            const u32 rows = std::max<u32>(height, 1);
            if (width == 0 || width > maxTextureSize || rows > maxTextureSize)
            {
                m_header.setError("[ImageDecoder.KTX] Incorrect image size: %u x %u.", width, height);
                return;
            }
            if (levels > 32)
            {
                m_header.setError("[ImageDecoder.KTX] Incorrect number of mipmap levels: %u.", levels);
                return;
            }
            m_dataOffset = 64 + u64(keyValueBytes);

            m_header.width = s32(width);
            m_header.height = s32(rows);
            m_header.depth = 0;
            m_header.levels = std::max<s32>(s32(levels), 1);
            m_header.faces = s32(faces);
            m_header.palette = false;

            m_info = TextureCompressionInfo::fromGL(glInternalFormat);
            if (m_info.compression != TC::NONE)
            {
                m_header.compression = u32(m_info.compression);
                m_header.format = m_info.format;
                return;
            }
            TC code = TC::NONE;
            m_header.format = translate(glFormat, glType, code);
            if (code != TC::NONE)
            {
                m_info = TextureCompressionInfo(code);
                m_header.compression = u32(code);
            }
        }

        ConstMemory Interface::memory(int level, int depth, int face)
        {
            (void)depth;
            if (!hasImage(level, face))
                return ConstMemory();

            ByteReader reader(m_memory);
            if (!reader.seek(m_dataOffset))
                return ConstMemory();
            for (int l = 0; l <= level; ++l)
            {
                const u64 imageSize = reader.order32(m_bigEndian);
                const u64 padded = (imageSize + 3) & ~u64(3);
                for (int f = 0; f < m_header.faces; ++f)
                {
                    if (l == level && f == face)
                    {
                        if (reader.isShort())
                            return ConstMemory();
                        return ConstMemory(reader.position(), std::min(padded, reader.remaining()));
                    }
                    if (!reader.skip(padded))
                        return ConstMemory();
                }
            }
            return ConstMemory();
        }

        ImageDecoderInterface* createDecoderKTX(ConstMemory memory)
        {
            return new Interface(memory);
        }

    } // namespace

    void registerImageDecoderKTX()
    {
        registerImageDecoder(createDecoderKTX, ".ktx");
    }

} // namespace norva
