// Chooses the colour-half encoder of BC1-BC3 for this CPU (block_dxt_color.hpp).

#include "block_dxt_color.hpp"

namespace norva::dxtcolor
{
    Encoder getEncoder(CPUFlags cpuFlags)
    {
        if (cpuFlags & CPU_SSE2)
            return sse2::encodeColorBlock;
        return scalar::encodeColorBlock;
    }

    Encoder encoder()
    {
        static const Encoder chosen = getEncoder(getCPUFlags());
        return chosen;
    }

} // namespace norva::dxtcolor
