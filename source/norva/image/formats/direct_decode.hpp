#pragma once

// Decoders that can write their own format straight into the caller's surface share this
// choice: directly when the destination has the header's format and holds the whole image,
// else through a temporary bitmap of the image that is then blitted (converted and clipped).

#include <norva/image/decoder.hpp>

namespace norva
{
    // draw(Surface& target) fills target (the image's size or larger, in header.format) and
    // returns its status. tag: the message prefix, "[ImageDecoder.SGI] ".
    template <typename Draw>
    ImageDecodeStatus decodeDirectOrBlit(Surface& dest, const ImageHeader& header, const char* tag, Draw&& draw)
    {
        if (dest.format == header.format && dest.width >= header.width && dest.height >= header.height && dest.image)
        {
            ImageDecodeStatus status = draw(dest);
            status.direct = true;
            return status;
        }
        Bitmap temp(header.width, header.height, header.format);
        ImageDecodeStatus status = draw(temp);
        if (!dest.blit(0, 0, temp))
            status.setError("%sNo conversion to the destination format.", tag);
        return status;
    }

} // namespace norva
