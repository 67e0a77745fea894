#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <norva/core/memory.hpp>

namespace norva
{
    // Owner of one mapped or decompressed view. Subclasses own what backs `memory` (a file
    // mapping, a buffer) and release it in their destructor; the base alone is a plain view
    // into storage that someone else keeps alive.
    class VirtualMemory : private NonCopyable
    {
    public:
        VirtualMemory() = default;
        explicit VirtualMemory(Memory memory) : memory(memory) {}
        virtual ~VirtualMemory() = default;

        operator ConstMemory() const { return memory; }

        Memory memory;
    };

} // namespace norva

namespace norva::filesystem
{
    struct FileInfo
    {
        enum Flags : u32
        {
            DIRECTORY = 1,
            CONTAINER = 2, // an archive shown as a folder
            COMPRESSED = 4,
            ENCRYPTED = 8,
        };

        u64 size = 0;
        u32 flags = 0;
        std::string name; // folders end in "/"

        bool isDirectory() const { return flags & DIRECTORY; }
        bool isContainer() const { return flags & CONTAINER; }
        bool isCompressed() const { return flags & COMPRESSED; }
        bool isEncrypted() const { return flags & ENCRYPTED; }
    };

    // The direct children of one folder, in the order the mapper added them.
    class FileIndex
    {
    public:
        // Appends the entry; a file with an archive extension is followed by its folder
        // entry (name + "/", DIRECTORY | CONTAINER) so that it can be browsed into.
        void emplace(const std::string& name, u64 size, u32 flags);

        std::size_t size() const { return m_files.size(); }
        bool empty() const { return m_files.empty(); }
        const FileInfo& operator[](std::size_t index) const { return m_files[index]; }
        std::vector<FileInfo>::const_iterator begin() const { return m_files.begin(); }
        std::vector<FileInfo>::const_iterator end() const { return m_files.end(); }

    private:
        std::vector<FileInfo> m_files;
    };

    // One source of files: a host folder or an archive.
    class AbstractMapper : private NonCopyable
    {
    public:
        virtual ~AbstractMapper() = default;

        // The name denotes a regular file of this source.
        virtual bool isFile(const std::string& filename) = 0;

        // Appends the direct children of the folder `pathname` ("" is the root) through
        // FileIndex::emplace.
        virtual void getIndex(FileIndex& index, const std::string& pathname) = 0;

        // Maps one file; throws when it cannot. The memory must be released while this
        // mapper still exists.
        virtual std::unique_ptr<VirtualMemory> mmap(const std::string& filename) = 0;
    };

    // Builds the mapper of an archive from the archive's bytes.
    using MapperFactory =
        std::function<std::unique_ptr<AbstractMapper>(ConstMemory parent, const std::string& password)>;

    struct MapperExtension
    {
        MapperExtension(std::string extension, MapperFactory factory);

        std::string extension; // lower case, with the dot: ".zip"
        std::string folder;    // extension + "/", what a path into the archive contains
        MapperFactory factory;
    };

    // Archive extensions in the order a path is searched for them: the first row whose
    // folder occurs anywhere in the path decides where the path is split.
    extern const std::vector<MapperExtension> mapperExtensions;

    // Archive mappers, one factory per kind.
    std::unique_ptr<AbstractMapper> createMapperZIP(ConstMemory parent, const std::string& password);
    std::unique_ptr<AbstractMapper> createMapperMGX(ConstMemory parent, const std::string& password);
    std::unique_ptr<AbstractMapper> createMapperRAR(ConstMemory parent, const std::string& password);

    // The host folder mapper. `folder` is a prefix for every name it is given ("" is the
    // working directory); a missing trailing separator is added.
    std::unique_ptr<AbstractMapper> createFileMapper(const std::string& folder);

    // Maps `size` bytes (0: up to the end) of a host file from `offset` on. The view never
    // reaches past the end of the file; it is empty for an empty file or an offset at or
    // past the end. Throws when the file cannot be opened or mapped.
    std::unique_ptr<VirtualMemory> mapHostFile(const std::string& filename, u64 offset = 0, u64 size = 0);

    // The chain of mappers behind a path that may run through archives, such as
    // "textures/pack.zip/stone/": the host folder first, then one mapper per archive.
    class Mapper : private NonCopyable
    {
    public:
        explicit Mapper(const std::string& pathname, const std::string& password = std::string());

        // Resolves through another extension table than mapperExtensions.
        Mapper(const std::string& pathname, const std::string& password,
               const std::vector<MapperExtension>& extensions);

        ~Mapper();

        // The last mapper of the chain.
        operator AbstractMapper*() const { return m_current; }

        // The rest of the path inside the last mapper.
        const std::string& getBasePath() const { return m_basepath; }

        // The path as given ("./" for an empty one).
        const std::string& getPathName() const { return m_pathname; }

    private:
        // A mapper and the archive memory it reads; the mapper goes first.
        struct Link
        {
            std::unique_ptr<VirtualMemory> container; // null for the host folder
            std::unique_ptr<AbstractMapper> mapper;
        };

        bool parse(std::string& basepath, std::string& remainder, const std::string& password,
                   const std::vector<MapperExtension>& extensions);
        void append(std::unique_ptr<VirtualMemory> container, std::unique_ptr<AbstractMapper> mapper);
        void release();

        AbstractMapper* m_current = nullptr;
        std::vector<Link> m_chain; // in creation order; torn down from the back
        std::string m_basepath;
        std::string m_pathname;
    };

} // namespace norva::filesystem
