// JPEG encoder round trip: pixels of any layout, size and quality are encoded and must
// decode again. Five header bytes pick the case, the rest are the pixels (repeated):
//   0: layout (the encoder's five, then two it converts through RGBA), 1 and 2: width and
//   height (1 to 64, plus 64 times bits 0-1 and bit 2 of byte 4), 3: quality / 255.
// Checked: success; the scalar twins, one thread and the pool write the same bytes; our
// decoder reads the file back at its size, close to the source at the finest qualities.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <norva/core/stream.hpp>

#include "jpeg/jpeg_encode.hpp"

namespace
{
    using namespace norva;

    std::vector<u8> encode(const Surface& surface, float quality, const jpeg::EncodeSettings& settings)
    {
        MemoryStream stream;
        const ImageEncodeStatus status = jpeg::encodeImage(stream, surface, quality, settings);
        if (!status.success)
            std::abort();
        const ConstMemory m = stream;
        return std::vector<u8>(m.address, m.address + m.size);
    }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 6)
        return 0;

    const Format formats[] = { Format::L8, Format::BGR888, Format::RGB888, Format::BGRA8888, Format::RGBA8888,
                               Format::BGRX8880, Format::RGB565 };
    const Format& format = formats[data[0] % std::size(formats)];
    const int width = 1 + data[1] % 64 + (data[4] & 3) * 64;
    const int height = 1 + data[2] % 64 + ((data[4] >> 2) & 1) * 64;
    const float quality = data[3] / 255.0f;
    const u8* pixels = data + 5;
    const size_t count = size - 5;

    Bitmap source(width, height, format);
    for (int y = 0; y < height; ++y)
    {
        u8* row = source.address(0, y);
        for (int x = 0; x < width * format.bytes(); ++x)
            row[x] = pixels[(size_t(y) * width * format.bytes() + x) % count];
    }

    jpeg::EncodeSettings serial;
    serial.serial = true;
    const std::vector<u8> file = encode(source, quality, serial);

    jpeg::EncodeSettings scalar;
    scalar.serial = true;
    scalar.flags = 0;
    if (encode(source, quality, scalar) != file)
        std::abort();
    if (encode(source, quality, jpeg::EncodeSettings()) != file)
        std::abort();

    // read back in the layout the file has: grey for L8, RGBA otherwise
    const bool grey = format == Format::L8;
    const Format& target = grey ? Format::L8 : Format::RGBA8888;
    jpeg::Parser parser(ConstMemory(file.data(), file.size()));
    const ImageHeader& header = parser.header();
    if (!header.success || header.width != width || header.height != height)
        std::abort();
    Bitmap decoded(width, height, target);
    if (!parser.decode(decoded).success)
        std::abort();

    Bitmap expected(width, height, target);
    if (!expected.blit(0, 0, source))
        std::abort();
    double squared = 0;
    const int channels = grey ? 1 : 3;
    for (int y = 0; y < height; ++y)
    {
        for (int x = 0; x < width; ++x)
        {
            for (int c = 0; c < channels; ++c)
            {
                const double d = double(decoded.address(x, y)[c]) - double(expected.address(x, y)[c]);
                squared += d * d;
            }
        }
    }
    const double mse = squared / (double(width) * height * channels);
    // the finest tables keep even noise above 30 dB
    if (quality >= 0.9f && mse > 65025.0 / 1000.0)
        std::abort();
    return 0;
}
