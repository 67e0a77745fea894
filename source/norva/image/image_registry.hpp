#pragma once

namespace norva
{
    // Calls every format's registration function in the library's fixed order
    // (image_registry.cpp).
    void registerImageFormats();

} // namespace norva
