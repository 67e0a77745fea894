#pragma once

#include <norva/core/configure.hpp>
#include <norva/image/format.hpp>

namespace norva::jpeg
{
    // The pixel layouts the JPEG decoder writes and the encoder reads.
    enum Sample : u32
    {
        JPEG_U8_Y = 0,
        JPEG_U8_BGR = 1,
        JPEG_U8_RGB = 2,
        JPEG_U8_BGRA = 3,
        JPEG_U8_RGBA = 4,
    };

    struct SampleFormat
    {
        Sample sample;
        Format format;
    };

    // The layout whose Format equals format; RGBA 8888 when none does.
    SampleFormat getSampleFormat(const Format& format);

} // namespace norva::jpeg
