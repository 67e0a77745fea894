// ZPNG: an 8-byte header and one zstd frame of delta-filtered pixels. 8-bit RGB and RGBA
// are also decorrelated into planes (blue, green - blue, green - red, alpha), which zstd
// compresses better than interleaved deltas.
//
// Header: F8 FB, u16 width, u16 height, u8 channels, u8 bytes per channel (little-endian).

#include <cstring>
#include <vector>

#include <zstd.h>

#include <norva/core/byte_reader.hpp>
#include <norva/core/endian.hpp>
#include <norva/core/stream.hpp>
#include <norva/image/decoder.hpp>

#include "format_guard.hpp"

namespace norva
{
    namespace
    {
        constexpr u16 zpngMagic = 0xFBF8;
        constexpr u64 headerBytes = 8;

        // The pixel layout is named by the bytes of a pixel alone, so two 8-bit channels
        // read as 16-bit luminance; 5, 7 and above 8 have no layout.
        Format getFormatZPNG(int pixelBytes)
        {
            switch (pixelBytes)
            {
                case 1: return Format::L8;
                case 2: return Format::L16;
                case 3: return Format::RGB888;
                case 4: return Format::RGBA8888;
                case 6: return Format::RGB16;
                case 8: return Format::RGBA16;
                default: return Format();
            }
        }

        // --------------------------------------------------------------------
        // filter
        // --------------------------------------------------------------------

        // pixels: width * height * pixelBytes bytes, rows packed. out: the same size.
        void filterZPNG(u8* out, const u8* pixels, int width, int height, int pixelBytes)
        {
            const size_t planeBytes = size_t(width) * size_t(height);
            if (pixelBytes == 3 || pixelBytes == 4)
            {
                u8* plane0 = out;
                u8* plane1 = out + planeBytes;
                u8* plane2 = out + planeBytes * 2;
                u8* plane3 = out + planeBytes * 3;
                for (int y = 0; y < height; ++y)
                {
                    const u8* row = pixels + size_t(y) * width * pixelBytes;
                    u8 prev[4] = {};
                    for (int x = 0; x < width; ++x)
                    {
                        const u8* p = row + x * pixelBytes;
                        const u8 dr = u8(p[0] - prev[0]);
                        const u8 dg = u8(p[1] - prev[1]);
                        const u8 db = u8(p[2] - prev[2]);
                        *plane0++ = db;
                        *plane1++ = u8(dg - db);
                        *plane2++ = u8(dg - dr);
                        if (pixelBytes == 4)
                        {
                            *plane3++ = u8(p[3] - prev[3]);
                        }
                        std::memcpy(prev, p, pixelBytes);
                    }
                }
                return;
            }

            const size_t rowBytes = size_t(width) * pixelBytes;
            for (int y = 0; y < height; ++y)
            {
                const u8* row = pixels + size_t(y) * rowBytes;
                u8* dest = out + size_t(y) * rowBytes;
                for (int i = 0; i < pixelBytes && size_t(i) < rowBytes; ++i)
                    dest[i] = row[i];
                for (size_t i = pixelBytes; i < rowBytes; ++i)
                    dest[i] = u8(row[i] - row[i - pixelBytes]);
            }
        }

        void unfilterZPNG(u8* out, const u8* filtered, int width, int height, int pixelBytes)
        {
            const size_t planeBytes = size_t(width) * size_t(height);
            if (pixelBytes == 3 || pixelBytes == 4)
            {
                const u8* plane0 = filtered;
                const u8* plane1 = filtered + planeBytes;
                const u8* plane2 = filtered + planeBytes * 2;
                const u8* plane3 = filtered + planeBytes * 3;
                for (int y = 0; y < height; ++y)
                {
                    u8* row = out + size_t(y) * width * pixelBytes;
                    u8 r = 0, g = 0, b = 0, a = 0;
                    for (int x = 0; x < width; ++x)
                    {
                        const u8 db = *plane0++;
                        const u8 dg = u8(*plane1++ + db);
                        const u8 dr = u8(dg - *plane2++);
                        r = u8(r + dr);
                        g = u8(g + dg);
                        b = u8(b + db);
                        u8* p = row + x * pixelBytes;
                        p[0] = r;
                        p[1] = g;
                        p[2] = b;
                        if (pixelBytes == 4)
                        {
                            a = u8(a + *plane3++);
                            p[3] = a;
                        }
                    }
                }
                return;
            }

            const size_t rowBytes = size_t(width) * pixelBytes;
            for (int y = 0; y < height; ++y)
            {
                const u8* src = filtered + size_t(y) * rowBytes;
                u8* row = out + size_t(y) * rowBytes;
                for (int i = 0; i < pixelBytes && size_t(i) < rowBytes; ++i)
                    row[i] = src[i];
                for (size_t i = pixelBytes; i < rowBytes; ++i)
                    row[i] = u8(src[i] + row[i - pixelBytes]);
            }
        }

        // --------------------------------------------------------------------
        // codec
        // --------------------------------------------------------------------

        // The whole file, or empty when zstd fails. Throws std::bad_alloc.
        std::vector<u8> compressZPNG(const u8* pixels, int width, int height, int channels, int bytesPerChannel)
        {
            const int pixelBytes = channels * bytesPerChannel;
            const size_t size = size_t(width) * size_t(height) * size_t(pixelBytes);
            std::vector<u8> filtered(size);
            filterZPNG(filtered.data(), pixels, width, height, pixelBytes);

            std::vector<u8> file(ZSTD_compressBound(size) + headerBytes);
            const size_t packed = ZSTD_compress(file.data() + headerBytes, file.size() - headerBytes,
                                                filtered.data(), size, 1);
            if (ZSTD_isError(packed))
                return {};
            storeLE16(file.data() + 0, zpngMagic);
            storeLE16(file.data() + 2, u16(width));
            storeLE16(file.data() + 4, u16(height));
            file[6] = u8(channels);
            file[7] = u8(bytesPerChannel);
            file.resize(headerBytes + packed);
            return file;
        }

        // --------------------------------------------------------------------
        // decoder
        // --------------------------------------------------------------------

        class Interface : public ImageDecoderInterface
        {
        public:
            explicit Interface(ConstMemory memory)
                : m_memory(memory)
            {
                ByteReader reader(memory);
                const u16 magic = reader.le16();
                const u16 width = reader.le16();
                const u16 height = reader.le16();
                const u8 channels = reader.byte();
                const u8 bytes = reader.byte();
                if (reader.isShort() || magic != zpngMagic)
                {
                    m_header.setError("[ImageDecoder.ZPNG] Incorrect identifier.");
                    return;
                }
                const Format format = getFormatZPNG(channels * bytes);
                if (!channels || !bytes || !format.bits)
                {
                    m_header.setError("[ImageDecoder.ZPNG] Incorrect pixel layout (channels: %d, bytes: %d).",
                                      channels, bytes);
                    return;
                }
                m_header.width = width;
                m_header.height = height;
                m_header.format = format;
            }

            ImageHeader header() override { return m_header; }

            ImageDecodeStatus decode(Surface& dest, Palette* palette, int level, int depth, int face) override
            {
                (void)palette;
                (void)level;
                (void)depth;
                (void)face;
                return guardStatus<ImageDecodeStatus>("[ImageDecoder.ZPNG] ", [&] { return decodeImage(dest); });
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

                const int width = m_header.width;
                const int height = m_header.height;
                const int pixelBytes = m_header.format.bytes();
                // at most 65535 x 65535 x 8 bytes: the product fits 64 bits and size_t
                const u64 size = u64(width) * u64(height) * u64(pixelBytes);

                std::vector<u8> filtered(size);
                const ConstMemory frame = m_memory.slice(headerBytes);
                const size_t unpacked = ZSTD_decompress(filtered.data(), size, frame.address, frame.size);
                if (ZSTD_isError(unpacked))
                {
                    // nothing is written: a damaged frame is not an image
                    status.setError("[ImageDecoder.ZPNG] Decompression failed (%s).", ZSTD_getErrorName(unpacked));
                    return status;
                }

                // a shorter frame leaves the rest of the filtered bytes zero
                std::vector<u8> pixels(size);
                unfilterZPNG(pixels.data(), filtered.data(), width, height, pixelBytes);

                const Surface source(width, height, m_header.format, width * pixelBytes, pixels.data());
                if (!dest.blit(0, 0, source))
                {
                    status.setError("[ImageDecoder.ZPNG] No conversion to the destination format.");
                }
                return status;
            }

            ConstMemory m_memory;
            ImageHeader m_header;
        };

        ImageDecoderInterface* createDecoderZPNG(ConstMemory memory)
        {
            return new Interface(memory);
        }

        // --------------------------------------------------------------------
        // encoder
        // --------------------------------------------------------------------

        ImageEncodeStatus writeZPNG(Stream& output, const Surface& surface)
        {
            ImageEncodeStatus status;
            Bitmap temp(surface.width, surface.height, Format::RGBA8888);
            if (!temp.blit(0, 0, surface))
            {
                status.setError("[ImageEncoder.ZPNG] No conversion from the source format.");
                return status;
            }
            const std::vector<u8> file = compressZPNG(temp.image, temp.width, temp.height, 4, 1);
            if (file.empty())
            {
                status.setError("[ImageEncoder.ZPNG] Compression failed.");
                return status;
            }
            output.write(file.data(), file.size());
            return status;
        }

        ImageEncodeStatus encodeZPNG(Stream& output, const Surface& surface, const ImageEncodeOptions& options)
        {
            (void)options;
            ImageEncodeStatus status;
            // the header's fields are 16 bits wide
            if (surface.width < 0 || surface.height < 0 || surface.width > 0xFFFF || surface.height > 0xFFFF)
            {
                status.setError("[ImageEncoder.ZPNG] Incorrect image size (%d x %d).", surface.width, surface.height);
                return status;
            }
            return guardStatus<ImageEncodeStatus>("[ImageEncoder.ZPNG] ", [&] { return writeZPNG(output, surface); });
        }

    } // namespace

    void registerImageCodecZPNG()
    {
        registerImageDecoder(createDecoderZPNG, ".zpng");
        registerImageEncoder(encodeZPNG, ".zpng");
    }

} // namespace norva
