// MGX archives from the test writer: every compression method, files spanning blocks, blocks
// shared by files, views of stored blocks, folders, both terminator forms, and tables that
// lie about counts, lengths, offsets, indices and methods.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include <unistd.h>

#include <norva/core/thread.hpp>
#include <norva/filesystem/file.hpp>

#include "archive/helpers.hpp"
#include "archive/mgx_writer.hpp"
#include "mapper_mgx.hpp"

using namespace norva;
using namespace norva::filesystem;
using namespace archive_test;

namespace
{
    // text that compresses, then bytes that do not
    Bytes sample(std::size_t size, u32 seed)
    {
        std::mt19937 rng(seed);
        Bytes out;
        const char* words[] = { "block ", "segment ", "archive ", "method ", "folder\n" };
        while (out.size() < size * 3 / 4)
        {
            append(out, std::string(words[rng() % 5]));
        }
        while (out.size() < size)
        {
            out.push_back(u8(rng()));
        }
        out.resize(size);
        return out;
    }

    std::unique_ptr<AbstractMapper> open(const Bytes& archive)
    {
        return createMapperMGX(view(archive), "");
    }

} // namespace

TEST(MgxArchives, EveryMethodMapsBackIdentically)
{
    for (u32 method = 0; method < COMPRESSION_METHOD_COUNT; ++method)
    {
        SCOPED_TRACE(getCompressor(method).name);
        const Bytes big = sample(300000, method);
        const Bytes small1 = sample(1000, 100 + method);
        const Bytes small2 = sample(3000, 200 + method);

        MgxWriter mgx;
        mgx.sharedTerminators = method % 2 == 1;
        mgx.addFolder("data/");
        mgx.addFile("data/big.bin", big, method, 65536); // five blocks, the last one short
        mgx.addSharedBlock({ { "data/one.txt", small1 }, { "two.txt", small2 } }, method);
        mgx.addFile("empty.txt", {}, method, 65536);
        const Bytes archive = mgx.build();

        auto mapper = open(archive);
        const auto root = listing(*mapper, "");
        ASSERT_EQ(root.size(), 3u);
        const u32 compressed = method ? u32(FileInfo::COMPRESSED) : 0;
        EXPECT_EQ(root.at("data/"), u32(FileInfo::DIRECTORY));
        EXPECT_EQ(root.at("two.txt"), compressed);
        EXPECT_EQ(listing(*mapper, "data/").size(), 2u);
        EXPECT_FALSE(mapper->isFile("data/"));
        EXPECT_TRUE(mapper->isFile("data/big.bin"));

        EXPECT_EQ(toBytes(mapper->mmap("data/big.bin")->memory), big);
        EXPECT_EQ(toBytes(mapper->mmap("data/one.txt")->memory), small1);
        EXPECT_EQ(toBytes(mapper->mmap("two.txt")->memory), small2);
        EXPECT_EQ(mapper->mmap("empty.txt")->memory.size, 0u);
    }
}

TEST(MgxArchives, SegmentsAssembleInOrderAcrossMethods)
{
    // one file made of pieces of several blocks, out of block order, one block used twice
    const Bytes a = sample(50000, 1), b = sample(40000, 2), c = sample(30000, 3);
    MgxWriter mgx;
    mgx.addBlock(7, a);  // lzma
    mgx.addBlock(0, b);  // stored
    mgx.addBlock(5, c);  // zstd
    MgxEntry mixed { "mixed.bin", 0, 0, { { 2, 100, 20000 }, { 1, 0, 40000 }, { 0, 0, 50000 }, { 2, 0, 100 }, { 0, 49000, 1000 } } };
    Bytes expected;
    for (const MgxSegment& s : mixed.segments)
    {
        const Bytes& source = s.block == 0 ? a : s.block == 1 ? b : c;
        expected.insert(expected.end(), source.begin() + s.offset, source.begin() + s.offset + s.size);
    }
    mixed.size = expected.size();
    mgx.entries.push_back(mixed);
    mgx.entries.push_back({ "stored_view.bin", 1000, 7, { { 1, 500, 1000 } } });
    mgx.entries.push_back({ "stored_pair.bin", 2000, 0, { { 1, 0, 1000 }, { 1, 1000, 1000 } } });
    mgx.entries.push_back({ "stored_and_packed.bin", 2000, 0, { { 1, 0, 1000 }, { 2, 0, 1000 } } });
    const Bytes archive = mgx.build();

    auto mapper = open(archive);
    EXPECT_EQ(toBytes(mapper->mmap("mixed.bin")->memory), expected);

    // a file in one stored block is the archive's own bytes; anything else is a copy
    auto viewed = mapper->mmap("stored_view.bin");
    EXPECT_TRUE(inside(viewed->memory, archive));
    EXPECT_EQ(toBytes(viewed->memory), Bytes(b.begin() + 500, b.begin() + 1500));
    auto pair = mapper->mmap("stored_pair.bin");
    EXPECT_FALSE(inside(pair->memory, archive));
    EXPECT_EQ(toBytes(pair->memory), Bytes(b.begin(), b.begin() + 2000));
    auto packed = mapper->mmap("stored_and_packed.bin");
    Bytes both(b.begin(), b.begin() + 1000);
    both.insert(both.end(), c.begin(), c.begin() + 1000);
    EXPECT_EQ(toBytes(packed->memory), both);
    EXPECT_EQ(listing(*mapper, "").at("stored_and_packed.bin"), u32(FileInfo::COMPRESSED));
    EXPECT_EQ(listing(*mapper, "").at("stored_pair.bin"), 0u);
}

TEST(MgxArchives, IdentifiersAndTerminatorsNameTheValueFound)
{
    struct Case
    {
        void (*knob)(MgxWriter&);
        const char* message;
    };
    const Case cases[] = {
        { [](MgxWriter& m) { m.fileIdentifier = 0x12345678; }, "[mapper.mgx] Incorrect file identifier (12345678)" },
        { [](MgxWriter& m) { m.trailerIdentifier = 0x3478676d; }, "[mapper.mgx] Incorrect header identifier (3478676d)" },
        { [](MgxWriter& m) { m.blockIdentifier = 0xdeadbeef; }, "[mapper.mgx] Incorrect block identifier (deadbeef)" },
        { [](MgxWriter& m) { m.blockTerminator = 0x3378676d; }, "[mapper.mgx] Incorrect block terminator (3378676d)" },
        { [](MgxWriter& m) { m.fileTableIdentifier = 0x3178676d; }, "[mapper.mgx] Incorrect block identifier (3178676d)" },
        { [](MgxWriter& m) { m.fileTableTerminator = 0; }, "[mapper.mgx] Incorrect block terminator (0)" },
        { [](MgxWriter& m) { m.blockTableOffset = ~u64(0) - 2; }, "[mapper.mgx] Incorrect block identifier (0)" },
        { [](MgxWriter& m) { m.fileTableOffset = u64(1) << 40; }, "[mapper.mgx] Incorrect block identifier (0)" },
        { [](MgxWriter& m) { m.blockCount = 0xffffffff; }, "[mapper.mgx] Corrupt file table." },
        // the first record's offset (4, right after "mgx0") where the terminator should be
        { [](MgxWriter& m) { m.blockCount = 0; }, "[mapper.mgx] Incorrect block terminator (4)" },
        { [](MgxWriter& m) { m.fileCount = 0x40000000; }, "[mapper.mgx] Corrupt file table." },
        { [](MgxWriter& m) { m.fileCount = 5; }, "[mapper.mgx] Corrupt file table." },
        { [](MgxWriter& m) { m.entries[0].nameLength = 0xfffffff0; }, "[mapper.mgx] Corrupt file table." },
        { [](MgxWriter& m) { m.entries[0].segmentCount = 0x20000000; }, "[mapper.mgx] Corrupt file table." },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.message);
        MgxWriter mgx;
        mgx.addFile("a.txt", sample(100, 1), 1, 1000);
        mgx.addFile("b.txt", sample(100, 2), 0, 1000);
        c.knob(mgx);
        const Bytes archive = mgx.build();
        EXPECT_EQ(errorOf([&] { open(archive); }), c.message);
    }

    EXPECT_EQ(errorOf([] { createMapperMGX(ConstMemory(), ""); }), "[mapper.mgx] Parent container doesn't have memory");
    const Bytes tiny = toBytes(std::string("mgx0mgx3"));
    EXPECT_EQ(errorOf([&] { open(tiny); }), "[mapper.mgx] Incorrect header identifier (0)");
}

TEST(MgxArchives, SegmentsThatLeadOutsideTheirBlocksAreRefusedBeforeAnyWork)
{
    const std::string outside = "[mapper.mgx] File \"f\" has mapped region outside of parent memory.";
    struct Case
    {
        const char* what;
        void (*knob)(MgxWriter&);
        std::string message;
    };
    const Case cases[] = {
        { "block index past the table", [](MgxWriter& m) { m.entries[0].segments[0].block = 2; },
          "[mapper.mgx] File \"f\" refers to block 2 of 2." },
        { "method above 9", [](MgxWriter& m) { m.blocks[0].tableMethod = 10; },
          "[mapper.mgx] Unsupported compression method (10)." },
        { "block past the archive", [](MgxWriter& m) { m.blocks[0].offset = 1u << 30; }, outside },
        { "block offset near 2^64", [](MgxWriter& m) { m.blocks[0].offset = ~u64(0) - 4; }, outside },
        { "compressed size near 2^64", [](MgxWriter& m) { m.blocks[0].compressedSize = ~u64(0); }, outside },
        { "segment past its block", [](MgxWriter& m) { m.entries[0].segments[1].offset = 1; }, outside },
        { "segment near 2^32", [](MgxWriter& m) { m.entries[0].segments[1].offset = 0xffffffff; }, outside },
        { "stored segment past the stored bytes", [](MgxWriter& m) { m.blocks[1].uncompressedSize = 1u << 20; m.entries[0].segments[1].size = 5000; m.entries[0].size += 5000 - 1000; }, outside },
        { "zlib block declaring more than deflate makes", [](MgxWriter& m) { m.blocks[0].method = 1; m.blocks[0].uncompressedSize = u64(1) << 40; },
          "[mapper.mgx] File \"f\" has a block larger than its data can hold." },
        { "sizes that do not add up", [](MgxWriter& m) { m.entries[0].size += 1; },
          "[mapper.mgx] File \"f\" segments do not add up to its size." },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        MgxWriter mgx;
        mgx.addBlock(2, sample(2000, 1));
        mgx.addBlock(0, sample(1000, 2));
        mgx.entries.push_back({ "f", 3000, 0, { { 0, 0, 2000 }, { 1, 0, 1000 } } });
        mgx.entries.push_back({ "g", 1000, 0, { { 1, 0, 1000 } } });
        c.knob(mgx);
        const Bytes archive = mgx.build();
        auto mapper = open(archive);
        EXPECT_EQ(errorOf([&] { mapper->mmap("f"); }), c.message);
    }
}

TEST(MgxArchives, FoldersAndMissingNamesAreNotFiles)
{
    MgxWriter mgx;
    mgx.addFolder("dir/");
    mgx.addFolder("dir/inner/");
    mgx.addFile("dir/inner/x.bin", sample(10, 1), 3, 100);
    mgx.addFile("../up.txt", sample(10, 2), 0, 100);
    mgx.addFile("/abs.txt", sample(10, 3), 0, 100);
    mgx.addFolder("/");
    mgx.addFolder("");
    const Bytes archive = mgx.build();
    auto mapper = open(archive);

    EXPECT_EQ(errorOf([&] { mapper->mmap("dir/"); }), "[mapper.mgx] File \"dir/\" not found.");
    EXPECT_EQ(errorOf([&] { mapper->mmap("nothing"); }), "[mapper.mgx] File \"nothing\" not found.");
    EXPECT_EQ(listing(*mapper, "dir/").at("inner/"), u32(FileInfo::DIRECTORY));
    EXPECT_EQ(listing(*mapper, "dir/inner/").at("x.bin"), u32(FileInfo::COMPRESSED));
    // names are keys, not host paths
    EXPECT_EQ(toBytes(mapper->mmap("../up.txt")->memory), sample(10, 2));
    EXPECT_EQ(toBytes(mapper->mmap("/abs.txt")->memory), sample(10, 3));
    EXPECT_TRUE(listing(*mapper, "../").count("up.txt"));
}

TEST(MgxArchives, CorruptBlockAmongGoodOnesThrowsOnTheCaller)
{
    // methods whose streams carry a checksum, so that flipped bytes always show
    for (u32 method : { 1u, 2u })
    {
        SCOPED_TRACE(getCompressor(method).name);
        MgxWriter mgx;
        const Bytes big = sample(400000, 9);
        mgx.addFile("big.bin", big, method, 32768);
        mgx.blocks[5].corrupt = true;
        const Bytes archive = mgx.build();
        auto mapper = open(archive);
        // the compressor's message reaches the caller once every task of the file is done
        const std::string error = errorOf([&] { mapper->mmap("big.bin"); });
        EXPECT_EQ(error.rfind(method == 1 ? "[miniz]" : "[bzip2]", 0), 0u) << error;
    }
}

TEST(MgxArchives, ArchivesNestInsideZipThroughPaths)
{
    MgxWriter mgx;
    const Bytes image = sample(5000, 77);
    mgx.addFolder("textures/");
    mgx.addFile("textures/c.png", image, 6, 2048);
    const Bytes inner = mgx.build();

    ZipBuilder zip;
    zip.add("b.mgx", inner, 8);
    const Bytes outer = zip.build();

    const std::filesystem::path folder = std::filesystem::temp_directory_path() /
        ("norva_mgx_nested_" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    std::ofstream((folder / "a.zip").string(), std::ios::binary).write(reinterpret_cast<const char*>(outer.data()), outer.size());
    {
        File file((folder / "a.zip/b.mgx/textures/c.png").string());
        EXPECT_EQ(toBytes(ConstMemory(file)), image);

        Path path((folder / "a.zip/").string());
        ASSERT_EQ(path.size(), 2u);
        EXPECT_EQ(path[0].name, "b.mgx");
        EXPECT_EQ(path[1].name, "b.mgx/");

        Path textures((folder / "a.zip/b.mgx/textures/").string());
        ASSERT_EQ(textures.size(), 1u);
        EXPECT_EQ(textures[0].name, "c.png");
    }
    std::filesystem::remove_all(folder);
}

TEST(MgxArchives, OneWorkerAndManyGiveTheSameBytes)
{
    MgxWriter mgx;
    const Bytes big = sample(600000, 5);
    mgx.addFile("big.bin", big, 8, 40000);
    const Bytes archive = mgx.build();
    for (u32 workers : { 1u, 4u })
    {
        ThreadPool pool(workers);
        auto mapper = filesystem::detail::createMapperMGX(view(archive), pool);
        EXPECT_EQ(toBytes(mapper->mmap("big.bin")->memory), big) << workers;
    }
}
