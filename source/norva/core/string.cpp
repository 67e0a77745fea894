#include <norva/core/string.hpp>

#include <cctype>
#include <cstdarg>
#include <cstdio>

namespace norva
{
    std::string makeStringV(const char* format, va_list args)
    {
        char buffer[512];
        if (std::vsnprintf(buffer, sizeof(buffer), format, args) < 0)
        {
            return std::string(); // the buffer's contents are undefined then
        }
        return std::string(buffer);
    }

    std::string makeString(const char* format, ...)
    {
        va_list args;
        va_start(args, format);
        std::string result = makeStringV(format, args);
        va_end(args);
        return result;
    }

    std::string toLower(std::string s)
    {
        for (char& c : s)
        {
            c = char(std::tolower(static_cast<unsigned char>(c)));
        }
        return s;
    }

    std::string eraseFirst(const std::string& s, const std::string& pattern)
    {
        std::string result = s;
        std::size_t offset = result.find(pattern);
        if (offset != std::string::npos)
        {
            result.erase(offset, pattern.length());
        }
        return result;
    }

    std::u16string utf8ToUtf16(const std::string& s)
    {
        std::u16string result;
        const unsigned char* p = reinterpret_cast<const unsigned char*>(s.c_str());

        // Reads one continuation byte; false when it is not of the form 10xxxxxx
        // (the terminating zero included), which ends the conversion.
        auto next = [&p](char32_t& cp) {
            unsigned char c = *p;
            if ((c & 0xC0) != 0x80)
            {
                return false;
            }
            ++p;
            cp = (cp << 6) | (c & 0x3F);
            return true;
        };

        while (*p)
        {
            unsigned char b = *p++;
            char32_t cp;
            int continuation;

            if (b < 0x80)
            {
                cp = b;
                continuation = 0;
            }
            else if ((b & 0xE0) == 0xC0)
            {
                cp = b & 0x1F;
                continuation = 1;
            }
            else if ((b & 0xF0) == 0xE0)
            {
                cp = b & 0x0F;
                continuation = 2;
            }
            else if ((b & 0xF8) == 0xF0)
            {
                cp = b & 0x07;
                continuation = 3;
            }
            else
            {
                // stray continuation byte or 0xF8..0xFF: skip it
                continue;
            }

            for (int i = 0; i < continuation; ++i)
            {
                if (!next(cp))
                {
                    return result;
                }
            }

            if (cp < 0x10000)
            {
                result.push_back(char16_t(cp));
            }
            else if (cp <= 0x10FFFF)
            {
                result.push_back(char16_t(0xD800 + ((cp - 0x10000) >> 10)));
                result.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
            }
        }

        return result;
    }

    std::string utf16ToUtf8(const std::u16string& s)
    {
        std::string result;
        // c_str() ends in a zero, so p[1] can always be read
        for (const char16_t* p = s.c_str(); *p; ++p)
        {
            char32_t cp = *p;
            if (cp >= 0xD800 && cp <= 0xDFFF)
            {
                // a high half followed by a low half is one code point; any other half
                // stands for nothing and is replaced
                if (cp <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF)
                {
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (p[1] - 0xDC00);
                    ++p;
                }
                else
                {
                    cp = 0xFFFD;
                }
            }

            if (cp < 0x80)
            {
                result.push_back(char(cp));
            }
            else if (cp < 0x800)
            {
                result.push_back(char(0xC0 | (cp >> 6)));
                result.push_back(char(0x80 | (cp & 0x3F)));
            }
            else if (cp < 0x10000)
            {
                result.push_back(char(0xE0 | (cp >> 12)));
                result.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
                result.push_back(char(0x80 | (cp & 0x3F)));
            }
            else
            {
                result.push_back(char(0xF0 | (cp >> 18)));
                result.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
                result.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
                result.push_back(char(0x80 | (cp & 0x3F)));
            }
        }
        return result;
    }

} // namespace norva
