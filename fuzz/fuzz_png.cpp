// PNG and APNG through the ".png" decoder.

#include "fuzz_image.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::decodeImage(data, size, ".png");
    return 0;
}
