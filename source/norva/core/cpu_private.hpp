#pragma once

// How getCPUFlags reads the processor, apart from the processor itself, so that the tests
// can describe any processor.

#include <norva/core/cpu.hpp>

namespace norva
{
    // The registers of the cpuid leaves the mask is built from; a leaf the processor
    // lacks stays zero.
    struct CPUIDRegisters
    {
        u32 leaf1_ecx = 0;
        u32 leaf1_edx = 0;
        u32 leaf7_ebx = 0;
        u32 ext1_ecx = 0;
        u32 ext1_edx = 0;
        // XCR0, the register state the operating system saves (read only when leaf 1 ECX
        // bit 27, OSXSAVE, is set)
        u64 xcr0 = 0;
    };

    // Pure decoding of register values, so that any processor can be described in tests.
    CPUFlags decodeCPUFlags(const CPUIDRegisters& registers);

} // namespace norva
