#version 430 core

// Sky box: the cube map on texture unit 0, looked up along the view ray.

in vec3 direction;

uniform samplerCube skyBox;

out vec4 color;

void main()
{
    color = texture(skyBox, direction);
}
