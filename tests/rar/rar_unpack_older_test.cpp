// The RAR 1.5 and 2.0 decoders on hand-built bit streams (no tool here writes RAR): the
// adaptive tables and averages of 1.5 traced item by item, the 2.0 table headers, match
// history and audio predictor, solid continuation, and damaged or hostile streams, which
// must end by themselves without reaching outside the window.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <norva/core/crc32.hpp>
#include <norva/core/endian.hpp>
#include <norva/core/exception.hpp>
#include <norva/filesystem/mapper.hpp>

#include "archive/rar/rar_unpack.hpp"
#include "rar/rar_test_helpers.hpp"

using namespace norva;
using namespace norva::filesystem::rar;
using rartest::BitWriter;

namespace
{
    // A fixed 1.5 code given as runs: values up to `last` have codes of `length` bits.
    struct Run
    {
        u8 length;
        u32 last;
    };

    class FixedCode
    {
    public:
        FixedCode(std::initializer_list<Run> runs)
        {
            for (const Run& run : runs)
                lengths.resize(run.last + 1, run.length);
            codes = rartest::canonicalCodes(lengths);
        }

        void put(BitWriter& w, u32 value) const
        {
            w.put(codes.at(value), lengths.at(value));
        }

        std::vector<u8> lengths;
        std::vector<u32> codes;
    };

    const FixedCode placeCode0 { { 4, 7 }, { 5, 15 }, { 6, 23 }, { 7, 32 }, { 12, 256 } };
    const FixedCode placeCode1 { { 5, 3 }, { 6, 43 }, { 7, 59 }, { 8, 75 }, { 9, 79 }, { 11, 126 }, { 12, 256 } };
    const FixedCode placeCode2 { { 5, 1 }, { 6, 6 }, { 7, 52 }, { 8, 116 }, { 9, 232 }, { 10, 256 } };
    const FixedCode placeCode4 { { 8, 254 }, { 9, 256 } };

    std::string unpack(const std::vector<u8>& packed, u64 size, u32 version, RarDecompressResult* result = nullptr)
    {
        std::string out(size, '\0');
        RarDecompressResult r = rar_decompress(reinterpret_cast<u8*>(out.data()), packed.data(), size, packed.size(),
                                               version);
        out.resize(r.stored);
        if (result)
            *result = r;
        return out;
    }

    // A 2.0 table header: `lengths` are the code lengths wanted (298 + 48 + 28 for LZ,
    // 257 per channel for audio), sent as differences from `kept` when it is given. The
    // bit-length code gives each of its 19 symbols 5 bits, so symbol s is written as s.
    void writeTables20(BitWriter& w, const std::vector<u8>& lengths, const std::vector<u8>* kept = nullptr,
                       int channels = 0, u32 firstRepeat = 0)
    {
        w.put(channels ? 1 : 0, 1);
        w.put(kept ? 1 : 0, 1);
        if (channels)
            w.put(u32(channels - 1), 2);
        for (int i = 0; i < 19; ++i)
            w.put(5, 4);
        auto keptAt = [&](std::size_t i) { return kept && i < kept->size() ? (*kept)[i] : u8(0); };
        std::size_t i = 0;
        if (firstRepeat)
        {
            // code 16 first: a repeat of a previous length that does not exist
            w.put(16, 5);
            w.put(firstRepeat - 3, 2);
            i = firstRepeat;
        }
        while (i < lengths.size())
        {
            std::size_t run = 0;
            while (i + run < lengths.size() && !lengths[i + run] && !keptAt(i + run))
                ++run;
            if (run >= 11)
            {
                run = std::min<std::size_t>(run, 138);
                w.put(18, 5);
                w.put(u32(run - 11), 7);
                i += run;
            }
            else if (run >= 3)
            {
                w.put(17, 5);
                w.put(u32(run - 3), 3);
                i += run;
            }
            else
            {
                w.put((lengths[i] - keptAt(i)) & 15, 5);
                ++i;
            }
        }
    }

    constexpr u32 LZ20 = 298 + 48 + 28;
    constexpr u32 DIST20 = 298;
    constexpr u32 REP20 = 298 + 48;

    // Symbols of one 2.0 table written with the canonical code of its lengths.
    struct Table20
    {
        explicit Table20(const std::vector<u8>& lengths, std::size_t offset, std::size_t size)
            : lengths(lengths.begin() + offset, lengths.begin() + offset + size)
            , codes(rartest::canonicalCodes(this->lengths))
        {
        }

        void put(BitWriter& w, u32 symbol) const
        {
            ASSERT_NE(lengths.at(symbol), 0) << symbol;
            w.put(codes[symbol], lengths[symbol]);
        }

        std::vector<u8> lengths;
        std::vector<u32> codes;
    };

    // Members of one solid stream, one after another through the same unpacker.
    struct SolidStream
    {
        SolidStream()
        {
            unpacker.init();
        }

        std::string next(const std::vector<u8>& packed, u64 size, u32 version, bool solid)
        {
            std::string out(size, '\0');
            io.init();
            io.packed = packed.data();
            io.packedReadable = io.packedUnconsumed = packed.size();
            io.destination = reinterpret_cast<u8*>(out.data());
            io.destinationFree = size;
            unpacker.destUnpSize = s64(size);
            unpacker.unpack(version, solid);
            out.resize(io.totalStored);
            return out;
        }

        RarMemoryIO io;
        RarUnpacker unpacker { &io };
    };

    struct StreamCase
    {
        const char* what;
        std::vector<u8> packed;
        std::string expected;
    };

    // Each stream decodes to exactly its expected bytes when that many are asked for.
    void expectDecodes(const std::vector<StreamCase>& cases, u32 version)
    {
        for (const StreamCase& c : cases)
        {
            SCOPED_TRACE(c.what);
            RarDecompressResult r;
            EXPECT_EQ(unpack(c.packed, c.expected.size(), version, &r), c.expected);
            EXPECT_EQ(r.failure, nullptr);
        }
    }

    // The first member of a corpus archive: its packed stream and header fields. The file
    // block follows the 7-byte marker and the 13-byte main block.
    struct FirstMember
    {
        std::vector<u8> packed;
        u32 unpackedSize = 0;
        u32 crc = 0;
        u32 version = 0;
    };

    bool readFirstMember(const std::string& archive, FirstMember& member)
    {
        std::ifstream file(rartest::corpusRoot() + archive, std::ios::binary);
        const std::vector<u8> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        if (bytes.size() < 20 + 32 || bytes[22] != 0x74)
            return false;
        const u8* block = bytes.data() + 20;
        const u32 headerSize = loadLE16(block + 5);
        const u32 packedSize = loadLE32(block + 7);
        if (20 + headerSize + u64(packedSize) > bytes.size())
            return false;
        member.packed.assign(block + headerSize, block + headerSize + packedSize);
        member.unpackedSize = loadLE32(block + 11);
        member.crc = loadLE32(block + 16);
        member.version = block[24];
        return true;
    }

    void pad(BitWriter& w)
    {
        for (int i = 0; i < 8; ++i)
            w.put(0, 8);
    }

} // namespace

TEST(RarUnpack15, FixedCodesAreTheCanonicalCodesOfTheirLengths)
{
    // the examples that pin the code construction the streams below are written with
    EXPECT_EQ(placeCode2.codes[0], 0u);
    EXPECT_EQ(placeCode2.codes[1], 1u);
    EXPECT_EQ(placeCode2.codes[2], 0x04u);
    EXPECT_EQ(placeCode2.lengths[2], 6);
    EXPECT_EQ(placeCode4.codes[254], 0xFEu);
    EXPECT_EQ(placeCode4.codes[255], 0x1FEu);
    EXPECT_EQ(placeCode4.codes[256], 0x1FFu);
}

TEST(RarUnpack15, ItemsTracedThroughTheAdaptiveTables)
{
    std::vector<StreamCase> cases;

    {
        // Flags place 1 is 0xFF; at the initial literal average of 0x3500 the literal
        // comes through placeCode1, and place 0x41 holds 'A'.
        BitWriter w;
        placeCode2.put(w, 1);
        placeCode1.put(w, 0x41);
        pad(w);
        cases.push_back({ "first literal", w.bytes, "A" });
    }
    for (const bool far : { false, true })
    {
        // Flags 0xFB (place 5): five literals, then 01, which is a long match while the
        // literal weight is ahead, then a literal. The length value 0 is the single bit 1.
        // Distance 5 (long-distance place 0, low bits 5) copies 3 + 8 bytes; distance
        // 0x3000 (place 96, which holds 96) copies 3 + 1, from the zeroed window.
        BitWriter w;
        placeCode2.put(w, 5);
        for (u32 c = 'a'; c <= 'e'; ++c)
            placeCode1.put(w, c);
        w.put(1, 1);
        placeCode0.put(w, far ? 96 : 0);
        w.put(far ? 0 : 5, 7);
        placeCode1.put(w, 'z');
        pad(w);
        cases.push_back({ far ? "long match, distance 0x3000" : "long match, distance 5", w.bytes,
                          far ? std::string("abcde\0\0\0\0z", 10) : "abcdeabcdeabcdeaz" });
    }
    {
        // Flags 0xC0 (place 64): 'a', 'b', then three short matches: code 0 with short
        // place 1 (distance 2, length 2), then two repeats (code 9, "1100"). Flags place 64
        // now holds 0x00; the second flags byte is 0x08 (place 248): with two repeats
        // counted, the next short match opens with a bit, 1 repeats again; the next one's
        // 0 bit clears the count and code 0 follows, whose place 0 is distance 2 after the
        // swap; then a literal.
        BitWriter w;
        placeCode2.put(w, 64);
        placeCode1.put(w, 'a');
        placeCode1.put(w, 'b');
        w.put(0, 1);
        placeCode2.put(w, 1);
        w.put(0xC, 4);
        w.put(0xC, 4);
        placeCode2.put(w, 248);
        w.put(1, 1);
        w.put(0, 1);
        w.put(0, 1);
        placeCode2.put(w, 0);
        placeCode1.put(w, 'z');
        pad(w);
        cases.push_back({ "short matches and repeats", w.bytes, "ababababababz" });
    }
    {
        // Three flags bytes of 0xFF (place 1, then place 0 where it moved) give 24
        // literals; the last one, with the flags used up after 16 literals in a row, turns
        // on stream mode. There value v is place v - 1 ('b' is 0x63, 256 is place 255 with
        // 0xFF), 0 escapes: bits 0, 0 and a short distance (place 0, low bits 2) copy 3
        // bytes; bits 1 go back to flags.
        BitWriter w;
        placeCode2.put(w, 1);
        placeCode1.put(w, 'a');
        for (int i = 1; i < 24; ++i)
        {
            if (i == 8 || i == 16)
                placeCode2.put(w, 0);
            placeCode1.put(w, 0); // 'a' moved to place 0
        }
        placeCode1.put(w, 'b' + 1);
        placeCode1.put(w, 256);
        placeCode1.put(w, 0);
        w.put(0, 2);
        placeCode2.put(w, 0);
        w.put(2, 5);
        placeCode1.put(w, 0);
        w.put(1, 1);
        placeCode2.put(w, 0);
        placeCode1.put(w, 'c');
        pad(w);
        cases.push_back({ "stream mode", w.bytes, std::string(24, 'a') + "b\xFF" "b\xFF" "b" "c" });
    }

    expectDecodes(cases, 15);
}

TEST(RarUnpack15, EndsWithoutReadingFlagsOrPastThem)
{
    // An unpacked size of 0 reads nothing.
    RarDecompressResult r;
    EXPECT_EQ(unpack({}, 0, 15, &r), "");
    EXPECT_EQ(r.failure, nullptr);

    // Flags place 256 has no entry: the member stops as at the end of its input, with what
    // was decoded before it flushed.
    BitWriter first;
    placeCode2.put(first, 256);
    pad(first);
    EXPECT_EQ(unpack(first.bytes, 10, 15), "");

    BitWriter later;
    placeCode2.put(later, 1); // 0xFF
    placeCode1.put(later, 'a');
    for (int i = 1; i < 8; ++i)
        placeCode1.put(later, 0);
    placeCode2.put(later, 256);
    for (int i = 0; i < 40; ++i)
        later.put(0xFF, 8);
    EXPECT_EQ(unpack(later.bytes, 10, 15), "aaaaaaaa");
}

TEST(RarUnpack20, LzMatchesAndTheirHistory)
{
    std::vector<StreamCase> cases;

    // Far distances are coded one byte short: a length-slot match of 3 at 0x1FFF copies 3
    // bytes, at 0x2000 4, at 0x40000 5.
    struct Far
    {
        u32 slot;
        u32 extra;
        u32 copied;
    };
    for (const Far& far : { Far { 25, 2046, 3 }, Far { 25, 2047, 4 }, Far { 35, 0xFFFF, 5 } })
    {
        std::vector<u8> lengths(LZ20, 0);
        lengths['x'] = lengths['y'] = lengths[270] = 2;
        lengths[269] = 2;
        lengths[DIST20 + 24] = 1;
        lengths[DIST20 + 25] = 2;
        lengths[DIST20 + 35] = 2;
        const Table20 main(lengths, 0, 298);
        const Table20 dist(lengths, DIST20, 48);
        BitWriter w;
        writeTables20(w, lengths);
        main.put(w, 'x');
        main.put(w, 270);
        dist.put(w, far.slot);
        w.put(far.extra, far.slot == 25 ? 11 : 16);
        main.put(w, 'y');
        pad(w);
        cases.push_back({ "far distance", w.bytes, "x" + std::string(far.copied, '\0') + "y" });
    }
    {
        // Short distances (261: 1..4, 262: 5..8) fill the history with 8, 1, 5, 3; then 260
        // is the fourth latest (8), 257 the latest (8 again: every repeat is pushed), 258
        // the second latest (8), and 256 repeats the last match.
        std::vector<u8> lengths(LZ20, 0);
        for (u32 s : { u32('a'), u32('b'), u32('c'), u32('d'), u32('e'), u32('f'), u32('g'), u32('h'), u32('z'),
                       256u, 257u, 258u, 259u, 260u, 261u, 262u })
            lengths[s] = 4;
        lengths[REP20 + 0] = 1;
        lengths[REP20 + 1] = 1;
        const Table20 main(lengths, 0, 298);
        const Table20 rep(lengths, REP20, 28);
        BitWriter w;
        writeTables20(w, lengths);
        for (u32 c = 'a'; c <= 'h'; ++c)
            main.put(w, c);
        struct Short
        {
            u32 symbol;
            u32 extra;
        };
        for (const Short& s : { Short { 262, 3 }, Short { 261, 0 }, Short { 262, 0 }, Short { 261, 2 } })
        {
            main.put(w, s.symbol);
            w.put(s.extra, 2);
        }
        for (u32 s : { 260u, 257u, 258u })
        {
            main.put(w, s);
            rep.put(w, 0); // length 2
        }
        main.put(w, 256);
        main.put(w, 'z');
        pad(w);
        cases.push_back({ "recent distances", w.bytes, "abcdefgh" "ab" "bb" "ha" "bh" "ab" "bb" "ha" "bh" "z" });
    }
    {
        // A header that starts with a repeat of the previous length repeats 0. The next
        // header (after 269) adds its codes to the kept lengths mod 16: 'd' kept 5 with code
        // 14 becomes 3, 'a' and 'c' kept 2 with code 14 become 0.
        std::vector<u8> first(LZ20, 0);
        first['a'] = first['c'] = first[269] = 2;
        first['d'] = 5;
        std::vector<u8> second(LZ20, 0);
        second['b'] = 1;
        second[269] = 2;
        second['d'] = 3;
        const Table20 main1(first, 0, 298);
        const Table20 main2(second, 0, 298);
        BitWriter w;
        writeTables20(w, first, nullptr, 0, 6);
        main1.put(w, 'a');
        main1.put(w, 269);
        writeTables20(w, second, &first);
        main2.put(w, 'b');
        main2.put(w, 'd');
        pad(w);
        cases.push_back({ "kept lengths", w.bytes, "abd" });
    }

    expectDecodes(cases, 20);
}

TEST(RarUnpack20, AudioChannelsAndTheirFirstSamples)
{
    // Two channels take samples in turn. The first sample of each is (0 - delta) mod 256,
    // and with every coefficient still 0 a sample is the channel's previous byte minus
    // its delta. A header with one channel, met while the next sample is channel 1's,
    // restarts at channel 0, whose state carries on.
    std::vector<u8> two(2 * 257, 0);
    for (u32 c = 0; c < 2; ++c)
    {
        two[c * 257 + 0] = 1;
        two[c * 257 + 1] = 2;
        two[c * 257 + 256] = 2;
    }
    std::vector<u8> one(257, 0);
    one[1] = 1;
    one[256] = 1;
    const Table20 channel0(two, 0, 257);
    const Table20 channel1(two, 257, 257);
    const Table20 single(one, 0, 257);

    BitWriter w;
    writeTables20(w, two, nullptr, 2);
    channel0.put(w, 1);
    channel1.put(w, 0);
    channel0.put(w, 1);
    channel1.put(w, 256);
    writeTables20(w, one, nullptr, 1);
    single.put(w, 1);
    single.put(w, 1);
    pad(w);
    const std::string expected("\xFF\x00\xFE\xFD\xFC", 5);
    EXPECT_EQ(unpack(w.bytes, 5, 20), expected);
    EXPECT_EQ(unpack(w.bytes, 5, 26), expected);
}

TEST(RarUnpack20, PredictorCoefficientsFollowTheSmallestErrorSum)
{
    // At every 32nd sample of a channel the coefficient whose nudge had the smallest error
    // sum moves by one (sums 1, 3, 5, 7, 9 lower K1..K5, the even ones raise them) within
    // -17..16; sum 0 or a tie with it changes nothing. A zero delta on a silent channel
    // adds nothing to the sums, so the ones set here decide.
    struct Case
    {
        int smallest; // -1: all equal
        int coefficient;
        s32 before;
        s32 after;
    };
    const Case cases[] = {
        { 1, 0, 0, -1 },  { 1, 0, -16, -17 }, { 1, 0, -17, -17 }, { 2, 0, 15, 16 }, { 2, 0, 16, 16 },
        { 4, 1, 0, 1 },   { 7, 3, 0, -1 },    { 10, 4, 0, 1 },     { 9, 4, 3, 2 },   { 0, 0, 5, 5 },
        { -1, 0, 5, 5 },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "smallest " << c.smallest << " K" << c.coefficient + 1);
        RarMemoryIO io;
        RarUnpacker unpacker(&io);
        unpacker.init();
        AudioChannelState& state = unpacker.audioState[0];
        state.count = 31;
        for (u32& d : state.dif)
            d = 1000;
        if (c.smallest >= 0)
            state.dif[c.smallest] = 10;
        state.K[c.coefficient] = c.before;
        EXPECT_EQ(unpacker.decodeAudio20(0), 0);
        EXPECT_EQ(state.K[c.coefficient], c.after);
        for (u32 d : state.dif)
            EXPECT_EQ(d, 0u);
    }
}

TEST(RarUnpackSolid, MembersContinueFromTheStateOfTheOneBefore)
{
    {
        // 2.0: the second member has no header of its own and copies from the first one's
        // window with its tables.
        std::vector<u8> lengths(LZ20, 0);
        lengths['a'] = lengths['b'] = lengths['c'] = lengths[270] = 2;
        lengths[DIST20 + 2] = 1; // distance 3
        lengths[DIST20 + 3] = 1;
        const Table20 main(lengths, 0, 298);
        const Table20 dist(lengths, DIST20, 48);
        BitWriter first;
        writeTables20(first, lengths);
        for (u32 c : { u32('a'), u32('b'), u32('c') })
            main.put(first, c);
        pad(first);
        BitWriter second;
        main.put(second, 270);
        dist.put(second, 2);
        main.put(second, 'c');
        pad(second);

        SolidStream stream;
        EXPECT_EQ(stream.next(first.bytes, 3, 20, false), "abc");
        EXPECT_EQ(stream.next(second.bytes, 4, 20, true), "abcc");
        // the same member alone starts from nothing
        SolidStream fresh;
        EXPECT_NE(fresh.next(second.bytes, 4, 20, true), "abcc");
    }
    {
        // 1.5: the second member reads a new flags byte from the kept flags table (place
        // 64 now holds 0x00) and repeats the first member's last match.
        BitWriter first;
        placeCode2.put(first, 64); // 0xC0
        placeCode1.put(first, 'a');
        placeCode1.put(first, 'b');
        first.put(0, 1);
        placeCode2.put(first, 1); // distance 2
        pad(first);
        BitWriter second;
        placeCode2.put(second, 64);
        second.put(0xC, 4);
        pad(second);

        SolidStream stream;
        EXPECT_EQ(stream.next(first.bytes, 4, 15, false), "abab");
        EXPECT_EQ(stream.next(second.bytes, 2, 15, true), "ab");
    }
}

TEST(RarUnpackOlder, HostileStreamsEndByThemselves)
{
    // A flood of audio headers, each switching the channel count, and streams of noise:
    // each must end at the end of its input, inside the window and the destination.
    BitWriter flood;
    for (int i = 0; i < 20000; ++i)
    {
        const int channels = 1 + i % 4;
        std::vector<u8> lengths(std::size_t(channels) * 257, 0);
        for (int c = 0; c < channels; ++c)
            lengths[std::size_t(c) * 257 + 256] = 1;
        writeTables20(flood, lengths, nullptr, channels);
        flood.put(0, 1); // 256: the next header
    }
    RarDecompressResult r;
    unpack(flood.bytes, 1000, 20, &r);
    EXPECT_EQ(r.stored, 0u);

    u32 seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return u8(seed >> 16);
    };
    for (int i = 0; i < 64; ++i)
    {
        std::vector<u8> noise(1 + i * 97);
        for (u8& b : noise)
            b = next();
        for (u32 version : { 15u, 20u })
        {
            SCOPED_TRACE(testing::Message() << "version " << version << ", " << noise.size() << " bytes");
            unpack(noise, 300000, version, &r);
            EXPECT_LE(r.stored, 300000u);
        }
    }
}

TEST(RarUnpackOlder, DamagedCorpusMembersNeverPassTheirCheck)
{
    if (!rartest::corpusPresent())
        GTEST_SKIP() << "the shared corpus (" << rartest::corpusRoot() << ") is absent";

    // The 1.5 and 2.0 WAV members (LZ and audio), truncated and with bits flipped, through
    // the unpacker: never past the destination, and never the member's CRC-32 with a
    // changed stream (the 2.0 LZ member must decode to the whole size from its data).
    struct Member
    {
        const char* archive;
        u32 version;
    };
    for (const Member& m : { Member { "junrar/audio/BoatModernEnglish-regular-unpack15-dos.rar", 15 },
                             Member { "junrar/audio/BoatModernEnglish-regular-unpack20.rar", 20 },
                             Member { "junrar/audio/BoatModernEnglish-audio-text-unpack20.rar", 20 } })
    {
        SCOPED_TRACE(m.archive);
        FirstMember first;
        ASSERT_TRUE(readFirstMember(m.archive, first));
        ASSERT_EQ(first.version, m.version);
        const std::vector<u8>& packed = first.packed;
        const u32 packedSize = u32(packed.size());
        const u32 unpackedSize = first.unpackedSize;
        const u32 crc = first.crc;

        std::string out = unpack(packed, unpackedSize, m.version);
        ASSERT_EQ(out.size(), unpackedSize);
        ASSERT_EQ(crc32(0, ConstMemory(reinterpret_cast<const u8*>(out.data()), out.size())), crc);

        for (u32 cut : { 0u, 1u, 7u, 100u, packedSize / 2, packedSize - 40 })
        {
            std::vector<u8> truncated(packed.begin(), packed.begin() + cut);
            out = unpack(truncated, unpackedSize, m.version);
            EXPECT_LT(out.size(), unpackedSize) << "cut at " << cut;
        }
        u32 damaged = 0;
        for (u32 i = 0; i < 24; ++i)
        {
            std::vector<u8> flipped = packed;
            const u32 at = (i * 7919u) % packedSize;
            flipped[at] ^= u8(1u << (i & 7));
            out = unpack(flipped, unpackedSize, m.version);
            EXPECT_LE(out.size(), unpackedSize);
            if (out.size() != unpackedSize ||
                crc32(0, ConstMemory(reinterpret_cast<const u8*>(out.data()), out.size())) != crc)
                ++damaged;
        }
        EXPECT_GE(damaged, 22u);
    }
}

TEST(RarUnpackOlder, VoidDistancesReadTheZeroedWindowAsUnarDoes)
{
    if (!rartest::corpusPresent())
        GTEST_SKIP() << "the shared corpus (" << rartest::corpusRoot() << ") is absent";

    // Hostile members whose matches reach before the start of the output: they fail their
    // CRC-32 in unar as here, but decode to the same bytes (size and CRC-32 of unar's
    // output, recorded in the corpus reference): the window before the start reads as zeros.
    struct Case
    {
        const char* archive;
        u32 size;
        u32 crc;
    };
    for (const Case& c : { Case { "junrar/abnormal/void-dist-v15.rar", 56464, 0xdde1af0b },
                           Case { "junrar/abnormal/void-dist-v20.rar", 6, 0xdb443989 } })
    {
        SCOPED_TRACE(c.archive);
        FirstMember first;
        ASSERT_TRUE(readFirstMember(c.archive, first));
        const std::string out = unpack(first.packed, first.unpackedSize, first.version);
        ASSERT_EQ(out.size(), c.size);
        const u32 crc = crc32(0, ConstMemory(reinterpret_cast<const u8*>(out.data()), out.size()));
        EXPECT_EQ(crc, c.crc);
        EXPECT_NE(crc, first.crc);
    }
}
