// The BC7 index search in plain C++ (block_bc7_indices.hpp).

#include "block_bc7_indices.hpp"
#include "block_bptc.hpp"

namespace norva::bc7indices::scalar
{
    int nearestEntries(const u8 (*texels)[4], int count, const int* a, const int* b, const int* weights, int entries,
                       u8* indices)
    {
        int palette[16][4];
        for (int j = 0; j < entries; ++j)
            for (int c = 0; c < 4; ++c)
                palette[j][c] = bptc::interpolate(a[c], b[c], weights[j]);
        int sum = 0;
        for (int i = 0; i < count; ++i)
        {
            int best = 0;
            int bestError = 0;
            for (int j = 0; j < entries; ++j)
            {
                int error = 0;
                for (int c = 0; c < 4; ++c)
                {
                    const int d = int(texels[i][c]) - palette[j][c];
                    error += d * d;
                }
                if (j == 0 || error < bestError)
                {
                    bestError = error;
                    best = j;
                }
            }
            indices[i] = u8(best);
            sum += bestError;
        }
        return sum;
    }

} // namespace norva::bc7indices::scalar
