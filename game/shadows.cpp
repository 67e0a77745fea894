#include "game/shadows.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <glm/gtc/constants.hpp>
#include <glm/gtc/matrix_transform.hpp>

#include "game/level_object.hpp"
#include "game/scene.hpp"
#include "game/settings.hpp"
#include "game/shader.hpp"

float cascadeDistances[4] = {};
float shadowMapScales[3] = {};
glm::mat4 cascadeProjections[3] = {glm::mat4(1.0f), glm::mat4(1.0f), glm::mat4(1.0f)};
glm::mat4 cascadeViews[3] = {glm::mat4(1.0f), glm::mat4(1.0f), glm::mat4(1.0f)};
glm::mat4 cascadeViewProjections[3] = {glm::mat4(1.0f), glm::mat4(1.0f), glm::mat4(1.0f)};
glm::mat4 cascadeDepthBias[3] = {glm::mat4(1.0f), glm::mat4(1.0f), glm::mat4(1.0f)};

GLuint lightDepthProgram = 0;
GLuint shadowFramebuffer = 0;
GLuint shadowDepthTextures[3] = {};
bool shadowMapsReady = false;
std::string shadowMapUniformNames[3];
GLint shadowMapLocations[3] = {-1, -1, -1};
GLint depthBiasLocation = -1;

const glm::vec3 lightDirectionBase(0.2f, 0.2f, 0.8f);
glm::vec3 lightDirection(0.2f, 0.2f, 0.8f);
const glm::mat4 lightBaseMatrix(1.0f);
glm::vec3 lightPosition(0.0f);
GLint dirLightLocations[5] = {-1, -1, -1, -1, -1};

glm::mat4 shadowBiasMatrix()
{
    return glm::mat4(0.5f, 0.0f, 0.0f, 0.0f, 0.0f, 0.5f, 0.0f, 0.0f, 0.0f, 0.0f, 0.5f, 0.0f, 0.5f, 0.5f, 0.5f, 1.0f);
}

void setDirectionalLight()
{
    glUniform3fv(dirLightLocations[0], 1, &lightDirection[0]);
    glUniform3f(dirLightLocations[1], 1.0f, 1.0f, 0.8f);
    glUniform1f(dirLightLocations[2], 0.4f);
    glUniform1f(dirLightLocations[3], 1.5f);
    glUniform1f(dirLightLocations[4], 1.25f);
}

void Scene::initShadows()
{
    // Scene::load built the main program already; the first build is not kept
    if (mainProgram)
        glDeleteProgram(mainProgram);
    mainProgram = LoadShaders("Shaders/NewShadingExperiment.vertexshader",
                              "Shaders/NewShadingExperiment.fragmentshader");
    glUseProgram(mainProgram);

    depthBiasLocation = glGetUniformLocation(mainProgram, "DepthBiasMVP");
    for (int i = 0; i < 3; ++i)
    {
        shadowMapUniformNames[i] = "shadowMap[" + std::to_string(i) + "]";
        shadowMapLocations[i] = glGetUniformLocation(mainProgram, shadowMapUniformNames[i].c_str());
    }
    glUniform1fv(glGetUniformLocation(mainProgram, "cascadeDistances"), 4, cascadeDistances);

    lightPosition = glm::vec3(4.0f, 4.0f, -8.0f);
    glUniform3fv(glGetUniformLocation(mainProgram, "LightPosition_worldspace"), 1, &lightPosition[0]);
    glUniform1f(glGetUniformLocation(mainProgram, "specularPowerFactor"), 2.0f);

    const char* names[5] = {"dirLight.direction", "dirLight.color", "dirLight.ambient", "dirLight.diffuse",
                            "dirLight.specular"};
    for (int i = 0; i < 5; ++i)
        dirLightLocations[i] = glGetUniformLocation(mainProgram, names[i]);
    setDirectionalLight();
}

namespace
{
    // The largest depth texture the driver can both store and render into, per dimension.
    glm::ivec2 largestShadowMap()
    {
        GLint texture = 0;
        GLint framebuffer[2] = {};
        GLint viewport[2] = {};
        glGetIntegerv(GL_MAX_TEXTURE_SIZE, &texture);
        glGetIntegerv(GL_MAX_FRAMEBUFFER_WIDTH, &framebuffer[0]);
        glGetIntegerv(GL_MAX_FRAMEBUFFER_HEIGHT, &framebuffer[1]);
        glGetIntegerv(GL_MAX_VIEWPORT_DIMS, viewport);
        return glm::ivec2(std::min({texture, framebuffer[0], viewport[0]}),
                          std::min({texture, framebuffer[1], viewport[1]}));
    }

    const char* framebufferStatusName(GLenum status)
    {
        switch (status)
        {
        case GL_FRAMEBUFFER_INCOMPLETE_ATTACHMENT:
            return "incomplete attachment";
        case GL_FRAMEBUFFER_INCOMPLETE_MISSING_ATTACHMENT:
            return "missing attachment";
        case GL_FRAMEBUFFER_INCOMPLETE_DRAW_BUFFER:
            return "incomplete draw buffer";
        case GL_FRAMEBUFFER_INCOMPLETE_READ_BUFFER:
            return "incomplete read buffer";
        case GL_FRAMEBUFFER_UNSUPPORTED:
            return "unsupported";
        default:
            return "incomplete";
        }
    }

} // namespace

glm::ivec2 shadowMapSizes[3] = {};

glm::ivec2 shadowMapSize(int width, int height, float scale, glm::ivec2 largest)
{
    return glm::min(glm::ivec2(int(float(width) * scale), int(float(height) * scale)), largest);
}

void Scene::initShadowMaps()
{
    lightDepthProgram = LoadShaders("Shaders/shadow_light_depth.vert", "Shaders/shadow_light_depth.frag");
    glUseProgram(lightDepthProgram);

    glGenFramebuffers(1, &shadowFramebuffer);
    glBindFramebuffer(GL_FRAMEBUFFER, shadowFramebuffer);

    depthMVPLocation = glGetUniformLocation(lightDepthProgram, "depthMVP");
    useDepthMVP = true;

    // cascade 0 at sixteen times the window exceeds what drivers offer
    const glm::ivec2 largest = largestShadowMap();
    glGenTextures(3, shadowDepthTextures);
    for (int i = 0; i < 3; ++i)
    {
        const int width = int(float(windowWidth) * shadowMapScales[i]);
        const int height = int(float(windowHeight) * shadowMapScales[i]);
        shadowMapSizes[i] = shadowMapSize(windowWidth, windowHeight, shadowMapScales[i], largest);
        if (shadowMapSizes[i] != glm::ivec2(width, height))
            std::fprintf(stderr, "[Shadows] Cascade %d: %d x %d texels exceed the driver's %d x %d; using %d x %d.\n", i,
                         width, height, largest.x, largest.y, shadowMapSizes[i].x, shadowMapSizes[i].y);

        glBindTexture(GL_TEXTURE_2D, shadowDepthTextures[i]);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_DEPTH_COMPONENT32, shadowMapSizes[i].x, shadowMapSizes[i].y, 0,
                     GL_DEPTH_COMPONENT, GL_FLOAT, nullptr);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_COMPARE_FUNC, GL_LEQUAL);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_COMPARE_MODE, GL_COMPARE_REF_TO_TEXTURE);
    }
    glBindTexture(GL_TEXTURE_2D, 0);

    // depth only: no colour buffer to draw into or read from
    glDrawBuffer(GL_NONE);
    glReadBuffer(GL_NONE);
    bool complete = true;
    for (int i = 0; i < 3 && complete; ++i)
    {
        glFramebufferTexture2D(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_TEXTURE_2D, shadowDepthTextures[i], 0);
        const GLenum status = glCheckFramebufferStatus(GL_FRAMEBUFFER);
        if (status != GL_FRAMEBUFFER_COMPLETE)
        {
            std::fprintf(stderr, "[Shadows] The shadow framebuffer with cascade %d is %s (0x%x); shadows are off.\n", i,
                         framebufferStatusName(status), status);
            complete = false;
        }
    }
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    shadowMapsReady = complete;
}

void Scene::updateCascades(const glm::mat4& view, const glm::vec3& cameraPosition, const glm::vec3& lightDirection)
{
    // the negated third row of the view: where the camera looks, in world space
    const glm::vec3 forward = -glm::vec3(view[0][2], view[1][2], view[2][2]);
    const glm::vec3 up(0.0f, 1.0f, 0.0f);
    for (int i = 0; i < 3; ++i)
    {
        const float d0 = cascadeDistances[i];
        const float d1 = cascadeDistances[i + 1];
        const glm::vec3 centre = cameraPosition + (d0 + (d1 - d0) * 0.5f) * forward;
        float r = 0.5f * d1 * (1.0f + std::tan(glm::pi<float>() / 8.0f));
        if (i == 0)
            r += 50.0f;

        Frustum& frustum = cascadeFrusta[i];
        frustum.nearDistance = -r;
        frustum.farDistance = r;
        frustum.nearHeight = frustum.nearWidth = frustum.farHeight = frustum.farWidth = 2.0f * r;
        frustum.setFromView(glm::inverse(glm::lookAt(centre, centre + lightDirection, up)));

        cascadeProjections[i] = glm::ortho(-r, r, -r, r, -r, r);
        cascadeViews[i] = glm::lookAt(centre + lightDirection, centre, up);
        cascadeViewProjections[i] = cascadeProjections[i] * cascadeViews[i];
    }
}

void Scene::renderShadowPass()
{
    terrainStepsDone = false;
    glEnable(GL_DEPTH_TEST);
    glDepthFunc(GL_LESS);
    if (!shadowMapsReady)
        return;
    updateCascades(camera.view, camera.position, lightDirection);
    if (!shadowsEnabled)
        return;

    glBindFramebuffer(GL_FRAMEBUFFER, shadowFramebuffer);
    glEnable(GL_CULL_FACE);
    glCullFace(GL_BACK);

    // the terrain's culling and trees serve the cascades and the main pass of this frame
    prepareTerrainForCamera();

    for (int i = 0; i < 3; ++i)
    {
        glUseProgram(lightDepthProgram);
        glFramebufferTexture2D(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_TEXTURE_2D, shadowDepthTextures[i], 0);
        glViewport(0, 0, shadowMapSizes[i].x, shadowMapSizes[i].y);
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);

        for (auto& entry : levelObjects)
            entry.second.draw(cascadeProjections[i], cascadeViews[i], 0.0f);

        if (!shadowTestLevel)
        {
            setTerrainUniforms(true);
            drawTerrain(i);
        }
    }
}
