// ZIP archives made by zip 3.0, 7zz and Python's zipfile (tests/fixtures/archive, made by
// make_fixtures.py together with what the reference tools read from them), and the
// libarchive ZIP corpus read in place.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <set>

#include <unistd.h>

#include <norva/core/crc32.hpp>
#include <norva/filesystem/file.hpp>

#include "archive/helpers.hpp"

using namespace norva;
using namespace norva::filesystem;
using namespace archive_test;

namespace
{
    std::string crcText(ConstMemory m)
    {
        char text[9];
        std::snprintf(text, sizeof text, "%08x", crc32(0, m));
        return text;
    }

    std::unique_ptr<AbstractMapper> openZip(const Bytes& archive, const std::string& password = "")
    {
        return createMapperZIP(view(archive), password);
    }

    // Sets the version-made-by byte of every central record (for the check-byte rules).
    Bytes patchVersionMadeBy(Bytes archive, u8 version)
    {
        const std::size_t end = archive.size() - 22;
        const u64 directory = loadLE32(archive.data() + end + 16);
        for (std::size_t i = directory; i + 4 <= end; ++i)
        {
            if (loadLE32(archive.data() + i) == 0x02014b50)
            {
                archive[i + 4] = version;
            }
        }
        return archive;
    }

} // namespace

TEST(ZipFixtures, EveryMemberMapsToTheReferenceBytes)
{
    const auto rows = readManifest(FIXTURES + "expected.txt");
    ASSERT_GT(rows.size(), 100u);

    int files = 0, refused = 0;
    for (const auto& row : rows)
    {
        ASSERT_EQ(row.size(), 6u);
        const std::string& archive = row[0];
        const std::string password = row[1] == "-" ? "" : row[1];
        const std::string& name = row[2];
        const std::string& outcome = row[3];
        SCOPED_TRACE(archive + ": " + name);

        // through the path, as a game would open it, with the archive's password
        const std::string folder = getPath(outcome == "dir" ? name.substr(0, name.size() - 1) : name);
        Path path(FIXTURES + archive + "/" + folder, password);
        AbstractMapper* mapper = *path.getMapper();
        ASSERT_NE(mapper, nullptr);
        const std::string child = name.substr(folder.size());

        const FileInfo* info = nullptr;
        for (const FileInfo& i : path)
        {
            info = i.name == child ? &i : info;
        }
        ASSERT_NE(info, nullptr) << "not listed";

        if (outcome == "dir")
        {
            EXPECT_TRUE(info->isDirectory());
            EXPECT_FALSE(mapper->isFile(name));
            EXPECT_NE(errorOf([&] { mapper->mmap(name); }), "");
            continue;
        }

        EXPECT_FALSE(info->isDirectory());
        EXPECT_EQ(info->size, std::stoull(row[4]));
        EXPECT_TRUE(mapper->isFile(name));
        if (outcome == "file")
        {
            std::unique_ptr<VirtualMemory> memory = mapper->mmap(name);
            const Bytes expected = readFile(FIXTURES + "tree/" + (name == "-" ? "text.txt" : name));
            EXPECT_EQ(toBytes(memory->memory), expected);
            EXPECT_EQ(crcText(memory->memory), row[5]);
            ++files;
        }
        else
        {
            EXPECT_TRUE(info->isEncrypted() || info->isCompressed());
            EXPECT_EQ("[mapper.zip] " + outcome.substr(8), errorOf([&] { mapper->mmap(name); }));
            ++refused;
        }
    }
    EXPECT_GT(files, 90);
    EXPECT_GT(refused, 10);
}

TEST(ZipFixtures, TreesListWithSynthesisedAndStoredFolders)
{
    // zip stores "sub/" as an entry of its own; the stdin archive has none, a nested one has
    // folders only through their members
    for (const char* archive : { "infozip_deflate.zip", "7z_lzma.zip", "python_bzip2.zip" })
    {
        SCOPED_TRACE(archive);
        const Bytes bytes = readFile(FIXTURES + archive);
        auto mapper = openZip(bytes);
        const std::map<std::string, u32> root = listing(*mapper, "");
        const std::map<std::string, u32> expected = {
            { "empty.txt", 0 }, { "hello.txt", 0 }, { "random.bin", 0 }, { "text.txt", 0 },
            { "sub/", FileInfo::DIRECTORY },
        };
        ASSERT_EQ(root.size(), expected.size());
        for (const auto& [name, flags] : expected)
        {
            ASSERT_TRUE(root.count(name)) << name;
            EXPECT_EQ(root.at(name) & FileInfo::DIRECTORY, flags) << name;
        }
        EXPECT_EQ(listing(*mapper, "sub/").size(), 1u);
        EXPECT_TRUE(listing(*mapper, "nowhere/").empty());
        EXPECT_FALSE(mapper->isFile("sub/"));
        EXPECT_EQ(errorOf([&] { mapper->mmap("sub/"); }), "[mapper.zip] File \"sub/\" not found.");
        EXPECT_EQ(errorOf([&] { mapper->mmap("missing.txt"); }), "[mapper.zip] File \"missing.txt\" not found.");
    }
}

TEST(ZipFixtures, StoredMembersAreViewsIntoTheArchive)
{
    const Bytes bytes = readFile(FIXTURES + "7z_stored.zip");
    auto mapper = openZip(bytes);
    std::unique_ptr<VirtualMemory> memory = mapper->mmap("text.txt");
    EXPECT_TRUE(inside(memory->memory, bytes));
    EXPECT_EQ(toBytes(memory->memory), readFile(FIXTURES + "tree/text.txt"));

    // decompressed members own their bytes
    const Bytes deflated = readFile(FIXTURES + "7z_deflate.zip");
    auto deflateMapper = openZip(deflated);
    EXPECT_FALSE(inside(deflateMapper->mmap("text.txt")->memory, deflated));
}

TEST(ZipFixtures, PasswordsDecideWhetherEncryptedMembersMap)
{
    struct Case
    {
        const char* archive;
        u8 patchedVersion; // 0: as made
    };
    // Info-ZIP writes flag 9 (a data descriptor: the check byte is the time's high byte),
    // 7-Zip flag 1 (the CRC's high byte). Both say "made by" 3.0 and later, which is not
    // checked; patched to 2.0 the check byte is read, by the rule each flag implies.
    const Case cases[] = {
        { "infozip_zipcrypto.zip", 0 }, { "7z_zipcrypto.zip", 0 }, { "7z_zipcrypto_stored.zip", 0 },
        { "infozip_zipcrypto.zip", 20 }, { "7z_zipcrypto.zip", 20 }, { "7z_zipcrypto_stored.zip", 20 },
    };
    const std::string decryption = "[mapper.zip] Decryption failed (probably incorrect password).";
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.archive) + " made by " + std::to_string(c.patchedVersion));
        Bytes bytes = readFile(FIXTURES + c.archive);
        if (c.patchedVersion)
        {
            bytes = patchVersionMadeBy(bytes, c.patchedVersion);
        }
        const Bytes text = readFile(FIXTURES + "tree/text.txt");

        auto right = openZip(bytes, "secret");
        const std::map<std::string, u32> root = listing(*right, "");
        EXPECT_TRUE(root.at("text.txt") & FileInfo::ENCRYPTED);
        EXPECT_EQ(toBytes(right->mmap("text.txt")->memory), text);
        EXPECT_EQ(toBytes(right->mmap("random.bin")->memory), readFile(FIXTURES + "tree/random.bin"));

        for (const char* password : { "", "Secret", "secret2", "wrong" })
        {
            auto wrong = openZip(bytes, password);
            for (const char* member : { "text.txt", "random.bin", "hello.txt" })
            {
                EXPECT_EQ(errorOf([&] { wrong->mmap(member); }), decryption) << password << " " << member;
            }
        }
    }
}

TEST(ZipFixtures, ZipInsideZipResolvesThroughPaths)
{
    File deep(FIXTURES + "nested.zip/middle.zip/inner.zip/sub/deep.txt");
    EXPECT_EQ(toBytes(ConstMemory(deep)), readFile(FIXTURES + "tree/sub/deep.txt"));

    // the archive shows up both as a file and as a folder one can browse into
    Path middle(FIXTURES + "nested.zip/middle.zip/");
    std::set<std::string> names;
    for (const FileInfo& info : middle)
    {
        names.insert(info.name);
    }
    EXPECT_EQ(names, (std::set<std::string> { "inner.zip", "inner.zip/" }));

    Path inner(FIXTURES + "NESTED.ZIP/middle.zip/inner.zip/");
    EXPECT_EQ(inner.size(), 0u) << "a host name that does not exist resolves nothing";

    File hello(FIXTURES + "nested.zip/middle.zip/inner.zip/hello.txt");
    EXPECT_EQ(toBytes(ConstMemory(hello)), readFile(FIXTURES + "tree/hello.txt"));
}

namespace
{
    Bytes fromHex(const std::string& hex)
    {
        Bytes out;
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        {
            out.push_back(u8(std::stoi(hex.substr(i, 2), nullptr, 16)));
        }
        return out;
    }

} // namespace

TEST(ZipCorpus, LibarchiveArchivesMapLikeTheReferenceTools)
{
    if (!std::filesystem::is_directory(CORPUS))
    {
        GTEST_SKIP() << "the archive corpus is absent: " << CORPUS;
    }

    const auto rows = readManifest(FIXTURES + "corpus_zip.txt");
    ASSERT_GT(rows.size(), 100u);
    std::map<std::string, std::unique_ptr<AbstractMapper>> opened;
    std::map<std::string, Bytes> archives;
    int matched = 0, failed = 0;
    for (const auto& row : rows)
    {
        ASSERT_EQ(row.size(), 6u);
        const std::string& archive = row[0];
        const std::string password = row[1] == "-" ? "" : row[1];
        const std::string& outcome = row[3];
        SCOPED_TRACE(archive + ": " + row[2]);

        if (!archives.count(archive))
        {
            archives[archive] = readFile(CORPUS + archive);
            ASSERT_FALSE(archives[archive].empty());
            std::string error = errorOf([&] { opened[archive] = openZip(archives[archive], password); });
            if (!error.empty())
            {
                // a broken AES header fails the whole archive, as do bytes that are not
                // one whole archive (cut short, a volume of a split set) and a directory
                // that cannot be read (encrypted)
                EXPECT_TRUE(error.find("AES") == 13u || error.find("No end record") == 13u ||
                            error.find("split archive") != std::string::npos ||
                            error == "[mapper.zip] The central directory is encrypted (strong encryption is not supported).")
                    << error;
            }
        }
        AbstractMapper* mapper = opened[archive].get();

        if (outcome == "unreadable")
        {
            // whatever the directory holds maps or fails cleanly
            if (mapper)
            {
                for (const auto& [name, flags] : listing(*mapper, ""))
                {
                    errorOf([&, n = name] { mapper->mmap(n); });
                }
            }
            continue;
        }
        ASSERT_NE(mapper, nullptr);

        const Bytes raw = fromHex(row[2]);
        const std::string name(raw.begin(), raw.end());
        if (outcome == "dir")
        {
            EXPECT_FALSE(mapper->isFile(name));
            continue;
        }

        ASSERT_TRUE(mapper->isFile(name));
        std::unique_ptr<VirtualMemory> memory;
        const std::string error = errorOf([&] { memory = mapper->mmap(name); });
        if (outcome == "file")
        {
            ASSERT_EQ(error, "");
            EXPECT_EQ(memory->memory.size, std::stoull(row[4]));
            EXPECT_EQ(crcText(memory->memory), row[5]);
            ++matched;
        }
        else if (outcome == "damaged")
        {
            // No tool read it: refused, or exactly what the directory entry promises. (The
            // mapper checks the CRC-32 of everything it decompresses.)
            if (error.empty())
            {
                EXPECT_EQ(memory->memory.size, std::stoull(row[4]));
                EXPECT_EQ(crcText(memory->memory), row[5]);
            }
            ++failed;
        }
        else
        {
            // methods and encryption this mapper does not read
            EXPECT_NE(error, "");
            ++failed;
        }
    }
    EXPECT_GT(matched, 90);
    EXPECT_GT(failed, 30);
}

TEST(ZipFixtures, BackslashNamesListAndOpenWithSlashes)
{
    // zipfile with the MS-DOS host, as Windows tools write them (make_split_backslash.py)
    const Bytes archive = readFile(FIXTURES + "python_backslash.zip");
    auto mapper = openZip(archive);
    EXPECT_EQ(listing(*mapper, ""), (std::map<std::string, u32> { { "win/", FileInfo::DIRECTORY } }));
    EXPECT_EQ(listing(*mapper, "win/"),
              (std::map<std::string, u32> { { "dir/", FileInfo::DIRECTORY }, { "top.txt", 0 } }));
    EXPECT_EQ(listing(*mapper, "win/dir/").size(), 1u);
    EXPECT_TRUE(mapper->isFile("win/dir/note.txt"));
    EXPECT_EQ(toBytes(mapper->mmap("win/dir/note.txt")->memory), toBytes("written by a Windows tool\n"));
    EXPECT_EQ(toBytes(mapper->mmap("win/top.txt")->memory), toBytes("top\n"));
    // a caller's backslashes mean the same
    EXPECT_EQ(toBytes(mapper->mmap("win\\top.txt")->memory), toBytes("top\n"));

    // through the path layer, as a game would open it
    File file(FIXTURES + "python_backslash.zip/win/dir/note.txt");
    EXPECT_EQ(toBytes(ConstMemory(file)), toBytes("written by a Windows tool\n"));
}

TEST(ZipFixtures, VolumesOfASplitArchiveSayWhy)
{
    // `zip -s 64k`: the first volume has no end record, the last one names disk 1
    EXPECT_EQ(errorOf([&] { openZip(readFile(FIXTURES + "split_first.z01")); }),
              "[mapper.zip] No end record: one volume of a split archive (split archives are not supported).");
    EXPECT_EQ(errorOf([&] { openZip(readFile(FIXTURES + "split_last.zip")); }),
              "[mapper.zip] The last volume of a split archive (split archives are not supported).");
}

TEST(ZipFixtures, Zip64EntryCountBeyond65535)
{
    // zipfile saturates only the count (0xFFFF) and keeps the real one in the ZIP64 end
    // record while the directory offset still fits in 32 bits
    const char* python = "/usr/bin/python3";
    if (access(python, X_OK) != 0)
    {
        GTEST_SKIP() << python << " is absent: the ZIP64 archive is written by Python's zipfile";
    }
    constexpr int COUNT = 65600;
    const std::filesystem::path path = std::filesystem::temp_directory_path() /
        ("norva_zip64_count_" + std::to_string(::getpid()) + ".zip");
    const std::string command = std::string(python) + " -c \"import zipfile, sys\n"
        "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
        "    for i in range(" + std::to_string(COUNT) + "): z.writestr('f%d.txt' % i, str(i))\" " + path.string();
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    const Bytes archive = readFile(path.string());
    std::filesystem::remove(path);

    const std::size_t end = archive.size() - 22;
    ASSERT_EQ(loadLE16(archive.data() + end + 10), 0xffff) << "the count is saturated";
    ASSERT_NE(loadLE32(archive.data() + end + 16), 0xffffffffu) << "the offset is not";

    auto mapper = openZip(archive);
    EXPECT_EQ(listing(*mapper, "").size(), std::size_t(COUNT));
    for (int i : { 0, 65534, 65535, COUNT - 1 })
    {
        const std::string name = "f" + std::to_string(i) + ".txt";
        EXPECT_EQ(toBytes(mapper->mmap(name)->memory), toBytes(std::to_string(i))) << name;
    }
}
