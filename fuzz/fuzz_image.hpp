// Shared by the image harnesses: decode one input through the front end with a given
// extension, the way an application would, and bound what a header may make us allocate.

#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>

#include <norva/core/exception.hpp>
#include <norva/image/decoder.hpp>

namespace fuzz
{
    // Headers may claim any size; decoding a 30000 x 30000 image teaches the fuzzer nothing
    // and trips its memory limit, so larger images stop after the header.
    constexpr std::uint64_t maxPixels = std::uint64_t(1) << 22;

    // The destination a decode writes into. Decoders must honour any surface, not only one
    // of the header's size: applications decode into views of larger images.
    enum class Destination
    {
        EXACT,      // the header's size
        SMALLER,    // half of it in each direction
        LARGER,     // a few pixels more
        BOTTOM_UP,  // the header's size with a negative stride
        COUNT,
    };

    inline void decodeInto(norva::ImageDecoder& decoder, const norva::ImageHeader& header,
                           const norva::Format& format, norva::Palette* palette, Destination destination)
    {
        try
        {
            int width = header.width;
            int height = header.height;
            if (destination == Destination::SMALLER)
            {
                width = (width + 1) / 2;
                height = (height + 1) / 2;
            }
            else if (destination == Destination::LARGER)
            {
                width += 3;
                height += 1;
            }
            norva::Bitmap bitmap(width, height, format);
            norva::Surface surface = bitmap;
            if (destination == Destination::BOTTOM_UP && height > 0)
                surface = norva::Surface(width, height, format, -bitmap.stride, bitmap.address(0, height - 1));

            norva::ImageDecodeOptions options;
            options.palette = palette;
            // animated formats yield a frame per call; a few show the frame state machine, and
            // an animation's wrap to frame 0 its next loop (a still image ends at once)
            int wraps = 0;
            for (int frame = 0; frame < 6; ++frame)
            {
                norva::ImageDecodeStatus status = decoder.decode(surface, options);
                if (!status.success)
                    break;
                if (status.next_frame_index == 0 && (status.current_frame_index == 0 || ++wraps == 2))
                    break;
            }
        }
        catch (const norva::Exception&)
        {
        }
        catch (const std::bad_alloc&)
        {
        }
    }

    // Header, then decodes into the native format (the decoders' direct paths) and into
    // RGBA 8888 (the converting ones), then (indexed images) a decode of the indices.
    inline void decodeImage(const std::uint8_t* data, std::size_t size, const std::string& extension,
                            Destination destination = Destination::EXACT)
    {
        norva::ConstMemory memory(data, size);
        {
            norva::ImageDecoder decoder(memory, extension);
            norva::ImageHeader header = decoder.header();
            decoder.icc();
            decoder.exif();
            if (!header.success || header.width <= 0 || header.height <= 0)
                return;
            if (std::uint64_t(header.width) * std::uint64_t(header.height) > maxPixels)
                return;
            decodeInto(decoder, header, header.format, nullptr, destination);
            decodeInto(decoder, header, norva::Format::RGBA8888, nullptr, destination);
            if (!header.palette)
                return;
        }
        norva::ImageDecoder decoder(memory, extension);
        norva::ImageHeader header = decoder.header();
        if (!header.success || header.width <= 0 || header.height <= 0)
            return;
        norva::Palette palette;
        decodeInto(decoder, header, norva::Format::INDEX8, &palette, destination);
    }

} // namespace fuzz
