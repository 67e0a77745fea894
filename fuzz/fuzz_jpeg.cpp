// JPEG: baseline, progressive, lossless and arithmetic files through the ".jpg" decoder.

#include "fuzz_image.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::decodeImage(data, size, ".jpg");
    return 0;
}
