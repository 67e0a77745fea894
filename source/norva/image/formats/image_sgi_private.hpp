#pragma once

// The SGI decoder's bulk conversion of its big-endian RLE tables (start offsets and row
// lengths, u32 each) to host order: a scalar loop and an SSSE3 one that gives the same
// values, chosen once from the CPU flags.

#include <cstddef>

#include <norva/core/configure.hpp>
#include <norva/core/cpu.hpp>

namespace norva::sgi
{
    // dest[i] = the big-endian u32 at src + 4 i, for i < count; src needs no alignment.
    using SwapTableFunc = void (*)(u32* dest, const u8* src, size_t count);

    void swapTableScalar(u32* dest, const u8* src, size_t count);
    void swapTableSSSE3(u32* dest, const u8* src, size_t count);   // 16 entries a step

    // The one dispatch point: SSSE3 when cpuFlags has it, else the scalar loop. Tests pass
    // flags to reach either.
    SwapTableFunc getSwapTable(CPUFlags cpuFlags);

} // namespace norva::sgi
