// BMP, ICO and CUR: one decoder tells them apart by their first bytes (whatever the
// extension), and icons may hold a BMP or a PNG image.

#include "fuzz_image.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::decodeImage(data, size, ".ico");
    return 0;
}
