#include <gtest/gtest.h>

#include <norva/core/byte_reader.hpp>

using namespace norva;

namespace
{
    const u8 bytes[] = { 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x00, 0x00, 0x80, 0x3f };
}

TEST(Endian, LoadsAndStoresBothOrders)
{
    EXPECT_EQ(loadLE16(bytes), 0x0201u);
    EXPECT_EQ(loadBE16(bytes), 0x0102u);
    EXPECT_EQ(loadLE24(bytes), 0x030201u);
    EXPECT_EQ(loadBE24(bytes), 0x010203u);
    EXPECT_EQ(loadLE32(bytes + 1), 0x05040302u); // unaligned
    EXPECT_EQ(loadBE32(bytes + 1), 0x02030405u);
    EXPECT_EQ(loadLE64(bytes), 0x0807060504030201ull);
    EXPECT_EQ(loadBE64(bytes), 0x0102030405060708ull);

    u8 out[8] = {};
    storeBE32(out + 1, 0xA1B2C3D4u);
    EXPECT_EQ(out[1], 0xA1);
    EXPECT_EQ(out[4], 0xD4);
    storeLE16(out, 0xBEEF);
    EXPECT_EQ(out[0], 0xEF);
    EXPECT_EQ(out[1], 0xBE);
    storeLE64(out, 0x1122334455667788ull);
    EXPECT_EQ(loadLE64(out), 0x1122334455667788ull);
    storeBE64(out, 0x1122334455667788ull);
    EXPECT_EQ(out[0], 0x11);
    EXPECT_EQ(loadBE64(out), 0x1122334455667788ull);
}

TEST(ByteReader, ReadsFieldsInOrder)
{
    ByteReader r(ConstMemory(bytes, sizeof(bytes)));
    EXPECT_EQ(r.byte(), 0x01);
    EXPECT_EQ(r.be16(), 0x0203);
    EXPECT_EQ(r.le24(), 0x060504u);
    EXPECT_EQ(r.offset(), 6u);
    EXPECT_TRUE(r.skip(2));
    EXPECT_FLOAT_EQ(r.le32f(), 1.0f);
    EXPECT_TRUE(r.atEnd());
    EXPECT_TRUE(r.ok());
}

TEST(ByteReader, ShortReadsReturnZeroMoveNothingAndStick)
{
    // every width of read, started two bytes before the end
    struct Case
    {
        const char* name;
        u64 (*read)(ByteReader&);
    };
    const Case cases[] = {
        { "le24", [](ByteReader& r) { return u64(r.le24()); } },
        { "be32", [](ByteReader& r) { return u64(r.be32()); } },
        { "le64", [](ByteReader& r) { return r.le64(); } },
        { "order32", [](ByteReader& r) { return u64(r.order32(true)); } },
    };
    for (const Case& c : cases)
    {
        ByteReader r(bytes, sizeof(bytes));
        ASSERT_TRUE(r.seek(sizeof(bytes) - 2));
        EXPECT_EQ(c.read(r), 0u) << c.name;
        EXPECT_TRUE(r.isShort()) << c.name;
        EXPECT_EQ(r.remaining(), 2u) << c.name;
        // a later read that fits still works, and the flag stays
        EXPECT_EQ(r.le16(), 0x3f80) << c.name;
        EXPECT_TRUE(r.isShort()) << c.name;
    }
}

TEST(ByteReader, ViewsSkipsAndSeeksAreBounded)
{
    ByteReader r(bytes, sizeof(bytes));
    ConstMemory view = r.bytes(4);
    EXPECT_EQ(view.size, 4u);
    EXPECT_EQ(view.address, bytes);
    EXPECT_EQ(r.rest().size, sizeof(bytes) - 4);

    EXPECT_EQ(r.bytes(100).size, 0u);
    EXPECT_TRUE(r.isShort());
    EXPECT_EQ(r.offset(), 4u);

    ByteReader s(bytes, sizeof(bytes));
    EXPECT_FALSE(s.skip(~u64(0))); // no wrap-around of offset + count
    EXPECT_FALSE(s.seek(sizeof(bytes) + 1));
    EXPECT_TRUE(s.seek(sizeof(bytes))); // the end itself is a valid position
    EXPECT_EQ(s.peek(), -1);

    u8 copy[4] = { 9, 9, 9, 9 };
    ByteReader t(bytes, 2);
    EXPECT_FALSE(t.read(copy, 4));
    EXPECT_EQ(copy[0], 0);
    EXPECT_EQ(copy[3], 0);

    ByteReader empty;
    EXPECT_EQ(empty.byte(), 0);
    EXPECT_TRUE(empty.isShort());
}
