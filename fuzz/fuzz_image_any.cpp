// Any registered decoder: the first byte picks the extension from the decoder registry,
// the second the destination (exact, smaller, larger, bottom-up), the rest is the file.
// Decoders that delegate (icons holding PNG or JPEG) and files given to the wrong decoder
// meet here. A format is fuzzed as soon as it registers.
//
// FUZZ_LIST_EXTENSIONS=1 fuzz_image_any prints the list in selector order and exits; the
// seeding in fuzz/run.sh reads it.

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fuzz_image.hpp"
#include "image_registry.hpp"

namespace
{
    const std::vector<std::string>& extensions()
    {
        static const std::vector<std::string> registered = norva::getImageDecoderExtensions();
        return registered;
    }
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (std::getenv("FUZZ_LIST_EXTENSIONS"))
    {
        for (const std::string& extension : extensions())
            std::printf("%s\n", extension.c_str());
        std::exit(0);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::vector<std::string>& list = extensions();
    if (size < 2 || list.empty())
        return 0;
    const std::string& extension = list[data[0] % list.size()];
    const int destination = data[1] % int(fuzz::Destination::COUNT);
    fuzz::decodeImage(data + 2, size - 2, extension, fuzz::Destination(destination));
    return 0;
}
