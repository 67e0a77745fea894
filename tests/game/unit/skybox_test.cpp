// The shipped sky box: six faces of one seamless sky. Adjacent faces must agree along their
// shared edges in the orientation OpenGL gives cube-map faces, the sun must sit where the
// scene's light comes from, and the sky must be above the ground.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <string>

#include <glm/glm.hpp>

#include <norva/image/surface.hpp>

namespace
{
    // The files the game binds to GL_TEXTURE_CUBE_MAP_POSITIVE_X + face.
    const char* const faceFiles[6] = { "Left", "Right", "Top", "Bottom", "Back", "Front" };

    struct Texel
    {
        int face;
        float s; // 0..1 across the face, t = 0 the first uploaded row
        float t;
    };

    // Which face and where a direction meets the cube, as OpenGL selects it.
    Texel lookup(glm::vec3 d)
    {
        const glm::vec3 a = glm::abs(d);
        float sc, tc, ma;
        int face;
        if (a.x >= a.y && a.x >= a.z)
        {
            face = d.x > 0 ? 0 : 1;
            sc = d.x > 0 ? -d.z : d.z;
            tc = -d.y;
            ma = a.x;
        }
        else if (a.y >= a.z)
        {
            face = d.y > 0 ? 2 : 3;
            sc = d.x;
            tc = d.y > 0 ? d.z : -d.z;
            ma = a.y;
        }
        else
        {
            face = d.z > 0 ? 4 : 5;
            sc = d.z > 0 ? d.x : -d.x;
            tc = -d.y;
            ma = a.z;
        }
        return { face, 0.5f * (sc / ma + 1.0f), 0.5f * (tc / ma + 1.0f) };
    }

    // The direction through a point of a face, found by searching: the inverse of lookup
    // would share its table, so each face is placed by its centre and two probes instead.
    glm::vec3 direction(int face, float s, float t)
    {
        // centre, +s and +t directions of each face from lookup's own conventions
        static std::array<std::array<glm::vec3, 3>, 6> frames = [] {
            std::array<std::array<glm::vec3, 3>, 6> f {};
            const glm::vec3 axes[6] = { { 1, 0, 0 }, { -1, 0, 0 }, { 0, 1, 0 }, { 0, -1, 0 }, { 0, 0, 1 }, { 0, 0, -1 } };
            for (int k = 0; k < 6; ++k)
            {
                f[k][0] = axes[k];
                for (const glm::vec3& u : axes)
                {
                    if (glm::dot(u, axes[k]) != 0.0f)
                        continue;
                    const Texel p = lookup(axes[k] + 0.5f * u);
                    if (p.s > 0.6f)
                        f[k][1] = u;
                    if (p.t > 0.6f)
                        f[k][2] = u;
                }
            }
            return f;
        }();
        const auto& f = frames[face];
        return f[0] + (2.0f * s - 1.0f) * f[1] + (2.0f * t - 1.0f) * f[2];
    }

    class SkyBox : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            for (int k = 0; k < 6; ++k)
            {
                const std::string path =
                    std::string(ZELMORA_SOURCE_DIR) + "/assets/SkyBox/sunny_day/Daylight Box_" + faceFiles[k] + ".bmp";
                faces[k] = std::make_unique<norva::Bitmap>(path, norva::Format::RGBA8888);
                ASSERT_TRUE(faces[k]->status().success) << path << ": " << faces[k]->status().info;
                ASSERT_EQ(faces[k]->width, 512) << path;
                ASSERT_EQ(faces[k]->height, 512) << path;
            }
            size = faces[0]->width;
        }

        glm::vec3 pixel(int face, int i, int j) const
        {
            const norva::u8* p = faces[face]->address(i, j);
            return glm::vec3(p[0], p[1], p[2]);
        }

        static float largest(glm::vec3 v) { return std::max(v.x, std::max(v.y, v.z)); }

        struct Seams
        {
            float mean = 0.0f;   // over every texel along every edge
            float excess = 0.0f; // the worst step across an edge beyond the steps beside it
        };

        // Compares every texel along every edge with the texel that continues it across the
        // edge on the neighbouring face. Where a cloud's rim crosses an edge the step is as
        // steep as inside the faces: a seam is a step larger than the ones on either side.
        Seams seams(const std::array<int, 6>& order) const
        {
            Seams result;
            double sum = 0.0;
            int count = 0;
            for (int face = 0; face < 6; ++face)
            {
                for (int k = 0; k < size; ++k)
                {
                    // the edge texel, the texel beyond it, and the one inward of it
                    const int edge[4][6] = { { k, 0, k, -1, k, 1 }, { k, size - 1, k, size, k, size - 2 },
                                             { 0, k, -1, k, 1, k }, { size - 1, k, size, k, size - 2, k } };
                    for (const auto& e : edge)
                    {
                        const Texel across = lookup(direction(face, (e[2] + 0.5f) / size, (e[3] + 0.5f) / size));
                        EXPECT_NE(across.face, face);
                        const int i = std::clamp(int(across.s * size), 0, size - 1);
                        const int j = std::clamp(int(across.t * size), 0, size - 1);
                        // the texel inward of the one across, found the same way
                        const Texel beyond = lookup(direction(face, (2 * e[2] - e[0] + 0.5f) / size, (2 * e[3] - e[1] + 0.5f) / size));
                        const int bi = std::clamp(int(beyond.s * size), 0, size - 1);
                        const int bj = std::clamp(int(beyond.t * size), 0, size - 1);

                        const glm::vec3 here = pixel(order[face], e[0], e[1]);
                        const glm::vec3 there = pixel(order[across.face], i, j);
                        const float step = largest(glm::abs(here - there));
                        const float inside = std::max(largest(glm::abs(here - pixel(order[face], e[4], e[5]))),
                                                      largest(glm::abs(there - pixel(order[beyond.face], bi, bj))));
                        result.excess = std::max(result.excess, step - inside);
                        sum += step;
                        ++count;
                    }
                }
            }
            result.mean = float(sum / count);
            return result;
        }

        std::unique_ptr<norva::Bitmap> faces[6];
        int size = 0;
    };
} // namespace

TEST(SkyBoxLookup, DirectionAndLookupAgree)
{
    for (int face = 0; face < 6; ++face)
    {
        for (float s : { 0.1f, 0.5f, 0.8f })
        {
            for (float t : { 0.2f, 0.5f, 0.9f })
            {
                const Texel p = lookup(direction(face, s, t));
                EXPECT_EQ(p.face, face);
                EXPECT_NEAR(p.s, s, 1e-5f);
                EXPECT_NEAR(p.t, t, 1e-5f);
            }
        }
    }
}

TEST_F(SkyBox, AdjacentFacesJoinWithoutSeams)
{
    const std::array<int, 6> shipped = { 0, 1, 2, 3, 4, 5 };
    const Seams s = seams(shipped);
    EXPECT_LE(s.mean, 1.5f);
    EXPECT_LE(s.excess, 6.0f);

    // the check sees a face in the wrong place: two faces swapped show seams
    for (auto [a, b] : { std::pair(0, 1), std::pair(4, 5), std::pair(0, 4), std::pair(2, 3) })
    {
        std::array<int, 6> swapped = shipped;
        std::swap(swapped[a], swapped[b]);
        const Seams bad = seams(swapped);
        EXPECT_GT(bad.excess, 40.0f) << faceFiles[a] << " and " << faceFiles[b] << " swapped";
        EXPECT_GT(bad.mean, 5.0f) << faceFiles[a] << " and " << faceFiles[b] << " swapped";
    }
}

TEST_F(SkyBox, SunIsWhereTheLightComesFrom)
{
    // toward the scene's directional light before it starts to rotate
    const glm::vec3 light = glm::normalize(glm::vec3(0.2f, 0.2f, 0.8f));
    int bestFace = -1;
    float bestBrightness = -1.0f;
    glm::vec3 bestDirection(0.0f);
    for (int face = 0; face < 6; ++face)
    {
        for (int j = 0; j < size; ++j)
        {
            for (int i = 0; i < size; ++i)
            {
                const glm::vec3 c = pixel(face, i, j);
                const float brightness = c.x + c.y + c.z;
                if (brightness > bestBrightness)
                {
                    bestBrightness = brightness;
                    bestFace = face;
                    bestDirection = glm::normalize(direction(face, (i + 0.5f) / size, (j + 0.5f) / size));
                }
            }
        }
    }
    EXPECT_STREQ(faceFiles[bestFace], "Back");
    EXPECT_GT(glm::dot(bestDirection, light), std::cos(glm::radians(2.0f)));
    EXPECT_GE(bestBrightness, 3 * 245.0f);
}

TEST_F(SkyBox, BlueSkyAboveGroundBelow)
{
    // the top face is mostly open blue sky
    int blue = 0;
    for (int j = 0; j < size; ++j)
        for (int i = 0; i < size; ++i)
        {
            const glm::vec3 c = pixel(2, i, j);
            blue += c.z > c.x + 80.0f;
        }
    EXPECT_GT(blue, size * size / 2) << "the sky overhead is not blue";
    const glm::vec3 nadir = pixel(3, size / 2, size / 2);
    EXPECT_GE(nadir.x, nadir.z + 10.0f) << "the bottom face is not ground-coloured";
    EXPECT_GE(nadir.x, nadir.y) << "the ground must not read as terrain green";

    // every side face: a sky upper half and a ground lower half, clouds in the sky somewhere
    for (int face : { 0, 1, 4, 5 })
    {
        const glm::vec3 high = pixel(face, size / 2, size / 10);
        const glm::vec3 low = pixel(face, size / 2, size - 1 - size / 10);
        EXPECT_GT(high.z, high.x) << faceFiles[face];
        EXPECT_GT(low.x, low.z) << faceFiles[face];
        int cloudy = 0;
        for (int j = 0; j < size / 2; ++j)
            for (int i = 0; i < size; ++i)
            {
                const glm::vec3 c = pixel(face, i, j);
                cloudy += c.x > 200 && c.y > 200 && c.z > 200;
            }
        EXPECT_GT(cloudy, size * size / 200) << faceFiles[face] << " shows no clouds";
    }
}
