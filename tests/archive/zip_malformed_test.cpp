// ZIP archives built in memory, each with one field that lies. Whatever the archive says,
// the mapper lists what fits, maps what is sound and refuses the rest with a message.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <unistd.h>

#include <norva/filesystem/file.hpp>

#include "archive/helpers.hpp"

using namespace norva;
using namespace norva::filesystem;
using namespace archive_test;

namespace
{
    const Bytes TEXT = toBytes(std::string(3000, 'a') + "tail of a member that compresses well\n");

    std::unique_ptr<AbstractMapper> open(const Bytes& archive, const std::string& password = "")
    {
        return createMapperZIP(view(archive), password);
    }

    // maps every member listed anywhere; returns how many mapped
    int mapEverything(AbstractMapper& mapper, const std::string& folder = "")
    {
        int mapped = 0;
        FileIndex index;
        mapper.getIndex(index, folder);
        for (const FileInfo& info : index)
        {
            if (info.isDirectory())
            {
                if (!info.isContainer())
                {
                    mapped += mapEverything(mapper, folder + info.name);
                }
                continue;
            }
            std::unique_ptr<VirtualMemory> memory;
            if (errorOf([&] { memory = mapper.mmap(folder + info.name); }).empty())
            {
                EXPECT_EQ(memory->memory.size, info.size);
                ++mapped;
            }
        }
        return mapped;
    }

} // namespace

TEST(ZipMalformed, SoundArchiveFromTheBuilderMaps)
{
    ZipBuilder zip;
    zip.add("stored.txt", TEXT, 0);
    zip.add("a/b/deflated.txt", TEXT, 8);
    zip.comment = "a trailing comment, found by the backward search";
    zip.prefix = 100; // bytes in front, as in a self-extractor whose offsets count them
    const Bytes archive = zip.build();

    auto mapper = open(archive);
    EXPECT_EQ(toBytes(mapper->mmap("stored.txt")->memory), TEXT);
    EXPECT_EQ(toBytes(mapper->mmap("a/b/deflated.txt")->memory), TEXT);
    EXPECT_EQ(listing(*mapper, "a/").size(), 1u);

    // bytes put in front of a finished archive: its offsets do not count them
    zip.prefix = 0;
    Bytes shifted(89, 0x11);
    append(shifted, zip.build());
    auto shiftedMapper = open(shifted);
    EXPECT_EQ(toBytes(shiftedMapper->mmap("stored.txt")->memory), TEXT);
    EXPECT_EQ(toBytes(shiftedMapper->mmap("a/b/deflated.txt")->memory), TEXT);

    zip.zip64End = true;
    zip.entries[0].zip64 = true;
    zip.entries[1].zip64 = true;
    const Bytes zip64 = zip.build();
    auto mapper64 = open(zip64);
    EXPECT_EQ(toBytes(mapper64->mmap("stored.txt")->memory), TEXT);
    EXPECT_EQ(toBytes(mapper64->mmap("a/b/deflated.txt")->memory), TEXT);
}

TEST(ZipMalformed, EndRecordsThatLeadNowhereSaySo)
{
    // What the end records say cannot be followed, and the directory does not end where
    // they start either: an error, never an empty folder.
    const std::string notFound = "[mapper.zip] The central directory cannot be found where the end record says.";
    const std::string damaged = "[mapper.zip] The central directory is damaged.";
    struct Case
    {
        const char* what;
        void (*knob)(ZipBuilder&);
        std::string message;
    };
    const Case cases[] = {
        { "no entries announced, one recorded", [](ZipBuilder& z) { z.entryCount = 0; }, damaged },
        { "ZIP64 count wrong, classic count saturated", [](ZipBuilder& z) { z.zip64End = true; z.entryCount = 2; }, damaged },
        { "directory offset past the end, size wrong", [](ZipBuilder& z) { z.directoryOffset = 1u << 30; z.directorySize = 7; }, notFound },
        { "ZIP64 locator pointing outside, record moved", [](ZipBuilder& z) { z.zip64End = true; z.zip64RecordOffset = ~u64(0) - 8; z.zip64Padding = 1; }, notFound },
        { "ZIP64 directory offset past the end, size wrong", [](ZipBuilder& z) { z.zip64End = true; z.directoryOffset = ~u64(0); z.directorySize = 10; }, notFound },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        ZipBuilder zip;
        zip.add("x.txt", TEXT, 8);
        c.knob(zip);
        const Bytes archive = zip.build();
        EXPECT_EQ(errorOf([&] { open(archive); }), c.message);
    }

    // Offsets that are merely wrong: the directory still ends where the end records begin,
    // and the members' local headers show that nothing moved.
    for (bool zip64 : { false, true })
    {
        SCOPED_TRACE(zip64 ? "ZIP64" : "classic");
        ZipBuilder zip;
        zip.add("x.txt", TEXT, 8).zip64 = zip64;
        zip.add("y.txt", TEXT, 0).zip64 = zip64;
        zip.zip64End = zip64;
        zip.directoryOffset = zip64 ? ~u64(0) - 100 : 0x7000;
        const Bytes archive = zip.build();
        auto mapper = open(archive);
        EXPECT_EQ(toBytes(mapper->mmap("x.txt")->memory), TEXT);
        EXPECT_EQ(toBytes(mapper->mmap("y.txt")->memory), TEXT);
    }

    // An archive that holds nothing says so in a record of its own.
    const Bytes nothing = ZipBuilder().build();
    EXPECT_TRUE(listing(*open(nothing), "").empty());
    EXPECT_TRUE(listing(*createMapperZIP(ConstMemory(), ""), "").empty());
    // an end record too close to the start for a ZIP64 locator before it
    Bytes tiny;
    put32(tiny, 0x06054b50);
    for (int i = 0; i < 6; ++i)
        put16(tiny, i < 2 ? 0 : 1);
    put32(tiny, 0xffffffff);
    put16(tiny, 0);
    EXPECT_EQ(errorOf([&] { open(tiny); }), notFound);
}

TEST(ZipMalformed, BytesThatAreNotOneWholeArchiveSayWhy)
{
    const std::string cut = "[mapper.zip] No end record: the archive is cut short or is not a ZIP archive.";
    const std::string last = "[mapper.zip] The last volume of a split archive (split archives are not supported).";
    ZipBuilder zip;
    zip.add("x.txt", TEXT, 8);
    const Bytes archive = zip.build();

    EXPECT_EQ(errorOf([&] { open(Bytes(archive.begin(), archive.end() - 10)); }), cut);
    EXPECT_EQ(errorOf([&] { open(Bytes(archive.begin(), archive.begin() + 30)); }), cut);
    EXPECT_EQ(errorOf([&] { open(Bytes(21, 0)); }), cut);

    zip.disk = 1;
    EXPECT_EQ(errorOf([&] { open(zip.build()); }), last);
    zip.disk = 0;
    zip.zip64End = true;
    zip.zip64Disks = 2; // the locator counts the volumes
    EXPECT_EQ(errorOf([&] { open(zip.build()); }), last);

    // entries on this disk that differ from the total, with every disk number 0, are no
    // volume of a set: the counts are damaged
    zip.zip64End = false;
    zip.zip64Disks = 1;
    Bytes counts = zip.build();
    counts[counts.size() - 22 + 8] = 2;
    EXPECT_EQ(errorOf([&] { open(counts); }), "[mapper.zip] The central directory is damaged.");
}

TEST(ZipMalformed, DirectoryRecordsThatDoNotFitOrLoseTheirSignatureAreDamage)
{
    // One bad record must not hide the ones after it: the whole directory is refused.
    const std::string damaged = "[mapper.zip] The central directory is damaged.";
    struct Case
    {
        const char* what;
        void (*knob)(ZipEntry&);
    };
    const Case cases[] = {
        { "name past the directory", [](ZipEntry& e) { e.nameLength = 0xffff; } },
        { "comment past the directory", [](ZipEntry& e) { e.commentLength = 0xfff0; } },
        { "comment that swallows the next record", [](ZipEntry& e) { e.commentLength = 46 + 8; } },
        { "signature broken", [](ZipEntry& e) { e.centralSignature = 0x02014b51; } },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        ZipBuilder zip;
        zip.add("first.txt", TEXT, 8);
        c.knob(zip.add("middle.txt", TEXT, 0));
        zip.add("last.txt", TEXT, 8);
        const Bytes archive = zip.build();
        EXPECT_EQ(errorOf([&] { open(archive); }), damaged);
    }

    // more entries announced than recorded, or fewer
    for (u64 count : { 60000, 2, 1 })
    {
        SCOPED_TRACE(count);
        ZipBuilder zip;
        zip.add("one.txt", TEXT, 0);
        zip.add("two.txt", TEXT, 8);
        zip.add("three.txt", TEXT, 8);
        zip.entryCount = count;
        const Bytes archive = zip.build();
        EXPECT_EQ(errorOf([&] { open(archive); }), damaged);
    }

    // an extra sub-field longer than the extra area ends the extras, not the entry
    ZipBuilder extra;
    ZipEntry& e = extra.add("x.txt", TEXT, 8);
    put16(e.extra, 0x5455);
    put16(e.extra, 200);
    put32(e.extra, 0);
    const Bytes withExtra = extra.build();
    EXPECT_EQ(toBytes(open(withExtra)->mmap("x.txt")->memory), TEXT);
}

TEST(ZipMalformed, MembersWhoseHeadersLieAreRefused)
{
    const std::string invalidLocal = "[mapper.zip] Invalid local header.";
    const std::string wrongSize = "[mapper.zip] Incorrect decompressed size.";
    struct Case
    {
        const char* what;
        u16 method;
        void (*knob)(ZipEntry&);
        std::string message;
    };
    const Bytes longer = rawDeflate(toBytes(std::string(5000, 'b')));
    const Bytes shorter = rawDeflate(toBytes(std::string(100, 'b')));
    static Bytes longStream, shortStream;
    longStream = longer;
    shortStream = shorter;

    const Case cases[] = {
        { "local offset past the end", 0, [](ZipEntry& e) { e.localOffset = 1u << 20; }, invalidLocal },
        { "local offset near 2^64", 8, [](ZipEntry& e) { e.zip64 = true; e.localOffset = ~u64(0) - 3; }, invalidLocal },
        { "local signature wrong", 0, [](ZipEntry& e) { e.localSignature = 0x04034b51; }, invalidLocal },
        { "compressed size past the end", 8, [](ZipEntry& e) { e.compressedSize = 1u << 24; }, invalidLocal },
        { "compressed size near 2^64", 8, [](ZipEntry& e) { e.zip64 = true; e.compressedSize = ~u64(0) - 10; }, invalidLocal },
        { "stored, uncompressed larger", 0, [](ZipEntry& e) { e.uncompressedSize = e.content.size() + 1; }, wrongSize },
        { "stored, uncompressed smaller", 0, [](ZipEntry& e) { e.uncompressedSize = 10; }, wrongSize },
        { "deflate stream longer than declared", 8, [](ZipEntry& e) { e.payload = longStream; e.uncompressedSize = 4000; },
          "[mapper.zip] Buffer error." },
        { "deflate stream shorter than declared", 8, [](ZipEntry& e) { e.payload = shortStream; e.uncompressedSize = 4000; },
          wrongSize },
        { "deflate stream damaged", 8, [](ZipEntry& e) { e.payload = Bytes(64, 0xff); }, "[mapper.zip] Data error." },
        { "deflate declaring more than deflate can make", 8, [](ZipEntry& e) { e.uncompressedSize = u64(1) << 40; e.zip64 = true; },
          wrongSize },
        { "bzip2 declaring more than memory holds", 12, [](ZipEntry& e) { e.payload = Bytes(40, 1); e.uncompressedSize = u64(1) << 62; e.zip64 = true; },
          "[mapper.zip] Out of memory." },
        { "LZMA properties size not 5", 14, [](ZipEntry& e) { e.payload = Bytes { 9, 20, 6, 0, 0x5d, 0, 0, 1, 0, 0 }; },
          "[mapper.zip] Incorrect LZMA header." },
        { "LZMA header cut short", 14, [](ZipEntry& e) { e.payload = Bytes { 9, 20 }; }, "[mapper.zip] Incorrect LZMA header." },
        { "PPMd order 1", 98, [](ZipEntry& e) { e.payload = Bytes { 0x70, 0x00, 1, 2, 3, 4 }; }, "[PPMd] decoding error." },
        { "PPMd restore method 2", 98, [](ZipEntry& e) { e.payload = Bytes { 0x77, 0x20, 1, 2, 3, 4 }; }, "[PPMd] decoding error." },
        { "method 6 (implode)", 6, [](ZipEntry& e) { e.payload = e.content; }, "[mapper.zip] Unsupported compression algorithm (6)." },
        { "method 93 (zstd)", 93, [](ZipEntry& e) { e.payload = e.content; }, "[mapper.zip] Unsupported compression algorithm (93)." },
        { "method 99 without an AES extra", 99, [](ZipEntry& e) { e.payload = e.content; }, "[mapper.zip] Unsupported compression algorithm (99)." },
        { "decompressed bytes with the wrong CRC-32", 8, [](ZipEntry& e) { e.crc = 0x12345678; },
          "[mapper.zip] CRC error in \"m\"." },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        ZipBuilder zip;
        zip.add("good.txt", TEXT, 8);
        c.knob(zip.add("m", TEXT, c.method));
        const Bytes archive = zip.build();
        auto mapper = open(archive);
        EXPECT_TRUE(mapper->isFile("m"));
        EXPECT_EQ(errorOf([&] { mapper->mmap("m"); }), c.message);
        // its neighbour is not affected
        EXPECT_EQ(toBytes(mapper->mmap("good.txt")->memory), TEXT);
    }
}

TEST(ZipMalformed, StoredMembersAreCheckedAgainstTheirCrc)
{
    // still a view into the archive, but a damaged one is refused
    ZipBuilder zip;
    zip.add("s.txt", TEXT, 0);
    zip.add("t.txt", TEXT, 0);
    const Bytes archive = zip.build();
    auto memory = open(archive)->mmap("s.txt");
    EXPECT_TRUE(inside(memory->memory, archive));
    EXPECT_EQ(toBytes(memory->memory), TEXT);

    const u64 second = 30 + 5 + TEXT.size(); // t.txt's local header
    struct Case
    {
        const char* what;
        std::size_t at;
        u8 flip;
    };
    const Case cases[] = {
        { "a data bit", 30 + 5 + 1000, 0x04 },
        { "the last data byte", 30 + 5 + TEXT.size() - 1, 0x80 },
        { "a local extra length that moves the data", second + 28, 0x01 },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        Bytes damaged = archive;
        damaged[c.at] ^= c.flip;
        auto mapper = open(damaged);
        const std::string name = c.at >= second ? "t.txt" : "s.txt";
        EXPECT_EQ(errorOf([&] { mapper->mmap(name); }), "[mapper.zip] CRC error in \"" + name + "\".");
    }

    ZipBuilder lying;
    lying.add("s.txt", TEXT, 0).crc = 1;
    const Bytes wrongCrc = lying.build();
    EXPECT_EQ(errorOf([&] { open(wrongCrc)->mmap("s.txt"); }), "[mapper.zip] CRC error in \"s.txt\".");
}

TEST(ZipMalformed, EncryptionHeadersThatCannotHoldTheirData)
{
    const std::string decryption = "[mapper.zip] Decryption failed (probably incorrect password).";
    for (u64 size : { 0, 5, 11 })
    {
        SCOPED_TRACE(size);
        ZipBuilder zip;
        ZipEntry& e = zip.add("e.txt", Bytes(size, 7), 0);
        e.flags = 1;
        e.uncompressedSize = 0;
        const Bytes archive = zip.build();
        EXPECT_TRUE(listing(*open(archive, "pw"), "").at("e.txt") & FileInfo::ENCRYPTED);
        EXPECT_EQ(errorOf([&] { open(archive, "pw")->mmap("e.txt"); }), decryption);
        EXPECT_EQ(errorOf([&] { open(archive, "")->mmap("e.txt"); }), decryption);
    }
}

TEST(ZipMalformed, AesExtrasAreCheckedWhenTheDirectoryIsRead)
{
    auto aes = [](u16 version, u16 vendor, u8 strength) {
        ZipBuilder zip;
        ZipEntry& e = zip.add("aes.bin", TEXT, 99);
        e.payload = TEXT;
        e.flags = 1;
        put16(e.extra, 0x9901);
        put16(e.extra, 7);
        put16(e.extra, version);
        put16(e.extra, vendor);
        e.extra.push_back(strength);
        put16(e.extra, 8);
        return zip.build();
    };
    for (u8 strength : { 1, 2, 3 })
    {
        const Bytes archive = aes(2, 0x4541, strength);
        auto mapper = open(archive, "pw");
        EXPECT_EQ(listing(*mapper, "").at("aes.bin"), u32(FileInfo::ENCRYPTED | FileInfo::COMPRESSED));
        EXPECT_EQ(errorOf([&] { mapper->mmap("aes.bin"); }), "[mapper.zip] AES encryption is not yet supported.");
    }
    EXPECT_EQ(errorOf([&] { open(aes(3, 0x4541, 1)); }), "[mapper.zip] Incorrect AES header.");
    EXPECT_EQ(errorOf([&] { open(aes(1, 0x4542, 1)); }), "[mapper.zip] Incorrect AES header.");
    EXPECT_EQ(errorOf([&] { open(aes(1, 0x4541, 4)); }), "[mapper.zip] Incorrect AES encryption mode.");
}

TEST(ZipMalformed, EveryPrefixAndByteFlipOpensOrFailsCleanly)
{
    ZipBuilder zip;
    zip.add("s.txt", TEXT, 0);
    zip.add("d/x.txt", TEXT, 8).zip64 = true;
    zip.zip64End = true;
    zip.comment = "c";
    const Bytes archive = zip.build();

    int mapped = 0;
    for (std::size_t size = 0; size <= archive.size(); ++size)
    {
        const Bytes prefix(archive.begin(), archive.begin() + size);
        std::unique_ptr<AbstractMapper> mapper;
        if (errorOf([&] { mapper = open(prefix); }).empty())
        {
            mapped += mapEverything(*mapper);
        }
    }
    EXPECT_GE(mapped, 2) << "the whole archive maps";

    // flips in the headers and the directory: ASan and UBSan watch the reads
    for (std::size_t i = 0; i < archive.size(); i += 3)
    {
        Bytes flipped = archive;
        flipped[i] ^= 0x80;
        std::unique_ptr<AbstractMapper> mapper;
        if (errorOf([&] { mapper = open(flipped); }).empty())
        {
            mapEverything(*mapper);
        }
    }
}

TEST(ZipNames, DotsAbsolutePathsAndDrivesStayInsideTheArchive)
{
    const std::vector<std::string> names = { "../evil.txt", "/abs/x.txt", "C:\\win.txt", "a/../../b.txt" };
    ZipBuilder zip;
    for (const std::string& name : names)
    {
        zip.add(name, toBytes("inside " + name), 8);
    }
    const Bytes archive = zip.build();
    auto mapper = open(archive);
    for (const std::string& name : names)
    {
        EXPECT_TRUE(mapper->isFile(name)) << name;
        EXPECT_EQ(toBytes(mapper->mmap(name)->memory), toBytes("inside " + name));
    }
    EXPECT_TRUE(listing(*mapper, "").count("../"));
    EXPECT_TRUE(listing(*mapper, "").count("/"));
    EXPECT_TRUE(listing(*mapper, "../").count("evil.txt"));

    // a host file where "../evil.txt" would land is never what a path into the archive reads
    const std::filesystem::path folder = std::filesystem::temp_directory_path() /
        ("norva_zip_names_" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder / "in");
    std::ofstream(folder / "evil.txt") << "host file";
    std::ofstream(folder / "in" / "a.zip", std::ios::binary).write(reinterpret_cast<const char*>(archive.data()), archive.size());
    {
        File file((folder / "in" / "a.zip" / ".." / "evil.txt").string());
        EXPECT_EQ(toBytes(ConstMemory(file)), toBytes("inside ../evil.txt"));
    }
    std::filesystem::remove_all(folder);
}
