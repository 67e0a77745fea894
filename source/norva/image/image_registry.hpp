#pragma once

#include <string>
#include <vector>

namespace norva
{
    // Calls every format's registration function in the library's fixed order
    // (image_registry.cpp).
    void registerImageFormats();

    // The extensions with a registered decoder, lower-cased with their dot, in sorted order
    // (decoder.cpp). The robustness sweep and the fuzz harness read their lists from here,
    // so a format is covered as soon as it registers.
    std::vector<std::string> getImageDecoderExtensions();

} // namespace norva
