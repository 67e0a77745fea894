#include "game/camera.hpp"

#include <GLFW/glfw3.h>
#include <glm/gtc/matrix_transform.hpp>

#include "game/level_object.hpp"
#include "game/settings.hpp"
#include "game/window.hpp"

Camera::Camera(LevelObject& driven)
    : driven(&driven)
{
    reset();
}

void Camera::reset()
{
    if (driven)
        position = glm::vec3(driven->model[3]);
    front = glm::vec3(0.0f, 0.0f, -1.0f);
    yaw = 3.1415927f;
    pitch = 0.0f;
    roll = 0.0f;
    projection = glm::perspective(glm::pi<float>() / 4.0f, float(windowWidth) / float(windowHeight), 0.1f, 3000.0f);
}

void Camera::update(double, double)
{
    view = glm::lookAt(position, position + front, glm::vec3(0.0f, 1.0f, 0.0f));
}

void Camera::onKey(int key, int, int action, int)
{
    if (action != GLFW_PRESS)
        return;
    if (applySettingsKey(key) == KeyEffect::SwitchWindow)
        createWindow();
}
