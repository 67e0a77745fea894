#pragma once

#include <cstdarg>
#include <string>

namespace norva
{
    // printf-style formatting into a 512-byte buffer: output past 511 characters is cut.
    std::string makeString(const char* format, ...) __attribute__((format(printf, 1, 2)));

    // The same from a va_list, for other formatting functions to forward to.
    std::string makeStringV(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

    std::string toLower(std::string s);

    // A copy of s with the first occurrence of pattern removed.
    std::string eraseFirst(const std::string& s, const std::string& pattern);

    // Both conversions stop at the first zero. utf8ToUtf16 skips stray bytes, stops at a
    // broken continuation byte and drops code points above U+10FFFF; utf16ToUtf8 joins each
    // surrogate pair into one four-byte sequence and writes U+FFFD for a half without its
    // partner.
    std::u16string utf8ToUtf16(const std::string& s);
    std::string utf16ToUtf8(const std::u16string& s);

} // namespace norva
