// Real archives (zip 3.0, 7zz and Python's zipfile, tests/fixtures/archive) with their end
// records or directory damaged at test time: each reads whole, exactly as the intact copy,
// or fails with a message; none reads as a smaller archive. And names in a code page.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include <norva/filesystem/file.hpp>

#include "archive/helpers.hpp"

using namespace norva;
using namespace norva::filesystem;
using namespace archive_test;

namespace
{
    const std::string NOT_FOUND = "[mapper.zip] The central directory cannot be found where the end record says.";
    const std::string DAMAGED = "[mapper.zip] The central directory is damaged.";

    // Every member of the archive, full path -> bytes.
    std::map<std::string, Bytes> contents(AbstractMapper& mapper, const std::string& folder = "")
    {
        std::map<std::string, Bytes> out;
        for (const auto& [name, flags] : listing(mapper, folder))
        {
            if (flags & FileInfo::CONTAINER)
            {
                continue;
            }
            if (flags & FileInfo::DIRECTORY)
            {
                out[folder + name];
                auto inner = contents(mapper, folder + name);
                out.insert(inner.begin(), inner.end());
                continue;
            }
            out[folder + name] = toBytes(mapper.mmap(folder + name)->memory);
        }
        return out;
    }

    // The last occurrence of a record signature.
    std::size_t lastRecord(const Bytes& archive, u32 signature)
    {
        for (std::size_t i = archive.size() - 4; i > 0; --i)
        {
            if (loadLE32(archive.data() + i) == signature)
            {
                return i;
            }
        }
        ADD_FAILURE() << "no record " << std::hex << signature;
        return 0;
    }

    std::size_t endRecord(const Bytes& a) { return lastRecord(a, 0x06054b50); }
    std::size_t zip64Record(const Bytes& a) { return lastRecord(a, 0x06064b50); }

} // namespace

TEST(ZipDirectory, BytesInFrontOfARealArchiveAreSkipped)
{
    // 4 KiB in front, as a self-extractor stub put there after the archive was written:
    // classic end records and ZIP64 ones (zip -fz; zip reading stdin writes a ZIP64 end
    // record with unsaturated classic fields).
    for (const char* fixture : { "infozip_stored.zip", "infozip_zip64.zip", "infozip_stdin.zip", "python_deflate.zip",
                                 "7z_deflate.zip" })
    {
        SCOPED_TRACE(fixture);
        const Bytes archive = readFile(FIXTURES + fixture);
        ASSERT_FALSE(archive.empty());
        const auto expected = contents(*createMapperZIP(view(archive), ""));
        ASSERT_FALSE(expected.empty());

        Bytes stubbed(4096, 0);
        std::copy_n("MZ self-extractor", 17, stubbed.begin());
        append(stubbed, archive);
        std::map<std::string, Bytes> got;
        EXPECT_EQ(errorOf([&] { got = contents(*createMapperZIP(view(stubbed), "")); }), "");
        EXPECT_EQ(got, expected);
    }
}

TEST(ZipDirectory, DamagedEndRecordsReadWholeOrSaySo)
{
    struct Case
    {
        const char* what;
        const char* fixture;
        std::function<void(Bytes&)> damage;
        std::string message; // "" : reads exactly as the intact archive
    };
    const std::vector<Case> cases = {
        // a wrong offset alone: the directory still ends at the end record
        { "classic offset wrong", "infozip_stored.zip", [](Bytes& a) { storeLE32(a.data() + endRecord(a) + 16, 0x1000); }, "" },
        { "classic offset and size wrong", "infozip_stored.zip",
          [](Bytes& a) { storeLE32(a.data() + endRecord(a) + 16, 0x1000); storeLE32(a.data() + endRecord(a) + 12, 0x30); }, NOT_FOUND },
        { "classic count one short", "python_deflate.zip",
          [](Bytes& a) { a[endRecord(a) + 8] -= 1; a[endRecord(a) + 10] -= 1; }, DAMAGED },
        { "classic count one over", "7z_deflate.zip",
          [](Bytes& a) { a[endRecord(a) + 8] += 1; a[endRecord(a) + 10] += 1; }, DAMAGED },
        // zip -fz: the classic offset is saturated, so only the ZIP64 record describes it
        { "ZIP64 offset wrong", "infozip_zip64.zip", [](Bytes& a) { storeLE64(a.data() + zip64Record(a) + 48, 0x12345); }, "" },
        { "ZIP64 offset and size wrong", "infozip_zip64.zip",
          [](Bytes& a) { storeLE64(a.data() + zip64Record(a) + 48, 0x12345); storeLE64(a.data() + zip64Record(a) + 40, 0x20); }, NOT_FOUND },
        { "ZIP64 count zero", "infozip_zip64.zip",
          [](Bytes& a) { storeLE64(a.data() + zip64Record(a) + 24, 0); storeLE64(a.data() + zip64Record(a) + 32, 0); }, DAMAGED },
        { "ZIP64 count one short", "infozip_zip64.zip",
          [](Bytes& a) { storeLE64(a.data() + zip64Record(a) + 24, 5); storeLE64(a.data() + zip64Record(a) + 32, 5); }, DAMAGED },
        { "ZIP64 record signature broken", "infozip_zip64.zip", [](Bytes& a) { a[zip64Record(a) + 3] ^= 0x40; }, NOT_FOUND },
        { "ZIP64 locator offset wrong", "infozip_zip64.zip",
          [](Bytes& a) { storeLE64(a.data() + lastRecord(a, 0x07064b50) + 8, 0x999); }, "" },
        // zip reading stdin: a ZIP64 record beside classic fields that hold real values
        { "ZIP64 count wrong, classic fields sound", "infozip_stdin.zip",
          [](Bytes& a) { storeLE64(a.data() + zip64Record(a) + 24, 7); storeLE64(a.data() + zip64Record(a) + 32, 7); }, "" },
        { "ZIP64 offset and size wrong, classic fields sound", "infozip_stdin.zip",
          [](Bytes& a) { storeLE64(a.data() + zip64Record(a) + 48, 0x99); storeLE64(a.data() + zip64Record(a) + 40, 0x20); }, "" },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.fixture) + ": " + c.what);
        const Bytes archive = readFile(FIXTURES + c.fixture);
        ASSERT_FALSE(archive.empty());
        Bytes damaged = archive;
        c.damage(damaged);
        ASSERT_NE(damaged, archive);

        std::map<std::string, Bytes> got;
        EXPECT_EQ(errorOf([&] { got = contents(*createMapperZIP(view(damaged), "")); }), c.message);
        if (c.message.empty())
        {
            EXPECT_EQ(got, contents(*createMapperZIP(view(archive), "")));
        }
    }
}

TEST(ZipDirectory, EveryBrokenRecordSignatureIsDamage)
{
    // One damaged record among six must not hide the ones after it.
    const Bytes archive = readFile(FIXTURES + "infozip_deflate.zip");
    ASSERT_FALSE(archive.empty());
    const u64 directory = loadLE32(archive.data() + endRecord(archive) + 16);
    int records = 0;
    for (std::size_t at = directory; at < endRecord(archive); ++at)
    {
        if (loadLE32(archive.data() + at) != 0x02014b50)
        {
            continue;
        }
        Bytes damaged = archive;
        damaged[at + 2] ^= 0x10;
        // the first record is where the directory starts: without it there is none there
        EXPECT_EQ(errorOf([&] { createMapperZIP(view(damaged), ""); }), records == 0 ? NOT_FOUND : DAMAGED) << at;
        ++records;
    }
    EXPECT_EQ(records, 6);
}

TEST(ZipDirectory, EncryptedDirectoryAndSplitSetsAreToldApart)
{
    // PKWARE's central-directory encryption: one disk in all, a version 2 ZIP64 record.
    const std::string path = CORPUS + "test_read_format_zip_encryption_header.zip";
    if (!std::filesystem::exists(path))
    {
        GTEST_SKIP() << "the archive corpus is absent: " << path;
    }
    const Bytes archive = readFile(path);
    EXPECT_EQ(errorOf([&] { createMapperZIP(view(archive), ""); }),
              "[mapper.zip] The central directory is encrypted (strong encryption is not supported).");
}

TEST(ZipNames, ShiftJisSecondBytesAreNotSeparators)
{
    // 表 is 95 5C in Shift-JIS: without the UTF-8 flag that 0x5C is part of the character;
    // a lone 0x5C in the same name, a UTF-8 name and an ASCII name still separate.
    const std::string table = "\x95\x5c";                  // 表
    const std::string dayo = "\x82\xbe\x82\xe6";            // だよ
    const std::string sjisName = table + dayo + "\\" + table + ".txt";
    ZipBuilder zip;
    zip.add(sjisName, toBytes("sjis"), 0);
    zip.add("dos\\dir\\file.txt", toBytes("ascii"), 0);
    zip.add("\xd0\x81\\utf8.txt", toBytes("utf8 without the flag"), 8);
    zip.add("\xe8\xa1\xa8\\flagged.txt", toBytes("utf8 with the flag"), 8).flags = 0x800;
    const Bytes archive = zip.build();
    auto mapper = createMapperZIP(view(archive), "");

    EXPECT_EQ(listing(*mapper, ""), (std::map<std::string, u32> { { table + dayo + "/", FileInfo::DIRECTORY },
                                                                   { "dos/", FileInfo::DIRECTORY },
                                                                   { "\xd0\x81/", FileInfo::DIRECTORY },
                                                                   { "\xe8\xa1\xa8/", FileInfo::DIRECTORY } }));
    EXPECT_EQ(listing(*mapper, table + dayo + "/"), (std::map<std::string, u32> { { table + ".txt", 0 } }));
    EXPECT_EQ(toBytes(mapper->mmap(table + dayo + "/" + table + ".txt")->memory), toBytes("sjis"));
    EXPECT_EQ(toBytes(mapper->mmap("dos/dir/file.txt")->memory), toBytes("ascii"));
    EXPECT_EQ(toBytes(mapper->mmap("\xd0\x81/utf8.txt")->memory), toBytes("utf8 without the flag"));
    EXPECT_EQ(toBytes(mapper->mmap("\xe8\xa1\xa8/flagged.txt")->memory), toBytes("utf8 with the flag"));

    // The path layer writes "/" for every backslash: that spelling finds the name too.
    const std::string slashed = "\x95/" + dayo + "/\x95/.txt";
    EXPECT_TRUE(mapper->isFile(slashed));
    EXPECT_EQ(toBytes(mapper->mmap(slashed)->memory), toBytes("sjis"));
    EXPECT_EQ(listing(*mapper, "\x95/" + dayo + "/").size(), 1u);

    // libarchive's cp932 archive: two path levels, as unzip, 7zz and bsdtar list it
    const std::string path = CORPUS + "test_read_format_zip_filename_cp932.zip";
    if (!std::filesystem::exists(path))
    {
        GTEST_SKIP() << "the archive corpus is absent: " << path;
    }
    const Bytes cp932 = readFile(path);
    auto corpus = createMapperZIP(view(cp932), "");
    const std::string folder = table + dayo + "/";
    EXPECT_EQ(listing(*corpus, ""), (std::map<std::string, u32> { { folder, FileInfo::DIRECTORY } }));
    EXPECT_EQ(listing(*corpus, folder).size(), 2u);
    EXPECT_TRUE(corpus->isFile(folder + "\x88\xea\x97\x97\x95\x5c.txt")); // 一覧表.txt
    EXPECT_TRUE(corpus->isFile(folder + "\x8a\xbf\x8e\x9a.txt"));         // 漢字.txt
}
