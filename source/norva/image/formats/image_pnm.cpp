// The portable-anymap family: PBM, PGM and PPM in ASCII (P1-P3) and binary (P4-P6) form,
// PAM (P7) and the floating-point PFM (PF colour, Pf grey).
//
// Header tokens, sample tokens and binary rows are read against the size of the memory;
// a number that does not fit 32 bits is refused instead of wrapping. Samples are 8 bits as
// netpbm reads them: other maxvals scale to nearest, and a sample above maxval (or a negative
// plain one) is damage that fails the decode.

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include <norva/core/byte_reader.hpp>
#include <norva/image/decoder.hpp>

#include "direct_decode.hpp"
#include "format_guard.hpp"

namespace norva
{
    namespace
    {
        // --------------------------------------------------------------------
        // tokens
        // --------------------------------------------------------------------

        constexpr const char* outOfData = "Decoding error (out of data).";

        // One sample into 8 bits, to nearest as netpbm scales it. A sample above maxval is
        // damage (netpbm refuses it too), not white: false, and the status says so.
        inline bool scaleSample(u32 value, u32 maxval, u8& out, ImageDecodeStatus& status)
        {
            if (value > maxval)
            {
                status.setError("[ImageDecoder.PNM] Sample value %u exceeds maxval %u", value, maxval);
                return false;
            }
            out = u8((value * 255 + maxval / 2) / maxval);
            return true;
        }

        // A cursor over the text parts of the file. Numbers are base-10 integers; anything
        // before one is skipped, and "#" skips to the end of its line (a comment).
        class TokenReader
        {
        public:
            TokenReader(ConstMemory memory, u64 offset)
                : m_data(memory.address)
                , m_size(memory.size)
                , m_offset(std::min(offset, memory.size))
            {
            }

            u64 offset() const { return m_offset; }
            u8 current() const { return m_data[m_offset]; }   // after a successful skipTo
            void advance() { m_offset = std::min(m_offset + 1, m_size); }

            // Moves to the next byte for which accept() holds, skipping comments. False at
            // the end of the data.
            template <typename Accept>
            bool skipTo(Accept&& accept)
            {
                while (m_offset < m_size)
                {
                    const u8 c = m_data[m_offset];
                    if (accept(c))
                        return true;
                    if (c == '#')
                    {
                        while (m_offset < m_size && m_data[m_offset] != '\n')
                            ++m_offset;
                        continue;
                    }
                    ++m_offset;
                }
                return false;
            }

            enum class Result
            {
                OK,
                END,        // no number before the end of the data
                OVERFLOW,   // the digits do not fit a 32-bit signed integer
            };

            // Reading resumes one byte after the last digit, so a binary header's single
            // separator is consumed with its last number.
            Result integer(s32& value)
            {
                if (!skipTo([](u8 c) { return (c >= '0' && c <= '9') || c == '-'; }))
                    return Result::END;
                const bool negative = m_data[m_offset] == '-';
                if (negative)
                    ++m_offset;
                s64 v = 0;
                bool digits = false;
                while (m_offset < m_size && m_data[m_offset] >= '0' && m_data[m_offset] <= '9')
                {
                    v = v * 10 + (m_data[m_offset] - '0');
                    if (v > 0x7FFFFFFF)
                        return Result::OVERFLOW;
                    digits = true;
                    ++m_offset;
                }
                m_offset = std::min(m_offset + 1, m_size);
                value = s32(negative ? -v : v);
                return digits || !negative ? Result::OK : Result::END;
            }

            // A real number: sign, digits, point and exponent, as strtod reads them.
            bool real(double& value)
            {
                if (!skipTo([](u8 c) { return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.'; }))
                    return false;
                std::string text;
                while (m_offset < m_size && text.size() < 64)
                {
                    const char c = char(m_data[m_offset]);
                    if (!std::strchr("0123456789+-.eE", c) || c == '\0')
                        break;
                    text.push_back(c);
                    ++m_offset;
                }
                char* end = nullptr;
                value = std::strtod(text.c_str(), &end);
                return end != text.c_str();
            }

            // Past the next line feed; false when there is none.
            bool nextLine()
            {
                while (m_offset < m_size && m_data[m_offset] != '\n')
                    ++m_offset;
                if (m_offset == m_size)
                    return false;
                ++m_offset;
                return true;
            }

            // The rest of the current line, without its line feed; false at the end of the data.
            bool line(std::string& text)
            {
                const u64 start = m_offset;
                if (!nextLine())
                    return false;
                text.assign(reinterpret_cast<const char*>(m_data + start), size_t(m_offset - 1 - start));
                return true;
            }

        private:
            const u8* m_data;
            u64 m_size;
            u64 m_offset;
        };

        // --------------------------------------------------------------------
        // header
        // --------------------------------------------------------------------

        struct HeaderPNM
        {
            s32 width = 0;
            s32 height = 0;
            s32 channels = 0;
            s32 maxval = 0;
            double scale = 0;   // PFM: negative means little-endian samples
            bool ascii = false;
            bool isFloat = false;
            bool bitmap = false;    // P1 and P4: 1 is black
            u64 data = 0;           // offset of the first sample

            ImageHeader header;

            void read(ConstMemory memory)
            {
                const char* error = parse(memory);
                if (!error)
                    error = finish();
                if (error)
                    header.setError("%s", error);
            }

        private:
            // the error text, or null
            const char* parse(ConstMemory memory)
            {
                const u8* p = memory.address;
                const u64 size = memory.size;
                auto starts = [&](const char* magic) {
                    const size_t n = std::strlen(magic);
                    return size >= n && std::memcmp(p, magic, n) == 0;
                };

                if (starts("Pf\n") || starts("PF\n"))
                {
                    TokenReader tokens(memory, 3);
                    if (const char* e = dimensions(tokens))
                        return e;
                    if (!tokens.real(scale) || !tokens.nextLine())
                        return outOfData;
                    channels = p[1] == 'F' ? 3 : 1;
                    maxval = 255;
                    isFloat = true;
                    data = tokens.offset();
                    return nullptr;
                }

                if (starts("P7\n"))
                    return pamHeader(memory);

                if (size >= 2 && p[0] == 'P' && p[1] >= '1' && p[1] <= '6')
                {
                    const int type = p[1] - '0';
                    ascii = type <= 3;
                    bitmap = type == 1 || type == 4;
                    channels = (type == 3 || type == 6) ? 3 : 1;
                    TokenReader tokens(memory, 2);
                    if (const char* e = dimensions(tokens))
                        return e;
                    maxval = 1;
                    if (!bitmap)
                    {
                        switch (tokens.integer(maxval))
                        {
                            case TokenReader::Result::OK: break;
                            case TokenReader::Result::END: return outOfData;
                            case TokenReader::Result::OVERFLOW: return "[ImageDecoder.PNM] Incorrect maxvalue";
                        }
                    }
                    data = tokens.offset();
                    return nullptr;
                }

                // the leading characters, printable ones only
                std::string lead;
                for (u64 i = 0; i < std::min<u64>(size, 2); ++i)
                    lead.push_back(p[i] >= 0x20 && p[i] < 0x7F ? char(p[i]) : '?');
                m_magic = "[ImageDecoder.PNM] Incorrect header magic (" + lead + ")";
                return m_magic.c_str();
            }

            // PAM: one "KEY value" line each, in any order, with comment and blank lines;
            // TUPLTYPE is optional (DEPTH alone picks the layout) and keys this decoder does
            // not know are passed over. ENDHDR closes the header; the data ending first is a
            // header cut short.
            const char* pamHeader(ConstMemory memory)
            {
                const struct
                {
                    const char* key;
                    s32* value;
                    const char* error;
                } fields[] = {
                    { "WIDTH", &width, "[ImageDecoder.PNM] Incorrect width" },
                    { "HEIGHT", &height, "[ImageDecoder.PNM] Incorrect height" },
                    { "DEPTH", &channels, "[ImageDecoder.PNM] Incorrect depth" },
                    { "MAXVAL", &maxval, "[ImageDecoder.PNM] Incorrect maxval" },
                };
                bool seen[4] = {};
                TokenReader lines(memory, 3);
                std::string text;
                for (;;)
                {
                    if (!lines.line(text))
                        return outOfData;
                    const size_t start = text.find_first_not_of(" \t\r");
                    if (start == std::string::npos || text[start] == '#')
                        continue;
                    const size_t end = std::min(text.find_first_of(" \t\r", start), text.size());
                    const std::string key = text.substr(start, end - start);
                    if (key == "ENDHDR")
                        break;
                    for (size_t i = 0; i < 4; ++i)
                    {
                        if (key != fields[i].key)
                            continue;
                        const std::optional<s32> v = lineNumber(text.substr(end));
                        if (!v)
                            return fields[i].error;
                        *fields[i].value = *v;
                        seen[i] = true;
                    }
                }
                for (size_t i = 0; i < 4; ++i)
                {
                    if (!seen[i])
                        return fields[i].error;
                }
                data = lines.offset();
                return nullptr;
            }

            const char* dimensions(TokenReader& tokens)
            {
                const struct
                {
                    s32* value;
                    const char* error;
                } fields[] = {
                    { &width, "[ImageDecoder.PNM] Incorrect width" },
                    { &height, "[ImageDecoder.PNM] Incorrect height" },
                };
                for (const auto& field : fields)
                {
                    switch (tokens.integer(*field.value))
                    {
                        case TokenReader::Result::OK: break;
                        case TokenReader::Result::END: return outOfData;
                        case TokenReader::Result::OVERFLOW: return field.error;
                    }
                }
                return nullptr;
            }

            // "13" from "WIDTH 13": digits only, in range
            static std::optional<s32> lineNumber(const std::string& text)
            {
                s64 v = 0;
                size_t i = text.find_first_not_of(" \t");
                if (i == std::string::npos || text[i] < '0' || text[i] > '9')
                    return std::nullopt;
                for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
                {
                    v = v * 10 + (text[i] - '0');
                    if (v > 0x7FFFFFFF)
                        return std::nullopt;
                }
                return s32(v);
            }

            const char* finish()
            {
                if (width <= 0)
                    return "[ImageDecoder.PNM] Incorrect width";
                if (height <= 0)
                    return "[ImageDecoder.PNM] Incorrect height";
                if (maxval < 1 || maxval > 65535)
                    return "[ImageDecoder.PNM] Incorrect maxvalue";
                Format format;
                if (isFloat)
                {
                    format = channels == 1 ? Format::L32F : Format::RGB32F;
                }
                else
                {
                    switch (channels)
                    {
                        case 1: format = Format::L8; break;
                        case 2: format = Format::LA88; break;
                        case 3: format = Format::RGB888; break;
                        case 4: format = Format::RGBA8888; break;
                        default: return "[ImageDecoder.PNM] Incorrect number of channels";
                    }
                }
                header.width = width;
                header.height = height;
                header.format = format;
                return nullptr;
            }

            std::string m_magic;
        };

        // --------------------------------------------------------------------
        // samples
        // --------------------------------------------------------------------

        class Interface : public ImageDecoderInterface
        {
        public:
            explicit Interface(ConstMemory memory)
                : m_memory(memory)
            {
                m_pnm.read(memory);
            }

            ImageHeader header() override
            {
                return m_pnm.header;
            }

            ImageDecodeStatus decode(Surface& dest, Palette* palette, int level, int depth, int face) override
            {
                (void)palette;
                (void)level;
                (void)depth;
                (void)face;
                if (!m_pnm.header.success)
                {
                    ImageDecodeStatus status;
                    status.setError("%s", m_pnm.header.info.c_str());
                    return status;
                }
                // every sample takes at least a byte (a bit in P4): a file too short for its
                // size is refused before anything is allocated
                const u64 remaining = m_memory.size - std::min(m_pnm.data, m_memory.size);
                if (needed() > remaining)
                {
                    ImageDecodeStatus status;
                    status.setError(outOfData);
                    return status;
                }
                // binary samples of maxval 255 are pixels in the header's format already: another
                // destination format converts them from the file, without a temporary
                const bool pixels = !m_pnm.ascii && !m_pnm.bitmap && !m_pnm.isFloat && m_pnm.maxval == 255;
                if (pixels && dest.format != m_pnm.header.format)
                {
                    ImageDecodeStatus status;
                    const Surface source(m_pnm.width, m_pnm.height, m_pnm.header.format, int(rowSamples()),
                                         const_cast<u8*>(m_memory.address + m_pnm.data));
                    if (!dest.blit(0, 0, source))
                        status.setError("[ImageDecoder.PNM] No conversion to the destination format.");
                    return status;
                }
                return guardStatus<ImageDecodeStatus>("[ImageDecoder.PNM] ", [&] {
                    return decodeDirectOrBlit(dest, m_pnm.header, "[ImageDecoder.PNM] ",
                                              [&](Surface& target) { return drawSamples(target); });
                });
            }

        private:
            ConstMemory m_memory;
            HeaderPNM m_pnm;

            u64 rowSamples() const { return u64(m_pnm.width) * u64(m_pnm.channels); }

            // The least number of bytes the samples take.
            u64 needed() const
            {
                const u64 h = u64(m_pnm.height);
                if (m_pnm.ascii)
                    return rowSamples() * h;
                if (m_pnm.bitmap)
                    return (u64(m_pnm.width) + 7) / 8 * h;
                if (m_pnm.isFloat)
                    return rowSamples() * 4 * h;
                return rowSamples() * (m_pnm.maxval > 255 ? 2 : 1) * h;
            }

            ImageDecodeStatus drawSamples(const Surface& target)
            {
                ImageDecodeStatus status;
                const u8* data = m_memory.address + m_pnm.data;
                const int width = m_pnm.width;
                const int height = m_pnm.height;
                const size_t samples = size_t(rowSamples());

                if (m_pnm.ascii)
                    return readText(target);

                if (m_pnm.bitmap)
                {
                    const size_t rowBytes = (size_t(width) + 7) / 8;
                    for (int y = 0; y < height; ++y)
                    {
                        const u8* in = data + rowBytes * size_t(y);
                        u8* out = target.address(0, y);
                        for (int x = 0; x < width; ++x)
                            out[x] = ((in[x >> 3] >> (7 - (x & 7))) & 1) ? 0 : 255;
                    }
                    return status;
                }

                if (m_pnm.isFloat)
                {
                    // rows stored bottom-up; a negative scale means little-endian
                    const bool little = m_pnm.scale < 0;
                    for (int y = 0; y < height; ++y)
                    {
                        const u8* in = data + samples * 4 * size_t(height - 1 - y);
                        float* out = reinterpret_cast<float*>(target.address(0, y));
                        for (size_t i = 0; i < samples; ++i)
                        {
                            const u32 bits = little ? loadLE32(in + i * 4) : loadBE32(in + i * 4);
                            std::memcpy(out + i, &bits, 4);
                        }
                    }
                    return status;
                }

                // other maxvals are scaled to 8 bits as the ASCII samples are: 16-bit
                // big-endian samples above 255, bytes below
                if (m_pnm.maxval != 255)
                {
                    const u32 maxval = u32(m_pnm.maxval);
                    const bool wide = maxval > 255;
                    for (int y = 0; y < height; ++y)
                    {
                        const u8* in = data + samples * (wide ? 2 : 1) * size_t(y);
                        u8* out = target.address(0, y);
                        for (size_t i = 0; i < samples; ++i)
                        {
                            const u32 v = wide ? loadBE16(in + i * 2) : in[i];
                            if (!scaleSample(v, maxval, out[i], status))
                                return status;
                        }
                    }
                    return status;
                }

                // maxval 255: the samples are the pixels as they are; a target
                // whose rows follow each other takes them in one copy
                if (target.stride == s64(samples))
                {
                    std::memcpy(target.image, data, samples * size_t(height));
                    return status;
                }
                for (int y = 0; y < height; ++y)
                    std::memcpy(target.address(0, y), data + samples * size_t(y), samples);
                return status;
            }

            ImageDecodeStatus readText(const Surface& target)
            {
                ImageDecodeStatus status;
                auto fail = [&](const char* error) {
                    status.setError("%s", error);
                    return status;
                };
                TokenReader tokens(m_memory, m_pnm.data);
                const size_t samples = size_t(rowSamples());
                const u32 maxval = u32(m_pnm.maxval);
                for (int y = 0; y < m_pnm.height; ++y)
                {
                    u8* out = target.address(0, y);
                    for (size_t i = 0; i < samples; ++i)
                    {
                        if (m_pnm.bitmap)
                        {
                            // one character a sample: "0110" is four of them
                            if (!tokens.skipTo([](u8 c) { return c == '0' || c == '1'; }))
                                return fail(outOfData);
                            out[i] = tokens.current() == '1' ? 0 : 255;
                            tokens.advance();
                            continue;
                        }
                        s32 v = 0;
                        switch (tokens.integer(v))
                        {
                            case TokenReader::Result::OK: break;
                            case TokenReader::Result::END: return fail(outOfData);
                            case TokenReader::Result::OVERFLOW: return fail("[ImageDecoder.PNM] Incorrect sample");
                        }
                        if (v < 0)
                            return fail("[ImageDecoder.PNM] Incorrect sample");
                        if (!scaleSample(u32(v), maxval, out[i], status))
                            return status;
                    }
                }
                return status;
            }
        };

        ImageDecoderInterface* createDecoderPNM(ConstMemory memory)
        {
            return new Interface(memory);
        }

    } // namespace

    void registerImageDecoderPNM()
    {
        registerImageDecoder(createDecoderPNM, ".pbm");
        registerImageDecoder(createDecoderPNM, ".pgm");
        registerImageDecoder(createDecoderPNM, ".ppm");
        registerImageDecoder(createDecoderPNM, ".pam");
        registerImageDecoder(createDecoderPNM, ".pfm");
    }

} // namespace norva
