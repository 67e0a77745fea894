#include "frustum.hpp"

#include <cmath>

Frustum::Frustum()
    : nearDistance(0.0f)
    , nearHeight(0.0f)
    , nearWidth(0.0f)
    , farDistance(0.0f)
    , farHeight(0.0f)
    , farWidth(0.0f)
    , cascadeSplits {}
    , hasCascades(0)
{
}

void Frustum::setFromView(const glm::mat4& cameraToWorld)
{
    const glm::vec3 right = glm::normalize(glm::vec3(cameraToWorld[0]));
    const glm::vec3 up = glm::normalize(glm::vec3(cameraToWorld[1]));
    const glm::vec3 forward = -glm::normalize(glm::vec3(cameraToWorld[2]));
    const glm::vec3 eye = glm::vec3(cameraToWorld[3]);
    computePlanes(right, up, forward, eye);
}

void Frustum::computePlanes(const glm::vec3& right, const glm::vec3& up, const glm::vec3& forward, const glm::vec3& eye)
{
    // widened sides: objects just off screen still cast their shadows into view
    const glm::vec3 R = right * 1.5f;
    const glm::vec3 U = up * 1.5f;

    const glm::vec3 nc = eye + forward * nearDistance;
    const glm::vec3 fc = eye + forward * farDistance;
    const float hn = nearHeight / 2.0f;
    const float wn = nearWidth / 2.0f;
    const float hf = farHeight / 2.0f;
    const float wf = farWidth / 2.0f;

    const glm::vec3 nearTR = nc + U * hn + R * wn;
    const glm::vec3 nearTL = nc + U * hn - R * wn;
    const glm::vec3 nearBR = nc - U * hn + R * wn;
    const glm::vec3 nearBL = nc - U * hn - R * wn;
    const glm::vec3 farTR = fc + U * hf + R * wf;
    const glm::vec3 farTL = fc + U * hf - R * wf;
    const glm::vec3 farBR = fc - U * hf + R * wf;
    const glm::vec3 farBL = fc - U * hf - R * wf;

    planes[Near] = { nc, -forward };
    planes[Far] = { fc, forward };

    auto mean = [](const glm::vec3& a, const glm::vec3& b, const glm::vec3& c, const glm::vec3& d)
    {
        return (a + b + c + d) * 0.25f;
    };
    planes[Right] = { mean(farBR, farTR, nearTR, nearBR), glm::normalize(glm::cross(farBR - farTR, farTR - nearTR)) };
    planes[Left] = { mean(farBL, farTL, nearTL, nearBL), -glm::normalize(glm::cross(farBL - farTL, farTL - nearTL)) };
    planes[Top] = { mean(farTR, farTL, nearTR, nearTL), glm::normalize(glm::cross(farTR - farTL, farTL - nearTL)) };
    planes[Bottom] = { mean(farBR, farBL, nearBR, nearBL), -glm::normalize(glm::cross(farBR - farBL, farBL - nearBL)) };

    if (hasCascades)
    {
        for (int i = 0; i < 3; ++i)
        {
            cascadeSlabs[i][0] = { eye + forward * (cascadeSplits[i] * 0.9f), -forward };
            cascadeSlabs[i][1] = { eye + forward * (cascadeSplits[i + 1] * 1.1f), forward };
        }
    }
}

bool Frustum::boxOutside(const Plane& plane, const glm::vec3& min, const glm::vec3& max)
{
    const glm::vec3 c = (min + max) * 0.5f;
    const glm::vec3 e = (max - min) * 0.5f;
    const glm::vec3& n = plane.normal;
    const float reach = std::fabs(n.x) * e.x + std::fabs(n.y) * e.y + std::fabs(n.z) * e.z;
    return glm::dot(n, c) - glm::dot(n, plane.point) - reach > 0.0f;
}

bool Frustum::testBox(const glm::vec3& min, const glm::vec3& max, norva::u8 cascadeFlags[3]) const
{
    // near and far are left to the slabs, which reach 10% beyond the far distance
    for (int i = Right; i <= Bottom; ++i)
    {
        if (boxOutside(planes[i], min, max))
        {
            return false;
        }
    }

    bool result = false;
    for (int i = 0; i < 3; ++i)
    {
        if (!boxOutside(cascadeSlabs[i][0], min, max) && !boxOutside(cascadeSlabs[i][1], min, max) && cascadeEnabled[i])
        {
            cascadeFlags[i] = 1;
            result = true;
        }
    }
    return result;
}
