#pragma once

#include <string>

#include <GL/glew.h>
#include <glm/glm.hpp>

// Light and shadow-cascade state shared by the scene's passes.

extern float cascadeDistances[4];
extern float shadowMapScales[3];
extern glm::mat4 cascadeProjections[3];
extern glm::mat4 cascadeViews[3];
extern glm::mat4 cascadeViewProjections[3];
extern glm::mat4 cascadeDepthBias[3];

extern GLuint lightDepthProgram;
extern GLuint shadowFramebuffer;
extern GLuint shadowDepthTextures[3];
extern bool shadowMapsReady;
extern std::string shadowMapUniformNames[3];
extern GLint shadowMapLocations[3];
extern GLint depthBiasLocation;

extern const glm::vec3 lightDirectionBase;
extern glm::vec3 lightDirection; // towards the light
extern const glm::mat4 lightBaseMatrix;
extern glm::vec3 lightPosition;
extern GLint dirLightLocations[5]; // direction, color, ambient, diffuse, specular

// The size of each cascade's depth texture: the window times its scale, within the driver's
// limits (set by Scene::initShadowMaps).
extern glm::ivec2 shadowMapSizes[3];
glm::ivec2 shadowMapSize(int windowWidth, int windowHeight, float scale, glm::ivec2 largest);

// Maps clip space [-1, 1] to texture space [0, 1].
glm::mat4 shadowBiasMatrix();

// Sets the directional light's five uniforms through dirLightLocations.
void setDirectionalLight();
