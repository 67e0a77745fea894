#pragma once

#include <norva/core/configure.hpp>

namespace norva
{
    using CPUFlags = u64;

    enum : CPUFlags
    {
        CPU_MMX = 1ull << 0,
        CPU_MMX_PLUS = 1ull << 1,
        CPU_SSE = 1ull << 2,
        CPU_SSE2 = 1ull << 3,
        CPU_SSE3 = 1ull << 4,
        CPU_SSSE3 = 1ull << 5,
        CPU_SSE4_1 = 1ull << 6,
        CPU_SSE4_2 = 1ull << 7,
        CPU_SSE4A = 1ull << 8,
        CPU_XOP = 1ull << 9,
        CPU_3DNOW = 1ull << 10,
        CPU_3DNOW_EXT = 1ull << 11,
        CPU_AVX = 1ull << 12,
        CPU_AVX2 = 1ull << 13,
        CPU_AES = 1ull << 14,
        CPU_PCLMULQDQ = 1ull << 15,
        CPU_FMA3 = 1ull << 16,
        CPU_MOVBE = 1ull << 17,
        CPU_POPCNT = 1ull << 18,
        CPU_F16C = 1ull << 19,
        CPU_RDRAND = 1ull << 20,
        CPU_CMOV = 1ull << 21,
        CPU_CMPXCHG16B = 1ull << 22,
        CPU_FMA4 = 1ull << 23,
        CPU_BMI1 = 1ull << 24,
        CPU_BMI2 = 1ull << 25,
        CPU_SHA = 1ull << 26,
        CPU_AVX512F = 1ull << 27,
        CPU_AVX512PF = 1ull << 28,
        CPU_AVX512ER = 1ull << 29,
        CPU_AVX512CD = 1ull << 30,
        CPU_AVX512BW = 1ull << 31,
        CPU_AVX512VL = 1ull << 32,
        CPU_AVX512DQ = 1ull << 33,
        CPU_AVX512IFMA = 1ull << 34,
        CPU_LEAF7_EBX1 = 1ull << 35,
    };

    // The running processor's mask, computed once. Only the instruction-set bits are read:
    // AVX and AVX-512 are reported without asking the OS whether it saves their registers,
    // so callers that use them must check that themselves.
    CPUFlags getCPUFlags();

} // namespace norva
