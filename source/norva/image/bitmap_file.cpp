// Bitmap from a file: kept apart so that the in-memory paths need no filesystem.

#include <norva/filesystem/file.hpp>
#include <norva/image/surface.hpp>

namespace norva
{
    namespace
    {

        // The text from the last "." of the file's own name to the end, dot included.
        std::string fileExtension(const std::string& filename)
        {
            const size_t name = filename.find_last_of("/\\");
            const size_t dot = filename.find_last_of('.');
            if (dot == std::string::npos || (name != std::string::npos && dot < name))
                return std::string();
            return filename.substr(dot);
        }

    } // namespace

    Bitmap::Bitmap(const std::string& filename, const Format& format)
        : Bitmap(filename, &format)
    {
    }

    Bitmap::Bitmap(const std::string& filename, const Format* format)
    {
        const filesystem::File file(filename); // throws when it cannot be opened
        load(file, fileExtension(filename), format);
    }

} // namespace norva
