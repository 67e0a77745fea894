#pragma once

// The index search of the BC7 encoder: each texel of a region takes the palette entry
// nearest it (the smallest sum of squared channel differences), the lower index on a tie.
// The entries are interpolated from the endpoints as the decoder does,
// (a * (64 - w) + b * w + 32) >> 6 per channel.
// One implementation per instruction set (scalar, SSE2 and AVX2 files), in integers, so all
// give the same indices and errors.

#include <norva/core/configure.hpp>
#include <norva/core/cpu.hpp>

namespace norva::bc7indices
{
    // The first `count` of 16 texels (all 16 readable) against the `entries` (4, 8 or 16)
    // colours between 8-bit endpoints a and b at `weights` (of 64); a channel the caller
    // leaves out is 0 in texels and endpoints alike. Writes the `count` indices and returns
    // the sum of the texels' errors.
    using Search = int (*)(const u8 (*texels)[4], int count, const int* a, const int* b, const int* weights,
                           int entries, u8* indices);

    namespace scalar
    {
        int nearestEntries(const u8 (*texels)[4], int count, const int* a, const int* b, const int* weights, int entries,
                           u8* indices);
    }
    namespace sse2
    {
        int nearestEntries(const u8 (*texels)[4], int count, const int* a, const int* b, const int* weights, int entries,
                           u8* indices);
    }
    namespace avx2
    {
        int nearestEntries(const u8 (*texels)[4], int count, const int* a, const int* b, const int* weights, int entries,
                           u8* indices);
    }

    // The search for a CPU with only cpuFlags (0 gives the scalar one): the tests' seam.
    Search getSearch(CPUFlags cpuFlags);

    // The search for this CPU, chosen once.
    Search search();

} // namespace norva::bc7indices
