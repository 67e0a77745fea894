#version 430 core

// Sky box: the cube around the camera, drawn at the far plane. invView is the inverse of
// the camera's rotation alone, invProj the inverse of its projection.

layout(location = 0) in vec3 position;

uniform mat4 invView;
uniform mat4 invProj;

out vec3 direction;

void main()
{
    direction = position;
    vec4 clip = inverse(invProj) * inverse(invView) * vec4(position, 1.0);
    gl_Position = clip.xyww;
}
