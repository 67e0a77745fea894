#pragma once

#include <deque>
#include <string>

#include <glm/glm.hpp>

#include "game/camera_path.hpp"
#include "terrain/frustum.hpp"

class LevelObject;

// The flight model's keys of one frame: W or up, S or down, D or right, A or left, Q, E.
struct FlightKeys
{
    bool forward = false;
    bool backward = false;
    bool right = false;
    bool left = false;
    bool rollLeft = false;  // Q
    bool rollRight = false; // E
};

// The accumulated mouse angles (horizontalAngle lives with the settings), the flight speeds and
// the seconds each key has been held. They outlive a level: a reload keeps the speeds.
extern float verticalAngle;
extern float forwardSpeed;
extern float strafeSpeed;
extern float forwardHold;
extern float backwardHold;
extern float rightHold;
extern float leftHold;

// What the camera looks along, and its up vector, from the two mouse angles.
struct LookAngles
{
    glm::vec3 front;
    glm::vec3 right;
    glm::vec3 up;
};
LookAngles lookFromAngles(float horizontal, float vertical);

// The player's viewpoint: mouse look, the keyboard flight model, recording and playback of
// camera paths, the view and projection, the view frustum, and the level object it places
// ten units ahead of itself. It holds the key map that the GLFW key callback forwards to.
class Camera
{
public:
    Camera();
    explicit Camera(LevelObject& driven);

    // Per level: back to the driven object's position looking along -z; loads the camera path
    // when playing.
    void reset();

    // Per frame: mouse, flight model (unless playing), path, view, frustum, driven object.
    void update(double now, double dt);

    // update without the window: `mouse` is the cursor's offset from the window centre in
    // pixels (positive to the left and up), `keys` the flight keys held.
    void advance(double now, double dt, const glm::vec2& mouse, const FlightKeys& keys);

    // The flight model for one time step: speeds, position and roll from the keys.
    void fly(float dt, const FlightKeys& keys, const glm::vec3& right);

    // The keys that act once per press (repeats and releases are ignored).
    void onKey(int key, int scancode, int action, int mods);

    // P and M.
    void toggleRecording();
    void togglePlayback();

    // Writes and empties `path`.
    void savePath(std::string fileName);
    // Replaces `path` with the file's records; a file that cannot be played empties it.
    void loadPath(std::string fileName);

    struct Sample
    {
        glm::vec3 position;
        glm::vec3 up;
        glm::vec3 front;
    };
    // Position, up and front at `now`, between the two records around it; clears playHasData
    // once the path is used up.
    Sample samplePath(double now);

    bool recording = false;
    bool playing = true; // every level starts by playing the camera path back, when there is one
    double pathStart = -1.0;
    std::deque<CameraPathRecord> path;
    bool playHasData = false;
    CameraPathRecord prev;
    CameraPathRecord next;
    Frustum frustum;
    LevelObject* driven = nullptr;
    glm::mat4 view { 1.0f };
    glm::mat4 projection { 1.0f };
    glm::vec3 position { 0.0f, 0.0f, 10.0f };
    float yaw = 3.14f;
    float pitch = 0.0f;
    float roll = 0.0f;
    float rollSpeed = 10.0f;    // radians per second
    float mouseSpeed = 0.0005f; // radians per pixel
    glm::vec3 front { 0.0f };
    glm::vec3 up { 0.0f, 1.0f, 0.0f };

private:
    void startPlayback();
    void placeDriven();
};

// The file the P and M keys write and read.
extern const char* const cameraPathFile;
