#version 430 core

// Shows one shadow map's depth as grey levels.

in vec2 UV;

uniform sampler2D inputTexture;

out vec4 color;

void main()
{
    color = vec4(vec3(texture(inputTexture, UV).r), 1.0);
}
