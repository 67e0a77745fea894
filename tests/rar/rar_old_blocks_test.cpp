// What RAR 2.x archives hold beyond file blocks, from the test-side writer: old sub-blocks
// whose header CRC covers the data after the header (Unix owners, Mac file info), AV and
// signature blocks, and padding after the last block of an archive written without an end
// block. The intact archives are also read by lsar, which must list every member of each.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
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
    const Bytes first = text("hello\n");

    Bytes second()
    {
        Bytes out(768);
        for (std::size_t i = 0; i < out.size(); ++i)
            out[i] = u8(i * 13 + (i >> 7));
        return out;
    }

    Rar4File member(const std::string& name, const Bytes& data)
    {
        Rar4File f { name, data };
        f.version = 20;
        return f;
    }

    // A RAR 2.0 archive of two stored members, `between` after the first one's header and
    // data (where the archiver puts the blocks that describe it), without an end block as
    // RAR 2.0 writes it.
    Bytes rar20(const Bytes& between = Bytes(), const Bytes& after = Bytes())
    {
        Bytes a = rar4Signature();
        putBytes(a, rar4Main());
        putBytes(a, rar4FileBlock(member("a.txt", first)));
        putBytes(a, between);
        putBytes(a, rar4FileBlock(member("b.bin", second())));
        putBytes(a, after);
        return a;
    }

    struct Case
    {
        std::string what;
        Bytes archive;
        const char* message; // null: opens, every member whole
    };

    const char* const crcError = "[mapper.rar] Header CRC error.";
    const char* const cut = "[mapper.rar] The archive is cut short.";
    const char* const damaged = "[mapper.rar] Damaged header.";

    Bytes flipped(Bytes bytes, std::size_t at)
    {
        bytes[at] ^= 0x01;
        return bytes;
    }

    std::vector<Case> oldBlockCases()
    {
        const Bytes owner = rar4UnixOwner("root", "root");
        const Bytes macFields = text("TEXTttxt"); // file type and creator
        const Bytes mac = rar4OldSubBlock(0x102, macFields, text("resource fork"));
        const std::size_t ownerAt = rar20().size() - (rar4FileBlock(member("b.bin", second())).size());
        const std::size_t namesAt = ownerAt + owner.size() - 8;

        std::vector<Case> cases = {
            { "Unix owner", rar20(owner), nullptr },
            { "Mac file info with data", rar20(mac), nullptr },
            { "Mac file info, CRC over the header alone", rar20(rar4OldSubBlock(0x102, macFields, text("xyz"), false)), nullptr },
            { "Mac file info without data", rar20(rar4OldSubBlock(0x102, macFields, Bytes())), nullptr },
            { "owner and Mac info together", rar20(owner, mac), nullptr },
            // old AV and signature blocks: their CRC was never set to cover the whole header
            { "AV block, CRC zero", rar20(Bytes { 0, 0, 0x76, 0, 0, 14, 0, 1, 2, 3, 4, 5, 6, 7 }), nullptr },
            { "signature block, CRC zero", rar20(Bytes { 0, 0, 0x79, 0, 0, 14, 0, 1, 2, 3, 4, 5, 6, 7 }), nullptr },

            { "a byte of the owner name changed", flipped(rar20(owner), namesAt + 1), crcError },
            { "a byte of the group name changed", flipped(rar20(owner), namesAt + 7), crcError },
            { "the owner block's CRC changed", flipped(rar20(owner), ownerAt), crcError },
            { "a name length changed", flipped(rar20(owner), ownerAt + 14), crcError },
            { "a byte of the Mac data changed", flipped(rar20(mac), ownerAt + mac.size() - 3), crcError },
        };
        // the names cut by the end of the file
        Bytes cutNames = rar20(owner);
        cutNames.resize(namesAt + 4);
        cases.push_back({ "owner names cut", cutNames, cut });
        return cases;
    }

    std::vector<Case> paddingCases()
    {
        std::vector<Case> cases;
        for (const u8 value : { 0x00, 0x1A })
        {
            for (const std::size_t count : { 3, 7, 100, 128 })
            {
                cases.push_back({ std::to_string(count) + " bytes of " + std::to_string(value),
                                  rar20(Bytes(), Bytes(count, value)), nullptr });
            }
            // one or two may be what is left of a header's CRC: the archive is refused
            // rather than listed short
            for (const std::size_t count : { 1, 2 })
            {
                cases.push_back({ std::to_string(count) + " bytes of " + std::to_string(value),
                                  rar20(Bytes(), Bytes(count, value)), cut });
            }
        }
        const Bytes third = rar4FileBlock(member("c.txt", text("ccc")));
        cases.push_back({ "3 bytes of a header", rar20(Bytes(), Bytes(third.begin(), third.begin() + 3)), cut });
        cases.push_back({ "a header without its name", rar20(Bytes(), Bytes(third.begin(), third.begin() + 30)), cut });
        cases.push_back({ "a header without its data", rar20(Bytes(), Bytes(third.begin(), third.end() - 1)), cut });
        cases.push_back({ "padding values mixed", rar20(Bytes(), Bytes { 0x1A, 0x1A, 0x00 }), cut });
        cases.push_back({ "other bytes", rar20(Bytes(), text("\x01\x02\x03")), cut });
        Bytes lastOther(127, 0x1A);
        lastOther.push_back(0x01);
        cases.push_back({ "padding that ends in another byte", rar20(Bytes(), lastOther), cut });
        Bytes zerosThenType(6, 0x00);
        zerosThenType.push_back(0x74);
        cases.push_back({ "zeros before another byte", rar20(Bytes(), zerosThenType), cut });
        // padding is what follows the last block, never what stands in for a block
        cases.push_back({ "padding before a block", rar20(Bytes(7, 0x00)), damaged });
        return cases;
    }

    void expectOutcome(const Case& c)
    {
        SCOPED_TRACE(c.what);
        try
        {
            auto mapper = createMapperRAR(ConstMemory(c.archive.data(), c.archive.size()), "");
            FileIndex index;
            mapper->getIndex(index, "");
            EXPECT_EQ(c.message, nullptr) << "opened";
            EXPECT_EQ(index.size(), 2u);
            auto mapped = [&](const std::string& name) {
                const auto memory = mapper->mmap(name);
                const ConstMemory bytes = *memory;
                return Bytes(bytes.address, bytes.address + bytes.size);
            };
            EXPECT_EQ(mapped("a.txt"), first);
            EXPECT_EQ(mapped("b.bin"), second());
        }
        catch (const Exception& e)
        {
            EXPECT_STREQ(e.what(), c.message ? c.message : "no exception");
            EXPECT_EQ(e.getFunction(), "norva::filesystem::MapperRAR::parse");
        }
    }

    bool haveLsar()
    {
        return std::system("command -v lsar > /dev/null 2>&1") == 0;
    }

    // lsar -t on the archive: its last line, "N passed, M failed." when it read the archive.
    std::string lsarTest(const Bytes& archive)
    {
        // one folder per archive: lsar takes names that differ in digits for volumes of one set
        const std::filesystem::path folder =
            std::filesystem::temp_directory_path() / ("norva_rar_lsar_" + std::to_string(::getpid()));
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        const std::string path = (folder / "archive.rar").string();
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(archive.data()), std::streamsize(archive.size()));
        const std::string out = (folder / "out").string();
        std::system(("lsar -t '" + path + "' > '" + out + "' 2> /dev/null").c_str());
        std::ifstream lines(out);
        std::string line, last;
        while (std::getline(lines, line))
            if (!line.empty())
                last = line;
        std::filesystem::remove_all(folder);
        return last;
    }

} // namespace

TEST(RarOldBlocks, OwnerAndMacInfoSubBlocksAreCheckedOverTheirData)
{
    // The block as the archiver writes it for owner and group "root".
    const Bytes expected = { 0xc3, 0x1f, 0x77, 0x00, 0x80, 0x12, 0x00, 0x08, 0x00, 0x00, 0x00, 0x01, 0x01,
                             0x00, 0x04, 0x00, 0x04, 0x00, 'r', 'o', 'o', 't', 'r', 'o', 'o', 't' };
    EXPECT_EQ(rar4UnixOwner("root", "root"), expected);

    for (const Case& c : oldBlockCases())
        expectOutcome(c);
}

TEST(RarOldBlocks, PaddingAfterTheLastBlockIsNotACutHeader)
{
    for (const Case& c : paddingCases())
        expectOutcome(c);
}

TEST(RarOldBlocks, LsarListsEveryMemberOfTheArchivesThatOpen)
{
    if (!haveLsar())
        GTEST_SKIP() << "lsar is not installed (tools/packages.d/rar.txt has it)";
    int checked = 0;
    for (const std::vector<Case>& cases : { oldBlockCases(), paddingCases() })
    {
        for (const Case& c : cases)
        {
            if (c.message)
                continue;
            SCOPED_TRACE(c.what);
            EXPECT_EQ(lsarTest(c.archive), "2 passed, 0 failed.");
            ++checked;
        }
    }
    EXPECT_GE(checked, 15);
}
