#pragma once

#include <memory>
#include <string>

#include <norva/filesystem/mapper.hpp>

namespace norva::filesystem
{
    // The text from the last "." of the last path component to the end, dot included;
    // empty when there is none ("archive.tar.gz" gives ".gz", "README" and "v1.2/README" "").
    std::string getExtension(const std::string& filename);

    // The text up to and including the last "/", "\\" or ":"; empty when there is none.
    std::string getPath(const std::string& filename);

    // One folder, on the host or inside archives, with its listing.
    class Path
    {
    public:
        explicit Path(const std::string& pathname, const std::string& password = std::string());

        const std::shared_ptr<Mapper>& getMapper() const { return m_mapper; }
        const FileIndex& getIndex() const { return m_files; }

        std::size_t size() const { return m_files.size(); }
        const FileInfo& operator[](std::size_t index) const { return m_files[index]; }
        auto begin() const { return m_files.begin(); }
        auto end() const { return m_files.end(); }

    private:
        friend class File;

        // Resolves without listing: a File needs the mapper, not the folder's contents.
        struct Unlisted {};
        Path(const std::string& pathname, Unlisted);

        std::shared_ptr<Mapper> m_mapper;
        FileIndex m_files;
    };

} // namespace norva::filesystem
