#pragma once

#include <glm/glm.hpp>

class LevelObject;

// The player's viewpoint. It holds the key map that the GLFW key callback forwards to.
class Camera
{
public:
    Camera() = default;
    explicit Camera(LevelObject& driven);

    // Per level: the camera starts at its object, looking along -z.
    void reset();

    // Per frame: rebuilds the view matrix.
    void update(double now, double dt);

    // The keys that act once per press (repeats and releases are ignored).
    void onKey(int key, int scancode, int action, int mods);

    LevelObject* driven = nullptr;
    glm::mat4 view{1.0f};
    glm::mat4 projection{1.0f};
    glm::vec3 position{0.0f, 0.0f, 10.0f};
    float yaw = 3.14f;
    float pitch = 0.0f;
    float roll = 0.0f;
    glm::vec3 front{0.0f};
};
