// Bitmap from a file: kept apart so that the in-memory paths need no filesystem.

#include <norva/filesystem/file.hpp>
#include <norva/image/surface.hpp>

namespace norva
{
    Bitmap::Bitmap(const std::string& filename, const Format& format)
        : Bitmap(filename, &format)
    {
    }

    Bitmap::Bitmap(const std::string& filename, const Format* format)
    {
        const filesystem::File file(filename); // throws when it cannot be opened
        load(file, filesystem::getExtension(filename), format);
    }

} // namespace norva
