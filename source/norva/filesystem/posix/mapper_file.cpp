// The host folder mapper over POSIX: folders are listed with opendir/readdir, files are
// mapped whole with mmap. Names are UTF-8 and go to the system as they are, except that
// "\\" is taken as a separator.

#include <algorithm>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <norva/core/exception.hpp>
#include <norva/filesystem/mapper.hpp>

namespace
{
    using namespace norva;
    using namespace norva::filesystem;

    const char* const FILE_MEMORY = "`anonymous-namespace'::FileMemory::FileMemory";

    std::string hostName(std::string name)
    {
        std::replace(name.begin(), name.end(), '\\', '/');
        return name;
    }

    u64 pageSize()
    {
        static const u64 size = u64(::sysconf(_SC_PAGESIZE));
        return size;
    }

    struct Descriptor : private NonCopyable
    {
        int fd;
        explicit Descriptor(int fd) : fd(fd) {}
        ~Descriptor()
        {
            if (fd >= 0)
            {
                ::close(fd);
            }
        }
    };

    // A read-only private mapping of a file range. A file truncated by someone else while it
    // is mapped raises SIGBUS on access to the lost pages; nothing here can prevent that.
    class FileMemory : public VirtualMemory
    {
    public:
        FileMemory(const std::string& filename, u64 offset, u64 size);
        ~FileMemory() override;

    private:
        void* m_view = nullptr;
        std::size_t m_viewSize = 0;
    };

    FileMemory::FileMemory(const std::string& filename, u64 offset, u64 size)
    {
        // O_NONBLOCK: opening a FIFO would otherwise wait for a writer. It changes nothing
        // for regular files, and anything else is refused below.
        Descriptor file(::open(filename.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        struct stat info;
        if (file.fd < 0 || ::fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode))
        {
            NORVA_THROW(FILE_MEMORY, "[FileMemory] File \"%s\" cannot be opened.", filename.c_str());
        }

        // Nothing to map (mmap of zero bytes fails): an empty view.
        const u64 fileSize = u64(info.st_size);
        if (offset >= fileSize)
        {
            return;
        }

        const u64 available = fileSize - offset;
        const u64 length = size ? std::min(size, available) : available;
        const u64 start = offset - offset % pageSize(); // mmap offsets are page-aligned
        const u64 skip = offset - start;

        void* view = MAP_FAILED;
        if (length + skip <= std::numeric_limits<std::size_t>::max())
        {
            view = ::mmap(nullptr, std::size_t(length + skip), PROT_READ, MAP_PRIVATE, file.fd, off_t(start));
        }
        if (view == MAP_FAILED)
        {
            NORVA_THROW(FILE_MEMORY, "[FileMemory] Memory \"%s\" mapping failed.", filename.c_str());
        }

        // The mapping holds its own reference to the file: the descriptor closes on return.
        m_view = view;
        m_viewSize = std::size_t(length + skip);
        memory = Memory(static_cast<u8*>(view) + skip, length);
    }

    FileMemory::~FileMemory()
    {
        if (m_view)
        {
            ::munmap(m_view, m_viewSize);
        }
    }

    class FileMapper : public AbstractMapper
    {
    public:
        explicit FileMapper(const std::string& folder)
            : m_folder(hostName(folder))
        {
            // "textures" means the folder textures/. A trailing ":" stays as it is, so that
            // splitting "a:b" into "a:" and "b" joins back to the same name.
            if (!m_folder.empty() && m_folder.back() != '/' && m_folder.back() != ':')
            {
                m_folder += '/';
            }
        }

        bool isFile(const std::string& filename) override
        {
            // stat follows links; S_ISREG rather than "not a folder", which would take FIFOs
            struct stat info;
            return ::stat(hostName(m_folder + filename).c_str(), &info) == 0 && S_ISREG(info.st_mode);
        }

        void getIndex(FileIndex& index, const std::string& pathname) override;

        std::unique_ptr<VirtualMemory> mmap(const std::string& filename) override
        {
            return std::make_unique<FileMemory>(hostName(m_folder + filename), 0, 0);
        }

    private:
        std::string m_folder;
    };

    void FileMapper::getIndex(FileIndex& index, const std::string& pathname)
    {
        const std::string folder = hostName(m_folder + pathname);
        std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.empty() ? "." : folder.c_str()), ::closedir);
        if (!dir)
        {
            return;
        }

        struct Entry
        {
            std::string name;
            u64 size;
            bool folder;
        };
        std::vector<Entry> entries;

        while (const dirent* entry = ::readdir(dir.get()))
        {
            const std::string name = entry->d_name;
            if (name == "." || name == "..")
            {
                continue;
            }

            // d_type may be DT_UNKNOWN and does not follow links: ask for the target. A
            // broken link or an entry removed meanwhile fails and is left out.
            struct stat info;
            if (::fstatat(::dirfd(dir.get()), entry->d_name, &info, 0) != 0)
            {
                continue;
            }
            if (S_ISDIR(info.st_mode))
            {
                entries.push_back(Entry { name, 0, true });
            }
            else if (S_ISREG(info.st_mode))
            {
                entries.push_back(Entry { name, u64(info.st_size), false });
            }
        }
        dir.reset();

        // readdir order depends on the filesystem; callers get a stable, sorted listing.
        std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return a.name < b.name; });

        for (const Entry& entry : entries)
        {
            if (entry.folder)
            {
                index.emplace(entry.name + "/", 0, FileInfo::DIRECTORY);
            }
            else
            {
                index.emplace(entry.name, entry.size, 0);
            }
        }
    }

} // namespace

namespace norva::filesystem
{
    std::unique_ptr<AbstractMapper> createFileMapper(const std::string& folder)
    {
        return std::make_unique<FileMapper>(folder);
    }

    std::unique_ptr<VirtualMemory> mapHostFile(const std::string& filename, u64 offset, u64 size)
    {
        return std::make_unique<FileMemory>(hostName(filename), offset, size);
    }

} // namespace norva::filesystem
