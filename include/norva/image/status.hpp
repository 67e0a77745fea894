#pragma once

#include <string>

namespace norva
{
    // The base of every decoder and encoder result: decoders and encoders report through
    // it instead of throwing. info is empty on success unless a format puts a description
    // there; messages start with a tag such as "[ImageDecoder.PNG] ".
    struct Status
    {
        std::string info;
        bool success = true;

        // info = the formatted text (cut at 511 characters), success = false. Never pass
        // text read from a file as the format: use setError("%s", text).
        void setError(const char* format, ...) __attribute__((format(printf, 2, 3)));

        explicit operator bool() const { return success; }
    };

} // namespace norva
