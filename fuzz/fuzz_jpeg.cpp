// JPEG: baseline, progressive, lossless and arithmetic files through the ".jpg" decoder;
// then the decoder object on one thread against the speculative parallel entropy decoder
// with the data cut into a few to many ranges: outcome, status and pixels must agree.

#include <cstdlib>
#include <vector>

#include <norva/image/surface.hpp>

#include "fuzz_image.hpp"
#include "jpeg/jpeg_private.hpp"

namespace
{
    using namespace norva;

    struct Result
    {
        bool success = false;
        std::string info;
        std::vector<u8> pixels;
    };

    Result decodeWith(const std::uint8_t* data, std::size_t size, u32 threads, u32 ranges)
    {
        Result result;
        jpeg::Parser parser(ConstMemory(data, size));
        parser.threadOverride = threads;
        parser.entropyRangeOverride = ranges;
        const ImageHeader& header = parser.header();
        if (!header.success || header.width <= 0 || header.height <= 0 || u64(header.width) * header.height > (1u << 20))
            return result;
        result.pixels.assign(size_t(header.width) * header.height * 4, 0);
        Surface surface(header.width, header.height, Format::BGRA8888, header.width * 4, result.pixels.data());
        const ImageDecodeStatus status = parser.decode(surface);
        result.success = status.success;
        result.info = status.info;
        if (!status.success)
            result.pixels.clear();
        return result;
    }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::decodeImage(data, size, ".jpg");

    // both plan for one thread elsewhere, so that only the ranges differ
    const Result serial = decodeWith(data, size, 1, 0);
    const u32 ranges = 2 + u32(size % 61);
    const Result parallel = decodeWith(data, size, 1, ranges);
    if (serial.success != parallel.success || serial.info != parallel.info || serial.pixels != parallel.pixels)
        std::abort();
    return 0;
}
