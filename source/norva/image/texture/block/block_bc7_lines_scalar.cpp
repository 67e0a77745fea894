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

    void fitShapes(const int (*rows)[16][16], const int* whole, const u16* masks, int regions, int shapes,
                   int channels, LineFit* fits)
    {
        fitShapesThrough(fitLines, rows, whole, masks, regions, shapes, channels, fits);
    }

} // namespace norva::bc7lines::scalar
