#pragma once

#include <glm/glm.hpp>

#include <norva/core/configure.hpp>

// Which shadow cascades take part in culling (keys 1, 2, 3); the game's settings define it.
extern bool cascadeEnabled[3];

// The culling volume of the camera and of the shadow cascades: six planes and, for the camera,
// three depth slabs that cut the view into the cascades' ranges. Deliberately generous: the
// sides are widened by half and neighbouring slabs overlap by ten per cent at each split.
class Frustum
{
public:
    // A point q and the outward unit normal n: p lies outside when dot(n, p - q) > 0.
    struct Plane
    {
        glm::vec3 point { 0.0f };
        glm::vec3 normal { 0.0f };
    };

    enum PlaneIndex { Near, Far, Right, Left, Top, Bottom };

    Frustum();

    // From a camera-to-world matrix: columns 0, 1 and -2 are right, up and forward, 3 the eye.
    void setFromView(const glm::mat4& cameraToWorld);

    // Rebuilds the planes and, when hasCascades is set, the cascade slabs.
    void computePlanes(const glm::vec3& right, const glm::vec3& up, const glm::vec3& forward, const glm::vec3& eye);

    // The camera-side box test: false when the box lies entirely beyond one of the four side
    // planes; otherwise sets cascadeFlags[i] for every enabled cascade whose slab the box
    // touches (flags are only set, never cleared) and returns whether it set any.
    bool testBox(const glm::vec3& min, const glm::vec3& max, norva::u8 cascadeFlags[3]) const;

    // True when the box lies entirely on the outer side of the plane.
    static bool boxOutside(const Plane& plane, const glm::vec3& min, const glm::vec3& max);

    Plane planes[6];
    Plane cascadeSlabs[3][2]; // near side (normal -forward), far side (normal forward)
    float nearDistance;
    float nearHeight;
    float nearWidth;
    float farDistance;
    float farHeight;
    float farWidth;
    float cascadeSplits[4];
    norva::u8 hasCascades;
};
