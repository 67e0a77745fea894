// The one place the block encoders pick their SIMD code from the CPU flags: the BC1-BC3
// colour fit (block_dxt_color.hpp), the BC4/BC5 index search (block_bc4_indices.hpp), the
// BC7 index search (block_bc7_indices.hpp) and the BC7 shape fits (block_bc7_lines.hpp), the
// last two on AVX2 as well. Every choice is made once; the get* functions are the tests' seam.

#include "block_bc4_indices.hpp"
#include "block_bc7_indices.hpp"
#include "block_bc7_lines.hpp"
#include "block_dxt_color.hpp"

namespace norva
{
    namespace
    {
        template <typename Function>
        Function bySSE2(CPUFlags cpuFlags, Function sse2, Function scalar)
        {
            return (cpuFlags & CPU_SSE2) ? sse2 : scalar;
        }

        template <typename Function>
        Function byAVX2(CPUFlags cpuFlags, Function avx2, Function sse2, Function scalar)
        {
            return (cpuFlags & CPU_AVX2) ? avx2 : bySSE2(cpuFlags, sse2, scalar);
        }

    } // namespace

    dxtcolor::Encoder dxtcolor::getEncoder(CPUFlags cpuFlags)
    {
        return bySSE2<Encoder>(cpuFlags, sse2::encodeColorBlockBC1, scalar::encodeColorBlockBC1);
    }

    dxtcolor::Encoder dxtcolor::encoder()
    {
        static const Encoder chosen = getEncoder(getCPUFlags());
        return chosen;
    }

    bc4indices::Chooser bc4indices::getChooser(CPUFlags cpuFlags)
    {
        return bySSE2<Chooser>(cpuFlags, sse2::nearestIndices, scalar::nearestIndices);
    }

    bc4indices::Chooser bc4indices::chooser()
    {
        static const Chooser chosen = getChooser(getCPUFlags());
        return chosen;
    }

    bc7indices::Search bc7indices::getSearch(CPUFlags cpuFlags)
    {
        return byAVX2<Search>(cpuFlags, avx2::nearestEntries, sse2::nearestEntries, scalar::nearestEntries);
    }

    bc7indices::Search bc7indices::search()
    {
        static const Search chosen = getSearch(getCPUFlags());
        return chosen;
    }

    bc7lines::Fitter bc7lines::getFitter(CPUFlags cpuFlags)
    {
        return bySSE2<Fitter>(cpuFlags, sse2::fitLines, scalar::fitLines);
    }

    bc7lines::ShapeFitter bc7lines::getShapeFitter(CPUFlags cpuFlags)
    {
        return byAVX2<ShapeFitter>(cpuFlags, avx2::fitShapes, sse2::fitShapes, scalar::fitShapes);
    }

    bc7lines::ShapeFitter bc7lines::shapeFitter()
    {
        static const ShapeFitter chosen = getShapeFitter(getCPUFlags());
        return chosen;
    }

} // namespace norva
