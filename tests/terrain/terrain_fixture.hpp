#pragma once

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "model.hpp"
#include "terrain.hpp"

namespace terrain_test
{
    using norva::u32;

    // A scratch folder holding "Textures/DTM Austria 50m LZW.tif" and its caches.
    class ModelFolder
    {
    public:
        ModelFolder()
        {
            const auto* info = testing::UnitTest::GetInstance()->current_test_info();
            dir = std::filesystem::temp_directory_path() /
                ("zelmora-terrain-" + std::to_string(getpid()) + "-" + info->test_suite_name() + "-" + info->name());
            std::filesystem::remove_all(dir);
            std::filesystem::create_directories(dir / "Textures");
            model = (dir / "Textures" / "DTM Austria 50m LZW.tif").string();
        }

        ~ModelFolder()
        {
            std::filesystem::remove_all(dir);
        }

        std::string cache(const char* suffix) const
        {
            return model + suffix;
        }

        bool exists(const char* suffix) const
        {
            return std::filesystem::exists(cache(suffix));
        }

        std::uintmax_t size(const char* suffix) const
        {
            return std::filesystem::file_size(cache(suffix));
        }

        // Writes a model whose window holds grid(x, y) and a size file for its grid.
        void write(u32 width, u32 height, std::function<float(u32, u32)> grid, float outside = 0.0f)
        {
            writeOptions(terrain_gen::windowModel(width, height, std::move(grid), outside));
            ASSERT_TRUE(terrain_gen::writeSizeFile(cache("_size.dat"), width, height));
        }

        void writeOptions(const terrain_gen::ModelOptions& options)
        {
            std::string error;
            ASSERT_TRUE(terrain_gen::writeModel(model, options, error)) << error;
        }

        std::filesystem::path dir;
        std::string model;
    };

    inline const char* const cacheSuffixes[] = { "_packed.dat", "_normals_packed.dat", "_errors_packed.dat" };

    inline std::size_t samples(const Terrain& t)
    {
        return std::size_t(t.width) * t.height;
    }

    inline float blockError(const Terrain& t, u32 tile, u32 level, u32 block)
    {
        return t.blockErrors[(std::size_t(tile) * Terrain::errorLevels + level) * Terrain::blocksPerTile + block];
    }

    // A varied but smooth height field in metres.
    inline float hills(u32 x, u32 y)
    {
        return 600.0f + 300.0f * std::sin(x * 0.013f) * std::cos(y * 0.021f) + 40.0f * std::sin((x + 2 * y) * 0.11f);
    }

} // namespace terrain_test
