#include "game/shadows.hpp"

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

// The cascade depth textures and their framebuffer come with the shadow pass; until then
// shadowMapsReady stays clear and the frame is drawn without shadows.
void Scene::initShadowMaps()
{
}

void Scene::renderShadowPass()
{
    terrainStepsDone = false;
    glEnable(GL_DEPTH_TEST);
    glDepthFunc(GL_LESS);
    // Once shadowMapsReady can be set, the cascades are drawn from here, and the terrain's
    // per-frame steps run here (setting terrainStepsDone) while shadowsEnabled.
}
