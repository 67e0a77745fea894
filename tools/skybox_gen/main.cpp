// Writes the six faces of the "sunny_day" sky box as 512 x 512 24-bit BMPs: a
// horizon-to-zenith gradient, soft clouds and the sun where the scene's light comes from,
// over a ground-coloured lower half. Every pixel's colour is a function of its direction
// alone, so faces that share an edge agree along it. Deterministic: a fixed seed.
//
//   zelmora_skybox_gen OUTPUT_FOLDER [SIZE]

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include <glm/glm.hpp>

#include <norva/core/endian.hpp>

namespace
{
    // Toward the sun: the scene's directional light before it starts to rotate.
    const glm::vec3 sunDirection = glm::normalize(glm::vec3(0.2f, 0.2f, 0.8f));

    const glm::vec3 zenith(0.16f, 0.38f, 0.78f);
    const glm::vec3 horizon(0.70f, 0.81f, 0.92f);
    const glm::vec3 haze(0.62f, 0.66f, 0.66f);
    const glm::vec3 ground(0.42f, 0.38f, 0.30f);
    const glm::vec3 cloudLit(0.97f, 0.97f, 0.98f);
    const glm::vec3 cloudShade(0.70f, 0.73f, 0.79f);
    const glm::vec3 sunColour(1.0f, 0.98f, 0.92f);

    float smoothstep(float edge0, float edge1, float x)
    {
        const float t = std::clamp((x - edge0) / (edge1 - edge0), 0.0f, 1.0f);
        return t * t * (3.0f - 2.0f * t);
    }

    // 2D gradient noise over a permutation table from a fixed seed.
    class Noise
    {
    public:
        explicit Noise(unsigned seed)
        {
            std::iota(m_permutation.begin(), m_permutation.begin() + 256, 0);
            std::mt19937 rng(seed);
            std::shuffle(m_permutation.begin(), m_permutation.begin() + 256, rng);
            std::copy(m_permutation.begin(), m_permutation.begin() + 256, m_permutation.begin() + 256);
        }

        float operator()(float x, float y) const
        {
            const float fx = std::floor(x);
            const float fy = std::floor(y);
            const int ix = int(fx) & 255;
            const int iy = int(fy) & 255;
            const float dx = x - fx;
            const float dy = y - fy;
            const float u = fade(dx);
            const float v = fade(dy);
            const float a = glm::mix(gradient(ix, iy, dx, dy), gradient(ix + 1, iy, dx - 1, dy), u);
            const float b = glm::mix(gradient(ix, iy + 1, dx, dy - 1), gradient(ix + 1, iy + 1, dx - 1, dy - 1), u);
            return glm::mix(a, b, v); // about -0.7 .. 0.7
        }

        // Fractal sum of octaves, mapped to about 0..1.
        float fbm(float x, float y, int octaves) const
        {
            float sum = 0.0f;
            float amplitude = 0.5f;
            for (int i = 0; i < octaves; ++i)
            {
                sum += amplitude * (*this)(x, y);
                x = x * 2.03f + 17.1f;
                y = y * 2.03f - 5.3f;
                amplitude *= 0.5f;
            }
            return 0.5f + sum;
        }

    private:
        static float fade(float t) { return t * t * t * (t * (t * 6 - 15) + 10); }

        float gradient(int ix, int iy, float dx, float dy) const
        {
            static const float directions[8][2] = { { 1, 0 }, { -1, 0 }, { 0, 1 }, { 0, -1 },
                                                    { 0.7071f, 0.7071f }, { -0.7071f, 0.7071f },
                                                    { 0.7071f, -0.7071f }, { -0.7071f, -0.7071f } };
            const int h = m_permutation[m_permutation[ix & 255] + (iy & 255)] & 7;
            return directions[h][0] * dx + directions[h][1] * dy;
        }

        std::array<int, 512> m_permutation {};
    };

    glm::vec3 skyColour(glm::vec3 d, const Noise& noise)
    {
        d = glm::normalize(d);
        const float elevation = d.y;

        glm::vec3 colour;
        if (elevation >= 0.0f)
        {
            const float t = 1.0f - std::pow(1.0f - elevation, 3.0f);
            colour = glm::mix(horizon, zenith, t);
        }
        else
        {
            // a thin haze band below the horizon, then the ground
            colour = glm::mix(haze, ground, smoothstep(0.0f, 0.12f, -elevation));
            colour = glm::mix(colour, horizon, smoothstep(-0.03f, 0.0f, elevation));
        }

        const float cosSun = glm::dot(d, sunDirection);
        const float angle = std::acos(std::clamp(cosSun, -1.0f, 1.0f));

        // clouds on a flat layer: the direction meets the plane y = 1, so they shrink
        // toward the horizon, where they fade out
        if (elevation > 0.0f)
        {
            const float depth = 1.0f / (elevation + 0.12f);
            const float x = d.x * depth * 1.6f;
            const float z = d.z * depth * 1.6f;
            const float n = noise.fbm(x + 3.7f, z - 1.9f, 5);
            const float cover = smoothstep(0.50f, 0.72f, n) * smoothstep(0.02f, 0.22f, elevation);
            // thicker cloud is darker underneath; light near the sun brightens it
            const float thickness = smoothstep(0.55f, 0.85f, n);
            glm::vec3 cloud = glm::mix(cloudLit, cloudShade, thickness * 0.8f);
            cloud += glm::vec3(0.10f, 0.08f, 0.04f) * std::exp(-angle / 0.25f);
            colour = glm::mix(colour, cloud, cover * 0.9f);
        }

        // sun: disc, glow and a wide warm halo
        const float disc = 1.0f - smoothstep(0.024f, 0.032f, angle);
        colour += glm::vec3(1.0f, 0.85f, 0.6f) * (0.6f * std::exp(-angle / 0.06f) + 0.15f * std::exp(-angle / 0.35f));
        colour = glm::mix(colour, sunColour, disc);
        return glm::clamp(colour, 0.0f, 1.0f);
    }

    // The direction through texel centre (i, j) of a cube-map face, row 0 being the first
    // row uploaded (texture coordinate t = 0), as OpenGL lays out its faces.
    glm::vec3 faceDirection(int face, int i, int j, int size)
    {
        const float sc = 2.0f * (float(i) + 0.5f) / float(size) - 1.0f;
        const float tc = 2.0f * (float(j) + 0.5f) / float(size) - 1.0f;
        switch (face)
        {
        case 0: return { 1.0f, -tc, -sc };  // +x
        case 1: return { -1.0f, -tc, sc };  // -x
        case 2: return { sc, 1.0f, tc };    // +y
        case 3: return { sc, -1.0f, -tc };  // -y
        case 4: return { sc, -tc, 1.0f };   // +z
        default: return { -sc, -tc, -1.0f }; // -z
        }
    }

    // 24-bit BMP, rows bottom-up and padded to four bytes. Row 0 of the image is the top row
    // of the file as a viewer shows it, and the first row the game uploads.
    bool writeBMP(const std::string& path, const std::vector<unsigned char>& rgb, int size)
    {
        const int rowBytes = (size * 3 + 3) & ~3;
        const norva::u32 imageBytes = norva::u32(rowBytes) * norva::u32(size);
        unsigned char header[54] = { 'B', 'M' };
        norva::storeLE32(header + 2, 54 + imageBytes);
        norva::storeLE32(header + 10, 54);
        norva::storeLE32(header + 14, 40);
        norva::storeLE32(header + 18, norva::u32(size));
        norva::storeLE32(header + 22, norva::u32(size));
        norva::storeLE16(header + 26, 1);
        norva::storeLE16(header + 28, 24);
        norva::storeLE32(header + 34, imageBytes);
        norva::storeLE32(header + 38, 2835); // 72 dpi
        norva::storeLE32(header + 42, 2835);

        std::FILE* file = std::fopen(path.c_str(), "wb");
        if (!file)
            return false;
        bool ok = std::fwrite(header, 1, sizeof(header), file) == sizeof(header);
        std::vector<unsigned char> row(rowBytes, 0);
        for (int y = size - 1; y >= 0 && ok; --y)
        {
            for (int x = 0; x < size; ++x)
            {
                const unsigned char* p = &rgb[(size_t(y) * size + x) * 3];
                row[x * 3 + 0] = p[2];
                row[x * 3 + 1] = p[1];
                row[x * 3 + 2] = p[0];
            }
            ok = std::fwrite(row.data(), 1, row.size(), file) == row.size();
        }
        return std::fclose(file) == 0 && ok;
    }
} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
    {
        std::fprintf(stderr, "usage: %s OUTPUT_FOLDER [SIZE]\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    const int size = argc > 2 ? std::atoi(argv[2]) : 512;
    if (size < 4 || size > 4096)
    {
        std::fprintf(stderr, "size %d is out of range (4 .. 4096)\n", size);
        return 2;
    }

    // the file the game binds to each cube-map face, in the face order of faceDirection
    const char* names[6] = { "Left", "Right", "Top", "Bottom", "Back", "Front" };
    const Noise noise(20261210);
    std::vector<unsigned char> rgb(size_t(size) * size * 3);
    for (int face = 0; face < 6; ++face)
    {
        for (int j = 0; j < size; ++j)
        {
            for (int i = 0; i < size; ++i)
            {
                const glm::vec3 c = skyColour(faceDirection(face, i, j, size), noise);
                unsigned char* p = &rgb[(size_t(j) * size + i) * 3];
                for (int k = 0; k < 3; ++k)
                    p[k] = (unsigned char)std::lround(c[k] * 255.0f);
            }
        }
        const std::string path = folder + "/Daylight Box_" + names[face] + ".bmp";
        if (!writeBMP(path, rgb, size))
        {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            return 1;
        }
        std::printf("%s\n", path.c_str());
    }
    return 0;
}
