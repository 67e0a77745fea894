#include "game/scene.hpp"

#include <algorithm>
#include <cstdio>

#include <glm/gtc/matrix_transform.hpp>

#include "game/image.hpp"
#include "game/level_parser.hpp"
#include "game/settings.hpp"
#include "game/shader.hpp"
#include "game/shadows.hpp"

Scene scene;

namespace
{
    GLuint skyBoxProgram = 0;
    GLuint skyBoxVertexBuffer = 0;
    GLuint skyBoxVertexArray = 0;
    GLuint skyBoxTexture = 0;
    GLint skyBoxInvViewLocation = -1;
    GLint skyBoxInvProjLocation = -1;

    GLuint quadProgram = 0;
    GLint quadTextureLocation = -1;
    GLuint quadVertexBuffer = 0;
    GLuint quadVertexArray = 0;

    // the shared fragment stage samples the shadow maps only while this says they hold
    // the frame's cascades
    GLint shadowsActiveLocation = -1;

    double sceneTime = 0.0;

    // Two triangles per face of the cube from -1 to 1.
    const GLfloat skyBoxVertices[36 * 3] = {
        -1, 1,  -1, -1, -1, -1, 1,  -1, -1, 1,  -1, -1, 1,  1,  -1, -1, 1,  -1, // -z
        -1, -1, 1,  -1, -1, -1, -1, 1,  -1, -1, 1,  -1, -1, 1,  1,  -1, -1, 1,  // -x
        1,  -1, -1, 1,  -1, 1,  1,  1,  1,  1,  1,  1,  1,  1,  -1, 1,  -1, -1, // +x
        -1, -1, 1,  -1, 1,  1,  1,  1,  1,  1,  1,  1,  1,  -1, 1,  -1, -1, 1,  // +z
        -1, 1,  -1, 1,  1,  -1, 1,  1,  1,  1,  1,  1,  -1, 1,  1,  -1, 1,  -1, // +y
        -1, -1, -1, -1, -1, 1,  1,  -1, -1, 1,  -1, -1, -1, -1, 1,  1,  -1, 1,  // -y
    };

    const GLfloat quadVertices[6 * 3] = {
        -1, -1, 0, 1, -1, 0, -1, 1, 0, -1, 1, 0, 1, -1, 0, 1, 1, 0,
    };

    struct CubeFace
    {
        GLenum target;
        const char* fileName;
    };

    const CubeFace skyBoxFaces[6] = {
        {GL_TEXTURE_CUBE_MAP_NEGATIVE_Z, "SkyBox/sunny_day/Daylight Box_Front.bmp"},
        {GL_TEXTURE_CUBE_MAP_POSITIVE_Z, "SkyBox/sunny_day/Daylight Box_Back.bmp"},
        {GL_TEXTURE_CUBE_MAP_POSITIVE_Y, "SkyBox/sunny_day/Daylight Box_Top.bmp"},
        {GL_TEXTURE_CUBE_MAP_NEGATIVE_Y, "SkyBox/sunny_day/Daylight Box_Bottom.bmp"},
        {GL_TEXTURE_CUBE_MAP_NEGATIVE_X, "SkyBox/sunny_day/Daylight Box_Right.bmp"},
        {GL_TEXTURE_CUBE_MAP_POSITIVE_X, "SkyBox/sunny_day/Daylight Box_Left.bmp"},
    };

    bool isPowerOfTwo(int n)
    {
        return n > 0 && (n & (n - 1)) == 0;
    }

    // glDelete* of 0 is ignored, so deleting twice (a switch, then the exit) is harmless.
    void deleteBuffer(GLuint& name)
    {
        glDeleteBuffers(1, &name);
        name = 0;
    }
    void deleteVertexArray(GLuint& name)
    {
        glDeleteVertexArrays(1, &name);
        name = 0;
    }
    void deleteTexture(GLuint& name)
    {
        glDeleteTextures(1, &name);
        name = 0;
    }
    void deleteProgram(GLuint& name)
    {
        glDeleteProgram(name);
        name = 0;
    }

} // namespace

GLuint createSkyBoxCube()
{
    glGenBuffers(1, &skyBoxVertexBuffer);
    glBindBuffer(GL_ARRAY_BUFFER, skyBoxVertexBuffer);
    glBufferData(GL_ARRAY_BUFFER, sizeof(skyBoxVertices), skyBoxVertices, GL_STATIC_DRAW);

    glGenVertexArrays(1, &skyBoxVertexArray);
    glBindVertexArray(skyBoxVertexArray);
    glEnableVertexAttribArray(0);
    glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, 0, nullptr);
    // left bound, later draws would record their attributes into the sky box's array
    glBindVertexArray(0);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    return skyBoxVertexArray;
}

bool loadCubeMapFace(GLuint texture, GLenum target, const char* fileName)
{
    glBindTexture(GL_TEXTURE_CUBE_MAP, texture);
    norva::Bitmap bitmap = loadImageRGBA(fileName);
    if (!bitmap.image)
        return false; // loadImageRGBA wrote "ERROR: could not load ..."
    if (!isPowerOfTwo(bitmap.width) || !isPowerOfTwo(bitmap.height))
        std::fprintf(stderr, "WARNING: image %s is not power-of-2 dimensions\n", fileName);
    uploadImageRGBA(target, bitmap);
    return true;
}

void Scene::load(std::string path)
{
    mainProgram = LoadShaders("Shaders/NewShadingExperiment.vertexshader",
                              "Shaders/NewShadingExperiment.fragmentshader");
    glUseProgram(mainProgram);

    if (shadowTestLevel)
        path = "Levels/ShadowLevel.txt";

    // the camera drives object 0; a level without one gets a default object there
    levelObjects = parseLevel(path, &mainProgram);
    camera = Camera(levelObjects[0]);

    if (shadowsEnabled)
    {
        const float distances[4] = {0.1f, 750.075f, 1500.05f, 3000.0f};
        const float scales[3] = {16.0f, 8.0f, 4.0f};
        std::copy(distances, distances + 4, cascadeDistances);
        std::copy(scales, scales + 3, shadowMapScales);
    }
    // a second time: a camera path in the file is loaded again
    camera.reset();
    for (int i = 0; i < 4; ++i)
        camera.frustum.cascadeSplits[i] = cascadeDistances[i];
    camera.frustum.hasCascades = 1;

    skyBoxProgram = LoadShaders("shaders/c_vs.glsl", "shaders/c_fs.glsl");
    glUseProgram(skyBoxProgram);
    createSkyBoxCube();

    glActiveTexture(GL_TEXTURE2);
    glGenTextures(1, &skyBoxTexture);
    for (const CubeFace& face : skyBoxFaces)
        loadCubeMapFace(skyBoxTexture, face.target, face.fileName);
    glTexParameteri(GL_TEXTURE_CUBE_MAP, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_CUBE_MAP, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_CUBE_MAP, GL_TEXTURE_WRAP_R, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_CUBE_MAP, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_CUBE_MAP, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glBindTexture(GL_TEXTURE_CUBE_MAP, 0);
    glActiveTexture(GL_TEXTURE0);

    skyBoxInvViewLocation = glGetUniformLocation(skyBoxProgram, "invView");
    skyBoxInvProjLocation = glGetUniformLocation(skyBoxProgram, "invProj");

    initShadows();
    shadowsActiveLocation = glGetUniformLocation(mainProgram, "shadowsActive");
    initTerrain();
    if (shadowsEnabled)
        initShadowMaps();

    quadProgram = LoadShaders("Shaders/testquad.vert", "Shaders/testquad.frag");
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glUseProgram(quadProgram);
    quadTextureLocation = glGetUniformLocation(quadProgram, "inputTexture");
    glGenBuffers(1, &quadVertexBuffer);
    glBindBuffer(GL_ARRAY_BUFFER, quadVertexBuffer);
    glBufferData(GL_ARRAY_BUFFER, sizeof(quadVertices), quadVertices, GL_STATIC_DRAW);
    glGenVertexArrays(1, &quadVertexArray);
    glBindVertexArray(quadVertexArray);
    glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, 0, nullptr);
    glBindVertexArray(0);
    glBindBuffer(GL_ARRAY_BUFFER, 0);

    sceneTime = 0.0;
}

void Scene::renderFrame(double now, double dt)
{
    camera.update(now, dt);
    sceneTime = now;

    if (blending)
    {
        glEnable(GL_DEPTH_TEST);
        glEnable(GL_BLEND);
        glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    }
    else
    {
        glDisable(GL_BLEND);
    }

    renderShadowPass();

    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glViewport(0, 0, windowWidth, windowHeight);

    if (shadowDebugView && shadowMapsReady && shadowsEnabled)
    {
        drawShadowDebugView();
        return;
    }
    drawSkyBox();
    renderMainPass();
}

void Scene::drawShadowDebugView()
{
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glUseProgram(quadProgram);
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, shadowDepthTextures[debugCascade]);
    // read as plain depth values: a sampler2D on a texture that compares is undefined
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_COMPARE_MODE, GL_NONE);
    glUniform1i(quadTextureLocation, 0);
    glBindVertexArray(quadVertexArray);
    glEnableVertexAttribArray(0);
    glDrawArrays(GL_TRIANGLES, 0, 6);
    glDisableVertexAttribArray(0);
    glBindVertexArray(0);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_COMPARE_MODE, GL_COMPARE_REF_TO_TEXTURE);
}

void Scene::drawSkyBox()
{
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glUseProgram(skyBoxProgram);
    glDisable(GL_CULL_FACE);
    glClearDepth(1.0);
    glDepthFunc(GL_LEQUAL);
    glDepthMask(GL_FALSE);
    glActiveTexture(GL_TEXTURE0);

    const glm::mat4 invView = glm::inverse(glm::mat4(glm::mat3(camera.view)));
    const glm::mat4 invProj = glm::inverse(camera.projection);
    glUniformMatrix4fv(skyBoxInvViewLocation, 1, GL_FALSE, &invView[0][0]);
    glUniformMatrix4fv(skyBoxInvProjLocation, 1, GL_FALSE, &invProj[0][0]);
    glBindTexture(GL_TEXTURE_CUBE_MAP, skyBoxTexture);
    glBindVertexArray(skyBoxVertexArray);
    glDrawArrays(GL_TRIANGLES, 0, 36);
    glBindVertexArray(0);

    glDepthMask(GL_TRUE);
    glDepthFunc(GL_LESS);
}

void Scene::renderMainPass()
{
    glUseProgram(mainProgram);
    glEnable(GL_CULL_FACE);
    glCullFace(GL_BACK);

    if (lightRotation)
    {
        const glm::mat4 rotation =
            glm::rotate(lightBaseMatrix, float(sceneTime) * 0.2f, glm::vec3(0.0f, 1.0f, 0.0f));
        lightDirection = glm::vec3(rotation * glm::vec4(lightDirectionBase, 1.0f));
        setDirectionalLight();
    }

    if (wireframe)
        glPolygonMode(GL_FRONT_AND_BACK, GL_LINE);

    glUniform1i(shadowsActiveLocation, shadowMapsReady && shadowsEnabled);
    if (shadowMapsReady && shadowsEnabled)
    {
        for (int i = 0; i < 3; ++i)
            cascadeDepthBias[i] = shadowBiasMatrix() * cascadeViewProjections[i];
        glUniformMatrix4fv(depthBiasLocation, 3, GL_FALSE, &cascadeDepthBias[0][0][0]);
        glActiveTexture(GL_TEXTURE1);
        glBindTexture(GL_TEXTURE_2D, shadowDepthTextures[0]);
        glUniform1i(shadowMapLocations[0], 1);
        glActiveTexture(GL_TEXTURE0);
    }

    prepareTerrainForCamera();
    if (!shadowTestLevel)
    {
        setTerrainUniforms(false);
        drawTerrain(-1);
    }

    if (wireframe)
        glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
}

void Scene::unload()
{
    for (auto& entry : levelObjects)
        entry.second.releaseGL();
    deleteBuffer(quadVertexBuffer);
    deleteVertexArray(quadVertexArray);
    deleteTexture(skyBoxTexture);
    deleteProgram(mainProgram);
    deleteProgram(lightDepthProgram);
    glDeleteFramebuffers(1, &shadowFramebuffer);
    shadowFramebuffer = 0;
    for (GLuint& texture : shadowDepthTextures)
        deleteTexture(texture);
    shadowMapsReady = false; // the depth textures are gone
    deleteProgram(skyBoxProgram);
    deleteBuffer(skyBoxVertexBuffer);
    deleteVertexArray(skyBoxVertexArray);
    // rebuilt by every load
    deleteProgram(quadProgram);
}

void Scene::release()
{
    unload();
    releaseTerrain();
}
