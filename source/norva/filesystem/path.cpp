#include <norva/filesystem/file.hpp>

namespace norva::filesystem
{
    namespace
    {
        constexpr const char* separators = "/\\:";
    }

    std::string getExtension(const std::string& filename)
    {
        // A dot in a folder name ("v1.2/README") is not the file's extension.
        const std::size_t dot = filename.find_last_of('.');
        const std::size_t separator = filename.find_last_of(separators);
        if (dot == std::string::npos || (separator != std::string::npos && separator > dot))
        {
            return std::string();
        }
        return filename.substr(dot);
    }

    std::string getPath(const std::string& filename)
    {
        const std::size_t separator = filename.find_last_of(separators);
        return separator == std::string::npos ? std::string() : filename.substr(0, separator + 1);
    }

    Path::Path(const std::string& pathname, const std::string& password)
        : m_mapper(std::make_shared<Mapper>(pathname, password))
    {
        if (AbstractMapper* mapper = *m_mapper)
        {
            mapper->getIndex(m_files, m_mapper->getBasePath());
        }
    }

    Path::Path(const std::string& pathname, Unlisted)
        : m_mapper(std::make_shared<Mapper>(pathname))
    {
    }

    // Files always open with an empty password.
    File::File(const std::string& filename)
        : m_filename(filename.substr(getPath(filename).size()))
        , m_path(getPath(filename), Path::Unlisted())
    {
        const Mapper& mapper = *m_path.getMapper();
        if (AbstractMapper* current = mapper)
        {
            m_memory = current->mmap(mapper.getBasePath() + m_filename);
        }
    }

} // namespace norva::filesystem
