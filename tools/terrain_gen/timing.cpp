// zelmora_terrain_timing: the terrain's first run (model import, normals, errors, cache
// writes) against its cached start, in one run, with a straightforward single-threaded
// normal computation as the peer.
//
//   zelmora_terrain_timing [--grid W[xH]] [FOLDER]
//
// Writes an alpine model of the given window (default 6145 x 6145) into FOLDER (default
// "terrain-timing") unless one is there, then loads it twice. Progress lines go to standard
// error; redirect it to keep the figures readable.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include <norva/core/thread.hpp>

#include "model.hpp"
#include "reference.hpp"
#include "terrain.hpp"

namespace
{
    double seconds(std::chrono::steady_clock::time_point since)
    {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
    }

    template <typename F>
    double timed(F&& f)
    {
        const auto start = std::chrono::steady_clock::now();
        f();
        return seconds(start);
    }

} // namespace

int main(int argc, char** argv)
{
    norva::u32 width = 6145;
    norva::u32 height = 6145;
    std::string folder = "terrain-timing";
    for (int i = 1; i < argc; ++i)
    {
        if (!std::strcmp(argv[i], "--grid") && i + 1 < argc)
        {
            char* end = nullptr;
            width = height = norva::u32(std::strtoul(argv[++i], &end, 10));
            if (*end == 'x')
            {
                height = norva::u32(std::strtoul(end + 1, &end, 10));
            }
        }
        else
        {
            folder = argv[i];
        }
    }

    std::filesystem::create_directories(folder);
    const std::string model = folder + "/model.tif";
    if (!std::filesystem::exists(model))
    {
        terrain_gen::ModelOptions options = terrain_gen::windowModel(width, height, [](norva::u32 x, norva::u32 y)
        {
            return terrain_gen::alpineHeight(float(x + terrain_gen::windowColumn), float(y + terrain_gen::windowRow), 1);
        }, 300.0f);
        std::string error;
        std::printf("writing %s (%u x %u)...\n", model.c_str(), options.width, options.height);
        std::fflush(stdout);
        if (!terrain_gen::writeModel(model, options, error))
        {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
    }
    for (const char* suffix : { "_size.dat", "_packed.dat", "_normals_packed.dat", "_errors_packed.dat" })
    {
        std::remove((model + suffix).c_str());
    }
    if (width != Terrain::defaultGridSize || height != Terrain::defaultGridSize)
    {
        terrain_gen::writeSizeFile(model + "_size.dat", width, height);
    }

    auto first = std::make_unique<Terrain>();
    const double firstRun = timed([&] { first->load(model); });

    // the parts of the first run, once more on the loaded terrain
    const double import = timed([&] { first->importGeoTiff(model); });
    const double normals = timed([&] { first->computeNormals(); });
    const double errors = timed([&] { first->computeErrors(); });

    std::unique_ptr<float[]> reference(new float[std::size_t(width) * height * 3]);
    const double peer = timed([&]
    {
        terrain_gen::referenceNormals(first->heights, width, height, first->model[1][1], reference.get());
    });
    const bool same = !std::memcmp(reference.get(), first->normals, sizeof(float) * 3 * width * height);
    // (the writes round the arrays through binary16: after the comparison)
    const double writes = timed([&]
    {
        first->writePacked(model + "_packed.dat");
        first->writeNormals(model + "_normals_packed.dat");
        first->writeErrors(model + "_errors_packed.dat");
    });
    first.reset();

    auto second = std::make_unique<Terrain>();
    const double cached = timed([&] { second->load(model); });

    std::printf("grid %u x %u, %u tiles, %u pool threads\n", width, height,
        ((width - 1) / 512) * ((height - 1) / 512), norva::ThreadPool::getHardwareConcurrency());
    std::printf("%-44s %8.3f s\n", "first run (import, precompute, write caches)", firstRun);
    std::printf("%-44s %8.3f s\n", "cached start (read caches)", cached);
    std::printf("%-44s %8.3f s\n", "  import", import);
    std::printf("%-44s %8.3f s\n", "  normals", normals);
    std::printf("%-44s %8.3f s\n", "  errors", errors);
    std::printf("%-44s %8.3f s\n", "  precompute (normals + errors)", normals + errors);
    std::printf("%-44s %8.3f s\n", "  cache writes", writes);
    std::printf("%-44s %8.3f s  (%.1fx the terrain's, %s)\n", "peer: single-threaded reference normals", peer,
        peer / normals, same ? "bit-identical" : "DIFFERENT");
    return same ? 0 : 1;
}
