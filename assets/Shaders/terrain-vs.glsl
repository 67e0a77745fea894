#version 430 core

// Terrain, vertex stage: one corner of a patch. Positions are in sample units (x, z); each
// corner brings the outer tessellation level of the patch edge that starts at it (0 left,
// 1 top, 2 right, 3 bottom) and the patch's inner level.

in vec2 position_v;
in vec2 texCoord_v;
in float tessLevelOuter_v;
in float tessLevelInner_v;

out vec2 position_c;
out vec2 texCoord_c;
out float tessLevelOuter_c;
out float tessLevelInner_c;

void main()
{
    position_c = position_v;
    texCoord_c = texCoord_v;
    tessLevelOuter_c = tessLevelOuter_v;
    tessLevelInner_c = tessLevelInner_v;
}
