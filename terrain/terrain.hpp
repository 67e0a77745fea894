#pragma once

#include <map>
#include <string>

#include <GL/glew.h>
#include <glm/glm.hpp>

#include <norva/core/configure.hpp>

#include "game/shader.hpp"
#include "game/texture.hpp"
#include "tile_tree.hpp"

class Frustum;

// A non-owning view of the sample grid, for code that only reads it.
struct HeightField
{
    const float* heights = nullptr;
    const float* normals = nullptr; // x, y, z per sample
    norva::u32 width = 0;
    norva::u32 height = 0;
};

struct MinMax
{
    float min;
    float max;
};

// The height-field terrain: a fixed window of a single-band float GeoTIFF model, normalised
// to 0..1, with per-sample normals, a min/max pyramid per tile and per-block errors for nine
// coarser levels. Each product is cached beside the model in little-endian binary16.
//
// Grid: width x height samples, row-major (row = y = world z). A tile spans 512 sample
// intervals (513 samples, edges shared), a block 64; a tile holds 8 x 8 blocks.
//
// The data part (load, import, caches, precomputation) needs no GL context; the GL side is
// created and released by methods of its own while a context is current.
class Terrain : private norva::NonCopyable
{
public:
    static constexpr norva::u32 tileSize = 512;
    static constexpr norva::u32 blockSize = 64;
    static constexpr norva::u32 blocksPerTile = 64;
    static constexpr norva::u32 errorLevels = 9;
    static constexpr norva::u32 errorsPerTile = errorLevels * blocksPerTile; // 576
    static constexpr norva::u32 pyramidLevels = 4;

    // The grid cut from a model when no size file says otherwise.
    static constexpr norva::u32 defaultGridSize = 6145;
    // The model window's first row and column.
    static constexpr norva::u32 windowRow = 99;
    static constexpr norva::u32 windowColumn = 5214;
    // Larger sizes in a size file are taken for a damaged file (32 x 32 tiles is 4.3 GB).
    static constexpr norva::u32 maxGridSide = 32 * tileSize + 1;

    static constexpr const char* grassTexturePath = "Textures/GrassGreenTexture0002.jpg";

    Terrain();
    ~Terrain();

    // Loads the grid from the caches beside the model, or imports the model and writes them.
    // True once loaded; false, with a console line, when neither caches nor model give a
    // grid (the terrain then stays unloaded and draws nothing). A loaded terrain stays as it is.
    bool load(std::string path);

    // Reads the model window into heights, normalises it and fills the min/max pyramid.
    // False, with a console line, when the model cannot be read; heights are then undefined.
    bool importGeoTiff(const std::string& path);

    // True only when the whole file was read. A missing or short file leaves the arrays as they
    // are; a read error part way may leave them partly overwritten (the caller computes them
    // again then).
    bool readPacked(const std::string& filename);
    bool readNormals(const std::string& filename);
    bool readErrors(const std::string& filename);

    // Round the arrays through binary16 as they write them; failures are not reported
    // (a short file reads as missing and is made again).
    void writePacked(const std::string& filename);
    void writeNormals(const std::string& filename);
    void writeErrors(const std::string& filename);

    void computeNormals();
    void computeErrors();

    // Per frame, in this order: resetVisibility; the owner sets viewProjection, mvp and
    // cameraPosition; cullTiles; updateTrees; cullPatches; then draw once per pass.
    void resetVisibility();
    void cullTiles();
    void updateTrees();
    void cullPatches();

    // Tests a world box against the camera frustum (with its cascade slabs) and the light
    // frustum of every enabled cascade not yet flagged; sets *cameraFlag and the cascade flags
    // it passes. True when any test passed.
    bool testTile(const glm::vec3& min, const glm::vec3& max, norva::u8 cascadeFlags[3], norva::u8* cameraFlag) const;

    // The level (0..9) of each of the tile's 64 blocks: the coarsest whose error, projected
    // through mvp onto a viewport of the given size, stays within lodThreshold.
    void selectBlockLevels(norva::u32 tile, norva::u32 viewportWidth, norva::u32 viewportHeight);

    // Rebuilds the trees of the visible tiles from blockLevel, places their patches and
    // stitches every edge; the second half of updateTrees.
    void buildVisibleTrees();

    // Writes corner positions (sample units) and detail-texture coordinates of every leaf.
    void placePatches(TileNode* node, glm::ivec2 a, glm::ivec2 b, glm::vec2 t0, glm::vec2 t1);

    // The tessellation program, its locations and the height, normal and detail textures;
    // once, while a context is current, after load.
    void initGL();

    // Draws the patches visible in the pass: -1 the camera, 0..2 a shadow cascade. The caller
    // has made the program current and set the other uniforms and the render target.
    void draw(int pass);

    // -1 for a name the program does not have.
    GLint uniformLocation(const std::string& name) const;
    GLint attributeLocation(const std::string& name) const;

    // Deletes the GL objects (program, textures); call while the context is still current.
    void releaseGL();

    norva::u32 tilesX() const { return width >= tileSize + 1 && height >= tileSize + 1 ? (width - 1) / tileSize : 0; }
    norva::u32 tilesY() const { return width >= tileSize + 1 && height >= tileSize + 1 ? (height - 1) / tileSize : 0; }
    norva::u32 tileCount() const { return tilesX() * tilesY(); }

    HeightField view;
    glm::mat4 viewProjection { 1.0f };
    glm::mat4 mvp { 1.0f };
    glm::vec3 cameraPosition { 0.0f };
    glm::mat4 model { 1.0f };          // y scale heightRange / metresPerSample
    Texture* grass = nullptr;          // detail texture, owned; its image is uploaded with the GL side

    norva::u8* tileVisible = nullptr;
    norva::u8* tileCameraVisible = nullptr;
    norva::u8* tileCascadeVisible[3] = {};
    TileTree* trees = nullptr;

    ShaderProgram program;             // tessellation program
    GLuint displacementTex = 0;
    GLuint normalTex = 0;

    float* heights = nullptr;          // width * height, normalised 0..1
    float* normals = nullptr;          // width * height * 3, unit length
    MinMax* minMax[pyramidLevels] = {}; // level L: tiles * 4^L cells of 512 >> L intervals
    float minHeight;
    float heightRange;
    float metresPerSample = 50.0f;
    norva::u8 loaded = 0;
    norva::u8 glReady = 0;
    float* blockErrors = nullptr;      // (tile * 9 + level) * 64 + block
    norva::s32* blockLevel = nullptr;  // tiles * 64
    norva::u32 width = 0;
    norva::u32 height = 0;
    norva::s32 activeTiles = 0;
    norva::s32 activePatches = 0;
    Frustum* cameraFrustum = nullptr;
    Frustum* cascadeFrusta = nullptr;
    std::map<std::string, GLint> attributeLocations;
    std::map<std::string, GLint> uniformLocations;

    // The per-frame arrays of a tileCount() grid: block levels, visibility, trees.
    void allocateFrameArrays();

private:
    void freeArrays();
    // The min/max pyramid of the normalised heights.
    void buildPyramid();
};

// Which diagonal splits quad (x, y) (corners (x,y) .. (x+1,y+1)): a checkerboard of 32 x 32
// quads; true for the diagonal from (x, y) to (x+1, y+1).
inline bool quadUsesMainDiagonal(norva::u32 x, norva::u32 y)
{
    return ((x >> 5) & 1) == ((y >> 5) & 1);
}
