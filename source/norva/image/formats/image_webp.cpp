// WebP through libwebp, which does all of the coding. Decodes straight into the caller's
// surface when libwebp writes its layout, otherwise into a temporary that is blitted.

#include <webp/decode.h>
#include <webp/encode.h>

#include <norva/core/stream.hpp>
#include <norva/image/decoder.hpp>

#include "format_guard.hpp"

namespace norva
{
    namespace
    {
        using DecodeIntoFunc = u8* (*)(const u8* data, size_t size, u8* output, size_t outputSize, int stride);
        using EncodeFunc = size_t (*)(const u8* pixels, int width, int height, int stride, float quality,
                                      u8** output);
        using EncodeLosslessFunc = size_t (*)(const u8* pixels, int width, int height, int stride, u8** output);

        struct WebPFormatEntry
        {
            Format format;
            DecodeIntoFunc decode;
            EncodeFunc encode;
            EncodeLosslessFunc encodeLossless;
        };

        const WebPFormatEntry webpFormats[] = {
            { Format::RGBA8888, WebPDecodeRGBAInto, WebPEncodeRGBA, WebPEncodeLosslessRGBA },
            { Format::BGRA8888, WebPDecodeBGRAInto, WebPEncodeBGRA, WebPEncodeLosslessBGRA },
            { Format::RGB888, WebPDecodeRGBInto, WebPEncodeRGB, WebPEncodeLosslessRGB },
            { Format::BGR888, WebPDecodeBGRInto, WebPEncodeBGR, WebPEncodeLosslessBGR },
        };

        // The row for a format libwebp writes as it is; otherwise RGBA 8888 for formats with
        // alpha and RGB 888 for the rest, converted by the blitter.
        const WebPFormatEntry& findWebPFormat(const Format& format)
        {
            for (const WebPFormatEntry& entry : webpFormats)
            {
                if (entry.format == format)
                    return entry;
            }
            return format.isAlpha() ? webpFormats[0] : webpFormats[2];
        }

        // libwebp takes a positive int stride and the buffer behind it.
        bool isPlainLayout(const Surface& surface)
        {
            return surface.image && surface.stride > 0 && s64(surface.stride) >= s64(surface.width) * surface.format.bytes();
        }

        class Interface : public ImageDecoderInterface
        {
        public:
            explicit Interface(ConstMemory memory)
                : m_memory(memory)
            {
                int width = 0;
                int height = 0;
                if (!WebPGetInfo(memory.address, memory.size, &width, &height))
                {
                    m_header.setError("[ImageDecoder.WEBP] Incorrect header.");
                    return;
                }
                m_header.width = width;
                m_header.height = height;
                m_header.format = Format::RGBA8888;

                // libwebp's simple decoder reads still images only; an animation would fail
                // at the decode with nothing to say why
                WebPBitstreamFeatures features;
                if (WebPGetFeatures(memory.address, memory.size, &features) == VP8_STATUS_OK && features.has_animation)
                {
                    m_header.setError("[ImageDecoder.WEBP] Animated WebP is not supported.");
                }
            }

            ImageHeader header() override { return m_header; }

            ImageDecodeStatus decode(Surface& dest, Palette* palette, int level, int depth, int face) override
            {
                (void)palette;
                (void)level;
                (void)depth;
                (void)face;
                return guardStatus<ImageDecodeStatus>("[ImageDecoder.WEBP] ", [&] { return decodeImage(dest); });
            }

        private:
            ImageDecodeStatus decodeImage(Surface& dest)
            {
                ImageDecodeStatus status;
                if (!m_header.success)
                {
                    status.setError("%s", m_header.info.c_str());
                    return status;
                }

                const WebPFormatEntry& entry = findWebPFormat(dest.format);
                if (entry.format == dest.format && dest.width == m_header.width && dest.height == m_header.height &&
                    isPlainLayout(dest))
                {
                    const u64 bytes = u64(dest.stride) * u64(dest.height);
                    if (!entry.decode(m_memory.address, m_memory.size, dest.image, bytes, dest.stride))
                    {
                        status.setError("[ImageDecoder.WEBP] Decoding failed.");
                        return status;
                    }
                    status.direct = true;
                    return status;
                }

                Bitmap temp(m_header.width, m_header.height, entry.format);
                const u64 bytes = u64(temp.stride) * u64(temp.height);
                if (!entry.decode(m_memory.address, m_memory.size, temp.image, bytes, temp.stride))
                {
                    status.setError("[ImageDecoder.WEBP] Decoding failed.");
                    return status;
                }
                if (!dest.blit(0, 0, temp))
                {
                    status.setError("[ImageDecoder.WEBP] No conversion to the destination format.");
                }
                return status;
            }

            ConstMemory m_memory;
            ImageHeader m_header;
        };

        ImageDecoderInterface* createDecoderWEBP(ConstMemory memory)
        {
            return new Interface(memory);
        }

        ImageEncodeStatus writeWEBP(Stream& output, const Surface& surface, const ImageEncodeOptions& options)
        {
            ImageEncodeStatus status;
            const WebPFormatEntry& entry = findWebPFormat(surface.format);

            Bitmap temp(0, 0, entry.format);
            const Surface* source = &surface;
            if (entry.format != surface.format || !isPlainLayout(surface))
            {
                temp = Bitmap(surface.width, surface.height, entry.format);
                if (!temp.blit(0, 0, surface))
                {
                    status.setError("[ImageEncoder.WEBP] No conversion from the source format.");
                    return status;
                }
                source = &temp;
            }

            u8* data = nullptr;
            const size_t size = options.lossless
                ? entry.encodeLossless(source->image, source->width, source->height, source->stride, &data)
                : entry.encode(source->image, source->width, source->height, source->stride, options.quality * 100.0f,
                               &data);
            if (data)
            {
                if (size)
                    output.write(data, size);
                WebPFree(data);
            }
            if (!size)
            {
                status.setError("[ImageEncoder.WEBP] Encoding failed.");
            }
            return status;
        }

        ImageEncodeStatus encodeWEBP(Stream& output, const Surface& surface, const ImageEncodeOptions& options)
        {
            return guardStatus<ImageEncodeStatus>("[ImageEncoder.WEBP] ",
                                                  [&] { return writeWEBP(output, surface, options); });
        }

    } // namespace

    void registerImageCodecWEBP()
    {
        registerImageDecoder(createDecoderWEBP, ".webp");
        registerImageEncoder(encodeWEBP, ".webp");
    }

} // namespace norva
