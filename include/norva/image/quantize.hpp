#pragma once

#include <norva/image/decoder.hpp>
#include <norva/image/surface.hpp>

namespace norva::image
{
    // Reduces a true-colour image to 256 colours with a self-organising network
    // (NeuQuant), then maps every pixel to its nearest entry, optionally with
    // Floyd-Steinberg error diffusion. Every call is independent and deterministic.
    class ColorQuantizer
    {
    public:
        struct Options
        {
            float quality = 0.90f;  // 0 (fast, every 29th pixel learnt) to 1 (every pixel)
            bool dithering = false;
        };

        // Writes 256 colours (BGRA 8888, alpha 255) into palette and one index per pixel
        // into dest. Throws norva::Exception when dest is not indexed
        // ("[ColorQuantizer] The destination surface must have indexed format.") or the
        // sizes differ ("[ColorQuantizer] The destination and source dimensions must be
        // identical.") or the source's format has no conversion to colours (an indexed or
        // SNORM source, see Blitter::canConvert) or the image takes 2^31 bytes or more as
        // BGRA 8888; nothing is written then.
        static void quantize(Palette& palette, const Surface& dest, const Surface& source, const Options& options);
    };

} // namespace norva::image
