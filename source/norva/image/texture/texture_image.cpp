// The decode step every texture container shares: one image of blocks through the drivers,
// or rows of uncompressed pixels through the Blitter, always into the part of the
// destination the image covers.

#include <exception>

#include <norva/image/texture.hpp>

#include "texture_private.hpp"

namespace norva
{
    ImageDecodeStatus decodeTextureImage(const char* tag, const Surface& dest, ConstMemory span,
                                         const TextureCompressionInfo& info, s32 width, s32 height,
                                         const Format& format, u64 stride)
    {
        ImageDecodeStatus status;
        try
        {
            if (info.compression != TextureCompression::NONE)
            {
                // The block grid is the image's: a smaller destination gets a cropped copy.
                if (dest.width >= width && dest.height >= height)
                    return info.decompress(Surface(dest, 0, 0, width, height), span);

                if (!info.decode)
                    return info.decompress(dest, span); // says "No decoder for ..."
                const u64 needed = getLeastBlockDataSize(info, width, height);
                if (span.size < needed)
                {
                    status.setError("%sNot enough block data: %llu bytes for %d x %d pixels, %llu needed.", tag,
                                    (unsigned long long)span.size, width, height, (unsigned long long)needed);
                    return status;
                }
                // in the format the decode into dest runs in, so float paths stay float
                Bitmap temp(width, height, getDecodingRow(info, dest.format).format);
                status = info.decompress(temp, span);
                if (status.success)
                {
                    Surface target = dest;
                    status.direct = false;
                    if (!target.blit(0, 0, temp))
                        status.setError("%sNo conversion into the destination format.", tag);
                }
                return status;
            }

            if (format.bits == 0 || format.bits % 8)
            {
                status.setError("%sIncorrect format.", tag);
                return status;
            }
            if (stride == 0 || stride > 0x7FFFFFFF || span.size / stride < u64(height))
            {
                status.setError("%sNot enough data for the image.", tag);
                return status;
            }
            const Surface source(width, height, format, int(stride), const_cast<u8*>(span.address));
            Surface target = dest;
            if (!target.blit(0, 0, source))
                status.setError("%sNo conversion into the destination format.", tag);
        }
        catch (const std::exception&)
        {
            status.setError("%sOut of memory.", tag);
        }
        return status;
    }

    u64 TextureDecoder::getImageSize(int level) const
    {
        const s32 w = getMipSize(m_header.width, level);
        const s32 h = getMipSize(m_header.height, level);
        if (m_header.compression)
            return m_info.getBlockDataSize(w, h);
        return getRowBytes(w) * u64(h);
    }

    ImageDecodeStatus TextureDecoder::decode(Surface& dest, Palette* palette, int level, int depth, int face)
    {
        (void)palette;
        ImageDecodeStatus status;
        if (!m_header.success)
        {
            status.setError("%s", m_header.info.c_str());
            return status;
        }
        if (!hasImage(level, face))
        {
            status.setError("%sLevel %d of face %d is not in the file (%d levels, %d faces).", m_tag, level, face,
                            m_header.levels, m_header.faces);
            return status;
        }
        const ConstMemory span = memory(level, depth, face);
        if (!span.address)
        {
            status.setError("%sNot enough data for level %d of face %d.", m_tag, level, face);
            return status;
        }
        const s32 w = getMipSize(m_header.width, level);
        const s32 h = getMipSize(m_header.height, level);
        return decodeTextureImage(m_tag, dest, span, m_info, w, h, m_header.format, getRowBytes(w));
    }

} // namespace norva
