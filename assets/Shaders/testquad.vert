#version 430 core

// Debug quad: a full-screen rectangle in clip space.

layout(location = 0) in vec3 position;

out vec2 UV;

void main()
{
    gl_Position = vec4(position, 1.0);
    UV = position.xy * 0.5 + 0.5;
}
