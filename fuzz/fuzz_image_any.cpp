// Any registered decoder: the low five bits of the first byte pick the extension, the high
// three the destination (exact, smaller, larger, bottom-up), the rest is the file. Decoders
// that delegate (icons holding PNG or JPEG) and files given to the wrong decoder meet here.

#include <vector>

#include "fuzz_image.hpp"

namespace
{
    // Every extension the library may register; the ones without a decoder yet are dropped.
    const char* const candidates[] = {
        ".png", ".jpg", ".jpeg", ".jfif", ".mpo", ".bmp", ".ico", ".cur",
        ".tga", ".pkm", ".dds", ".pcx", ".iff", ".lbm", ".hdr", ".gif", ".ktx", ".pvr",
        ".astc", ".zpng", ".sgi", ".rgb", ".pbm", ".pgm", ".ppm", ".pam", ".pfm", ".webp",
        ".pi1", ".neo", ".spu",
    };

    const std::vector<std::string>& extensions()
    {
        static const std::vector<std::string> registered = [] {
            std::vector<std::string> found;
            for (const char* extension : candidates)
                if (norva::getImageDecoder(extension))
                    found.emplace_back(extension);
            return found;
        }();
        return registered;
    }
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::vector<std::string>& list = extensions();
    if (size < 1 || list.empty())
        return 0;
    const std::string& extension = list[(data[0] & 31) % list.size()];
    const int destination = (data[0] >> 5) % int(fuzz::Destination::COUNT);
    fuzz::decodeImage(data + 1, size - 1, extension, fuzz::Destination(destination));
    return 0;
}
