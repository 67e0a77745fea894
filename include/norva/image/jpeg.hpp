#pragma once

#include <norva/core/configure.hpp>
#include <norva/core/stream.hpp>
#include <norva/image/decoder.hpp>
#include <norva/image/format.hpp>
#include <norva/image/surface.hpp>

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

    // Writes a baseline JPEG of the surface: 4:4:4 colour, or greyscale for L8. quality 0..1
    // (1 the finest tables). Formats outside the table above are converted to RGBA 8888
    // first. On success the status info names the code that ran.
    ImageEncodeStatus encodeImage(Stream& stream, const Surface& surface, float quality);

} // namespace norva::jpeg
