#include "game/camera.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <GLFW/glfw3.h>
#include <glm/gtc/matrix_transform.hpp>
#include <glm/gtc/quaternion.hpp>

#include "game/level_object.hpp"
#include "game/settings.hpp"
#include "game/window.hpp"

const char* const cameraPathFile = "cameraPath.bin";

float verticalAngle = 0.0f;
float forwardSpeed = 0.0f;
float strafeSpeed = 0.0f;
float forwardHold = 0.0f;
float backwardHold = 0.0f;
float rightHold = 0.0f;
float leftHold = 0.0f;

namespace
{
    const float pi = 3.1415927f;

    // A decay factor of one frame: 1 - k * dt, but never below 0, which a frame longer than
    // 1 / k seconds (common with software rendering) would give and flip the speed's sign.
    float decay(float k, float dt)
    {
        return std::max(0.0f, 1.0f - k * dt);
    }

    bool finite(const glm::mat4& m)
    {
        for (int c = 0; c < 4; ++c)
            for (int r = 0; r < 4; ++r)
                if (!std::isfinite(m[c][r]))
                    return false;
        return true;
    }

    // The axis of the spherical interpolation of two pure quaternions (vector part v, scalar 0).
    glm::vec3 slerpVectors(const glm::vec3& a, const glm::vec3& b, float f)
    {
        const glm::quat qa(0.0f, a.x, a.y, a.z);
        const glm::quat qb(0.0f, b.x, b.y, b.z);
        return glm::axis(glm::slerp(qa, qb, f));
    }

    bool pressed(int key)
    {
        return glfwGetKey(window, key) == GLFW_PRESS;
    }

    FlightKeys readFlightKeys()
    {
        FlightKeys keys;
        keys.forward = pressed(GLFW_KEY_W) || pressed(GLFW_KEY_UP);
        keys.backward = pressed(GLFW_KEY_S) || pressed(GLFW_KEY_DOWN);
        keys.right = pressed(GLFW_KEY_D) || pressed(GLFW_KEY_RIGHT);
        keys.left = pressed(GLFW_KEY_A) || pressed(GLFW_KEY_LEFT);
        keys.rollLeft = pressed(GLFW_KEY_Q);
        keys.rollRight = pressed(GLFW_KEY_E);
        return keys;
    }

} // namespace

LookAngles lookFromAngles(float h, float v)
{
    LookAngles look;
    look.front = glm::vec3(std::cos(v) * std::sin(h), std::sin(v), std::cos(v) * std::cos(h));
    look.right = glm::vec3(std::sin(h - pi / 2.0f), 0.0f, std::cos(h - pi / 2.0f));
    look.up = glm::cross(look.right, look.front);
    return look;
}

Camera::Camera() = default;

Camera::Camera(LevelObject& driven)
    : driven(&driven)
{
    reset();
    frustum = Frustum();
    frustum.nearDistance = 0.1f;
    frustum.farDistance = 3000.0f;
    const float t = std::tan(pi / 4.0f);
    const float r = float(windowHeight) / float(windowWidth);
    frustum.nearHeight = t * 0.1f * r;
    frustum.nearWidth = t * 0.1f;
    frustum.farHeight = t * 3000.0f * r;
    frustum.farWidth = t * 3000.0f;
}

void Camera::reset()
{
    if (playing)
        startPlayback();
    if (driven)
        position = glm::vec3(driven->model[3]);
    front = glm::vec3(0.0f, 0.0f, -1.0f);
    yaw = pi;
    pitch = 0.0f;
    roll = 0.0f;
    projection = glm::perspective(pi / 4.0f, float(windowWidth) / float(windowHeight), 0.1f, 3000.0f);
}

void Camera::startPlayback()
{
    loadPath(cameraPathFile);
    pathStart = -1.0;
    playHasData = !path.empty();
    if (playHasData)
        prev = next = path.front();
}

void Camera::fly(float dt, const FlightKeys& keys, const glm::vec3& right)
{
    const float a = decay(1.0f, dt);
    const float b = decay(0.3f, dt);
    const float brake = decay(3.0f, dt);

    if (!keys.forward)
    {
        forwardHold = 0.0f;
        if (forwardSpeed > 5.0f)
            forwardSpeed *= b;
    }
    else
    {
        forwardHold += dt;
        forwardSpeed = std::max(forwardSpeed, 5.0f + 50.0f * (1.0f - std::exp(-1.25f * forwardHold)));
    }

    if (!keys.backward)
    {
        backwardHold = 0.0f;
        if (forwardSpeed > 1.0f)
            forwardSpeed *= b;
    }
    else
    {
        backwardHold += dt;
        forwardSpeed = std::min(forwardSpeed, 1.0f - 50.0f * (1.0f - std::exp(-1.25f * backwardHold)));
    }

    if (!keys.right)
    {
        rightHold = 0.0f;
        strafeSpeed *= a;
    }
    else
    {
        rightHold += dt;
        if (strafeSpeed >= 0.0f)
            strafeSpeed = std::max(strafeSpeed, 17.0f * (1.0f - std::exp(-3.5f * rightHold)));
        else
        {
            // still moving left: brake first
            strafeSpeed *= brake;
            if (strafeSpeed > -0.2f)
                strafeSpeed = 0.0f;
        }
    }

    if (!keys.left)
    {
        leftHold = 0.0f;
        strafeSpeed *= a;
    }
    else
    {
        leftHold += dt;
        if (strafeSpeed <= 0.0f)
            strafeSpeed = std::min(strafeSpeed, -17.0f * (1.0f - std::exp(-3.5f * leftHold)));
        else
        {
            strafeSpeed *= brake;
            if (strafeSpeed < 0.2f)
                strafeSpeed = 0.0f;
        }
    }

    position += dt * forwardSpeed * front + dt * strafeSpeed * right;

    if (keys.rollLeft)
        roll += rollSpeed * dt;
    if (keys.rollRight)
        roll -= rollSpeed * dt;
}

void Camera::update(double now, double dt)
{
    double cursorX = 0.0;
    double cursorY = 0.0;
    glfwGetCursorPos(window, &cursorX, &cursorY);
    glfwSetCursorPos(window, windowWidth / 2, windowHeight / 2);
    const glm::vec2 mouse(float(windowWidth / 2 - cursorX), float(windowHeight / 2 - cursorY));
    advance(now, dt, mouse, readFlightKeys());
}

void Camera::advance(double now, double dt, const glm::vec2& mouse, const FlightKeys& keys)
{
    horizontalAngle += mouseSpeed * mouse.x;
    verticalAngle += mouseSpeed * mouse.y;
    yaw = horizontalAngle;
    pitch = verticalAngle;
    const LookAngles look = lookFromAngles(horizontalAngle, verticalAngle);
    front = look.front;
    up = look.up;

    if (!playing)
        fly(float(dt), keys, look.right);

    if (recording)
    {
        if (pathStart == -1.0)
            pathStart = now;
        CameraPathRecord record;
        record.time = now - pathStart;
        record.position = position;
        record.up = up;
        record.front = front;
        path.push_back(record);
    }
    else if (playing)
    {
        if (playHasData)
        {
            const Sample sample = samplePath(now);
            position = sample.position;
            up = sample.up;
            front = sample.front;
        }
        else
        {
            playing = false;
        }
    }

    // the camera's own view is never rolled, only the object it drives
    const glm::mat4 newView = glm::lookAt(position, position + front, up);
    if (finite(newView))
        view = newView;
    frustum.setFromView(glm::inverse(view));
    placeDriven();
}

void Camera::placeDriven()
{
    if (!driven)
        return;
    glm::mat4 model = glm::rotate(glm::inverse(view), roll, glm::vec3(0.0f, 0.0f, 1.0f));
    model[3] = glm::vec4(position + 10.0f * front, 1.0f);
    driven->model = model;
}

Camera::Sample Camera::samplePath(double now)
{
    if (pathStart == -1.0)
        pathStart = now;
    const double t = now - pathStart;

    Sample sample { next.position, next.up, next.front };
    while (t >= next.time)
    {
        if (path.empty())
        {
            playHasData = false;
            return sample;
        }
        prev = next;
        next = path.front();
        path.pop_front();
    }

    // A first record later than 0 leaves prev == next with the time still before it: no
    // difference to divide by, so the sample stays on that record.
    const double span = next.time - prev.time;
    double f = span > 0.0 ? (t - prev.time) / span : 0.0;
    f = std::clamp(std::isfinite(f) ? f : 0.0, 0.0, 1.0);
    const float ff = float(f);

    sample.position = (1.0f - ff) * prev.position + ff * next.position;
    sample.up = slerpVectors(prev.up, next.up, ff);
    sample.front = slerpVectors(prev.front, next.front, ff);
    return sample;
}

void Camera::savePath(std::string fileName)
{
    std::printf("Saving file %s \n", fileName.c_str());
    if (!writeCameraPath(fileName, path))
        std::printf("Opening file %s failed!\n", fileName.c_str());
    else
        std::printf("Writing File %s to disk done \n", fileName.c_str());
    std::fflush(stdout);
}

void Camera::loadPath(std::string fileName)
{
    std::printf("Loading file %s \n", fileName.c_str());
    std::string problem;
    switch (readCameraPath(fileName, path, problem))
    {
    case CameraPathRead::Missing:
        std::printf("Opening file %s failed!\n", fileName.c_str());
        break;
    case CameraPathRead::Rejected:
        // nothing of it is played: the flight model takes over
        path.clear();
        std::printf("Camera path %s rejected: %s\n", fileName.c_str(), problem.c_str());
        break;
    case CameraPathRead::Loaded:
        if (!problem.empty())
            std::printf("Camera path %s cut short: %s\n", fileName.c_str(), problem.c_str());
        std::printf("Loading File %s from disk done \n", fileName.c_str());
        break;
    }
    std::fflush(stdout);
}

void Camera::toggleRecording()
{
    if (recording)
    {
        savePath(cameraPathFile);
        playHasData = false;
        pathStart = -1.0;
        recording = false;
    }
    else if (!playing)
    {
        pathStart = -1.0;
        path.clear();
        recording = true;
    }
}

void Camera::togglePlayback()
{
    if (recording)
        return;
    if (playing)
    {
        playHasData = false;
        pathStart = -1.0;
        playing = false;
    }
    else
    {
        startPlayback();
        playing = true;
    }
}

void Camera::onKey(int key, int, int action, int)
{
    if (action != GLFW_PRESS)
        return;
    switch (key)
    {
    case GLFW_KEY_P:
        toggleRecording();
        return;
    case GLFW_KEY_M:
        togglePlayback();
        return;
    default:
        break;
    }
    if (applySettingsKey(key) == KeyEffect::SwitchWindow)
        createWindow();
}
