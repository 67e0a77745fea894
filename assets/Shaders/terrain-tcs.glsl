#version 430 core

// Terrain, tessellation control: the four corners pass through; the levels come from the
// CPU's stitching, so neighbouring patches cut their shared edge into the same segments.
// With u running from corner 0 to 1 and v from corner 0 to 3, gl_TessLevelOuter[0..3] are
// the edges u = 0, v = 0, u = 1, v = 1: left, top, right, bottom, as the corners carry them.

layout(vertices = 4) out;

in vec2 position_c[];
in vec2 texCoord_c[];
in float tessLevelOuter_c[];
in float tessLevelInner_c[];

out vec2 position_e[];
out vec2 texCoord_e[];

void main()
{
    position_e[gl_InvocationID] = position_c[gl_InvocationID];
    texCoord_e[gl_InvocationID] = texCoord_c[gl_InvocationID];
    if (gl_InvocationID == 0)
    {
        for (int i = 0; i < 4; ++i)
            gl_TessLevelOuter[i] = tessLevelOuter_c[i];
        gl_TessLevelInner[0] = tessLevelInner_c[0];
        gl_TessLevelInner[1] = tessLevelInner_c[0];
    }
}
