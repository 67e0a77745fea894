#pragma once

// The index half of BC4/BC5 channel blocks: each of 16 values takes the nearest of the
// eight palette values the decoder builds, the lower index on a tie. One implementation per
// instruction set (scalar and SSE2 files), giving the same indices.

#include <norva/core/configure.hpp>
#include <norva/core/cpu.hpp>

namespace norva::bc4indices
{
    // The 16 three-bit indices, value i at bits 3i. Values and palette are finite.
    using Chooser = u64 (*)(const float palette[8], const float values[16]);

    namespace scalar
    {
        u64 nearestIndices(const float palette[8], const float values[16]);
    }
    namespace sse2
    {
        u64 nearestIndices(const float palette[8], const float values[16]);
    }

    // The chooser for a CPU with only cpuFlags (0 gives the scalar one): the tests' seam.
    Chooser getChooser(CPUFlags cpuFlags);

    // The chooser for this CPU, chosen once.
    Chooser chooser();

} // namespace norva::bc4indices
