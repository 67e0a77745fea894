// DirectDraw Surface files: the 128-byte header, the optional DX10 extension, then every
// face with all of its mip levels. Block encodings decode through the texture table and
// drivers; uncompressed pixels are described by masks, a Direct3D format number in the
// FourCC field, or a DXGI format of the DX10 header, and are blitted.
//
// Every header field is read through a bounded reader and every level span is checked
// against the file, so a truncated or damaged file ends in a status.

#include <algorithm>
#include <bit>
#include <initializer_list>

#include <norva/core/byte_reader.hpp>
#include <norva/image/decoder.hpp>
#include <norva/image/texture.hpp>

#include "texture_private.hpp"

namespace norva
{
    namespace
    {
        using TC = TextureCompression;

        constexpr const char* tag = "[ImageDecoder.DDS] ";

        constexpr u32 makeFourCC(char a, char b, char c, char d)
        {
            return u32(u8(a)) | (u32(u8(b)) << 8) | (u32(u8(c)) << 16) | (u32(u8(d)) << 24);
        }

        constexpr u32 DDS_MAGIC = makeFourCC('D', 'D', 'S', ' ');
        constexpr u32 FOURCC_DX10 = makeFourCC('D', 'X', '1', '0');

        // header and pixel-format flags
        constexpr u32 DDSD_MIPMAPCOUNT = 0x20000;
        constexpr u32 DDPF_ALPHAPIXELS = 0x1;
        constexpr u32 DDPF_ALPHA = 0x2;
        constexpr u32 DDPF_FOURCC = 0x4;
        constexpr u32 DDPF_PALETTEINDEXED8 = 0x20;
        constexpr u32 DDPF_RGB = 0x40;
        constexpr u32 DDPF_YUV = 0x200;
        constexpr u32 DDPF_LUMINANCE = 0x20000;
        constexpr u32 DDSCAPS_MIPMAP = 0x400000;
        constexpr u32 DDSCAPS2_CUBEMAP = 0x200;
        constexpr u32 DDSCAPS2_CUBEMAP_ALLFACES = 0xFC00;

        // ----------------------------------------------------------------------------
        // FourCC codes of block and packed encodings
        // ----------------------------------------------------------------------------

        struct FourCCCode
        {
            u32 fourcc;
            TC code;
        };

        // DXT2 and DXT4 are the premultiplied-alpha twins of DXT3 and DXT5, with their block
        // layout; the colour is delivered as stored.
        constexpr FourCCCode fourccCodes[] = {
            { makeFourCC('D', 'X', 'T', '1'), TC::DXT1 },
            { makeFourCC('D', 'X', 'T', '2'), TC::DXT3 },
            { makeFourCC('D', 'X', 'T', '3'), TC::DXT3 },
            { makeFourCC('D', 'X', 'T', '4'), TC::DXT5 },
            { makeFourCC('D', 'X', 'T', '5'), TC::DXT5 },
            { makeFourCC('A', 'T', 'I', '1'), TC::RGTC1_RED },
            { makeFourCC('A', 'T', '1', 'N'), TC::RGTC1_RED },
            { makeFourCC('B', 'C', '4', 'U'), TC::RGTC1_RED },
            { makeFourCC('B', 'C', '4', 'S'), TC::RGTC1_SIGNED_RED },
            { makeFourCC('A', 'T', 'I', '2'), TC::RGTC2_RG },
            { makeFourCC('A', 'T', '2', 'N'), TC::RGTC2_RG },
            { makeFourCC('B', 'C', '5', 'U'), TC::RGTC2_RG },
            { makeFourCC('B', 'C', '5', 'S'), TC::RGTC2_SIGNED_RG },
            { makeFourCC('P', 'T', 'C', '2'), TC::PVRTC_RGB_2BPP },
            { makeFourCC('Y', 'U', 'Y', '2'), TC::YUY2 },
            { makeFourCC('U', 'Y', 'V', 'Y'), TC::UYVY },
            { makeFourCC('G', 'R', 'G', 'B'), TC::G8R8_G8B8 },
            { makeFourCC('R', 'G', 'B', 'G'), TC::R8G8_B8G8 },
        };

        TC findFourCCCode(u32 fourcc)
        {
            for (const FourCCCode& entry : fourccCodes)
                if (entry.fourcc == fourcc)
                    return entry.code;
            return TC::NONE;
        }

        // Direct3D 9 format numbers stored in the FourCC field.
        struct D3DFormat
        {
            u32 number;
            Format format;
        };

        constexpr Format alphaOnly { 8, Format::UNORM, 0x27, 8, 0, 0, 0 };

        constexpr D3DFormat d3dFormats[] = {
            { 20, Format(24, Format::UNORM, Format::BGRA, 8, 8, 8, 0) },
            { 21, Format(32, Format::UNORM, Format::BGRA, 8, 8, 8, 8) },
            { 22, Format(32, Format::UNORM, Format::BGRA, 8, 8, 8, 0) },
            { 23, Format(16, Format::UNORM, Format::BGRA, 5, 6, 5, 0) },
            { 24, Format(16, Format::UNORM, Format::BGRA, 5, 5, 5, 0) },
            { 25, Format(16, Format::UNORM, Format::BGRA, 5, 5, 5, 1) },
            { 26, Format(16, Format::UNORM, Format::BGRA, 4, 4, 4, 4) },
            { 27, Format(8, Format::UNORM, Format::BGRA, 2, 3, 3, 0) },
            { 28, alphaOnly },
            { 29, Format(16, Format::UNORM, Format::BGRA, 2, 3, 3, 8) },
            { 30, Format(16, Format::UNORM, Format::BGRA, 4, 4, 4, 0) },
            { 31, Format(32, Format::UNORM, Format::RGBA, 10, 10, 10, 2) },
            { 32, Format(32, Format::UNORM, Format::RGBA, 8, 8, 8, 8) },
            { 33, Format(32, Format::UNORM, Format::RGBA, 8, 8, 8, 0) },
            { 34, Format(32, Format::UNORM, Format::RGBA, 16, 16, 0, 0) },
            { 35, Format(32, Format::UNORM, Format::BGRA, 10, 10, 10, 2) },
            { 36, Format(64, Format::UNORM, Format::RGBA, 16, 16, 16, 16) },
            { 50, LuminanceFormat(8, Format::UNORM, 8, 0) },
            { 51, LuminanceFormat(16, Format::UNORM, 8, 8) },
            { 52, LuminanceFormat(8, Format::UNORM, 4, 4) },
            { 111, Format(16, Format::FLOAT16, Format::RGBA, 16, 0, 0, 0) },
            { 112, Format(32, Format::FLOAT16, Format::RGBA, 16, 16, 0, 0) },
            { 113, Format(64, Format::FLOAT16, Format::RGBA, 16, 16, 16, 16) },
            { 114, Format(32, Format::FLOAT32, Format::RGBA, 32, 0, 0, 0) },
            { 115, Format(64, Format::FLOAT32, Format::RGBA, 32, 32, 0, 0) },
            { 116, Format(128, Format::FLOAT32, Format::RGBA, 32, 32, 32, 32) },
        };

        // ----------------------------------------------------------------------------
        // DXGI formats of the DX10 header
        // ----------------------------------------------------------------------------

        // One row per DXGI_FORMAT number up to the last ASTC one: the FourCC of a block
        // encoding, or the uncompressed Format (empty when neither).
        struct DXGIFormat
        {
            u32 fourcc = 0;
            Format format;
        };

        constexpr u32 dxgiFormatCount = 188;

        struct DXGIFormatTable
        {
            DXGIFormat rows[dxgiFormatCount];

            constexpr DXGIFormatTable()
            {
                using F = Format;
                auto types = [this](u32 first, u32 bits, u32 order, u32 s0, u32 s1, u32 s2, u32 s3,
                                    std::initializer_list<u16> list) {
                    u32 n = first;
                    for (u16 type : list)
                        rows[n++].format = Format(bits, type, order, s0, s1, s2, s3);
                };
                types(1, 128, F::RGBA, 32, 32, 32, 32, { F::NONE, F::FLOAT32, F::UINT, F::SINT });
                types(5, 96, F::RGBA, 32, 32, 32, 0, { F::NONE, F::FLOAT32, F::UINT, F::SINT });
                types(9, 64, F::RGBA, 16, 16, 16, 16, { F::NONE, F::FLOAT16, F::UNORM, F::UINT, F::SNORM, F::SINT });
                types(15, 64, F::RGBA, 32, 32, 0, 0, { F::NONE, F::FLOAT32, F::UINT, F::SINT });
                types(23, 32, F::RGBA, 10, 10, 10, 2, { F::NONE, F::UNORM, F::UINT });
                types(27, 32, F::RGBA, 8, 8, 8, 8, { F::NONE, F::UNORM, F::UNORM, F::UINT, F::SNORM, F::SINT });
                types(33, 32, F::RGBA, 16, 16, 0, 0, { F::NONE, F::FLOAT16, F::UNORM, F::UINT, F::SNORM, F::SINT });
                types(39, 32, F::RGBA, 32, 0, 0, 0, { F::NONE });
                types(41, 32, F::RGBA, 32, 0, 0, 0, { F::FLOAT32, F::UINT, F::SINT });
                types(44, 32, F::RGBA, 24, 8, 0, 0, { F::NONE });
                types(48, 16, F::RGBA, 8, 8, 0, 0, { F::NONE, F::UNORM, F::UINT, F::SNORM, F::SINT });
                types(53, 16, F::RGBA, 16, 0, 0, 0, { F::NONE, F::FLOAT16 });
                types(56, 16, F::RGBA, 16, 0, 0, 0, { F::UNORM, F::UINT, F::SNORM, F::SINT });
                types(60, 8, F::RGBA, 8, 0, 0, 0, { F::NONE, F::UNORM, F::UINT, F::SNORM, F::SINT });
                rows[65].format = alphaOnly;
                rows[85].format = F(16, F::UNORM, F::BGRA, 5, 6, 5, 0);
                rows[86].format = F(16, F::UNORM, F::BGRA, 5, 5, 5, 1);
                rows[87].format = F(32, F::UNORM, F::BGRA, 8, 8, 8, 8);
                rows[88].format = F(32, F::UNORM, F::BGRA, 8, 8, 8, 0);
                rows[90].format = F(32, F::NONE, F::BGRA, 8, 8, 8, 8);
                rows[91].format = F(32, F::UNORM, F::BGRA, 8, 8, 8, 8);
                rows[92].format = F(32, F::NONE, F::BGRA, 8, 8, 8, 0);
                rows[93].format = F(32, F::UNORM, F::BGRA, 8, 8, 8, 0);
                rows[115].format = F(16, F::UNORM, F::BGRA, 4, 4, 4, 4);

                auto tags = [this](u32 first, u32 last, u32 fourcc) {
                    for (u32 n = first; n <= last; ++n)
                        rows[n].fourcc = fourcc;
                };
                tags(70, 72, makeFourCC('D', 'X', 'T', '1'));
                tags(73, 75, makeFourCC('D', 'X', 'T', '3'));
                tags(76, 78, makeFourCC('D', 'X', 'T', '5'));
                tags(79, 80, makeFourCC('B', 'C', '4', 'U'));
                tags(81, 81, makeFourCC('B', 'C', '4', 'S'));
                tags(82, 83, makeFourCC('B', 'C', '5', 'U'));
                tags(84, 84, makeFourCC('B', 'C', '5', 'S'));
                tags(107, 107, makeFourCC('Y', 'U', 'Y', '2'));
            }
        };

        constexpr DXGIFormatTable dxgiFormats;

        // ----------------------------------------------------------------------------
        // Interface
        // ----------------------------------------------------------------------------

        class Interface : public TextureDecoder
        {
        public:
            explicit Interface(ConstMemory memory);

            ConstMemory memory(int level, int depth, int face) override;

        private:
            void parse();
            const char* parsePixelFormat(u32 flags, u32 fourcc, u32 bits, u32 r, u32 g, u32 b, u32 a);
            void parseDX10(ByteReader& reader);

            ConstMemory m_memory;
            u64 m_dataOffset = 0;
        };

        Interface::Interface(ConstMemory memory)
            : TextureDecoder(tag)
            , m_memory(memory)
        {
            parse();
        }

        void Interface::parse()
        {
            ByteReader reader(m_memory);
            const u32 magic = reader.le32();
            const u32 size = reader.le32();
            const u32 flags = reader.le32();
            const u32 height = reader.le32();
            const u32 width = reader.le32();
            reader.skip(8); // pitch or linear size, depth
            const u32 mipmaps = reader.le32();
            reader.skip(44);
            const u32 pfSize = reader.le32();
            const u32 pfFlags = reader.le32();
            const u32 fourcc = reader.le32();
            const u32 bits = reader.le32();
            const u32 masks[4] = { reader.le32(), reader.le32(), reader.le32(), reader.le32() };
            const u32 caps = reader.le32();
            const u32 caps2 = reader.le32();
            reader.skip(12);

            if (reader.isShort() || magic != DDS_MAGIC)
            {
                m_header.setError("[ImageDecoder.DDS] Incorrect header.");
                return;
            }
            if (size != 124)
            {
                m_header.setError("[ImageDecoder.DDS] Incorrect header size.");
                return;
            }

            const char* message = pfSize != 32 ? "Incorrect format size."
                                               : parsePixelFormat(pfFlags, fourcc, bits, masks[0], masks[1],
                                                                  masks[2], masks[3]);
            if (message)
            {
                m_header.setError("[ImageDecoder.DDS] %s", message);
                return;
            }

            if ((pfFlags & DDPF_FOURCC) && fourcc == FOURCC_DX10)
            {
                parseDX10(reader);
                if (reader.isShort())
                {
                    m_header.setError("[ImageDecoder.DDS] Incorrect header.");
                    return;
                }
            }
            m_dataOffset = reader.offset();

            if (width == 0 || height == 0 || width > maxTextureSize || height > maxTextureSize)
            {
                m_header.setError("[ImageDecoder.DDS] Incorrect image size: %u x %u.", width, height);
                return;
            }

            m_header.width = s32(width);
            m_header.height = s32(height);
            m_header.depth = 0;
            m_header.faces = (caps2 & DDSCAPS2_CUBEMAP) ? std::popcount(caps2 & DDSCAPS2_CUBEMAP_ALLFACES) : 1;
            if (flags & DDSD_MIPMAPCOUNT)
            {
                // a 2^24 texture has 25 levels; more can only be damage. A count of 0 is
                // read as the one level every file has.
                if (mipmaps > 32)
                {
                    m_header.setError("[ImageDecoder.DDS] Incorrect mip map count: %u.", mipmaps);
                    return;
                }
                m_header.levels = std::max<s32>(s32(mipmaps), 1);
            }
            else if (caps & DDSCAPS_MIPMAP)
                m_header.levels = std::bit_width(std::max(width, height));
            else
                m_header.levels = 1;
            m_header.palette = false;
        }

        // Returns a message (without the tag) or null.
        const char* Interface::parsePixelFormat(u32 flags, u32 fourcc, u32 bits, u32 r, u32 g, u32 b, u32 a)
        {
            if (flags & DDPF_FOURCC)
            {
                TC code = findFourCCCode(fourcc);
                if (code != TC::NONE)
                {
                    if (code == TC::DXT1 && (flags & DDPF_ALPHAPIXELS))
                        code = TC::DXT1_ALPHA;
                    m_info = TextureCompressionInfo(code);
                    m_header.compression = u32(code);
                    m_header.format = Format::RGBA8888;
                    return nullptr;
                }
                for (const D3DFormat& entry : d3dFormats)
                {
                    if (entry.number == fourcc)
                    {
                        m_header.format = entry.format;
                        return nullptr;
                    }
                }
                if (fourcc == FOURCC_DX10)
                    return nullptr;
                return "Unsupported fourcc.";
            }

            const u32 alpha = (flags & DDPF_ALPHAPIXELS) ? a : 0;
            if ((flags & (DDPF_RGB | DDPF_LUMINANCE | DDPF_ALPHA)) && (bits == 0 || bits > 64 || bits % 8))
                return "Incorrect bit count.";
            if (flags & DDPF_RGB)
                m_header.format = Format(bits, r, g, b, alpha);
            else if (flags & DDPF_LUMINANCE)
                m_header.format = LuminanceFormat(bits, r, alpha);
            else if (flags & DDPF_ALPHA)
                m_header.format = LuminanceFormat(bits, 0, a);
            else if (flags & DDPF_YUV)
                return "Unsupported mode (YUV).";
            else if (flags & DDPF_PALETTEINDEXED8)
                return "Unsupported mode (P8).";
            else
                return "Unknown mode.";
            return nullptr;
        }

        void Interface::parseDX10(ByteReader& reader)
        {
            const u32 dxgi = reader.le32();
            reader.skip(8); // resource dimension, misc flag
            const u32 arraySize = reader.le32();
            reader.skip(4);
            if (reader.isShort())
                return;

            // the ASTC numbers of the block table come after the table's own rows
            const TextureCompressionInfo astc = dxgi >= 133 ? TextureCompressionInfo::fromDXGI(dxgi)
                                                            : TextureCompressionInfo();
            if (dxgi >= dxgiFormatCount)
            {
                m_header.setError("[ImageDecoder.DDS] DXGI index out of range.");
                return;
            }
            if (dxgi == 0)
                return;
            if (arraySize >= 2)
            {
                m_header.setError("[ImageDecoder.DDS] Arrays are not supported.");
                return;
            }

            TC code = TC::NONE;
            if (dxgi >= 94 && dxgi <= 99)
            {
                const TC bptc[] = { TC::BPTC_RGB_UNSIGNED_FLOAT, TC::BPTC_RGB_UNSIGNED_FLOAT, TC::BPTC_RGB_SIGNED_FLOAT,
                                    TC::BPTC_RGBA_UNORM, TC::BPTC_RGBA_UNORM, TC::BPTC_SRGB_ALPHA_UNORM };
                code = bptc[dxgi - 94];
            }
            else if (dxgiFormats.rows[dxgi].fourcc)
            {
                code = findFourCCCode(dxgiFormats.rows[dxgi].fourcc);
            }
            else if (astc.compression != TC::NONE)
            {
                code = astc.compression;
            }

            if (code != TC::NONE)
            {
                m_info = TextureCompressionInfo(code);
                m_header.compression = u32(code);
                m_header.format = Format::RGBA8888;
                return;
            }

            const Format& format = dxgiFormats.rows[dxgi].format;
            if (format.bits == 0)
            {
                m_header.setError("[ImageDecoder.DDS] DXGI format not supported.");
                return;
            }
            if (format.type != Format::UNORM && format.type != Format::FLOAT16 && format.type != Format::FLOAT32)
            {
                m_header.setError("[ImageDecoder.DDS] DXGI format type not supported.");
                return;
            }
            m_header.format = format;
        }

        ConstMemory Interface::memory(int level, int depth, int face)
        {
            (void)depth;
            if (!hasImage(level, face))
                return ConstMemory();

            // faces one after the other, each with all of its levels
            u64 offset = m_dataOffset;
            for (int f = 0; f <= face; ++f)
            {
                for (int l = 0; l < m_header.levels; ++l)
                {
                    const u64 size = getImageSize(l);
                    if (f == face && l == level)
                    {
                        if (offset > m_memory.size)
                            return ConstMemory();
                        return ConstMemory(m_memory.address + offset, std::min(size, m_memory.size - offset));
                    }
                    if (size > m_memory.size - offset)
                        return ConstMemory();
                    offset += size;
                }
            }
            return ConstMemory();
        }

        ImageDecoderInterface* createDecoderDDS(ConstMemory memory)
        {
            return new Interface(memory);
        }

    } // namespace

    void registerImageDecoderDDS()
    {
        registerImageDecoder(createDecoderDDS, ".dds");
    }

} // namespace norva
