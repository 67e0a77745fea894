#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <vector>

#include <norva/core/exception.hpp>
#include <norva/filesystem/file.hpp>

#include "filesystem/temp_folder.hpp"

using namespace norva;
using namespace norva::filesystem;

TEST(PathNames, ExtensionAndFolder)
{
    struct Case
    {
        std::string name, extension, path;
    };
    const std::vector<Case> cases = {
        { "archive.tar.gz", ".gz", "" },
        { "README", "", "" },
        { "a\\b:c", "", "a\\b:" },
        { "textures/stone.PNG", ".PNG", "textures/" },
        { "pack.zip/tex/a.png", ".png", "pack.zip/tex/" },
        { "v1.2/README", "", "v1.2/" }, // a dot in a folder name is no extension
        { ".hidden", ".hidden", "" },
        { "dir/", "", "dir/" },
        { "name.", ".", "" },
        { "", "", "" },
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(getExtension(c.name), c.extension) << c.name;
        EXPECT_EQ(getPath(c.name), c.path) << c.name;
    }
}

TEST(MapperExtensions, TableOrderDecidesWhereAPathSplits)
{
    const std::vector<std::string> expected = { ".zip", ".cbz", ".apk", ".zipx", ".mgx", ".snitch", ".rar", ".cbr" };
    std::vector<std::string> extensions;
    for (const MapperExtension& row : mapperExtensions)
    {
        extensions.push_back(row.extension);
        EXPECT_EQ(row.folder, row.extension + "/");
        EXPECT_TRUE(row.factory);
    }
    EXPECT_EQ(extensions, expected);
}

TEST(FileIndex, ArchivesAlsoShowAsFolders)
{
    FileIndex index;
    index.emplace("x.cbz", 42, 0);
    index.emplace("y.zip/", 0, FileInfo::DIRECTORY);        // a folder gets no second entry
    index.emplace("PACK.ZIP", 7, 0);                         // extensions compare in lower case
    index.emplace("n.rar", 9, FileInfo::COMPRESSED);         // the file's flags carry over
    index.emplace("notes.zip.txt", 1, 0);
    index.emplace("data.zipx", 3, 0);

    struct Entry
    {
        std::string name;
        u64 size;
        u32 flags;
    };
    const u32 folder = FileInfo::DIRECTORY | FileInfo::CONTAINER;
    const std::vector<Entry> expected = {
        { "x.cbz", 42, 0 },     { "x.cbz/", 0, folder },
        { "y.zip/", 0, FileInfo::DIRECTORY },
        { "PACK.ZIP", 7, 0 },   { "PACK.ZIP/", 0, folder },
        { "n.rar", 9, FileInfo::COMPRESSED }, { "n.rar/", 0, folder | FileInfo::COMPRESSED },
        { "notes.zip.txt", 1, 0 },
        { "data.zipx", 3, 0 },  { "data.zipx/", 0, folder },
    };
    ASSERT_EQ(index.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
    {
        EXPECT_EQ(index[i].name, expected[i].name) << i;
        EXPECT_EQ(index[i].size, expected[i].size) << i;
        EXPECT_EQ(index[i].flags, expected[i].flags) << i;
    }
}

namespace
{
    // Fake archives are text: one "name=content" entry per line. Each mapper logs what it
    // is built from and when it and its memory go, so resolution and teardown order show.
    struct Log
    {
        std::vector<std::string> events;
    };

    class FakeMemory : public VirtualMemory
    {
    public:
        FakeMemory(std::string& content, const int& producerAlive, Log& log, std::string name)
            : VirtualMemory(Memory(reinterpret_cast<u8*>(content.data()), content.size()))
            , m_producerAlive(producerAlive), m_log(log), m_name(std::move(name))
        {
        }

        ~FakeMemory() override
        {
            // Reads the mapper that made it: ASan reports it when that mapper is gone first.
            m_log.events.push_back("free " + m_name + (m_producerAlive == 1 ? "" : " (orphan)"));
        }

    private:
        const int& m_producerAlive;
        Log& m_log;
        std::string m_name;
    };

    class FakeMapper : public AbstractMapper
    {
    public:
        FakeMapper(ConstMemory parent, const std::string& extension, Log& log)
            : m_parent(parent), m_extension(extension), m_log(log)
        {
            std::string text(reinterpret_cast<const char*>(parent.address), parent.size);
            std::size_t start = 0;
            while (start < text.size())
            {
                std::size_t end = text.find('\n', start);
                end = end == std::string::npos ? text.size() : end;
                std::string line = text.substr(start, end - start);
                std::size_t equals = line.find('=');
                m_files[line.substr(0, equals)] = equals == std::string::npos ? "" : line.substr(equals + 1);
                start = end + 1;
            }
        }

        ~FakeMapper() override
        {
            // Reads its parent's bytes: ASan reports it when the parent memory is gone first.
            u32 sum = 0;
            for (u64 i = 0; i < m_parent.size; ++i)
            {
                sum += m_parent.address[i];
            }
            m_alive = 0;
            m_log.events.push_back("close " + m_extension + (sum ? "" : " (empty)"));
        }

        bool isFile(const std::string& filename) override { return m_files.count(filename) != 0; }

        void getIndex(FileIndex& index, const std::string& pathname) override
        {
            for (const auto& [name, content] : m_files)
            {
                if (name.compare(0, pathname.size(), pathname) == 0)
                {
                    index.emplace(name.substr(pathname.size()), content.size(), 0);
                }
            }
        }

        std::unique_ptr<VirtualMemory> mmap(const std::string& filename) override
        {
            return std::make_unique<FakeMemory>(m_files.at(filename), m_alive, m_log, filename);
        }

    private:
        ConstMemory m_parent;
        std::string m_extension;
        Log& m_log;
        std::map<std::string, std::string> m_files;
        int m_alive = 1;
    };

    // The real table with fake factories: same rows, same order.
    std::vector<MapperExtension> fakeExtensions(Log& log, const std::string& failing = "")
    {
        std::vector<MapperExtension> table;
        for (const MapperExtension& row : mapperExtensions)
        {
            const std::string extension = row.extension;
            table.emplace_back(extension, [&log, extension, failing](ConstMemory parent, const std::string& password) {
                log.events.push_back("open " + extension + " [" +
                    std::string(reinterpret_cast<const char*>(parent.address), parent.size) + "] " + password);
                if (extension == failing)
                {
                    NORVA_THROW("test", "[fake] broken archive");
                }
                return std::unique_ptr<AbstractMapper>(std::make_unique<FakeMapper>(parent, extension, log));
            });
        }
        return table;
    }

    std::string listing(AbstractMapper* mapper, const std::string& basepath)
    {
        FileIndex index;
        mapper->getIndex(index, basepath);
        std::string names;
        for (const FileInfo& info : index)
        {
            names += info.name + ";";
        }
        return names;
    }

} // namespace

TEST(Mapper, ResolvesThroughArchives)
{
    TempFolder temp;
    temp.write("Data/Pack.ZIP", "Tex/a.png=A\nTex/b.png=B");
    temp.write("a.rar/b.zip", "c=C");        // a host folder a.rar holding b.zip
    temp.write("t.zipx", "f/x=X");
    temp.write("outer.zip", "inner.rar=deep/y=Y");
    temp.folder("real.zip");                  // a host folder named like an archive
    temp.write("real.zip/f.txt", "F");

    struct Case
    {
        std::string path;
        std::vector<std::string> opened; // the factories called, with their bytes and password
        std::string basepath;
        std::string listing;             // of the last mapper at basepath
    };
    const std::vector<Case> cases = {
        // case-insensitive extension; the rest keeps its case
        { "Data/Pack.ZIP/Tex/", { "open .zip [Tex/a.png=A\nTex/b.png=B] pw" }, "Tex/", "a.png;b.png;" },
        // .zip/ is found before .rar/ whatever their positions: a.rar/b.zip is a host file
        { "a.rar/b.zip/", { "open .zip [c=C] pw" }, "", "c;" },
        // ".zip/" does not match inside ".zipx/"
        { "t.zipx/f/", { "open .zipx [f/x=X] pw" }, "f/", "x;" },
        { "outer.zip/inner.rar/deep/", { "open .zip [inner.rar=deep/y=Y] pw", "open .rar [deep/y=Y] pw" }, "deep/", "y;" },
        // a container that its parent does not hold stops without an error
        { "missing.zip/x/", {}, "missing.zip/x/", "" },
        { "outer.zip/none.rar/q/", { "open .zip [inner.rar=deep/y=Y] pw" }, "none.rar/q/", "" },
        { "real.zip/", {}, "real.zip/", "f.txt;" },
        { "real.zip\\", {}, "real.zip/", "f.txt;" },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.path);
        Log log;
        const std::vector<MapperExtension> table = fakeExtensions(log);
        Mapper mapper(temp.path() + c.path, "pw", table);
        EXPECT_EQ(log.events, c.opened);
        EXPECT_EQ(mapper.getBasePath(), c.basepath);
        EXPECT_EQ(mapper.getPathName(), temp.path() + c.path);
        ASSERT_NE(static_cast<AbstractMapper*>(mapper), nullptr);
        EXPECT_EQ(listing(mapper, mapper.getBasePath()), c.listing);
    }
}

TEST(Mapper, TearsDownInReverse)
{
    TempFolder temp;
    temp.write("outer.zip", "inner.rar=deep/y=Y");

    Log log;
    const std::vector<MapperExtension> table = fakeExtensions(log);
    {
        Mapper mapper(temp.path() + "outer.zip/inner.rar/deep/", "", table);
        log.events.clear();
    }
    // The inner archive before the memory it reads, that memory before the mapper that made it.
    const std::vector<std::string> expected = { "close .rar", "free inner.rar", "close .zip" };
    EXPECT_EQ(log.events, expected);
}

TEST(Mapper, FailingArchiveReleasesTheChain)
{
    TempFolder temp;
    temp.write("outer.zip", "inner.rar=deep/y=Y");

    Log log;
    const std::vector<MapperExtension> table = fakeExtensions(log, ".rar");
    EXPECT_THROW(Mapper(temp.path() + "outer.zip/inner.rar/", "", table), Exception);
    const std::vector<std::string> expected = {
        "open .zip [inner.rar=deep/y=Y] ", "open .rar [deep/y=Y] ", "free inner.rar", "close .zip",
    };
    EXPECT_EQ(log.events, expected);
}

TEST(Mapper, FilesThroughUnresolvedContainers)
{
    TempFolder temp;
    temp.write("real.zip/f.txt", "F");

    // A host folder named like an archive holds ordinary files.
    File file(temp.path() + "real.zip/f.txt");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(file.data()), file.size()), "F");
    EXPECT_EQ(Path(temp.path() + "real.zip/").size(), 1u);

    // A missing archive is a missing file, named as given.
    const std::string missing = temp.path() + "missing.zip/x.png";
    try
    {
        File lost(missing);
        ADD_FAILURE() << "no exception";
    }
    catch (const Exception& e)
    {
        EXPECT_STREQ(e.what(), ("[FileMemory] File \"" + missing + "\" cannot be opened.").c_str());
    }
    EXPECT_EQ(Path(temp.path() + "missing.zip/").size(), 0u);
}

TEST(Mapper, ZipAndMgxExtensionsReachTheirMappers)
{
    // Bytes that are no archive: a ZIP without an end record and an MGX without its
    // identifier do not open, and say why.
    TempFolder temp;
    const std::vector<std::pair<std::string, std::string>> cases = {
        { "a.zip", "[mapper.zip] No end record: the archive is cut short or is not a ZIP archive." },
        { "a.cbz", "[mapper.zip] No end record: the archive is cut short or is not a ZIP archive." },
        { "a.apk", "[mapper.zip] No end record: the archive is cut short or is not a ZIP archive." },
        { "a.zipx", "[mapper.zip] No end record: the archive is cut short or is not a ZIP archive." },
        { "A.ZIP", "[mapper.zip] No end record: the archive is cut short or is not a ZIP archive." },
        { "a.mgx", "[mapper.mgx] Incorrect file identifier (20746f6e)" },
        { "a.snitch", "[mapper.mgx] Incorrect file identifier (20746f6e)" },
    };
    for (const auto& [archive, message] : cases)
    {
        SCOPED_TRACE(archive);
        temp.write(archive, "not an archive");
        try
        {
            Path listed(temp.path() + archive + "/");
            EXPECT_EQ(listed.size(), 0u);
        }
        catch (const Exception& e)
        {
            EXPECT_EQ(e.what(), message);
        }
        try
        {
            File file(temp.path() + archive + "/stone.png");
            ADD_FAILURE() << "no exception for File";
        }
        catch (const Exception& e)
        {
            EXPECT_EQ(e.what(), message);
        }
    }
}

TEST(Mapper, BytesThatAreNoRarArchiveFailClearly)
{
    TempFolder temp;
    const std::vector<std::pair<std::string, std::string>> cases = {
        { "a.rar", "[mapper.rar] Incorrect signature." },
        { "a.cbr", "[mapper.rar] Incorrect signature." },
    };
    for (const auto& [archive, message] : cases)
    {
        SCOPED_TRACE(archive);
        temp.write(archive, "not an archive");
        for (const std::string& path : { archive + "/", archive + "/textures/" })
        {
            try
            {
                Path listed(temp.path() + path);
                ADD_FAILURE() << "no exception for Path " << path;
            }
            catch (const Exception& e)
            {
                EXPECT_EQ(e.what(), message);
            }
        }
        try
        {
            File file(temp.path() + archive + "/stone.png");
            ADD_FAILURE() << "no exception for File";
        }
        catch (const Exception& e)
        {
            EXPECT_EQ(e.what(), message);
        }
    }
}
