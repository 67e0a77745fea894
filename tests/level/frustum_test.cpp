#include <gtest/gtest.h>

#include <glm/gtc/matrix_transform.hpp>

#include "terrain/frustum.hpp"

namespace
{
    // A 90-degree view from the origin along -z: the half-extents at distance d are d, widened
    // to 1.5 d. Cascade splits 1, 10, 50, 100 give the slabs [0.9, 11], [9, 55] and [45, 110].
    class FrustumBoxes : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            cascadeEnabled[0] = cascadeEnabled[1] = cascadeEnabled[2] = true;
            frustum.nearDistance = 1.0f;
            frustum.nearHeight = frustum.nearWidth = 2.0f;
            frustum.farDistance = 100.0f;
            frustum.farHeight = frustum.farWidth = 200.0f;
            const float splits[4] = {1.0f, 10.0f, 50.0f, 100.0f};
            std::copy(splits, splits + 4, frustum.cascadeSplits);
            frustum.hasCascades = 1;
            frustum.setFromView(glm::mat4(1.0f));
        }
        void TearDown() override { cascadeEnabled[0] = cascadeEnabled[1] = cascadeEnabled[2] = true; }

        // A box around the point at `distance` ahead and `x`, `y` across, of half-size h.
        std::string test(float x, float y, float distance, float h = 0.5f)
        {
            norva::u8 flags[3] = {0, 0, 0};
            const glm::vec3 c(x, y, -distance);
            const bool in = frustum.testBox(c - glm::vec3(h), c + glm::vec3(h), flags);
            std::string result = in ? "in" : "out";
            for (int i = 0; i < 3; ++i)
                if (flags[i])
                    result += " " + std::to_string(i);
            return result;
        }

        Frustum frustum;
    };

} // namespace

TEST(FrustumPlanes, ZeroFilledThenBuiltWithOutwardUnitNormals)
{
    Frustum empty;
    EXPECT_EQ(empty.hasCascades, 0);
    for (const Frustum::Plane& p : empty.planes)
        EXPECT_EQ(p.normal, glm::vec3(0.0f));

    Frustum f;
    f.nearDistance = 1.0f;
    f.farDistance = 10.0f;
    f.nearHeight = f.nearWidth = 2.0f;
    f.farHeight = f.farWidth = 20.0f;
    f.computePlanes({1, 0, 0}, {0, 1, 0}, {0, 0, -1}, {0, 0, 0});
    EXPECT_EQ(f.planes[Frustum::Near].normal, glm::vec3(0, 0, 1));
    EXPECT_EQ(f.planes[Frustum::Near].point, glm::vec3(0, 0, -1));
    EXPECT_EQ(f.planes[Frustum::Far].normal, glm::vec3(0, 0, -1));
    // widened by half: the right plane runs through x = 1.5 d
    const glm::vec3 right = glm::normalize(glm::vec3(1, 0, 1.5f));
    EXPECT_NEAR(glm::distance(f.planes[Frustum::Right].normal, right), 0.0f, 1e-6f);
    EXPECT_NEAR(glm::distance(f.planes[Frustum::Left].normal, glm::vec3(-right.x, 0, right.z)), 0.0f, 1e-6f);
    EXPECT_NEAR(glm::distance(f.planes[Frustum::Top].normal, glm::vec3(0, right.x, right.z)), 0.0f, 1e-6f);
    EXPECT_NEAR(glm::distance(f.planes[Frustum::Bottom].normal, glm::vec3(0, -right.x, right.z)), 0.0f, 1e-6f);
    // the centre of the right face
    EXPECT_NEAR(glm::distance(f.planes[Frustum::Right].point, glm::vec3(1.5f * 5.5f, 0, -5.5f)), 0.0f, 1e-5f);
    // without cascades the slabs stay zero
    EXPECT_EQ(f.cascadeSlabs[2][1].normal, glm::vec3(0.0f));
}

TEST_F(FrustumBoxes, SidePlanesAreWidenedByHalf)
{
    EXPECT_EQ(test(0, 0, 30), "in 1");
    // at distance 50 the widened sides lie at 75
    EXPECT_EQ(test(74, 0, 50, 0.4f), "in 1 2");
    EXPECT_EQ(test(75.9f, 0, 50, 0.4f), "in 1 2"); // straddles the plane
    EXPECT_EQ(test(78, 0, 50, 0.4f), "out");
    EXPECT_EQ(test(-78, 0, 50, 0.4f), "out");
    EXPECT_EQ(test(0, 78, 50, 0.4f), "out");
    EXPECT_EQ(test(0, -78, 50, 0.4f), "out");
    // behind the eye the side planes close in on each other
    EXPECT_EQ(test(0, 0, -5), "out");
}

TEST_F(FrustumBoxes, SlabsDecideNearAndFar)
{
    // beyond the far distance but within 1.1 times the last split: accepted by the last slab
    EXPECT_EQ(test(0, 0, 105), "in 2");
    // beyond that: rejected by the slabs, not by the far plane
    EXPECT_EQ(test(0, 0, 115), "out");
    // nearer than 0.9 times the first split
    EXPECT_EQ(test(0, 0, 0.3f, 0.2f), "out");
    EXPECT_EQ(test(0, 0, 0.95f, 0.02f), "in 0");
    // the overlaps at each split set both flags
    EXPECT_EQ(test(0, 0, 10, 0.2f), "in 0 1");
    EXPECT_EQ(test(0, 0, 47, 0.5f), "in 1 2");
    // a box reaching across all three
    EXPECT_EQ(test(0, 0, 50, 49.0f), "in 0 1 2");
}

TEST_F(FrustumBoxes, DisabledCascadesAreNeitherFlaggedNorCounted)
{
    cascadeEnabled[1] = false;
    EXPECT_EQ(test(0, 0, 10, 0.2f), "in 0");
    EXPECT_EQ(test(0, 0, 30), "out"); // only cascade 1 would take it
    EXPECT_EQ(test(0, 0, 47, 0.5f), "in 2");
    cascadeEnabled[0] = cascadeEnabled[2] = false;
    for (float distance : {1.0f, 10.0f, 30.0f, 60.0f, 105.0f})
        EXPECT_EQ(test(0, 0, distance), "out") << distance;
    cascadeEnabled[1] = true;
    EXPECT_EQ(test(0, 0, 10, 0.2f), "in 1");
}

TEST_F(FrustumBoxes, FlagsAreOnlySetNeverCleared)
{
    norva::u8 flags[3] = {1, 0, 1};
    EXPECT_TRUE(frustum.testBox(glm::vec3(-1, -1, -31), glm::vec3(1, 1, -29), flags));
    EXPECT_EQ(flags[0], 1);
    EXPECT_EQ(flags[1], 1);
    EXPECT_EQ(flags[2], 1);
    // a rejected box leaves them as they were
    norva::u8 none[3] = {0, 1, 0};
    EXPECT_FALSE(frustum.testBox(glm::vec3(200, 0, -31), glm::vec3(201, 1, -30), none));
    EXPECT_EQ(none[0], 0);
    EXPECT_EQ(none[1], 1);
    EXPECT_EQ(none[2], 0);
}

TEST_F(FrustumBoxes, WithoutCascadesOnlyTheSidesAndTheEnablesCount)
{
    Frustum plain;
    plain.nearDistance = 1.0f;
    plain.nearHeight = plain.nearWidth = 2.0f;
    plain.farDistance = 100.0f;
    plain.farHeight = plain.farWidth = 200.0f;
    plain.setFromView(glm::mat4(1.0f));
    norva::u8 flags[3] = {0, 0, 0};
    // far beyond every slab, yet accepted: the zero slabs accept every box
    EXPECT_TRUE(plain.testBox(glm::vec3(-1, -1, -5001), glm::vec3(1, 1, -4999), flags));
    EXPECT_EQ(flags[0] + flags[1] + flags[2], 3);
    EXPECT_FALSE(plain.testBox(glm::vec3(9000, -1, -5001), glm::vec3(9001, 1, -4999), flags));
    cascadeEnabled[0] = cascadeEnabled[1] = cascadeEnabled[2] = false;
    EXPECT_FALSE(plain.testBox(glm::vec3(-1, -1, -51), glm::vec3(1, 1, -49), flags));
}

TEST_F(FrustumBoxes, BuiltFromAMovedAndTurnedCamera)
{
    // at (10, 5, 0) looking along +x: the camera-to-world matrix is the inverse view
    const glm::vec3 eye(10, 5, 0);
    frustum.setFromView(glm::inverse(glm::lookAt(eye, eye + glm::vec3(1, 0, 0), glm::vec3(0, 1, 0))));
    norva::u8 flags[3] = {0, 0, 0};
    auto box = [&](glm::vec3 c)
    {
        flags[0] = flags[1] = flags[2] = 0;
        return frustum.testBox(c - glm::vec3(0.5f), c + glm::vec3(0.5f), flags);
    };
    EXPECT_TRUE(box(eye + glm::vec3(30, 0, 0)));
    EXPECT_EQ(flags[1], 1);
    EXPECT_TRUE(box(eye + glm::vec3(30, 0, 44))); // within 1.5 x 30 to the side
    EXPECT_FALSE(box(eye + glm::vec3(30, 0, 47)));
    EXPECT_FALSE(box(eye + glm::vec3(0, 0, -30))); // beside the camera
    EXPECT_FALSE(box(eye + glm::vec3(-30, 0, 0))); // behind it
    EXPECT_FALSE(box(eye + glm::vec3(120, 0, 0))); // beyond the last slab
}
