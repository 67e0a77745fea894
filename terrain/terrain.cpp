#include "terrain.hpp"

#include <algorithm>
#include <cfloat>
#include <cstdio>
#include <cstring>

#include <norva/core/endian.hpp>

#include "game/paths.hpp"
#include "model_file.hpp"

namespace
{
    bool readSizeFile(const std::string& filename, norva::u32& width, norva::u32& height)
    {
        std::FILE* file = std::fopen(filename.c_str(), "rb");
        if (!file)
        {
            return false;
        }
        norva::u8 bytes[8];
        const bool complete = std::fread(bytes, 1, sizeof(bytes), file) == sizeof(bytes);
        std::fclose(file);
        if (!complete)
        {
            return false;
        }

        const norva::u32 w = norva::loadLE32(bytes + 0);
        const norva::u32 h = norva::loadLE32(bytes + 4);
        if (w < 1 || h < 1 || w > Terrain::maxGridSide || h > Terrain::maxGridSide)
        {
            std::fprintf(stderr, "[Terrain] Ignoring \"%s\": %u x %u is no usable grid size.\n",
                filename.c_str(), w, h);
            return false;
        }
        width = w;
        height = h;
        return true;
    }

    void writeSizeFile(const std::string& filename, norva::u32 width, norva::u32 height)
    {
        std::FILE* file = std::fopen(filename.c_str(), "wb");
        if (!file)
        {
            return;
        }
        norva::u8 bytes[8];
        norva::storeLE32(bytes + 0, width);
        norva::storeLE32(bytes + 4, height);
        std::fwrite(bytes, 1, sizeof(bytes), file);
        std::fclose(file);
    }

} // namespace

Terrain::Terrain()
    : grass(new Texture(grassTexturePath))
    , minHeight(FLT_MAX)
    , heightRange(-FLT_MAX)
{
}

Terrain::~Terrain()
{
    // The GL objects went with releaseGL(), while the context still existed; after it is
    // gone, GL calls are not allowed.
    freeArrays();
    delete grass;
    attributeLocations.clear();
    uniformLocations.clear();
    program.stages.clear();
}

void Terrain::freeArrays()
{
    auto release = [](auto*& array)
    {
        delete[] array;
        array = nullptr;
    };
    release(blockErrors);
    release(blockLevel);
    release(tileVisible);
    release(tileCameraVisible);
    for (norva::u8*& visible : tileCascadeVisible)
    {
        release(visible);
    }
    release(trees);
    for (MinMax*& level : minMax)
    {
        release(level);
    }
    release(heights);
    release(normals);
    view = HeightField();
}

void Terrain::allocateFrameArrays()
{
    const std::size_t tiles = tileCount();
    blockLevel = new norva::s32[tiles * blocksPerTile]();
    tileVisible = new norva::u8[tiles]();
    tileCameraVisible = new norva::u8[tiles]();
    for (norva::u8*& visible : tileCascadeVisible)
    {
        visible = new norva::u8[tiles]();
    }
    trees = new TileTree[tiles];
}

bool Terrain::load(std::string path)
{
    if (loaded)
    {
        return true;
    }

    const std::string modelPath = hostPath(path);
    const std::string sizeFile = modelPath + "_size.dat";

    if (!readSizeFile(sizeFile, width, height))
    {
        if (!terrainModelOpens(modelPath))
        {
            std::fprintf(stderr, "[Terrain] Cannot open the terrain model \"%s\"; there is no terrain.\n",
                modelPath.c_str());
            width = 0;
            height = 0;
            return false;
        }
        // the size of the window the import cuts, whatever the model's own size
        width = defaultGridSize;
        height = defaultGridSize;
        writeSizeFile(sizeFile, width, height);
    }

    const std::size_t samples = std::size_t(width) * height;
    const std::size_t tiles = tileCount();

    heights = new float[samples];
    for (norva::u32 level = 0; level < pyramidLevels; ++level)
    {
        minMax[level] = new MinMax[tiles << (2 * level)]();
    }

    if (!readPacked(modelPath + "_packed.dat"))
    {
        if (!importGeoTiff(modelPath))
        {
            // nothing is cached from a failed import: the next start tries again
            std::fprintf(stderr, "[Terrain] The terrain model \"%s\" could not be imported; there is no terrain.\n",
                modelPath.c_str());
            freeArrays();
            width = 0;
            height = 0;
            return false;
        }
        writePacked(modelPath + "_packed.dat");
    }

    model[1][1] = heightRange / metresPerSample;

    normals = new float[samples * 3]; // filled by the read or the computation
    if (!readNormals(modelPath + "_normals_packed.dat"))
    {
        computeNormals();
        writeNormals(modelPath + "_normals_packed.dat");
    }

    view = HeightField { heights, normals, width, height };

    blockErrors = new float[tiles * errorsPerTile];
    if (!readErrors(modelPath + "_errors_packed.dat"))
    {
        computeErrors();
        writeErrors(modelPath + "_errors_packed.dat");
    }

    allocateFrameArrays();

    loaded = 1;
    return true;
}
