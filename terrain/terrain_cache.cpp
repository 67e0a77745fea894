// The four cache files: no header, little-endian, binary16 values (see half.hpp).
//   _packed.dat          width*height heights, f32 minHeight, f32 heightRange, then the
//                        min/max pyramid levels 0..3 as {min, max} pairs
//   _normals_packed.dat  width*height*3 normal components x, y, z
//   _errors_packed.dat   tiles*576 block errors

#include <bit>
#include <cstdio>
#include <cstring>
#include <memory>

#include "half.hpp"
#include "terrain.hpp"

namespace
{
    using norva::u16;
    using norva::u32;

    // Reads exactly `bytes` bytes; a missing or shorter file gives false, extra bytes are ignored.
    bool readFile(const std::string& filename, void* data, std::size_t bytes)
    {
        std::FILE* file = std::fopen(filename.c_str(), "rb");
        if (!file)
        {
            return false;
        }
        const std::size_t got = std::fread(data, 1, bytes, file);
        std::fclose(file);
        return got == bytes;
    }

    void writeFile(const std::string& filename, const void* data, std::size_t bytes)
    {
        std::FILE* file = std::fopen(filename.c_str(), "wb");
        if (!file)
        {
            return;
        }
        std::fwrite(data, 1, bytes, file);
        std::fclose(file);
    }

    std::size_t pyramidEntries(std::size_t tiles)
    {
        return tiles * (1 + 4 + 16 + 64);
    }

    u16 littleEndian(u16 value)
    {
        if constexpr (std::endian::native == std::endian::big)
        {
            return u16((value << 8) | (value >> 8));
        }
        return value;
    }

    u16 packRounding(float& value)
    {
        const u16 half = terrain_half::pack(value);
        value = terrain_half::unpack(half);
        return littleEndian(half);
    }

    void putFloat(u16* at, float value)
    {
        u32 bits = std::bit_cast<u32>(value);
        if constexpr (std::endian::native == std::endian::big)
        {
            bits = __builtin_bswap32(bits);
        }
        std::memcpy(at, &bits, 4);
    }

    float getFloat(const u16* at)
    {
        u32 bits;
        std::memcpy(&bits, at, 4);
        if constexpr (std::endian::native == std::endian::big)
        {
            bits = __builtin_bswap32(bits);
        }
        return std::bit_cast<float>(bits);
    }

} // namespace

bool Terrain::readPacked(const std::string& filename)
{
    const std::size_t samples = std::size_t(width) * height;
    const std::size_t tiles = tileCount();
    const std::size_t halves = samples + 4 + pyramidEntries(tiles) * 2;

    std::unique_ptr<u16[]> buffer(new u16[halves]);
    if (!readFile(filename, buffer.get(), halves * 2))
    {
        return false;
    }

    const u16* in = buffer.get();
    terrain_half::unpack(in, heights, samples);
    in += samples;
    minHeight = getFloat(in);
    heightRange = getFloat(in + 2);
    in += 4;
    for (u32 level = 0; level < pyramidLevels; ++level)
    {
        const std::size_t entries = tiles << (2 * level);
        for (std::size_t i = 0; i < entries; ++i)
        {
            minMax[level][i] = MinMax { terrain_half::unpack(littleEndian(*in++)), terrain_half::unpack(littleEndian(*in++)) };
        }
    }
    return true;
}

void Terrain::writePacked(const std::string& filename)
{
    const std::size_t samples = std::size_t(width) * height;
    const std::size_t tiles = tileCount();
    const std::size_t halves = samples + 4 + pyramidEntries(tiles) * 2;

    std::unique_ptr<u16[]> buffer(new u16[halves]);
    u16* out = buffer.get();
    terrain_half::packRounding(heights, out, samples);
    out += samples;
    putFloat(out, minHeight);
    putFloat(out + 2, heightRange);
    out += 4;
    for (u32 level = 0; level < pyramidLevels; ++level)
    {
        const std::size_t entries = tiles << (2 * level);
        for (std::size_t i = 0; i < entries; ++i)
        {
            MinMax& entry = minMax[level][i];
            *out++ = packRounding(entry.min);
            *out++ = packRounding(entry.max);
        }
    }
    writeFile(filename, buffer.get(), halves * 2);
}

bool Terrain::readNormals(const std::string& filename)
{
    const std::size_t halves = std::size_t(width) * height * 3;
    std::unique_ptr<u16[]> buffer(new u16[halves]);
    if (!readFile(filename, buffer.get(), halves * 2))
    {
        return false;
    }
    terrain_half::unpack(buffer.get(), normals, halves);
    return true;
}

void Terrain::writeNormals(const std::string& filename)
{
    const std::size_t halves = std::size_t(width) * height * 3;
    std::unique_ptr<u16[]> buffer(new u16[halves]);
    terrain_half::packRounding(normals, buffer.get(), halves);
    writeFile(filename, buffer.get(), halves * 2);
}

bool Terrain::readErrors(const std::string& filename)
{
    const std::size_t halves = std::size_t(tileCount()) * errorsPerTile;
    std::unique_ptr<u16[]> buffer(new u16[halves]);
    if (!readFile(filename, buffer.get(), halves * 2))
    {
        return false;
    }
    terrain_half::unpack(buffer.get(), blockErrors, halves);
    return true;
}

void Terrain::writeErrors(const std::string& filename)
{
    const std::size_t halves = std::size_t(tileCount()) * errorsPerTile;
    std::unique_ptr<u16[]> buffer(new u16[halves]);
    terrain_half::packRounding(blockErrors, buffer.get(), halves);
    writeFile(filename, buffer.get(), halves * 2);
}
