// RAR 3 names outside the Basic Multilingual Plane: the packed UTF-16 form holds them as
// surrogate pairs, and the listed name must be the real UTF-8 one, so that it opens.

#include <gtest/gtest.h>

#include <string>

#include <norva/filesystem/mapper.hpp>

#include "rar/rar_test_helpers.hpp"

using namespace norva;
using namespace norva::filesystem;
using namespace rartest;

TEST(RarNames, SurrogatePairsListAndOpenUnderTheirUtf8Name)
{
    struct Case
    {
        const char* what;
        Bytes units;          // the packed ops after "smile-" (copied from the ASCII name)
        std::string expected; // what lsar lists for the same archive
    };
    const Case cases[] = {
        // op 2 twice: the pair D83D DE00, then op 0 for each of ".txt"
        { "U+1F600", { 0xE8, 0x04, 0x3D, 0xD8, 0x00, 0xDE, '.', 0x00, 't', 'x', 't' },
          "smile-\xF0\x9F\x98\x80.txt" },
        // a high half with no low half after it stands for nothing
        { "lone high", { 0xE0, 0x04, 0x3D, 0xD8, '.', 't', 0x00, 'x', 't' }, "smile-\xEF\xBF\xBD.txt" },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        Bytes field = text("smile-_.txt");
        field.push_back(0);
        field.push_back(0); // high byte, unused by these ops
        putBytes(field, c.units);
        Rar4File member { "", text("grin") };
        member.nameField = field;
        member.flags |= 0x200;
        const Bytes archive = rar4({ member });

        auto mapper = createMapperRAR(ConstMemory(archive.data(), archive.size()), "");
        FileIndex index;
        mapper->getIndex(index, "");
        ASSERT_EQ(index.size(), 1u);
        EXPECT_EQ(index.begin()->name, c.expected);
        ASSERT_TRUE(mapper->isFile(c.expected));
        auto memory = mapper->mmap(c.expected);
        const ConstMemory bytes = *memory;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.address), bytes.size), "grin");
    }
}
