#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "core/cpu_private.hpp"

using namespace norva;

namespace
{
    std::set<std::string> procCpuinfoFlags()
    {
        std::ifstream file("/proc/cpuinfo");
        std::string line;
        while (std::getline(file, line))
        {
            if (line.rfind("flags", 0) == 0)
            {
                std::istringstream words(line.substr(line.find(':') + 1));
                std::set<std::string> flags;
                for (std::string w; words >> w;)
                {
                    flags.insert(w);
                }
                return flags;
            }
        }
        return {};
    }
} // namespace

TEST(CPUFlags, AgreeWithProcCpuinfo)
{
    const std::set<std::string> flags = procCpuinfoFlags();
    if (flags.empty())
    {
        GTEST_SKIP() << "/proc/cpuinfo lists no flags on this machine";
    }

    // The kernel hides AVX and AVX-512 when it does not save their state, which cpuid does not
    // know (the detection checks the saved state too, so those rows agree). Under some
    // hypervisors the kernel also drops SSE4A that cpuid still reports: that row only requires
    // that a listed flag is detected; every other row must agree both ways.
    const struct
    {
        const char* name;
        CPUFlags flag;
    } rows[] = {
        { "mmx", CPU_MMX },         { "sse", CPU_SSE },         { "sse2", CPU_SSE2 },
        { "pni", CPU_SSE3 },        { "ssse3", CPU_SSSE3 },     { "sse4_1", CPU_SSE4_1 },
        { "sse4_2", CPU_SSE4_2 },   { "aes", CPU_AES },         { "pclmulqdq", CPU_PCLMULQDQ },
        { "movbe", CPU_MOVBE },     { "popcnt", CPU_POPCNT },   { "rdrand", CPU_RDRAND },
        { "cmov", CPU_CMOV },       { "cx16", CPU_CMPXCHG16B }, { "bmi1", CPU_BMI1 },
        { "bmi2", CPU_BMI2 },       { "sha_ni", CPU_SHA },      { "sse4a", CPU_SSE4A },
        { "fma", CPU_FMA3 },        { "f16c", CPU_F16C },       { "avx", CPU_AVX },
        { "avx2", CPU_AVX2 },       { "avx512f", CPU_AVX512F }, { "avx512bw", CPU_AVX512BW },
    };

    const CPUFlags mask = getCPUFlags();
    const std::set<std::string> kernelMayHide = { "sse4a" };
    for (const auto& row : rows)
    {
        const bool listed = flags.count(row.name) != 0;
        const bool detected = (mask & row.flag) != 0;
        if (kernelMayHide.count(row.name))
            EXPECT_TRUE(!listed || detected) << row.name;
        else
            EXPECT_EQ(listed, detected) << row.name;
    }
    EXPECT_EQ(getCPUFlags(), mask);
}

TEST(CPUFlags, DecodeFromRegisters)
{
    CPUIDRegisters r;
    EXPECT_EQ(decodeCPUFlags(r), 0u);

    r.leaf1_edx = (1u << 26) | (1u << 23);
    r.leaf1_ecx = (1u << 9) | (1u << 1);
    r.ext1_edx = (1u << 22) | (1u << 31);
    EXPECT_EQ(decodeCPUFlags(r), CPU_SSE2 | CPU_MMX | CPU_SSSE3 | CPU_PCLMULQDQ | CPU_MMX_PLUS | CPU_3DNOW);

    // MMX is reported by either leaf
    CPUIDRegisters amd;
    amd.ext1_edx = 1u << 23;
    EXPECT_EQ(decodeCPUFlags(amd), CPU_MMX);

    // a processor without leaf 7 leaves bits 13 and 24..35 clear
    CPUIDRegisters all;
    all.leaf1_ecx = all.leaf1_edx = all.ext1_ecx = all.ext1_edx = ~0u;
    all.xcr0 = ~0ull;
    const CPUFlags leaf7 = CPU_AVX2 | (((1ull << 36) - 1) & ~((1ull << 24) - 1));
    EXPECT_EQ(decodeCPUFlags(all) & leaf7, 0u);
    all.leaf7_ebx = ~0u;
    EXPECT_EQ(decodeCPUFlags(all), (1ull << 36) - 1);
}

TEST(CPUFlags, VectorExtensionsNeedTheStateTheSystemSaves)
{
    // a processor with every AVX and AVX-512 feature, under systems that save more or less
    constexpr CPUFlags vex = CPU_AVX | CPU_AVX2 | CPU_FMA3 | CPU_F16C | CPU_XOP | CPU_FMA4;
    constexpr CPUFlags evex = CPU_AVX512F | CPU_AVX512PF | CPU_AVX512ER | CPU_AVX512CD | CPU_AVX512BW |
                              CPU_AVX512VL | CPU_AVX512DQ | CPU_AVX512IFMA;
    const struct
    {
        const char* name;
        bool osxsave;
        u64 xcr0;
        CPUFlags expected;
    } cases[] = {
        { "no OSXSAVE", false, 0xE7, 0 },
        { "x87 and XMM only", true, 0x03, 0 },
        { "YMM without XMM", true, 0x05, 0 },
        { "XMM and YMM", true, 0x07, vex },
        { "opmask without the upper ZMM", true, 0x27, vex },
        { "everything", true, 0xE7, vex | evex },
    };
    for (const auto& c : cases)
    {
        CPUIDRegisters r;
        r.leaf1_ecx = (1u << 28) | (1u << 12) | (1u << 29) | (1u << 26) | (c.osxsave ? 1u << 27 : 0u);
        r.leaf1_edx = 1u << 26;
        r.leaf7_ebx = (1u << 5) | (1u << 16) | (1u << 17) | (1u << 21) | (1u << 26) | (1u << 27) | (1u << 28) |
                      (1u << 30) | (1u << 31);
        r.ext1_ecx = (1u << 11) | (1u << 16);
        r.xcr0 = c.xcr0;
        const CPUFlags flags = decodeCPUFlags(r);
        EXPECT_EQ(flags & (vex | evex), c.expected) << c.name;
        EXPECT_TRUE(flags & CPU_SSE2) << c.name; // the rest is untouched
    }
}
