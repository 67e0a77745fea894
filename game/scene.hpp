#pragma once

#include <map>
#include <string>

#include <GL/glew.h>
#include <glm/glm.hpp>

#include "game/camera.hpp"
#include "game/level_object.hpp"

#if ZELMORA_TERRAIN
#include "terrain/terrain.hpp"
#endif

// Everything that is drawn: the level's objects, the camera, the terrain and the OpenGL
// objects of the sky box, the main pass and the debug quad.
class Scene
{
public:
    // Loads the level file (the shadow test level while shadowTestLevel is set) and
    // builds all of the scene's OpenGL state.
    void load(std::string path);

    // One frame: camera, shadow pass, then the shadow-map debug view or the sky box
    // followed by the main pass.
    void renderFrame(double now, double dt);

    // Deletes the level's OpenGL objects; the next load builds them again.
    void unload();

    // Before the context goes: unload, and the objects that survive a reload.
    void release();

    void initShadows();
    void initShadowMaps();
    void updateCascades(const glm::mat4& view, const glm::vec3& cameraPosition, const glm::vec3& lightDirection);
    void renderShadowPass();

    void initTerrain();
    void setTerrainUniforms(bool depthPass);
    void renderMainPass();

    // The terrain's patch counters for the statistics lines, reset once a second.
    int activeTiles() const;
    int activePatches() const;
    void resetTerrainCounters();

    std::map<int, LevelObject> levelObjects;
    GLuint mainProgram = 0;
    // the shadow cascades' light frusta, rebuilt every frame; the terrain culls against them
    Frustum cascadeFrusta[3];
#if ZELMORA_TERRAIN
    Terrain terrain;
#endif
    Camera camera;
    bool printStatistics = true;
    bool shadowTestLevel = false;

private:
    void drawSkyBox();
    void drawShadowDebugView();
    void prepareTerrainForCamera();
    void drawTerrain(int pass);
    void releaseTerrain();

    // set by the shadow pass when it ran the terrain's per-frame steps this frame
    bool terrainStepsDone = false;
};

extern Scene scene;

// The sky-box cube: 36 vertices on attribute 0, recorded in its own vertex array.
GLuint createSkyBoxCube();

// Uploads one face of the bound cube map; false (and a console line) when the file
// holds no image the library can decode.
bool loadCubeMapFace(GLuint texture, GLenum target, const char* fileName);
