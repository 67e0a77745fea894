#include <norva/filesystem/mapper.hpp>

#include <algorithm>
#include <utility>

#include <norva/core/string.hpp>
#include <norva/filesystem/path.hpp>

namespace norva::filesystem
{
    MapperExtension::MapperExtension(std::string extension, MapperFactory factory)
        : extension(std::move(extension))
        , folder(this->extension + "/")
        , factory(std::move(factory))
    {
    }

    // Aliases sit after the names they alias; ".zip" before ".zipx" is harmless because a
    // match needs the "/" right after the extension.
    const std::vector<MapperExtension> mapperExtensions = {
        { ".zip", createMapperZIP },
        { ".cbz", createMapperZIP }, // comic book archive
        { ".apk", createMapperZIP }, // Android package
        { ".zipx", createMapperZIP },
        { ".mgx", createMapperMGX },
        { ".snitch", createMapperMGX },
        { ".rar", createMapperRAR },
        { ".cbr", createMapperRAR }, // comic book archive
    };

    void FileIndex::emplace(const std::string& name, u64 size, u32 flags)
    {
        m_files.push_back(FileInfo { size, flags, name });

        if (flags & FileInfo::DIRECTORY)
        {
            return;
        }

        const std::string extension = toLower(getExtension(name));
        const bool archive = std::any_of(mapperExtensions.begin(), mapperExtensions.end(),
            [&](const MapperExtension& row) { return row.extension == extension; });
        if (archive)
        {
            m_files.push_back(FileInfo { 0, flags | FileInfo::DIRECTORY | FileInfo::CONTAINER, name + "/" });
        }
    }

    Mapper::Mapper(const std::string& pathname, const std::string& password)
        : Mapper(pathname, password, mapperExtensions)
    {
    }

    Mapper::Mapper(const std::string& pathname, const std::string& password,
                   const std::vector<MapperExtension>& extensions)
        : m_pathname(pathname.empty() ? "./" : pathname)
    {
        std::string basepath = m_pathname;
        std::replace(basepath.begin(), basepath.end(), '\\', '/');
        std::string remainder = basepath;

        // A throwing factory or mmap must not leave the chain to the members' destruction
        // order: archive memory has to go before the mapper that produced it.
        try
        {
            while (!remainder.empty() && parse(basepath, remainder, password, extensions))
            {
            }
        }
        catch (...)
        {
            release();
            throw;
        }

        m_basepath = std::move(basepath);
    }

    Mapper::~Mapper()
    {
        release();
    }

    void Mapper::release()
    {
        // Each mapper before the memory it reads, each memory before the mapper that made it.
        while (!m_chain.empty())
        {
            m_chain.back().mapper.reset();
            m_chain.back().container.reset();
            m_chain.pop_back();
        }
        m_current = nullptr;
    }

    void Mapper::append(std::unique_ptr<VirtualMemory> container, std::unique_ptr<AbstractMapper> mapper)
    {
        m_current = mapper.get();
        m_chain.push_back(Link { std::move(container), std::move(mapper) });
    }

    // One step of resolution: opens the container that the remainder of the path leads into.
    // Returns false when there is none (or the current source does not hold it).
    bool Mapper::parse(std::string& basepath, std::string& remainder, const std::string& password,
                       const std::vector<MapperExtension>& extensions)
    {
        // Table order decides, not the position in the path: "a.rar/b.zip/" splits at ".zip/".
        const std::string lower = toLower(remainder);
        const MapperExtension* row = nullptr;
        std::size_t position = std::string::npos;
        for (const MapperExtension& candidate : extensions)
        {
            position = lower.find(candidate.folder);
            if (position != std::string::npos)
            {
                row = &candidate;
                break;
            }
        }

        if (!row)
        {
            if (!m_current)
            {
                append(nullptr, createFileMapper(basepath));
                basepath.clear();
            }
            return false;
        }

        // Lower-casing keeps byte offsets, so they apply to the remainder as given.
        std::string container = remainder.substr(0, position + row->extension.size());
        std::string rest = remainder.substr(position + row->folder.size());

        if (!m_current)
        {
            // The host folder holding the first archive. What follows is relative to it,
            // so a host folder that merely looks like an archive ("x.zip/") still lists.
            const std::string folder = getPath(container);
            append(nullptr, createFileMapper(folder));
            container.erase(0, folder.size());
            basepath.erase(0, folder.size());
            remainder.erase(0, folder.size());
        }

        if (!m_current->isFile(container))
        {
            return false;
        }

        std::unique_ptr<VirtualMemory> memory = m_current->mmap(container);
        std::unique_ptr<AbstractMapper> mapper = row->factory(*memory, password);
        append(std::move(memory), std::move(mapper));

        basepath = rest;
        remainder = std::move(rest);
        return true;
    }

} // namespace norva::filesystem
