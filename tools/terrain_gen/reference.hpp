#pragma once

#include <norva/core/configure.hpp>

// Straightforward single-threaded terrain computations, written from the definitions, to check
// and time the terrain's own against.
namespace terrain_gen
{
    // Every quad (x, y) of the width x height grid, in row order, split along the diagonal
    // from (0,0) to (1,1) where (x / 32) % 2 == (y / 32) % 2 and from (1,0) to (0,1) elsewhere;
    // each triangle {c0, c1, c2} adds at corner c[k] the cross product e2 x e1 of
    // e1 = unit(c[k+1] - c[k]), e2 = unit(c[k+2] - c[k+1]), edges as (dx, yScale * dh, dz).
    // The sums are divided by their length. `normals` holds width * height * 3 floats.
    void referenceNormals(const float* heights, norva::u32 width, norva::u32 height, float yScale, float* normals);

} // namespace terrain_gen
