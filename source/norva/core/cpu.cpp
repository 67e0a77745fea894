#include "cpu_private.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace norva
{
    namespace
    {
        constexpr bool bit(u32 value, int index)
        {
            return (value >> index) & 1;
        }

        struct Row
        {
            CPUFlags flag;
            u32 CPUIDRegisters::*reg;
            int index;
        };

        constexpr Row rows[] = {
            { CPU_MMX, &CPUIDRegisters::leaf1_edx, 23 },
            { CPU_MMX, &CPUIDRegisters::ext1_edx, 23 },
            { CPU_MMX_PLUS, &CPUIDRegisters::ext1_edx, 22 },
            { CPU_SSE, &CPUIDRegisters::leaf1_edx, 25 },
            { CPU_SSE2, &CPUIDRegisters::leaf1_edx, 26 },
            { CPU_SSE3, &CPUIDRegisters::leaf1_ecx, 0 },
            { CPU_SSSE3, &CPUIDRegisters::leaf1_ecx, 9 },
            { CPU_SSE4_1, &CPUIDRegisters::leaf1_ecx, 19 },
            { CPU_SSE4_2, &CPUIDRegisters::leaf1_ecx, 20 },
            { CPU_SSE4A, &CPUIDRegisters::ext1_ecx, 6 },
            { CPU_XOP, &CPUIDRegisters::ext1_ecx, 11 },
            { CPU_3DNOW, &CPUIDRegisters::ext1_edx, 31 },
            { CPU_3DNOW_EXT, &CPUIDRegisters::ext1_edx, 30 },
            { CPU_AVX, &CPUIDRegisters::leaf1_ecx, 28 },
            { CPU_AVX2, &CPUIDRegisters::leaf7_ebx, 5 },
            { CPU_AES, &CPUIDRegisters::leaf1_ecx, 25 },
            { CPU_PCLMULQDQ, &CPUIDRegisters::leaf1_ecx, 1 },
            { CPU_FMA3, &CPUIDRegisters::leaf1_ecx, 12 },
            { CPU_MOVBE, &CPUIDRegisters::leaf1_ecx, 22 },
            { CPU_POPCNT, &CPUIDRegisters::leaf1_ecx, 23 },
            { CPU_F16C, &CPUIDRegisters::leaf1_ecx, 29 },
            { CPU_RDRAND, &CPUIDRegisters::leaf1_ecx, 30 },
            { CPU_CMOV, &CPUIDRegisters::leaf1_edx, 15 },
            { CPU_CMPXCHG16B, &CPUIDRegisters::leaf1_ecx, 13 },
            { CPU_FMA4, &CPUIDRegisters::ext1_ecx, 16 },
            { CPU_BMI1, &CPUIDRegisters::leaf7_ebx, 3 },
            { CPU_BMI2, &CPUIDRegisters::leaf7_ebx, 8 },
            { CPU_SHA, &CPUIDRegisters::leaf7_ebx, 29 },
            { CPU_AVX512F, &CPUIDRegisters::leaf7_ebx, 16 },
            { CPU_AVX512PF, &CPUIDRegisters::leaf7_ebx, 26 },
            { CPU_AVX512ER, &CPUIDRegisters::leaf7_ebx, 27 },
            { CPU_AVX512CD, &CPUIDRegisters::leaf7_ebx, 28 },
            { CPU_AVX512BW, &CPUIDRegisters::leaf7_ebx, 30 },
            { CPU_AVX512VL, &CPUIDRegisters::leaf7_ebx, 31 },
            { CPU_AVX512DQ, &CPUIDRegisters::leaf7_ebx, 17 },
            { CPU_AVX512IFMA, &CPUIDRegisters::leaf7_ebx, 21 },
            { CPU_LEAF7_EBX1, &CPUIDRegisters::leaf7_ebx, 1 },
        };

        CPUIDRegisters readRegisters()
        {
            CPUIDRegisters registers;
#if defined(__x86_64__) || defined(__i386__)
            unsigned int a, b, c, d;
            unsigned int highest = __get_cpuid_max(0, nullptr);
            if (highest >= 1 && __get_cpuid_count(1, 0, &a, &b, &c, &d))
            {
                registers.leaf1_ecx = c;
                registers.leaf1_edx = d;
                if (bit(c, 27))
                {
                    unsigned int low, high;
                    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
                    registers.xcr0 = (u64(high) << 32) | low;
                }
            }
            if (highest >= 7 && __get_cpuid_count(7, 0, &a, &b, &c, &d))
            {
                registers.leaf7_ebx = b;
            }
            unsigned int extended = __get_cpuid_max(0x80000000u, nullptr);
            if (extended >= 0x80000001u && __get_cpuid_count(0x80000001u, 0, &a, &b, &c, &d))
            {
                registers.ext1_ecx = c;
                registers.ext1_edx = d;
            }
#endif
            return registers;
        }

    } // namespace

    CPUFlags decodeCPUFlags(const CPUIDRegisters& registers)
    {
        CPUFlags flags = 0;
        for (const Row& row : rows)
        {
            if (bit(registers.*row.reg, row.index))
            {
                flags |= row.flag;
            }
        }

        // VEX and EVEX code runs only when the operating system saves the registers it uses:
        // otherwise the first such instruction faults, whatever the processor reports.
        // XMM and YMM state (XCR0 bits 1, 2) for AVX and its kin; opmask and the upper ZMM
        // state (bits 5 to 7) as well for AVX-512.
        constexpr CPUFlags vex = CPU_AVX | CPU_AVX2 | CPU_FMA3 | CPU_F16C | CPU_XOP | CPU_FMA4;
        constexpr CPUFlags evex = CPU_AVX512F | CPU_AVX512PF | CPU_AVX512ER | CPU_AVX512CD | CPU_AVX512BW |
                                  CPU_AVX512VL | CPU_AVX512DQ | CPU_AVX512IFMA;
        const u64 xcr0 = bit(registers.leaf1_ecx, 27) ? registers.xcr0 : 0;
        if ((xcr0 & 0x06) != 0x06)
        {
            flags &= ~(vex | evex);
        }
        else if ((xcr0 & 0xE0) != 0xE0)
        {
            flags &= ~evex;
        }
        return flags;
    }

    CPUFlags getCPUFlags()
    {
        static const CPUFlags flags = decodeCPUFlags(readRegisters());
        return flags;
    }

} // namespace norva
