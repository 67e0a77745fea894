// The mapper's BLAKE2sp against hashes from another implementation: Python's hashlib.blake2s
// in tree mode (as in fuzz/run.sh's seed writer), which gives the hashes that real RAR 5
// archives carry. The lengths cover an empty input, a partial block, each leaf's first
// block, leaves that take a second, shorter block, and an input large enough for the leaves
// to be hashed on the thread pool.

#include <gtest/gtest.h>

#include <string>

#include "rar/rar_test_helpers.hpp"

using namespace rartest;

namespace
{
    std::string hex(const Bytes& bytes)
    {
        static const char digits[] = "0123456789abcdef";
        std::string out;
        for (u8 b : bytes)
        {
            out += digits[b >> 4];
            out += digits[b & 15];
        }
        return out;
    }

    Bytes counting(std::size_t size, u32 multiplier, int shift)
    {
        Bytes out(size);
        for (std::size_t i = 0; i < size; ++i)
            out[i] = u8(i * multiplier + (shift ? i >> shift : 0));
        return out;
    }
} // namespace

TEST(RarBlake2sp, MatchesAnIndependentImplementation)
{
    struct Case
    {
        const char* what;
        Bytes input;
        const char* hash;
    };
    const Case cases[] = {
        { "empty", Bytes(), "dd0e891776933f43c7d032b08a917e25741f8aa9a12c12e1cac8801500f2ca4f" },
        { "abc", text("abc"), "70f75b58f1fecab821db43c88ad84edde5a52600616cd22517b7bb14d440a7d5" },
        { "one byte into the second leaf", counting(65, 1, 0),
          "fff24d3cc729d395daf978b0157306cb495797e6c8dca1731d2f6f81b849baae" },
        { "the first leaf takes a second block", counting(513, 1, 0),
          "1336628c7f1541c7815fc0ff1fb5dfb07a85cf5a17a2872a3ce4b322d4a03d0b" },
        { "70000 bytes", counting(70000, 7, 8), "7d0c4fcd99c240d8fb2f628f836088d138bbf7b4037c42a1382710a9df411b47" },
        { "1 MiB and 100 bytes", counting((1 << 20) + 100, 7, 8),
          "8c77a20f8f137a32c84fbf68e3731e2f7cfc38b7a536b9031036b04b5cbeaa2d" },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(hex(blake2spOf(c.input)), c.hash);
    }
}
