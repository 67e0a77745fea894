// Radiance RGBE pictures, decoded to 32-bit float RGBA. A scan line is run-length encoded
// per channel, flat (four bytes a pixel), or flat with the old runs that repeat the pixel
// before them; the file's own rule tells them apart.
//
// The header lines and every scan line are read against the size of the memory; files whose
// scan lines cannot fit in the data that is left are refused before anything is allocated.

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <norva/core/byte_reader.hpp>
#include <norva/image/decoder.hpp>

#include "direct_decode.hpp"
#include "format_guard.hpp"

namespace norva
{
    namespace
    {
        // --------------------------------------------------------------------
        // header
        // --------------------------------------------------------------------

        // The line's pieces between delimiters, empty ones dropped.
        std::vector<std::string> splitTokens(const std::string& line, const char* delimiters)
        {
            std::vector<std::string> tokens;
            size_t start = line.find_first_not_of(delimiters);
            while (start != std::string::npos)
            {
                const size_t end = line.find_first_of(delimiters, start);
                tokens.push_back(line.substr(start, end - start));
                start = end == std::string::npos ? end : line.find_first_not_of(delimiters, end);
            }
            return tokens;
        }

        struct HeaderHDR
        {
            s32 width = 0;
            s32 height = 0;
            bool xflip = false;     // "-X": stored, not applied
            bool yflip = false;     // "-Y"
            float exposure = 1.0f;  // stored, not applied
            u64 data = 0;           // offset of the first scan line

            ImageHeader header;

            void read(ConstMemory memory)
            {
                ByteReader r(memory);
                std::string text;
                if (!line(r, text) || text != "#?RADIANCE")
                {
                    header.setError("[ImageDecoder.HDR] Incorrect radiance header.");
                    return;
                }

                bool known = false;
                for (;;)
                {
                    if (!line(r, text))
                    {
                        header.setError("[ImageDecoder.HDR] Not enough data.");
                        return;
                    }
                    if (text.empty())
                        break;
                    const std::vector<std::string> tokens = splitTokens(text, "=");
                    if (tokens.empty())
                        continue;
                    if (tokens[0] == "FORMAT")
                    {
                        if (tokens.size() != 2)
                        {
                            header.setError("[ImageDecoder.HDR] Incorrect radiance header (format).");
                            return;
                        }
                        known = known || tokens[1] == "32-bit_rle_rgbe";
                    }
                    else if (tokens[0] == "EXPOSURE")
                    {
                        if (tokens.size() != 2)
                        {
                            header.setError("[ImageDecoder.HDR] Incorrect radiance header (exposure).");
                            return;
                        }
                        exposure = float(std::atof(tokens[1].c_str()));
                    }
                }
                if (!known)
                {
                    header.setError("[ImageDecoder.HDR] Incorrect or unsupported format.");
                    return;
                }

                // "-Y height +X width"
                const bool complete = line(r, text);
                const std::vector<std::string> tokens = splitTokens(text, " \t");
                if (!complete || tokens.size() != 4 || (tokens[0] != "-Y" && tokens[0] != "+Y") ||
                    (tokens[2] != "-X" && tokens[2] != "+X"))
                {
                    header.setError("[ImageDecoder.HDR] Incorrect radiance header (dimensions).");
                    return;
                }
                yflip = tokens[0] == "-Y";
                xflip = tokens[2] == "-X";
                height = std::atoi(tokens[1].c_str());
                width = std::atoi(tokens[3].c_str());
                if (width <= 0 || height <= 0)
                {
                    header.setError("[ImageDecoder.HDR] Incorrect radiance header (dimensions).");
                    return;
                }
                data = r.offset();
                header.width = width;
                header.height = height;
                header.format = Format::RGBA32F;
            }

        private:
            // The next line without its line feed (and a carriage return before it); false
            // when the data ends before a line feed.
            static bool line(ByteReader& r, std::string& text)
            {
                const ConstMemory rest = r.rest();
                if (!rest.size)
                    return false;
                const void* end = std::memchr(rest.address, '\n', size_t(rest.size));
                if (!end)
                    return false;
                size_t n = size_t(static_cast<const u8*>(end) - rest.address);
                r.skip(n + 1);
                if (n && rest.address[n - 1] == '\r')
                    --n;
                text.assign(reinterpret_cast<const char*>(rest.address), n);
                return true;
            }
        };

        // --------------------------------------------------------------------
        // scan lines
        // --------------------------------------------------------------------

        // 2^(e - 136) for every exponent byte, 0 for 0: R x f is then exactly ldexp(R, e - 136),
        // since every factor and every product of it with a byte is a representable float.
        struct ExponentTable
        {
            float factor[256];

            ExponentTable()
            {
                factor[0] = 0.0f;
                for (int e = 1; e < 256; ++e)
                    factor[e] = std::ldexp(1.0f, e - 136);
            }
        };

        const ExponentTable exponents;

        constexpr const char* notEnoughData = "[ImageDecoder.HDR] Not enough data.";
        constexpr const char* wrongCount = "[ImageDecoder.HDR] Incorrect rle_rgbe stream (rle count).";

        // Only scan lines 8 to 32767 pixels wide may be run-length encoded per channel.
        bool mayBeEncoded(int width)
        {
            return width >= 8 && width <= 0x7FFF;
        }

        // The fewest bytes a scan line of width pixels can take: a flat one's first pixel and
        // old runs (255, then 255 << 8, ...) for the rest; the per-channel runs take more.
        u64 leastScanlineBytes(int width)
        {
            u64 groups = 1;
            for (u64 covered = 1, run = 255; covered < u64(width); covered += run, run <<= 8)
                ++groups;
            return groups * 4;
        }

        // A flat scan line into line (R, G, B, E planes of width bytes): four bytes a pixel,
        // where 1, 1, 1, n repeats the pixel before it n times, n shifted left by 8 more bits
        // for each such run that directly follows another. The error text, or null.
        const char* readFlatScanline(ByteReader& r, u8* line, int width)
        {
            int shift = 0;
            int x = 0;
            while (x < width)
            {
                const ConstMemory group = r.bytes(4);
                if (!group.address)
                    return notEnoughData;
                const u8* p = group.address;
                if (p[0] == 1 && p[1] == 1 && p[2] == 1)
                {
                    // a run needs a pixel before it, and stays inside the line
                    const u64 count = shift < 32 ? u64(p[3]) << shift : (p[3] ? ~u64(0) : 0);
                    if (x == 0 || count > u64(width - x))
                        return wrongCount;
                    for (int c = 0; c < 4; ++c)
                    {
                        u8* plane = line + size_t(c) * size_t(width);
                        std::memset(plane + x, plane[x - 1], size_t(count));
                    }
                    x += int(count);
                    shift = std::min(shift + 8, 32);
                    continue;
                }
                for (int c = 0; c < 4; ++c)
                    line[size_t(c) * size_t(width) + size_t(x)] = p[c];
                ++x;
                shift = 0;
            }
            return nullptr;
        }

        // One scan line into line (R, G, B, E planes of width bytes each). The error text,
        // or null.
        const char* readScanline(ByteReader& r, u8* line, int width)
        {
            // 2, 2 and a byte below 128 start an encoded line; anything else is a flat
            // line's first pixel
            const u8* h = r.has(4) ? r.position() : nullptr;
            if (!h || !mayBeEncoded(width) || h[0] != 2 || h[1] != 2 || h[2] >= 128)
                return readFlatScanline(r, line, width);
            r.skip(4);
            if (((h[2] << 8) | h[3]) != width)
                return "[ImageDecoder.HDR] Incorrect rle_rgbe stream (wrong scan).";

            for (int channel = 0; channel < 4; ++channel)
            {
                u8* out = line + size_t(channel) * size_t(width);
                int x = 0;
                while (x < width)
                {
                    const int c = r.peek();
                    if (c < 0)
                        return notEnoughData;
                    r.skip(1);
                    if (c > 128)
                    {
                        const int count = c - 128;
                        const int value = r.peek();
                        if (value < 0)
                            return notEnoughData;
                        r.skip(1);
                        if (count > width - x)
                            return wrongCount;
                        std::memset(out + x, value, size_t(count));
                        x += count;
                    }
                    else
                    {
                        if (c == 0 || c > width - x)
                            return wrongCount;
                        const ConstMemory values = r.bytes(u64(c));
                        if (!values.address)
                            return notEnoughData;
                        std::memcpy(out + x, values.address, size_t(c));
                        x += c;
                    }
                }
            }
            return nullptr;
        }

        ImageDecodeStatus decodeScanlineRGBE(const Surface& target, ConstMemory memory, const HeaderHDR& hdr)
        {
            ImageDecodeStatus status;
            const int width = hdr.width;
            std::vector<u8> line(size_t(width) * 4);
            const u8* planes = line.data();
            ByteReader r(memory);
            r.seek(hdr.data);
            for (int y = 0; y < hdr.height; ++y)
            {
                if (const char* error = readScanline(r, line.data(), width))
                {
                    status.setError("%s", error);
                    return status;
                }
                float* out = reinterpret_cast<float*>(target.address(0, y));
                for (int x = 0; x < width; ++x)
                {
                    const float f = exponents.factor[planes[3 * width + x]];
                    out[0] = float(planes[x]) * f;
                    out[1] = float(planes[width + x]) * f;
                    out[2] = float(planes[2 * width + x]) * f;
                    out[3] = 1.0f;
                    out += 4;
                }
            }
            return status;
        }

        class Interface : public ImageDecoderInterface
        {
        public:
            explicit Interface(ConstMemory memory)
                : m_memory(memory)
            {
                m_hdr.read(memory);
            }

            ImageHeader header() override
            {
                return m_hdr.header;
            }

            ImageDecodeStatus decode(Surface& dest, Palette* palette, int level, int depth, int face) override
            {
                (void)palette;
                (void)level;
                (void)depth;
                (void)face;
                if (!m_hdr.header.success)
                {
                    ImageDecodeStatus status;
                    status.setError("%s", m_hdr.header.info.c_str());
                    return status;
                }
                // a file too short for its size is refused before anything is allocated
                if (leastScanlineBytes(m_hdr.width) * u64(m_hdr.height) > m_memory.size - m_hdr.data)
                {
                    ImageDecodeStatus status;
                    status.setError(notEnoughData);
                    return status;
                }
                return guardStatus<ImageDecodeStatus>("[ImageDecoder.HDR] ", [&] {
                    return decodeDirectOrBlit(dest, m_hdr.header, "[ImageDecoder.HDR] ", [&](Surface& target) {
                        return decodeScanlineRGBE(target, m_memory, m_hdr);
                    });
                });
            }

        private:
            ConstMemory m_memory;
            HeaderHDR m_hdr;
        };

        ImageDecoderInterface* createDecoderHDR(ConstMemory memory)
        {
            return new Interface(memory);
        }

    } // namespace

    void registerImageDecoderHDR()
    {
        registerImageDecoder(createDecoderHDR, ".hdr");
    }

} // namespace norva
