// Where the scene meets the terrain: loading it with the level, its uniforms, its
// per-frame culling steps, its draw calls, its statistics counters and its release.
// Without the terrain renderer in the build the scene draws the sky box alone.
#include "game/scene.hpp"

#if ZELMORA_TERRAIN

#include "game/settings.hpp"
#include "game/shadows.hpp"

namespace
{
    GLint terrainShadowMapLocations[3] = {-1, -1, -1};
    GLint terrainDepthBiasLocation = -1;
    // the shared fragment stage samples the shadow maps only while this is 1
    GLint terrainShadowsActiveLocation = -1;

    void setTerrainMatrices(Terrain& terrain, const glm::mat4& viewProjection, const glm::vec3& cameraPosition)
    {
        terrain.viewProjection = viewProjection;
        terrain.mvp = viewProjection * terrain.model;
        terrain.cameraPosition = cameraPosition;
    }

} // namespace

void Scene::initTerrain()
{
    if (shadowTestLevel)
        return;
    // a missing model leaves the terrain unloaded, with a console line, and nothing drawn
    glUseProgram(terrain.program.program);
    terrain.load("Textures\\DTM Austria 50m LZW.tif");
    terrain.initGL();
    terrain.cameraFrustum = &camera.frustum;
    terrain.cascadeFrusta = cascadeFrusta;
    for (int i = 0; i < 3; ++i)
        terrainShadowMapLocations[i] = terrain.uniformLocation(shadowMapUniformNames[i]);
    terrainDepthBiasLocation = terrain.uniformLocation("DepthBiasMVP");
    terrainShadowsActiveLocation =
        terrain.program.program ? glGetUniformLocation(terrain.program.program, "shadowsActive") : -1;
}

void Scene::releaseTerrain()
{
    terrain.releaseGL();
}

int Scene::activeTiles() const
{
    return terrain.activeTiles;
}

int Scene::activePatches() const
{
    return terrain.activePatches;
}

void Scene::resetTerrainCounters()
{
    terrain.activeTiles = 0;
    terrain.activePatches = 0;
}

void Scene::setTerrainUniforms(bool depthPass)
{
    const GLuint program = terrain.program.program;
    if (!program)
        return;
    glUseProgram(program);
    auto location = [&](const char* name) { return terrain.uniformLocation(name); };

    glUniform1i(location("depthRendering"), depthPass ? 1 : 0);
    glUniform1i(location("depthRendering2"), depthPass ? 1 : 0);
    glUniformMatrix4fv(location("V"), 1, GL_FALSE, &camera.view[0][0]);
    glUniform3fv(location("LightPosition_worldspace"), 1, &lightPosition[0]);
    glUniform1f(location("specularPowerFactor"), 2.0f);
    glUniform3fv(location("dirLight.direction"), 1, &lightDirection[0]);
    glUniform3f(location("dirLight.color"), 1.0f, 1.0f, 0.8f);
    glUniform1f(location("dirLight.ambient"), 0.4f);
    glUniform1f(location("dirLight.diffuse"), 1.5f);
    glUniform1f(location("dirLight.specular"), 1.25f);

    const bool shadows = shadowMapsReady && shadowsEnabled;
    glUniform1i(terrainShadowsActiveLocation, shadows && !depthPass ? 1 : 0);
    if (shadows)
    {
        glUniform1fv(location("cascadeDistances"), 4, cascadeDistances);
        for (int i = 0; i < 3; ++i)
            cascadeDepthBias[i] = shadowBiasMatrix() * cascadeViewProjections[i] * terrain.model;
        glUniformMatrix4fv(terrainDepthBiasLocation, 3, GL_FALSE, &cascadeDepthBias[0][0][0]);
        for (int i = 0; i < 3; ++i)
        {
            glActiveTexture(GL_TEXTURE1 + i);
            // A cascade being drawn must not also be bound for sampling (a feedback loop,
            // even though the depth pass never samples): the depth pass leaves the units empty.
            glBindTexture(GL_TEXTURE_2D, depthPass ? 0 : shadowDepthTextures[i]);
            glUniform1i(terrainShadowMapLocations[i], 1 + i);
        }
        glActiveTexture(GL_TEXTURE0);
    }
    glUniform1i(location("displacementMap"), 4);
    glUniform1i(location("normalMap"), 5);
    glUniform1i(location("myTextureSampler"), 7);
}

// The camera's matrices for the terrain, and its per-frame steps unless the shadow pass ran
// them this frame; they run at most once a frame, and whenever the shadow pass did not.
void Scene::prepareTerrainForCamera()
{
    if (!terrain.loaded)
        return;
    if (!terrainStepsDone)
        terrain.resetVisibility();
    // light frusta that were never built would take in every box
    terrain.cascadeFrusta = shadowMapsReady ? cascadeFrusta : nullptr;
    setTerrainMatrices(terrain, camera.projection * camera.view, camera.position);
    if (terrainStepsDone)
        return;
    terrain.cullTiles();
    terrain.updateTrees();
    terrain.cullPatches();
    terrainStepsDone = true;
}

// Pass -1 draws what the camera sees with the camera's matrices (set by
// prepareTerrainForCamera); pass 0..2 that cascade's patches with its light matrices.
void Scene::drawTerrain(int pass)
{
    if (!terrain.loaded)
        return;
    if (pass >= 0)
        setTerrainMatrices(terrain, cascadeProjections[pass] * cascadeViews[pass], camera.position);
    terrain.draw(pass);
}

#else

void Scene::initTerrain()
{
}

void Scene::releaseTerrain()
{
}

int Scene::activeTiles() const
{
    return 0;
}

int Scene::activePatches() const
{
    return 0;
}

void Scene::resetTerrainCounters()
{
}

void Scene::setTerrainUniforms(bool)
{
}

void Scene::prepareTerrainForCamera()
{
}

void Scene::drawTerrain(int)
{
}

#endif
