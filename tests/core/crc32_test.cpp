#include <gtest/gtest.h>

#include <random>
#include <vector>

#include <libdeflate.h>

#include "core/crc32_private.hpp"

using namespace norva;

namespace
{
    u32 bytewise(u32 crc, const u8* p, std::size_t n)
    {
        crc = ~crc;
        while (n--)
        {
            crc ^= *p++;
            for (int k = 0; k < 8; ++k)
            {
                crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
            }
        }
        return ~crc;
    }

    std::vector<u8> randomBytes(std::size_t n, unsigned seed)
    {
        std::mt19937 rng(seed);
        std::vector<u8> v(n);
        for (auto& b : v)
        {
            b = u8(rng());
        }
        return v;
    }
} // namespace

TEST(CRC32, KnownAnswers)
{
    const char* check = "123456789";
    EXPECT_EQ(crc32(0, ConstMemory(reinterpret_cast<const u8*>(check), 9)), 0xCBF43926u);
    EXPECT_EQ(detail::crc32_slice8(0, ConstMemory(reinterpret_cast<const u8*>(check), 9)), 0xCBF43926u);
    EXPECT_EQ(crc32(0, ConstMemory()), 0u);
    EXPECT_EQ(crc32(0x12345678, ConstMemory()), 0x12345678u);
}

TEST(CRC32, ShortInputsAtEveryAlignmentMatchBytewise)
{
    const auto data = randomBytes(64, 1);
    for (std::size_t start = 0; start < 16; ++start)
    {
        for (std::size_t n = 1; n <= 15; ++n)
        {
            ConstMemory m(data.data() + start, n);
            EXPECT_EQ(detail::crc32_slice8(0, m), bytewise(0, m.address, n)) << start << " " << n;
            EXPECT_EQ(crc32(0, m), bytewise(0, m.address, n));
        }
    }
}

TEST(CRC32, RandomLengthsAndSplitsMatchLibdeflate)
{
    const auto data = randomBytes(1 << 20, 2);
    std::mt19937 rng(3);
    for (int i = 0; i < 200; ++i)
    {
        std::size_t start = rng() % 64;
        std::size_t n = (i < 100) ? rng() % 4096 : rng() % (data.size() - 64);
        ConstMemory m(data.data() + start, n);
        const u32 expected = libdeflate_crc32(0, m.address, n);
        ASSERT_EQ(crc32(0, m), expected) << n;
        ASSERT_EQ(detail::crc32_slice8(0, m), expected) << n;

        // chaining two calls over a split equals one call
        std::size_t split = n ? rng() % n : 0;
        u32 first = crc32(0, ConstMemory(m.address, split));
        ASSERT_EQ(crc32(first, ConstMemory(m.address + split, n - split)), expected);
        u32 first8 = detail::crc32_slice8(0, ConstMemory(m.address, split));
        ASSERT_EQ(detail::crc32_slice8(first8, ConstMemory(m.address + split, n - split)), expected);
    }
}
