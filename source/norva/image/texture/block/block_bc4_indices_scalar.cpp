// The BC4/BC5 index search in plain C++ (block_bc4_indices.hpp).

#include <cmath>

#include "block_bc4_indices.hpp"

namespace norva::bc4indices::scalar
{
    u64 nearestIndices(const float palette[8], const float values[16])
    {
        u64 indices = 0;
        for (int i = 0; i < 16; ++i)
        {
            u64 best = 0;
            float bestDistance = 100000.0f;
            for (int k = 0; k < 8; ++k)
            {
                const float distance = std::abs(palette[k] - values[i]);
                if (distance < bestDistance)
                {
                    bestDistance = distance;
                    best = u64(k);
                }
            }
            indices |= best << (3 * i);
        }
        return indices;
    }

} // namespace norva::bc4indices::scalar
