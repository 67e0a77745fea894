// The four cache files: no header, little-endian, binary16 values (see half.hpp).
//   _packed.dat          width*height heights, f32 minHeight, f32 heightRange, then the
//                        min/max pyramid levels 0..3 as {min, max} pairs
//   _normals_packed.dat  width*height*3 normal components x, y, z
//   _errors_packed.dat   tiles*576 block errors
//
// The large arrays are read and written in ranges on the thread pool, each range through a
// file handle of its own: a cached start is bound by converting 150 million halves.

#include <atomic>
#include <bit>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include <norva/core/endian.hpp>

#include "half.hpp"
#include "parallel.hpp"
#include "terrain.hpp"

namespace
{
    using norva::u16;
    using norva::u32;

    constexpr std::size_t rangeHalves = 1 << 20;

    struct File
    {
        std::FILE* file;
        explicit File(const std::string& name, const char* mode) : file(std::fopen(name.c_str(), mode)) {}
        ~File() { if (file) std::fclose(file); }
        bool seek(std::size_t offset) { return file && fseeko(file, off_t(offset), SEEK_SET) == 0; }
    };

    bool holds(const std::string& filename, std::uintmax_t bytes)
    {
        std::error_code error;
        const std::uintmax_t size = std::filesystem::file_size(filename, error);
        return !error && size >= bytes;
    }

    // Reads `count` halves from byte `offset` on into floats.
    bool readHalves(const std::string& filename, std::size_t offset, std::size_t count, float* out)
    {
        std::atomic<bool> complete { true };
        parallelFor(count, rangeHalves, [&](std::size_t begin, std::size_t end)
        {
            File file(filename, "rb");
            std::unique_ptr<u16[]> buffer(new u16[end - begin]);
            if (!file.seek(offset + begin * 2) || std::fread(buffer.get(), 2, end - begin, file.file) != end - begin)
            {
                complete = false;
                return;
            }
            terrain_half::unpack(buffer.get(), out + begin, end - begin);
        });
        return complete;
    }

    // Writes `count` halves of `values` (rounding them) from byte `offset` on, into a file that
    // exists already.
    void writeHalves(const std::string& filename, std::size_t offset, std::size_t count, float* values)
    {
        parallelFor(count, rangeHalves, [&](std::size_t begin, std::size_t end)
        {
            std::unique_ptr<u16[]> buffer(new u16[end - begin]);
            terrain_half::packRounding(values + begin, buffer.get(), end - begin);
            File file(filename, "r+b");
            if (file.seek(offset + begin * 2))
            {
                std::fwrite(buffer.get(), 2, end - begin, file.file);
            }
        });
    }

    std::size_t pyramidEntries(std::size_t tiles)
    {
        return tiles * (1 + 4 + 16 + 64);
    }

} // namespace

bool Terrain::readPacked(const std::string& filename)
{
    const std::size_t samples = std::size_t(width) * height;
    const std::size_t tiles = tileCount();
    const std::size_t tailHalves = 4 + pyramidEntries(tiles) * 2;
    if (!holds(filename, (samples + tailHalves) * 2))
    {
        return false;
    }

    // the range values and the pyramid, checked before the heights change
    std::unique_ptr<u16[]> tail(new u16[tailHalves]);
    {
        File file(filename, "rb");
        if (!file.seek(samples * 2) || std::fread(tail.get(), 2, tailHalves, file.file) != tailHalves)
        {
            return false;
        }
    }
    if (!readHalves(filename, 0, samples, heights))
    {
        return false;
    }

    minHeight = std::bit_cast<float>(norva::loadLE32(tail.get()));
    heightRange = std::bit_cast<float>(norva::loadLE32(tail.get() + 2));
    const u16* in = tail.get() + 4;
    for (u32 level = 0; level < pyramidLevels; ++level)
    {
        const std::size_t entries = tiles << (2 * level);
        for (std::size_t i = 0; i < entries; ++i, in += 2)
        {
            float pair[2];
            terrain_half::unpack(in, pair, 2);
            minMax[level][i] = MinMax { pair[0], pair[1] };
        }
    }
    return true;
}

void Terrain::writePacked(const std::string& filename)
{
    const std::size_t samples = std::size_t(width) * height;
    const std::size_t tiles = tileCount();
    const std::size_t tailHalves = 4 + pyramidEntries(tiles) * 2;

    std::unique_ptr<u16[]> tail(new u16[tailHalves]);
    norva::storeLE32(tail.get(), std::bit_cast<u32>(minHeight));
    norva::storeLE32(tail.get() + 2, std::bit_cast<u32>(heightRange));
    u16* out = tail.get() + 4;
    for (u32 level = 0; level < pyramidLevels; ++level)
    {
        const std::size_t entries = tiles << (2 * level);
        for (std::size_t i = 0; i < entries; ++i, out += 2)
        {
            MinMax& entry = minMax[level][i];
            float pair[2] = { entry.min, entry.max };
            terrain_half::packRounding(pair, out, 2);
            entry = MinMax { pair[0], pair[1] };
        }
    }

    {
        // truncates, and puts the tail in place; the heights fill the gap before it
        File file(filename, "wb");
        if (!file.seek(samples * 2) || std::fwrite(tail.get(), 2, tailHalves, file.file) != tailHalves)
        {
            return;
        }
    }
    writeHalves(filename, 0, samples, heights);
}

bool Terrain::readNormals(const std::string& filename)
{
    const std::size_t halves = std::size_t(width) * height * 3;
    return holds(filename, halves * 2) && readHalves(filename, 0, halves, normals);
}

void Terrain::writeNormals(const std::string& filename)
{
    const std::size_t halves = std::size_t(width) * height * 3;
    if (File(filename, "wb").file)
    {
        writeHalves(filename, 0, halves, normals);
    }
}

bool Terrain::readErrors(const std::string& filename)
{
    const std::size_t halves = std::size_t(tileCount()) * errorsPerTile;
    return holds(filename, halves * 2) && readHalves(filename, 0, halves, blockErrors);
}

void Terrain::writeErrors(const std::string& filename)
{
    const std::size_t halves = std::size_t(tileCount()) * errorsPerTile;
    if (File(filename, "wb").file)
    {
        writeHalves(filename, 0, halves, blockErrors);
    }
}
