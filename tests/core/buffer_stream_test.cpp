#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

#include <norva/core/exception.hpp>
#include <norva/core/stream.hpp>

using namespace norva;

TEST(Buffer, GrowsBySevenFifths)
{
    Buffer b;
    EXPECT_EQ(b.data(), nullptr);
    EXPECT_EQ(b.alignment(), 64u);

    u8 bytes[16];
    std::iota(bytes, bytes + 16, u8(0));
    b.append(bytes, 10);
    EXPECT_EQ(b.size(), 10u);
    EXPECT_EQ(b.capacity(), 14u);
    b.append(bytes + 10, 1);
    EXPECT_EQ(b.capacity(), 14u);
    b.append(bytes + 11, 4);
    EXPECT_EQ(b.size(), 15u);
    EXPECT_EQ(b.capacity(), 21u);
    EXPECT_EQ(std::memcmp(b.data(), bytes, 15), 0);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b.data()) % 64, 0u);
}

TEST(Buffer, ResizeAndReset)
{
    Buffer b(100, Alignment(128));
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b.data()) % 128, 0u);
    std::memset(b.data(), 0xAB, 100);
    u8* block = b.data();

    b.resize(40); // shrinking keeps the block
    EXPECT_EQ(b.size(), 40u);
    EXPECT_EQ(b.capacity(), 100u);
    EXPECT_EQ(b.data(), block);

    b.resize(300); // growing allocates exactly, keeps the old bytes
    EXPECT_EQ(b.size(), 300u);
    EXPECT_EQ(b.capacity(), 300u);
    EXPECT_EQ(b[39], 0xAB);

    b.reset();
    EXPECT_EQ(b.data(), nullptr);
    EXPECT_EQ(b.size(), 0u);
    EXPECT_EQ(b.capacity(), 0u);
    EXPECT_EQ(b.alignment(), 128u);

    Buffer moved(std::move(b));
    EXPECT_EQ(moved.alignment(), 128u);
}

TEST(Buffer, AppendingItsOwnBytesWhileGrowing)
{
    Buffer b;
    b.append("abcd", 4);
    for (int i = 0; i < 6; ++i)
    {
        b.append(b.data(), b.size()); // grows every time: the source is the block being replaced
    }
    ASSERT_EQ(b.size(), 256u);
    for (u64 i = 0; i < b.size(); ++i)
    {
        ASSERT_EQ(b[i], u8("abcd"[i % 4])) << i;
    }
}

TEST(Buffer, ImpossibleAllocationThrows)
{
    Buffer b;
    EXPECT_THROW(b.resize(u64(1) << 62), Exception);
    EXPECT_EQ(b.size(), 0u);
}

TEST(AlignedMalloc, AlignsAndRefusesOddAlignments)
{
    for (u32 alignment : { 1u, 8u, 64u, 4096u })
    {
        void* p = alignedMalloc(100, alignment);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % alignment, 0u) << alignment;
        alignedFree(p);
    }
    alignedFree(nullptr);

    try
    {
        alignedMalloc(100, 48);
        FAIL() << "no throw";
    }
    catch (const Exception& e)
    {
        EXPECT_STREQ(e.what(), "[Memory] Alignment 48 is not a power of two.");
        EXPECT_EQ(e.getFunction(), "norva::alignedMalloc");
    }
}

TEST(MemoryStream, SeekClampsToTheEnd)
{
    MemoryStream s;
    s.write("abc", 3);
    EXPECT_EQ(s.offset(), 3u);

    s.seek(5, Stream::END);
    EXPECT_EQ(s.offset(), 0u);
    s.seek(1, Stream::END);
    EXPECT_EQ(s.offset(), 2u);
    s.seek(100, Stream::CURRENT);
    EXPECT_EQ(s.offset(), 3u);
    s.seek(~u64(0), Stream::CURRENT); // no wrap-around
    EXPECT_EQ(s.offset(), 3u);
    s.seek(1, Stream::BEGIN);
    s.seek(7, 9); // unknown mode leaves the offset alone
    EXPECT_EQ(s.offset(), 1u);
    s.seek(100, Stream::BEGIN);
    EXPECT_EQ(s.offset(), 3u);
}

TEST(MemoryStream, WriteOverwritesThenAppends)
{
    MemoryStream s;
    s.write("0123", 4);
    s.seek(2, Stream::BEGIN);
    s.write("ABCDEFGHIJ", 10);
    EXPECT_EQ(s.offset(), 12u);
    EXPECT_EQ(s.size(), 12u);
    ConstMemory m = s;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(m.address), m.size), "01ABCDEFGHIJ");
}

TEST(MemoryStream, ReadingPastTheEndThrowsAndKeepsTheOffset)
{
    MemoryStream s;
    s.write("xyz", 3);
    s.seek(1, Stream::BEGIN);

    char out[4] = {};
    s.read(out, 2);
    EXPECT_STREQ(out, "yz");
    EXPECT_EQ(s.offset(), 3u);

    try
    {
        s.read(out, 1);
        FAIL() << "no throw";
    }
    catch (const Exception& e)
    {
        EXPECT_STREQ(e.what(), "[MemoryStream] Reading past end of buffer.");
        EXPECT_EQ(e.getFunction(), "norva::MemoryStream::read");
    }
    EXPECT_EQ(s.offset(), 3u);

    s.seek(0, Stream::BEGIN);
    EXPECT_THROW(s.read(out, 4), Exception);
    EXPECT_EQ(s.offset(), 0u);
    s.read(out, 0);
    EXPECT_EQ(s.offset(), 0u);
}
