#version 430 core

// Light-depth program: level objects drawn into a shadow cascade.

layout(location = 0) in vec3 vertexPosition_modelspace;

uniform mat4 depthMVP;

void main()
{
    gl_Position = depthMVP * vec4(vertexPosition_modelspace, 1.0);
}
