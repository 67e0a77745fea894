// The unpacker frame (data I/O, clamped flushes, input refill, dispatch) and the 2.9
// decoder on small streams from a test-side writer of Huffman tables.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "archive/rar/rar_unpack.hpp"
#include "rar/rar_test_helpers.hpp"

using namespace norva;
using namespace norva::filesystem::rar;
using rartest::BitWriter;

namespace
{
    constexpr u32 TABLE_SIZE = 404;
    constexpr u32 DIST_BASE = 299;

    // An LZ block header: fresh tables, a bit-length code giving every one of its 20
    // symbols 5 bits (symbol s is the code s), then the 404 lengths. `firstRepeat` starts
    // the lengths with a repeat of the (absent) previous length, n times.
    void writeTables(BitWriter& w, const std::vector<u8>& lengths, u32 firstRepeat = 0)
    {
        w.put(0, 1); // LZ
        w.put(0, 1); // not added to the previous tables
        for (int i = 0; i < 20; ++i)
            w.put(5, 4);
        u32 i = 0;
        if (firstRepeat)
        {
            w.put(16, 5);
            w.put(firstRepeat - 3, 3);
            i = firstRepeat;
        }
        while (i < TABLE_SIZE)
        {
            if (lengths[i])
            {
                w.put(lengths[i], 5);
                ++i;
                continue;
            }
            u32 run = 0;
            while (i + run < TABLE_SIZE && !lengths[i + run])
                ++run;
            if (run >= 11)
            {
                run = std::min(run, 138u);
                w.put(19, 5);
                w.put(run - 11, 7);
            }
            else if (run >= 3)
            {
                w.put(18, 5);
                w.put(run - 3, 3);
            }
            else
            {
                run = 1;
                w.put(0, 5);
            }
            i += run;
        }
    }

    // The end of the member: end-of-block, then "new file".
    void writeEnd(BitWriter& w, u32 endCode, int endBits)
    {
        w.put(endCode, endBits);
        w.put(0, 2);
        for (int i = 0; i < 8; ++i)
            w.put(0, 8);
    }

    std::string decode(const std::vector<u8>& packed, u64 unpackedSize, RarDecompressResult* result = nullptr)
    {
        std::string out(unpackedSize, '\0');
        RarDecompressResult r = rar_decompress(reinterpret_cast<u8*>(out.data()), packed.data(), unpackedSize,
                                               packed.size(), 29);
        out.resize(r.stored);
        if (result)
            *result = r;
        return out;
    }

} // namespace

TEST(RarMemoryIO, WritesStoreWhatFitsAndCountEverything)
{
    u8 destination[10] = {};
    RarMemoryIO io;
    io.destination = destination;
    io.destinationFree = sizeof(destination);
    const u8 data[11] = { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11 };
    io.write(data, 11);
    EXPECT_EQ(io.totalWritten, 11u);
    EXPECT_EQ(io.totalStored, 10u); // the part that fits, never a hole
    EXPECT_EQ(destination[9], 10);

    const u8 packed[5] = { 9, 8, 7, 6, 5 };
    io.packed = packed;
    io.packedReadable = io.packedUnconsumed = 5;
    u8 buffer[8];
    EXPECT_EQ(io.read(buffer, 3), 3);
    EXPECT_EQ(io.read(buffer, 8), 2);
    EXPECT_EQ(buffer[0], 6);
    EXPECT_EQ(io.read(buffer, 8), 0);
    EXPECT_EQ(io.totalRead, 5u);
}

TEST(RarUnpacker, FlushesAreClampedToTheExpectedSizeAndWrapInOrder)
{
    std::vector<u8> destination(16, 0xEE);
    RarMemoryIO io;
    io.destination = destination.data();
    io.destinationFree = destination.size();
    RarUnpacker unpacker(&io);
    unpacker.init();
    unpacker.window[WINDOW_SIZE - 2] = 'a';
    unpacker.window[WINDOW_SIZE - 1] = 'b';
    unpacker.window[0] = 'c';
    unpacker.window[1] = 'd';
    unpacker.destUnpSize = 3;
    unpacker.writeArea(WINDOW_SIZE - 2, 2); // the tail of the window, then its head
    EXPECT_EQ(std::string(destination.begin(), destination.begin() + 4), std::string("abc\xEE"));
    EXPECT_EQ(io.totalStored, 3u);
    EXPECT_EQ(unpacker.writtenFileSize, 4u);
    unpacker.writeArea(0, 2); // nothing more is expected
    EXPECT_EQ(io.totalStored, 3u);
}

TEST(RarUnpacker, RefillMovesTheUnreadBytesAndKeepsZeroSlack)
{
    std::vector<u8> packed(100000, 0x55);
    RarMemoryIO io;
    io.packed = packed.data();
    io.packedReadable = io.packedUnconsumed = packed.size();
    RarUnpacker unpacker(&io);
    unpacker.init();
    ASSERT_TRUE(unpacker.refillInput());
    EXPECT_EQ(unpacker.readTop, 0x8000);
    unpacker.input.bytePos = 0x8000 - 20;
    unpacker.input.data()[0x8000 - 20] = 0x77;
    ASSERT_TRUE(unpacker.refillInput());
    EXPECT_EQ(unpacker.input.bytePos, 0u);
    EXPECT_EQ(unpacker.input.data()[0], 0x77);
    EXPECT_EQ(unpacker.readTop, 20 + ((0x8000 - 20) & ~15));
    EXPECT_EQ(unpacker.readBorder, unpacker.readTop - 30);

    // past the data the reader sees zeros, not bytes of an earlier fill
    io.packedReadable = 0;
    unpacker.input.bytePos = u32(unpacker.readTop);
    ASSERT_TRUE(unpacker.refillInput());
    for (u32 i = 0; i < BIT_SLACK; ++i)
        ASSERT_EQ(unpacker.input.data()[unpacker.readTop + i], 0);
    unpacker.input.bytePos = u32(unpacker.readTop) + 1;
    EXPECT_FALSE(unpacker.refillInput());
}

TEST(RarUnpacker, DispatchByVersion)
{
    const std::vector<u8> packed(64, 0);
    for (u32 version : { 0u, 30u, 50u })
    {
        std::string out(8, '\0');
        RarDecompressResult r = rar_decompress(reinterpret_cast<u8*>(out.data()), packed.data(), 8, packed.size(), version);
        EXPECT_EQ(r.stored, 0u) << version;
        EXPECT_EQ(r.failure, nullptr);
    }
    // the older decoders run: zero bits are valid 1.5 and 2.0 data (for 2.0 a header of
    // empty tables, each length and symbol then taking 15 bits), which decode to the full size
    const std::vector<u8> zeros(2048, 0);
    for (u32 version : { 15u, 20u, 26u })
    {
        std::string out(8, '\x55');
        RarDecompressResult r = rar_decompress(reinterpret_cast<u8*>(out.data()), zeros.data(), 8, zeros.size(), version);
        EXPECT_FALSE(r.unsupported) << version;
        EXPECT_EQ(r.failure, nullptr) << version;
        EXPECT_EQ(r.stored, 8u) << version;
    }
}

TEST(RarUnpacker, MatchCopiesWrapAroundTheWindow)
{
    RarMemoryIO io;
    RarUnpacker unpacker(&io);
    unpacker.init();
    for (u32 i = 0; i < 4; ++i)
        unpacker.window[WINDOW_SIZE - 8 + i] = u8('a' + i);
    unpacker.unpPtr = WINDOW_SIZE - 4;
    unpacker.copyMatch29(12, 4); // "abcd" three times, across the end
    EXPECT_EQ(unpacker.unpPtr, 8u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(unpacker.window + WINDOW_SIZE - 4), 4), "abcd");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(unpacker.window), 8), "abcdabcd");

    // a source before position 0 is the window's end
    unpacker.unpPtr = 2;
    unpacker.copyMatch29(3, 6);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(unpacker.window + 2), 3), "abc");
}

TEST(RarDecode29, LiteralsMatchesAndTheEnd)
{
    // main table: 'A' 1 bit ("0"), 256 (end of block) "10", length symbol 278 (10 bytes)
    // "11"; distance table: slot 0 (distance 1) "0".
    std::vector<u8> lengths(TABLE_SIZE, 0);
    lengths['A'] = 1;
    lengths[256] = 2;
    lengths[278] = 2;
    lengths[DIST_BASE + 0] = 1;
    BitWriter w;
    writeTables(w, lengths);
    w.put(0, 1);    // A
    w.put(3, 2);    // match of 10 ...
    w.put(0, 1);    // ... at distance 1: the previous byte ten times
    w.put(0, 1);    // A
    writeEnd(w, 2, 2);
    EXPECT_EQ(decode(w.bytes, 12), std::string(12, 'A'));

    // The expected size caps the output; a stream that ends early is short, never padded.
    EXPECT_EQ(decode(w.bytes, 5), std::string(5, 'A'));
    RarDecompressResult r;
    EXPECT_EQ(decode(w.bytes, 40, &r).size(), 12u);
    EXPECT_EQ(r.stored, 12u);
    std::vector<u8> truncated(w.bytes.begin(), w.bytes.begin() + w.bytes.size() / 2);
    EXPECT_LT(decode(truncated, 12).size(), 12u);
}

TEST(RarDecode29, RepeatBeforeAnyMatchAndARepeatCodeAtTheFirstLength)
{
    // 258 (repeat the last match) before any match copies nothing.
    std::vector<u8> lengths(TABLE_SIZE, 0);
    lengths['B'] = 1;
    lengths[256] = 2;
    lengths[258] = 2;
    BitWriter w;
    writeTables(w, lengths, 10); // the first ten lengths come from a repeat code: zeros
    w.put(3, 2);                 // 258
    w.put(0, 1);                 // B
    w.put(3, 2);                 // 258
    w.put(0, 1);                 // B
    writeEnd(w, 2, 2);
    EXPECT_EQ(decode(w.bytes, 2), "BB");
}

TEST(RarDecode29, DamagedStreamsEndCleanly)
{
    // Zeros, ones and a filter flood: the decoder must stop by itself with what it has.
    std::vector<u8> lengths(TABLE_SIZE, 0);
    lengths['C'] = 1;
    lengths[257] = 1; // every "1" registers a filter
    BitWriter w;
    writeTables(w, lengths);
    for (int i = 0; i < 20000; ++i)
    {
        w.put(1, 1);            // 257
        w.put(0x80 | 0x20, 8);  // new filter number follows, block length follows
        w.put(0, 8);            // code length 1 byte ... the rest is whatever follows
    }
    for (const std::vector<u8>& packed : { w.bytes, std::vector<u8>(5000, 0), std::vector<u8>(5000, 0xFF) })
    {
        RarDecompressResult r;
        decode(packed, 100000, &r);
        EXPECT_LT(r.stored, 100000u);
    }
}

TEST(RarDecode29, FilterRegistrationIsBounded)
{
    // main table: 256 (end of block) "0", 257 (filter code) "1"
    std::vector<u8> lengths(TABLE_SIZE, 0);
    lengths[256] = 1;
    lengths[257] = 1;

    // The first filter is new: number 1 (filter 0), block at 0 of 65535 bytes, one byte of
    // bytecode. Every later one reuses it for another block of 65535 bytes that never comes,
    // so each stays pending.
    auto firstFilter = [](BitWriter& w) {
        w.put(1, 1);
        w.put(0xA5, 8);                      // 0x80 number, 0x20 length, 6 code bytes
        BitWriter code;
        code.put(1, 6);                      // number 1
        code.put(0, 6);                      // block start 0
        code.put(2, 2);
        code.put(0xFFFF, 16);                // block length
        code.put(1, 6);                      // one byte of bytecode
        code.put(0, 8);
        code.bytes.resize(6);
        for (u8 b : code.bytes)
            w.put(b, 8);
    };
    auto pendingFilter = [](BitWriter& w) {
        w.put(1, 1);
        w.put(0x22, 8);                      // the last filter again, 0x20 length, 3 code bytes
        w.put(0, 6);                         // block start 0
        w.put(2, 2);
        w.put(0xFFFF, 16);                   // block length
    };

    {
        BitWriter w;
        writeTables(w, lengths);
        firstFilter(w);
        for (u32 i = 0; i < MAX_PENDING_FILTERS + 10; ++i)
            pendingFilter(w);
        writeEnd(w, 0, 1);
        RarDecompressResult r;
        decode(w.bytes, 1000, &r);
        ASSERT_NE(r.failure, nullptr);
        EXPECT_STREQ(r.failure, "too many pending filters");
    }
    {
        // a filter number beyond the known filters ends the member
        BitWriter w;
        writeTables(w, lengths);
        w.put(1, 1);
        w.put(0x80, 8);                      // one code byte: the number
        w.put(5, 6);                         // filter 4 of none
        w.put(0, 2);
        writeEnd(w, 0, 1);
        RarDecompressResult r;
        EXPECT_EQ(decode(w.bytes, 10, &r), "");
    }
}
