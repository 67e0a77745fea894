// The RAR mapper on stored archives from the test-side writer: listings, views, names,
// refused members, and header walks that must stop cleanly.

#include <gtest/gtest.h>

#include <algorithm>
#include <list>
#include <map>
#include <string>
#include <vector>

#include <norva/core/exception.hpp>
#include <norva/filesystem/mapper.hpp>

#include "rar/rar_test_helpers.hpp"

using namespace norva;
using namespace norva::filesystem;
using namespace rartest;

namespace
{
    // The mapper views the archive's bytes: keep every archive alive for the whole run.
    std::unique_ptr<AbstractMapper> open(const Bytes& archive)
    {
        static std::list<Bytes> kept;
        kept.push_back(archive);
        return createMapperRAR(ConstMemory(kept.back().data(), kept.back().size()), "");
    }

    std::map<std::string, FileInfo> listing(AbstractMapper& mapper, const std::string& folder)
    {
        FileIndex index;
        mapper.getIndex(index, folder);
        std::map<std::string, FileInfo> out;
        for (const FileInfo& info : index)
            out[info.name] = info;
        return out;
    }

    std::string mapText(AbstractMapper& mapper, const std::string& name)
    {
        auto memory = mapper.mmap(name);
        ConstMemory bytes = *memory;
        return std::string(reinterpret_cast<const char*>(bytes.address), bytes.size);
    }

    std::string errorOf(AbstractMapper& mapper, const std::string& name)
    {
        try
        {
            mapper.mmap(name);
        }
        catch (const Exception& e)
        {
            return e.what();
        }
        return "no exception";
    }

    Bytes pattern(std::size_t size)
    {
        Bytes out(size);
        for (std::size_t i = 0; i < size; ++i)
            out[i] = u8(i * 7 + (i >> 8));
        return out;
    }

} // namespace

TEST(RarMapper, StoredMembersOfBothGenerationsAreViewsIntoTheArchive)
{
    const Bytes big = pattern(2560);
    Rar4File dir4 { "dir" };
    dir4.folder = true;
    const Bytes archive4 = rar4({ dir4, Rar4File { "dir\\file.txt", text("hello\n") }, Rar4File { "x.bin", big } });
    Rar5File dir5 { "dir" };
    dir5.folder = true;
    const Bytes archive5 = rar5({ dir5, Rar5File { "dir/file.txt", text("hello\n") }, Rar5File { "x.bin", big } });

    for (const Bytes* archive : { &archive4, &archive5 })
    {
        auto mapper = open(*archive);
        auto root = listing(*mapper, "");
        ASSERT_EQ(root.size(), 2u);
        EXPECT_EQ(root["dir/"].flags, u32(FileInfo::DIRECTORY));
        EXPECT_EQ(root["x.bin"].size, big.size());
        EXPECT_EQ(root["x.bin"].flags, 0u);
        auto dir = listing(*mapper, "dir/");
        ASSERT_EQ(dir.size(), 1u);
        EXPECT_EQ(dir["file.txt"].size, 6u);
        EXPECT_EQ(listing(*mapper, "dir").size(), 1u); // the trailing "/" is optional

        EXPECT_TRUE(mapper->isFile("dir/file.txt"));
        EXPECT_FALSE(mapper->isFile("dir/"));
        EXPECT_FALSE(mapper->isFile("file.txt"));
        EXPECT_EQ(mapText(*mapper, "dir/file.txt"), "hello\n");

        auto view = mapper->mmap("x.bin");
        ConstMemory bytes = *view;
        ASSERT_EQ(bytes.size, big.size());
        EXPECT_EQ(0, std::memcmp(bytes.address, big.data(), big.size()));
        // zero-copy: the view points into the archive's own bytes
        auto direct = createMapperRAR(ConstMemory(archive->data(), archive->size()), "");
        auto direct_view = direct->mmap("x.bin");
        const u8* address = ConstMemory(*direct_view).address;
        EXPECT_GE(address, archive->data());
        EXPECT_LE(address + big.size(), archive->data() + archive->size());

        EXPECT_EQ(errorOf(*mapper, "missing.txt"), "[mapper.rar] File \"missing.txt\" not found.");
        EXPECT_EQ(errorOf(*mapper, "dir/"), "[mapper.rar] File \"dir/\" not found.");
    }
}

TEST(RarMapper, FoldersAboveMembersAreListedWithoutTheirOwnHeaders)
{
    // "a/b/c.txt" alone: a/ at the root, b/ in a/; names are listed verbatim, so ".." is a
    // plain folder name inside the archive, never a way out of it.
    const Bytes archive = rar4({ Rar4File { "a\\b\\c.txt", text("deep") }, Rar4File { "..\\up.txt", text("up") } });
    auto mapper = open(archive);
    auto root = listing(*mapper, "");
    ASSERT_EQ(root.size(), 2u);
    EXPECT_TRUE(root["a/"].isDirectory());
    EXPECT_TRUE(root["../"].isDirectory());
    EXPECT_TRUE(listing(*mapper, "a/")["b/"].isDirectory());
    EXPECT_EQ(mapText(*mapper, "a/b/c.txt"), "deep");
    EXPECT_EQ(mapText(*mapper, "../up.txt"), "up");
}

TEST(RarMapper, EmptyAndSkippedMembers)
{
    // RAR 5: empty files list and map to zero bytes, with or without a data area and
    // whatever their method; an empty folder lists; a link (redirection record) does not.
    Rar5File folder { "empty" };
    folder.folder = true;
    Rar5File unknownSize { "stream.bin", text("abc") };
    unknownSize.fileFlags |= 8;
    Rar5File solid { "solid.bin", text("abc") };
    solid.compression = 0x40 | (3 << 7);
    Rar5File noDataArea { "nodata.txt" };
    noDataArea.blockFlags = 0;
    Rar5File packedEmpty { "packed.txt" };
    packedEmpty.compression = 3 << 7;
    Rar5File link { "link.txt" };
    Bytes redirection = vint(5); // record type: redirection
    putBytes(redirection, vint(1)); // Unix symlink
    putBytes(redirection, vint(0));
    putBytes(redirection, vint(6));
    putBytes(redirection, text("target"));
    link.extra = vint(redirection.size());
    putBytes(link.extra, redirection);
    auto mapper5 = open(rar5({ Rar5File { "nothing.txt", Bytes() }, noDataArea, packedEmpty, link, folder, unknownSize,
                               solid, Rar5File { "k.txt", text("k") } }));
    auto root5 = listing(*mapper5, "");
    EXPECT_EQ(root5.size(), 5u);
    EXPECT_TRUE(root5.count("empty/"));
    EXPECT_TRUE(root5.count("k.txt"));
    EXPECT_TRUE(listing(*mapper5, "empty/").empty());
    EXPECT_FALSE(root5.count("link.txt"));
    EXPECT_FALSE(mapper5->isFile("link.txt"));
    for (const char* name : { "nothing.txt", "nodata.txt", "packed.txt" })
    {
        SCOPED_TRACE(name);
        ASSERT_TRUE(root5.count(name));
        EXPECT_FALSE(root5[name].isDirectory());
        EXPECT_EQ(root5[name].size, 0u);
        EXPECT_TRUE(mapper5->isFile(name));
        auto memory = mapper5->mmap(name);
        EXPECT_EQ(ConstMemory(*memory).size, 0u);
    }

    // RAR 4: an unknown method or a newer version is skipped, and the walk goes on after
    // its packed data.
    Rar4File method6 { "m6.bin", pattern(100) };
    method6.method = '6';
    Rar4File version37 { "v37.bin", pattern(100) };
    version37.version = 37;
    auto mapper4 = open(rar4({ method6, version37, Rar4File { "after.txt", text("after") } }));
    auto root4 = listing(*mapper4, "");
    ASSERT_EQ(root4.size(), 1u);
    EXPECT_EQ(mapText(*mapper4, "after.txt"), "after");
}

TEST(RarMapper, PackedUnicodeNames)
{
    // ASCII "abc.txt", a zero, then the packed form: high byte 0x04, flags 0b01 01 01 11 ...
    // "Ж" (U+0416) comes from op 1 with the high byte, then op 3 copies ASCII bytes.
    Bytes field = text("xbc.txt");
    field.push_back(0);
    field.push_back(0x04);       // high byte
    field.push_back(0x40 | 0x03 << 4 | 0x0 << 2); // ops: 1, 3, 0, 0
    field.push_back(0x16);       // op 1: 0x0416
    field.push_back(0x04);       // op 3: copy 4 + 2 = 6 ASCII units from position 1
    Rar4File named { "", text("unicode") };
    named.nameField = field;
    named.flags |= 0x200;
    auto mapper = open(rar4({ named }));
    auto root = listing(*mapper, "");
    ASSERT_EQ(root.size(), 1u);
    EXPECT_EQ(root.begin()->first, "\xD0\x96" "bc.txt");

    // A packed part that decodes to nothing keeps the first part.
    Bytes empty = text("plain.txt");
    empty.insert(empty.end(), { 0, 0, 0 });
    Rar4File fallback { "", text("x") };
    fallback.nameField = empty;
    fallback.flags |= 0x200;
    EXPECT_TRUE(listing(*open(rar4({ fallback })), "").count("plain.txt"));

    // Reads stay inside the field: a copy run past the ASCII name gives zeros, which end
    // the name.
    Bytes overrun = text("ab");
    overrun.insert(overrun.end(), { 0, 0x00, 0xC0, 0x7F });
    Rar4File runaway { "", text("y") };
    runaway.nameField = overrun;
    runaway.flags |= 0x200;
    EXPECT_TRUE(listing(*open(rar4({ runaway })), "").count("ab"));

    Rar4File tooLong { "", text("z") };
    tooLong.nameField = Bytes(1024, 'n');
    tooLong.flags |= 0x200;
    try
    {
        open(rar4({ tooLong }));
        ADD_FAILURE() << "no exception";
    }
    catch (const Exception& e)
    {
        EXPECT_STREQ(e.what(), "[mapper.rar] Too long unicode filename.");
    }
}

TEST(RarMapper, EncryptedSplitAndSolidMembersAreRefused)
{
    Rar4File encrypted { "secret.txt", text("ciphertext") };
    encrypted.flags |= 0x04;
    Rar4File splitAfter { "part.bin", text("first half") };
    splitAfter.flags |= 0x02;
    splitAfter.unpackedSize = 100;
    Rar4File splitBefore { "rest.bin", text("second half") };
    splitBefore.flags |= 0x01;
    Rar4File solid { "solid.bin", text("abc") };
    solid.flags |= 0x10;
    solid.method = '3';
    Rar4File shortStored { "short.bin", text("12345") };
    shortStored.unpackedSize = 120000;
    auto mapper = open(rar4({ encrypted, splitAfter, splitBefore, solid, shortStored, Rar4File { "ok.txt", text("ok") } }));

    auto root = listing(*mapper, "");
    EXPECT_EQ(root["secret.txt"].flags, u32(FileInfo::ENCRYPTED));
    EXPECT_EQ(root["solid.bin"].flags, u32(FileInfo::COMPRESSED));
    EXPECT_EQ(errorOf(*mapper, "secret.txt"), "[mapper.rar] Encrypted file.");
    EXPECT_EQ(errorOf(*mapper, "part.bin"), "[mapper.rar] Split files are not supported.");
    EXPECT_EQ(errorOf(*mapper, "rest.bin"), "[mapper.rar] Split files are not supported.");
    EXPECT_EQ(errorOf(*mapper, "solid.bin"), "[mapper.rar] Solid files are not supported.");
    // a stored member whose sizes differ would be a view past its data
    EXPECT_EQ(errorOf(*mapper, "short.bin"), "[mapper.rar] Decompression failed.");
    EXPECT_EQ(mapText(*mapper, "ok.txt"), "ok");

    // RAR 5: an encryption record in the extra area, and split flags on the block.
    Rar5File encrypted5 { "e.txt", text("ciphertext") };
    encrypted5.extra = vint(2);
    encrypted5.extra.push_back(1); // record type 1
    encrypted5.extra.push_back(0);
    Rar5File split5 { "s.txt", text("half") };
    split5.blockFlags |= 0x10;
    auto mapper5 = open(rar5({ encrypted5, split5 }));
    EXPECT_EQ(listing(*mapper5, "")["e.txt"].flags, u32(FileInfo::ENCRYPTED));
    EXPECT_EQ(errorOf(*mapper5, "e.txt"), "[mapper.rar] Encrypted file.");
    EXPECT_EQ(errorOf(*mapper5, "s.txt"), "[mapper.rar] Split files are not supported.");

    // A packed RAR 5 member: no RAR 5 decoder here.
    Rar5File packed5 { "p.bin", text("packed") };
    packed5.compression = 3 << 7;
    auto mapperPacked = open(rar5({ packed5 }));
    EXPECT_EQ(listing(*mapperPacked, "")["p.bin"].flags, u32(FileInfo::COMPRESSED));
    EXPECT_EQ(errorOf(*mapperPacked, "p.bin"), "[mapper.rar] Decompression failed.");
}

TEST(RarMapper, EncryptedHeadersAreRefusedByName)
{
    // RAR 4 main flag 0x80 and RAR 5 header type 4: nothing after them can be read, and
    // the archive must not pass for an empty one.
    Bytes archive4 = rar4({ Rar4File { "a.txt", text("a") } }, 0x80);
    Bytes archive5 = rar5Signature();
    Bytes crypt = vint(4);
    putBytes(crypt, vint(0));
    putBytes(crypt, vint(0));
    putBytes(archive5, rar5Block(crypt));
    putBytes(archive5, rar5FileBlock(Rar5File { "a.txt", text("a") }));

    for (const Bytes* archive : { &archive4, &archive5 })
    {
        for (const std::string password : { "", "secret" })
        {
            SCOPED_TRACE((archive == &archive4 ? "RAR 4, password \"" : "RAR 5, password \"") + password + "\"");
            try
            {
                createMapperRAR(ConstMemory(archive->data(), archive->size()), password);
                ADD_FAILURE() << "no exception";
            }
            catch (const Exception& e)
            {
                EXPECT_STREQ(e.what(), password.empty() ? "[mapper.rar] Encrypted headers: no password given."
                                                        : "[mapper.rar] Encrypted headers: decryption is not supported.");
            }
        }
    }
}

TEST(RarMapper, HeaderCrcFailureThrowsWhereverTheHeaderIs)
{
    // A damaged name byte must not list the member under another name, nor list the members
    // before it as if they were the whole archive: the first, a middle and the last header.
    auto damage = [](Bytes archive, const std::string& name) {
        auto at = std::search(archive.begin(), archive.end(), name.begin(), name.end());
        EXPECT_NE(at, archive.end());
        *at ^= 0x01; // "b" becomes "c"
        return archive;
    };
    const Bytes archives[] = {
        rar4({ Rar4File { "a.txt", text("a") }, Rar4File { "b.txt", text("b") }, Rar4File { "d.txt", text("d") } }),
        rar5({ Rar5File { "a.txt", text("a") }, Rar5File { "b.txt", text("b") }, Rar5File { "d.txt", text("d") } }),
    };
    for (const Bytes& archive : archives)
    {
        SCOPED_TRACE(archive[6] ? "RAR 5" : "RAR 4");
        EXPECT_EQ(listing(*open(archive), "").size(), 3u);
        for (const char* name : { "a.txt", "b.txt", "d.txt" })
        {
            SCOPED_TRACE(name);
            try
            {
                open(damage(archive, name));
                ADD_FAILURE() << "no exception";
            }
            catch (const Exception& e)
            {
                EXPECT_STREQ(e.what(), "[mapper.rar] Header CRC error.");
                EXPECT_EQ(e.getFunction(), "norva::filesystem::MapperRAR::parse");
            }
        }
    }
}

TEST(RarMapper, MalformedWalksThrowCutShortOrDamaged)
{
    // Each archive has a good member before the fault, which must not be listed as if it were
    // the whole archive. "Cut short": the file ends inside a header or data. "Damaged": the
    // header's CRC passes but its fields contradict its size.
    const char* const cut = "[mapper.rar] The archive is cut short.";
    const char* const damaged = "[mapper.rar] Damaged header.";
    const Rar4File good { "good.txt", text("good") };
    struct Case
    {
        std::string what;
        Bytes archive;
        const char* message;
    };
    std::vector<Case> cases;
    auto rar4With = [&](const Bytes& block) {
        Bytes a = rar4Signature();
        putBytes(a, rar4Main());
        putBytes(a, rar4FileBlock(good));
        putBytes(a, block);
        putBytes(a, rar4FileBlock(Rar4File { "late.txt", text("late") }));
        return a;
    };
    auto rar5With = [](const Bytes& tail) {
        Bytes a = rar5Signature();
        putBytes(a, rar5FileBlock(Rar5File { "g.txt", text("g") }));
        putBytes(a, tail);
        return a;
    };

    for (int size = 0; size < 7; ++size)
    {
        // header sizes 0..6 would not move the walk forward
        cases.push_back({ "header size " + std::to_string(size), rar4With(rar4Block(0x7A, 0, Bytes(), size - 7)), damaged });
    }
    // a long block whose header ends before its add size
    cases.push_back({ "add size past the header", rar4With(rar4Block(0x78, 0x8000, Bytes())), damaged });
    {
        Rar4File huge { "huge.bin", text("x") };
        huge.highPacked = 0x80000000; // packed size 2^63 + 1
        cases.push_back({ "packed size 2^63", rar4({ good, huge, good }), cut });
    }
    {
        Rar4File past { "past.bin", text("x") };
        past.packedSize = 1000;
        cases.push_back({ "data past the end", rar4({ good, past }), cut });
    }
    {
        Rar4File name { "name.txt", text("x") };
        name.headerSizeDelta = -4; // the name runs past its header
        cases.push_back({ "name past the header", rar4({ good, name }), damaged });
    }
    {
        Rar4File fields { "f.txt", text("x") };
        fields.headerSizeDelta = -20; // the fixed fields run past their header
        cases.push_back({ "fixed fields past the header", rar4({ good, fields }), damaged });
    }
    {
        Bytes fields;
        put32(fields, 0xFFFFFFF0); // add size of a 0x8000 block, past the end
        cases.push_back({ "add size past the end", rar4With(rar4Block(0x78, 0xC000, fields)), cut });
    }
    {
        Bytes a = rar4({ good });
        a.resize(a.size() - 4); // 3 bytes of the end block left
        cases.push_back({ "RAR 4 end block cut", a, cut });
    }
    {
        Bytes a = rar4({ good });
        a.resize(a.size() - 7 - 10); // inside the member's header
        cases.push_back({ "RAR 4 file header cut", a, cut });
    }
    cases.push_back({ "RAR 4 signature alone", rar4Signature(), cut });
    {
        Bytes a = rar5({ Rar5File { "g.txt", text("g") } });
        a.resize(a.size() - 5); // the end header cut
        cases.push_back({ "RAR 5 end header cut", a, cut });
    }
    cases.push_back({ "RAR 5 without its end header", rar5With(Bytes()), cut });
    cases.push_back({ "RAR 5 header CRC cut", rar5With(Bytes { 0x12, 0x34 }), cut });
    cases.push_back({ "RAR 5 header size cut", rar5With(Bytes { 0, 0, 0, 0, 0x85 }), cut });
    cases.push_back({ "RAR 5 header past the end", rar5With(Bytes { 0, 0, 0, 0, 0x7F }), cut });
    {
        Bytes h = vint(2);
        putBytes(h, vint(2));
        putBytes(h, vint(u64(1) << 62)); // data size far past the end
        cases.push_back({ "RAR 5 data size past the end", rar5With(rar5Block(h)), cut });
    }
    cases.push_back({ "RAR 5 vint of 11 bytes",
                      rar5With(Bytes { 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF }),
                      damaged });
    cases.push_back({ "RAR 5 header size 0", rar5With(rar5Block(Bytes())), damaged });
    // an end header whose flags run past it
    cases.push_back({ "RAR 5 vint past its header", rar5With(rar5Block(Bytes { 0x05, 0x80 })), damaged });
    {
        Bytes h = vint(1);
        putBytes(h, vint(1));
        putBytes(h, vint(40)); // an extra area larger than the header
        putBytes(h, vint(0));
        cases.push_back({ "RAR 5 extra area past its header", rar5With(rar5Block(h)), damaged });
    }
    {
        Bytes header = vint(2);
        putBytes(header, vint(2));
        putBytes(header, vint(1));
        putBytes(header, vint(4));
        putBytes(header, vint(1));
        putBytes(header, vint(0644));
        put32(header, crcOf(text("n")));
        putBytes(header, vint(0));
        putBytes(header, vint(1));
        putBytes(header, vint(200)); // a name longer than the header
        putBytes(header, text("n.txt"));
        cases.push_back({ "RAR 5 name past the header", rar5With(rar5Block(header, text("n"))), damaged });
    }
    {
        Rar5File shortHash { "h.txt", text("h") };
        shortHash.fileFlags = 0;
        Bytes record = vint(2);
        putBytes(record, vint(0));
        putBytes(record, Bytes(10, 0xAB)); // 10 of the 32 hash bytes
        shortHash.extra = vint(record.size());
        putBytes(shortHash.extra, record);
        cases.push_back({ "RAR 5 hash record too short", rar5With(rar5FileBlock(shortHash)), damaged });
    }
    {
        Rar5File overrun { "o.txt", text("o") };
        overrun.extra = Bytes { 0x09, 0x02, 0x00 }; // a record of 9 bytes in an area of 3
        cases.push_back({ "RAR 5 extra record past its area", rar5With(rar5FileBlock(overrun)), damaged });
    }

    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        try
        {
            open(c.archive);
            ADD_FAILURE() << "no exception";
        }
        catch (const Exception& e)
        {
            EXPECT_STREQ(e.what(), c.message);
            EXPECT_EQ(e.getFunction(), "norva::filesystem::MapperRAR::parse");
        }
    }
}

TEST(RarMapper, EndBlocksAndWhatFollowsThem)
{
    // RAR 1.5 - 4 archivers may leave out the end block: a walk that ends after a whole
    // block lists everything. Bytes after an end block or end-of-archive header are not
    // read, whatever they hold.
    Bytes noEnd = rar4({ Rar4File { "a.txt", text("a") }, Rar4File { "b.txt", text("b") } });
    noEnd.resize(noEnd.size() - 7);
    Bytes trailing4 = rar4({ Rar4File { "a.txt", text("a") }, Rar4File { "b.txt", text("b") } });
    putBytes(trailing4, Bytes { 0x12, 0x34, 0x74, 0x00 }); // a cut header after the end
    Bytes trailing5 = rar5({ Rar5File { "a.txt", text("a") }, Rar5File { "b.txt", text("b") } });
    putBytes(trailing5, Bytes { 0, 0, 0, 0, 0x7F });
    for (const Bytes* archive : { &noEnd, &trailing4, &trailing5 })
    {
        auto mapper = open(*archive);
        EXPECT_EQ(listing(*mapper, "").size(), 2u);
        EXPECT_EQ(mapText(*mapper, "b.txt"), "b");
    }
}

TEST(RarMapper, SignatureAndEmptyParent)
{
    for (const Bytes& bad : { text("Rar!\x1a\x07"), text("PK\x03\x04 not rar"), Bytes() })
    {
        try
        {
            open(bad.empty() ? Bytes(1, 0) : bad);
            ADD_FAILURE() << "no exception";
        }
        catch (const Exception& e)
        {
            EXPECT_STREQ(e.what(), "[mapper.rar] Incorrect signature.");
            EXPECT_EQ(e.getFunction(), "norva::filesystem::MapperRAR::parse");
        }
    }
    auto empty = createMapperRAR(ConstMemory(), "");
    EXPECT_TRUE(listing(*empty, "").empty());
}

TEST(RarMapper, SubBlocksWithAddSizesAreSkippedWhole)
{
    // A service block with 0xC000 (skip if unknown, long) and a large add size, like a
    // recovery record: the walk must step over its data, not land inside it.
    Bytes record(300000, 0x74); // data that looks like file block types
    Bytes a = rar4Signature();
    putBytes(a, rar4Main());
    Bytes fields;
    put32(fields, u32(record.size()));
    putBytes(a, rar4Block(0x78, 0xC000, fields));
    putBytes(a, record);
    putBytes(a, rar4FileBlock(Rar4File { "after.txt", text("after") }));
    putBytes(a, rar4End());
    auto mapper = open(a);
    auto root = listing(*mapper, "");
    ASSERT_EQ(root.size(), 1u);
    EXPECT_EQ(mapText(*mapper, "after.txt"), "after");
}

TEST(RarMapper, NestedPathsResolveThroughTheMapperChain)
{
    // a RAR inside a RAR, reached by path like any other archive
    const Bytes inner = rar4({ Rar4File { "leaf.txt", text("leaf") } });
    const Bytes outer = rar5({ Rar5File { "inner.rar", inner } });
    auto mapper = open(outer);
    auto root = listing(*mapper, "");
    EXPECT_TRUE(root.count("inner.rar/")); // shown as a folder as well
    auto innerMemory = mapper->mmap("inner.rar");
    auto innerMapper = createMapperRAR(*innerMemory, "");
    EXPECT_EQ(mapText(*innerMapper, "leaf.txt"), "leaf");
}

TEST(RarMapper, StoredMembersAreCheckedAgainstTheirCrc)
{
    // A flipped data bit in both generations, and a RAR 4 header CRC field that no longer
    // matches its data: the view is refused, not returned with wrong bytes.
    Bytes archive4 = rar4({ Rar4File { "a.txt", text("hello world") } });
    Bytes archive5 = rar5({ Rar5File { "a.txt", text("hello world") } });
    for (Bytes* archive : { &archive4, &archive5 })
    {
        const std::size_t at = std::search(archive->begin(), archive->end(), std::begin("hello"), std::end("hello") - 1) -
                               archive->begin();
        ASSERT_LT(at, archive->size());
        EXPECT_EQ(mapText(*open(*archive), "a.txt"), "hello world");
        (*archive)[at] ^= 0x04;
        EXPECT_EQ(errorOf(*open(*archive), "a.txt"), "[mapper.rar] CRC-32 mismatch.");
    }
    Rar4File wrong { "w.txt", text("data") };
    wrong.crcFromData = false;
    wrong.crc = 0x12345678;
    EXPECT_EQ(errorOf(*open(rar4({ wrong })), "w.txt"), "[mapper.rar] CRC-32 mismatch.");
}

TEST(RarMapper, Rar5MembersWithABlake2HashAreCheckedAgainstIt)
{
    // Without a CRC-32 in the header, the BLAKE2sp hash of the extra area is what tells a
    // damaged member from a good one, and the message names that check; an empty member's
    // hash is checked too.
    const Bytes big = pattern(70000); // more than the 8 leaves' first blocks
    Rar5File hashed { "a.bin", big };
    hashed.blake2 = true;
    Rar5File empty { "empty.txt" };
    empty.blake2 = true;
    Bytes archive = rar5({ hashed, empty });
    {
        auto mapper = open(archive);
        auto view = mapper->mmap("a.bin");
        ConstMemory bytes = *view;
        ASSERT_EQ(bytes.size, big.size());
        EXPECT_EQ(0, std::memcmp(bytes.address, big.data(), big.size()));
        EXPECT_EQ(ConstMemory(*mapper->mmap("empty.txt")).size, 0u);
    }

    // one data bit, in the last leaf's part of the member
    const std::size_t at = std::search(archive.begin(), archive.end(), big.begin() + 60000, big.begin() + 60032) -
                           archive.begin();
    ASSERT_LT(at, archive.size());
    archive[at] ^= 0x10;
    EXPECT_EQ(errorOf(*open(archive), "a.bin"), "[mapper.rar] BLAKE2sp mismatch.");

    // the hash of another (empty) member
    Rar5File wrongEmpty { "empty.txt" };
    wrongEmpty.fileFlags = 0;
    wrongEmpty.extra = rar5HashRecord(blake2spOf(text("x")));
    EXPECT_EQ(errorOf(*open(rar5({ wrongEmpty })), "empty.txt"), "[mapper.rar] BLAKE2sp mismatch.");
}

TEST(RarMapper, BackslashNamesOfRar5ListAndOpenWithSlashes)
{
    auto mapper = open(rar5({ Rar5File { "dir\\sub\\file.txt", text("inside") } }));
    auto root = listing(*mapper, "");
    ASSERT_EQ(root.size(), 1u);
    EXPECT_TRUE(root["dir/"].isDirectory());
    EXPECT_TRUE(listing(*mapper, "dir/sub/").count("file.txt"));
    EXPECT_TRUE(mapper->isFile("dir/sub/file.txt"));
    EXPECT_EQ(mapText(*mapper, "dir/sub/file.txt"), "inside");
}
