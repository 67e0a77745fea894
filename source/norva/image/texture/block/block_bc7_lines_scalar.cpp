// The BC7 shape fits in plain C++ (block_bc7_lines.hpp).

#include "block_bc7_lines.hpp"

namespace norva::bc7lines::scalar
{
    void fitLines(const int (*sums)[16], int count, LineFit* fits)
    {
        static constexpr int rgb[3] = { 0, 1, 2 };
        for (int i = 0; i < count; ++i)
            fits[i] = fitLine<3>(sums[i], rgb);
    }

} // namespace norva::bc7lines::scalar
