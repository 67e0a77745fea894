// zelmora_terrain_gen: writes a terrain model for the game.
//
//   zelmora_terrain_gen [--grid W[xH]] [--profile alpine|gentle|flat] [--seed N] [--holes] OUTPUT.tif
//
// The model is (5214 + W) x (99 + H) samples, the terrain's window at row 99, column 5214 and
// W x H samples (default 6145 x 6145). With --grid the terrain's size file OUTPUT_size.dat
// is written too (sides of 512n + 1 samples make whole tiles); without it a stale one is
// removed. The other cache files beside OUTPUT are removed: they belong to the old model.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "model.hpp"

namespace
{
    int usage()
    {
        std::fprintf(stderr,
            "usage: zelmora_terrain_gen [--grid W[xH]] [--profile alpine|gentle|flat] [--seed N] [--holes] OUTPUT.tif\n"
            "  --grid W[xH]  window of W x H samples (512n + 1 for whole tiles); writes OUTPUT_size.dat\n"
            "  --profile     alpine (default): ranges, foothills, valleys; gentle: low hills; flat\n"
            "  --seed N      noise seed (default 1)\n"
            "  --holes       a no-data lake and a patch below sea level inside the window\n");
        return 2;
    }

    bool parseGrid(const char* text, norva::u32& width, norva::u32& height)
    {
        char* end = nullptr;
        const unsigned long w = std::strtoul(text, &end, 10);
        unsigned long h = w;
        if (*end == 'x')
        {
            h = std::strtoul(end + 1, &end, 10);
        }
        if (*end || w < 2 || h < 2 || w > 32769 || h > 32769)
        {
            return false;
        }
        width = norva::u32(w);
        height = norva::u32(h);
        return true;
    }

} // namespace

int main(int argc, char** argv)
{
    norva::u32 gridWidth = 6145;
    norva::u32 gridHeight = 6145;
    bool sizeFile = false;
    std::string profile = "alpine";
    norva::u32 seed = 1;
    bool holes = false;
    std::string output;

    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];
        if (arg == "--grid" && i + 1 < argc)
        {
            if (!parseGrid(argv[++i], gridWidth, gridHeight))
            {
                return usage();
            }
            sizeFile = true;
        }
        else if (arg == "--profile" && i + 1 < argc)
        {
            profile = argv[++i];
        }
        else if (arg == "--seed" && i + 1 < argc)
        {
            seed = norva::u32(std::strtoul(argv[++i], nullptr, 10));
        }
        else if (arg == "--holes")
        {
            holes = true;
        }
        else if (!arg.empty() && arg[0] != '-' && output.empty())
        {
            output = arg;
        }
        else
        {
            return usage();
        }
    }
    if (output.empty() || (profile != "alpine" && profile != "gentle" && profile != "flat"))
    {
        return usage();
    }

    terrain_gen::ModelOptions options;
    options.width = terrain_gen::windowColumn + gridWidth;
    options.height = terrain_gen::windowRow + gridHeight;
    const float cx = float(terrain_gen::windowColumn) + gridWidth * 0.4f;
    const float cy = float(terrain_gen::windowRow) + gridHeight * 0.6f;
    const float radius = std::max(4.0f, gridWidth * 0.02f);
    options.heights = [=](norva::u32 x, norva::u32 y)
    {
        // the survey ends a little west of the window
        if (x < terrain_gen::windowColumn / 8)
        {
            return terrain_gen::noData;
        }
        if (holes)
        {
            const float dx = float(x) - cx;
            const float dy = float(y) - cy;
            if (dx * dx + dy * dy < radius * radius)
            {
                return terrain_gen::noData;
            }
            if (dx > 3 * radius && dx < 5 * radius && dy > 0 && dy < 2 * radius)
            {
                return -12.5f;
            }
        }
        if (profile == "flat")
        {
            return 500.0f;
        }
        return profile == "gentle" ? terrain_gen::gentleHeight(float(x), float(y), seed)
                                   : terrain_gen::alpineHeight(float(x), float(y), seed);
    };

    std::string error;
    if (!terrain_gen::writeModel(output, options, error))
    {
        std::fprintf(stderr, "zelmora_terrain_gen: %s\n", error.c_str());
        return 1;
    }
    for (const char* suffix : { "_packed.dat", "_normals_packed.dat", "_errors_packed.dat", "_size.dat" })
    {
        std::remove((output + suffix).c_str());
    }
    if (sizeFile && !terrain_gen::writeSizeFile(output + "_size.dat", gridWidth, gridHeight))
    {
        std::fprintf(stderr, "zelmora_terrain_gen: cannot write %s_size.dat\n", output.c_str());
        return 1;
    }
    std::printf("%s: %u x %u samples, window %u x %u at row %u, column %u\n", output.c_str(),
        options.width, options.height, gridWidth, gridHeight, terrain_gen::windowRow, terrain_gen::windowColumn);
    return 0;
}
