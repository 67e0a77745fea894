// Where the scene meets the terrain: loading it with the level, its uniforms, its
// per-frame culling steps, its draw calls, its statistics counters and its release.
// Without the terrain renderer in the build the scene draws the sky box alone.
#include "game/scene.hpp"

#if ZELMORA_TERRAIN

void Scene::initTerrain()
{
    if (shadowTestLevel)
        return;
    // a missing model leaves the terrain unloaded, with a console line, and nothing drawn
    terrain.load("Textures\\DTM Austria 50m LZW.tif");
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

#endif

// The terrain's GL side (its tessellation program, culling and patch drawing) plugs in
// below; until it does, the terrain is loaded but not drawn. prepareTerrainForCamera sets
// the camera matrices and runs the per-frame culling steps unless the shadow pass ran them
// this frame (terrainStepsDone); drawTerrain draws pass -1 (camera) or 0..2 (cascades).

void Scene::setTerrainUniforms(bool)
{
}

void Scene::prepareTerrainForCamera()
{
}

void Scene::drawTerrain(int)
{
}
