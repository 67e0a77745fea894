// Behaviour at the edges: level mappings, header bytes, bounds, prefix fills and the
// guards against hostile sizes.

#include <cstring>

#include <bzlib.h>
#include <lz4.h>
#include <lz4hc.h>

#include <norva/core/exception.hpp>

#include "helpers.hpp"
#include "support/largest_allocation.hpp"

namespace
{
    using namespace norva;
    using namespace norva::test;

    TEST(Edges, ZstdEmptySourceWritesNothing)
    {
        Bytes dest(64, 0xEE);
        EXPECT_EQ(zstd::compress(view(dest), ConstMemory(), 5), 0u);
        EXPECT_TRUE(dest == Bytes(64, 0xEE));
        Bytes empty;
        zstd::decompress(view(empty), ConstMemory()); // and back
    }

    TEST(Edges, Lz4LevelsPickAccelerationOrHighCompression)
    {
        const Bytes input = mixedBytes(200 * 1024, 21);
        const char* src = reinterpret_cast<const char*>(input.data());
        auto direct = [&](auto call) {
            Bytes out(lz4::bound(input.size()));
            out.resize(call(src, reinterpret_cast<char*>(out.data()), int(input.size()), int(out.size())));
            return out;
        };
        auto fast = [&](int acceleration) {
            return direct([=](const char* s, char* d, int n, int cap) { return LZ4_compress_fast(s, d, n, cap, acceleration); });
        };
        auto hc = [&](int level) {
            return direct([=](const char* s, char* d, int n, int cap) { return LZ4_compress_HC(s, d, n, cap, level); });
        };
        const Compressor c = getCompressor(CompressionMethod::LZ4);
        EXPECT_TRUE(compressWith(c, input, 0) == fast(19));
        EXPECT_TRUE(compressWith(c, input, 3) == fast(10));
        EXPECT_TRUE(compressWith(c, input, 6) == fast(1));
        EXPECT_TRUE(compressWith(c, input, 7) == hc(1));
        EXPECT_TRUE(compressWith(c, input, 10) == hc(16));
    }

    TEST(Edges, Ppmd8HeaderBytes)
    {
        const Bytes input = textBytes(1000, 22);
        const std::pair<int, std::pair<u8, u8>> cases[] = {
            { 0, { 0x71, 0x00 } },  // order 2, 8 MiB
            { 5, { 0x36, 0x04 } },  // order 7, 68 MiB
            { 10, { 0xFB, 0x07 } }, // order 12, 128 MiB
        };
        for (const auto& [level, bytes] : cases)
        {
            const Bytes packed = compressWith(getCompressor(CompressionMethod::PPMD8), input, level);
            ASSERT_GE(packed.size(), 2u);
            EXPECT_EQ(packed[0], bytes.first) << "level " << level;
            EXPECT_EQ(packed[1], bytes.second) << "level " << level;
        }
    }

    TEST(Edges, LzmaPropertiesFollowTheLevel)
    {
        const Bytes input = textBytes(100 * 1024, 23);
        const std::pair<int, u32> cases[] = { { 0, 4096 }, { 1, 4096 }, { 5, 32768 }, { 10, 1 << 20 } };
        for (const auto& [level, dictionary] : cases)
        {
            const Bytes packed = compressWith(getCompressor(CompressionMethod::LZMA), input, level);
            EXPECT_EQ(packed[0], 0x5D) << "lc 3, lp 0, pb 2";
            EXPECT_EQ(loadLE32(&packed[1]), dictionary) << "level " << level;
        }
    }

    TEST(Edges, Lzma2DictionaryFitsTheSource)
    {
        // the encoder is told the source size, so small blocks get small dictionaries
        const std::pair<size_t, u8> cases[] = { { 65536, 0x08 }, { 1000000, 0x10 } };
        for (const auto& [size, property] : cases)
        {
            const Bytes input = mixedBytes(size, 24);
            const Bytes packed = compressWith(getCompressor(CompressionMethod::LZMA2), input, 5);
            EXPECT_EQ(packed[0], property) << size;
            Bytes restored(size);
            lzma2::decompress(view(restored), view(packed));
            EXPECT_TRUE(restored == input);
        }
    }

    // A destination smaller than the content takes its prefix: LZMA and LZMA2 by design,
    // PPMd as their analogue, lzfse because its decoder cannot tell the two apart.
    TEST(Edges, SmallerDestinationTakesThePrefix)
    {
        const Bytes input = textBytes(64 * 1024, 25);
        for (CompressionMethod m : { CompressionMethod::LZMA, CompressionMethod::LZMA2, CompressionMethod::PPMD8,
                                     CompressionMethod::LZFSE })
        {
            const Compressor c = getCompressor(m);
            const Bytes packed = compressWith(c, input, 5);
            Bytes half(input.size() / 2);
            c.decompress(view(half), view(packed));
            EXPECT_TRUE(std::equal(half.begin(), half.end(), input.begin())) << c.name;
        }
    }

    TEST(Edges, LzmaHeaderDictionaryAllocatesNothing)
    {
        // 4 GiB in the header: the decoder works in the destination, so this still decodes,
        // and (where the build can watch allocations) nothing near the header's size is
        // allocated: the probability tables are a few tens of KiB. A 4 GiB request would
        // succeed on this machine, so only the hook can tell.
        const Bytes input = textBytes(32 * 1024, 26);
        Bytes packed = compressWith(getCompressor(CompressionMethod::LZMA), input, 5);
        std::memset(&packed[1], 0xFF, 4);
        Bytes restored(input.size());
        {
            LargestAllocation largest;
            lzma::decompress(view(restored), view(packed));
            EXPECT_LT(largest.bytes(), 1u << 20);
        }
        EXPECT_TRUE(restored == input);

        packed = compressWith(getCompressor(CompressionMethod::LZMA2), input, 5);
        packed[0] = 40; // 4 GiB - 1
        {
            LargestAllocation largest;
            lzma2::decompress(view(restored), view(packed));
            EXPECT_LT(largest.bytes(), 1u << 20);
        }
        EXPECT_TRUE(restored == input);
    }

    TEST(Edges, LzoBelowTheBoundStaysInsideTheDestination)
    {
        // LZO1X-1 does not check its capacity; the wrapper must not let it overrun
        const Bytes input = textBytes(64 * 1024, 27);
        const Bytes exact = compressWith(getCompressor(CompressionMethod::LZO), input, 0);
        Bytes dest(exact.size() + 1, 0xEE);
        EXPECT_EQ(lzo::compress(Memory(dest.data(), exact.size()), view(input), 0), exact.size());
        EXPECT_TRUE(std::equal(exact.begin(), exact.end(), dest.begin()));
        EXPECT_EQ(dest.back(), 0xEE);
        EXPECT_THROW(lzo::compress(Memory(dest.data(), exact.size() - 1), view(input), 0), Exception);
        EXPECT_EQ(dest.back(), 0xEE);
    }

    TEST(Edges, Lz4RefusesSizesItsIntCountsCannotHold)
    {
        // refused before any byte is read: the views only claim the size
        u8 byte = 0;
        const u64 huge = u64(3) << 30;
        Bytes dest(16);
        EXPECT_THROW(lz4::compress(view(dest), ConstMemory(&byte, huge), 5), Exception);
        EXPECT_THROW(lz4::decompress(Memory(&byte, huge), ConstMemory(&byte, 1)), Exception);
        EXPECT_THROW(lz4::decompress(view(dest), ConstMemory(&byte, huge)), Exception);
        EXPECT_GT(lz4::bound(huge), huge);
    }

    TEST(Edges, Bzip2InPiecesMatchesTheOneShotCall)
    {
        // several pieces of input and output in both directions, and the same stream as
        // the library's own one-call coder writes
        const Bytes input = mixedBytes(3 << 20, 29);
        const Bytes packed = compressWith(getCompressor(CompressionMethod::BZIP2), input, 9);
        ASSERT_GT(packed.size(), 1u << 20);

        Bytes direct(bzip2::bound(input.size()));
        unsigned int directSize = unsigned(direct.size());
        ASSERT_EQ(BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(direct.data()), &directSize,
            const_cast<char*>(reinterpret_cast<const char*>(input.data())), unsigned(input.size()), 9, 0, 30), BZ_OK);
        direct.resize(directSize);
        EXPECT_TRUE(packed == direct);

        Bytes restored(input.size());
        bzip2::decompress(view(restored), view(packed));
        EXPECT_TRUE(restored == input);
    }

    TEST(Edges, BoundsAreSixtyFourBit)
    {
        const u64 n = 1000000;
        EXPECT_EQ(none::bound(n), n);
        EXPECT_EQ(bzip2::bound(n), n + n / 100 + 600);
        EXPECT_EQ(lzo::bound(n), n + n / 16 + 128);
        EXPECT_EQ(lzfse::bound(n), n + 1024);
        for (auto bound : { lzma::bound, lzma2::bound, ppmd8::bound })
        {
            EXPECT_EQ(bound(n), n * 3 / 2 + 16384);
        }
        const u64 big = u64(5) << 30;
        for (u32 method = 0; method < COMPRESSION_METHOD_COUNT; ++method)
        {
            EXPECT_GE(getCompressor(method).bound(big), big) << getCompressor(method).name;
        }
    }

    TEST(Edges, Ppmd8EndCheckCatchesADamagedTail)
    {
        const Bytes input = textBytes(8 * 1024, 28);
        Bytes packed = compressWith(getCompressor(CompressionMethod::PPMD8), input, 5);
        packed.back() ^= 0xFF;
        Bytes restored(input.size());
        EXPECT_THROW(ppmd8::decompress(view(restored), view(packed)), Exception);
    }

} // namespace
