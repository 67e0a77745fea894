#pragma once

#include <functional>
#include <string>

#include <norva/core/configure.hpp>

// Writes terrain models the way survey offices ship them: single-band float32 GeoTIFF
// samples in metres, one row per LZW strip, -32767 for no data. Also writes the variants a
// terrain must refuse (tiled, 16-bit) and realistic height fields.
namespace terrain_gen
{
    // Where the terrain cuts its grid from a model.
    constexpr norva::u32 windowRow = 99;
    constexpr norva::u32 windowColumn = 5214;
    constexpr float noData = -32767.0f;

    // Height in metres of model sample (column x, row y).
    using HeightFunction = std::function<float(norva::u32 x, norva::u32 y)>;

    struct ModelOptions
    {
        norva::u32 width = 0;          // model size in samples
        norva::u32 height = 0;
        HeightFunction heights;
        norva::u16 bitsPerSample = 32; // 32: IEEE float; 16: unsigned integer metres
        norva::u16 samplesPerPixel = 1; // samples after the first hold 12345
        bool tiled = false;            // 256 x 256 tiles instead of strips
        norva::u32 rowsPerStrip = 1;
        bool lzw = true;
        bool floatPredictor = true;    // horizontal differencing of float bytes (TIFF predictor 3)
    };

    // False with a message in `error` when the file cannot be written.
    bool writeModel(const std::string& path, const ModelOptions& options, std::string& error);

    // A model just large enough for a gridWidth x gridHeight window; `grid` gives the heights
    // inside the window in grid coordinates, `outside` the samples around it.
    ModelOptions windowModel(norva::u32 gridWidth, norva::u32 gridHeight,
        std::function<float(norva::u32 x, norva::u32 y)> grid, float outside = 0.0f);

    // The terrain's size file: u32 width, u32 height, little-endian.
    bool writeSizeFile(const std::string& path, norva::u32 width, norva::u32 height);

    // Alpine terrain in metres (about 150 .. 3500): ridged ranges, rolling foothills, valleys.
    float alpineHeight(float x, float y, norva::u32 seed);

    // Low rolling hills (about 300 .. 600 m), easy on the level of detail.
    float gentleHeight(float x, float y, norva::u32 seed);

} // namespace terrain_gen
