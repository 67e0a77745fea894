#version 430 core

// Terrain, tessellation evaluation: places each generated vertex on the height field and
// feeds the shared fragment stage (NewShadingExperiment.fragmentshader). Equal spacing keeps
// integer levels integer, so every vertex lands on a sample and both sides of a stitched
// edge agree. Counter-clockwise in (u, v) is clockwise seen from above, since v runs along +z.

layout(quads, equal_spacing, ccw) in;

in vec2 position_e[];
in vec2 texCoord_e[];

uniform mat4 MVP;
uniform mat4 M;                      // its y scale turns normalised heights into sample units
uniform sampler2DRect displacementMap; // normalised height per sample
uniform sampler2DRect normalMap;       // world-space unit normal per sample

out vec2 UV;
out vec3 Position_worldspace;
out vec3 Position_modelspace;
out vec3 Normal_worldspace;

vec2 bilinear(vec2 c0, vec2 c1, vec2 c2, vec2 c3, vec2 uv)
{
    return mix(mix(c0, c1, uv.x), mix(c3, c2, uv.x), uv.y);
}

void main()
{
    vec2 uv = gl_TessCoord.xy;
    vec2 xz = bilinear(position_e[0], position_e[1], position_e[2], position_e[3], uv);
    // texel centres lie half a unit past the sample coordinates
    vec2 texel = xz + 0.5;
    float height = texture(displacementMap, texel).r;

    Position_modelspace = vec3(xz.x, height, xz.y);
    Position_worldspace = (M * vec4(Position_modelspace, 1.0)).xyz;
    Normal_worldspace = texture(normalMap, texel).xyz;
    UV = bilinear(texCoord_e[0], texCoord_e[1], texCoord_e[2], texCoord_e[3], uv);
    gl_Position = MVP * vec4(Position_modelspace, 1.0);
}
