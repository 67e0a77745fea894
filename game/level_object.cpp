#include "game/level_object.hpp"

#include <cmath>
#include <cstdio>

#include <assimp/Importer.hpp>
#include <assimp/material.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <glm/gtc/matrix_transform.hpp>

#include "game/paths.hpp"
#include "game/texture.hpp"

GLint depthMVPLocation = -1;
bool useDepthMVP = false;

namespace zelmora::scene
{
    RotationAnimation::RotationAnimation(float speed, const glm::vec3& axis)
        : speed(speed)
        , axis(axis)
    {
    }

    void RotationAnimation::apply(glm::mat4& model, float timeStep)
    {
        model = rotateSafely(model, timeStep * speed, axis);
    }

    void RotationAnimation::applyOrbit(glm::mat4& model, glm::mat4& pivot, float timeStep, bool)
    {
        const float angle = timeStep * speed;
        model = rotateSafely(model, angle, axis);
        const glm::vec3 d = glm::vec3(pivot[3]) - glm::vec3(model[3]);
        pivot = model * glm::translate(glm::mat4(1.0f), d);
        const glm::vec4 translation = model[3];
        model = rotateSafely(model, angle, glm::vec3(1.0f, 0.0f, 0.0f));
        model[3] = translation;
    }

} // namespace zelmora::scene

glm::mat4 rotateSafely(const glm::mat4& m, float angle, const glm::vec3& axis)
{
    const float length = glm::length(axis);
    if (!(length > 0.0f) || !std::isfinite(length) || !std::isfinite(angle))
        return m;
    return glm::rotate(m, angle, axis);
}

std::string modelFolder(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::vector<std::string> materialTexturePaths(const aiScene* scene, const std::string& path)
{
    const std::string folder = modelFolder(path);
    std::vector<std::string> paths;
    for (unsigned i = 0; i < scene->mNumMaterials; ++i)
    {
        const aiMaterial* material = scene->mMaterials[i];
        aiString texture;
        if (aiGetMaterialTextureCount(material, aiTextureType_DIFFUSE) > 0 &&
            aiGetMaterialTexture(material, aiTextureType_DIFFUSE, 0, &texture) == AI_SUCCESS)
            paths.push_back(folder + "/" + texture.C_Str());
        else
            paths.push_back("Textures/red.png");
    }
    return paths;
}

void LevelObject::init(const char* meshPath, GLuint*)
{
    anchor = nullptr;
    model = glm::mat4(1.0f);
    loadModel(meshPath);
    if (!meshes.empty())
        pivot[3] = glm::vec4(meshes[0].center, 1.0f);
    upload();
    initialised = true;
}

bool LevelObject::loadModel(std::string path)
{
    releaseTextures();

    Assimp::Importer importer;
    const aiScene* scene = importer.ReadFile(hostPath(path), aiProcess_Triangulate | aiProcess_FlipUVs);
    if (path.find("suzanne") != std::string::npos)
        std::printf("found!suzanne\n");
    else
        std::printf("else found!%s\n", path.c_str());

    if (scene)
    {
        loaded = processScene(scene, path);
    }
    else
    {
        loaded = false;
        std::printf("Error parsing '%s': '%s'\n", path.c_str(), importer.GetErrorString());
    }
    return loaded;
}

bool LevelObject::processScene(const aiScene* scene, const std::string& path)
{
    processMeshes(scene);
    return loadMaterials(scene, path);
}

void LevelObject::processMeshes(const aiScene* scene)
{
    meshes.assign(scene->mNumMeshes, Mesh());
    textures.resize(scene->mNumMaterials, nullptr);
    for (unsigned i = 0; i < scene->mNumMeshes; ++i)
        processMesh(i, scene->mMeshes[i]);
}

void LevelObject::processMesh(unsigned i, const aiMesh* source)
{
    Mesh& mesh = meshes[i];
    mesh.materialIndex = source->mMaterialIndex;
    const bool hasUVs = source->HasTextureCoords(0);
    const bool hasNormals = source->HasNormals();
    mesh.positions.reserve(source->mNumVertices);
    mesh.uvs.reserve(source->mNumVertices);
    mesh.normals.reserve(source->mNumVertices);
    for (unsigned v = 0; v < source->mNumVertices; ++v)
    {
        const aiVector3D& p = source->mVertices[v];
        const glm::vec3 position(p.x, p.y, p.z);
        mesh.aabbMin = glm::min(mesh.aabbMin, position);
        mesh.aabbMax = glm::max(mesh.aabbMax, position);
        mesh.positions.push_back(position);
        if (hasUVs)
            mesh.uvs.emplace_back(source->mTextureCoords[0][v].x, source->mTextureCoords[0][v].y);
        else
            mesh.uvs.emplace_back(0.0f, 0.0f);
        if (hasNormals)
            mesh.normals.emplace_back(source->mNormals[v].x, source->mNormals[v].y, source->mNormals[v].z);
        else
            mesh.normals.emplace_back(0.0f);
    }
    for (unsigned f = 0; f < source->mNumFaces; ++f)
    {
        // lines and points have no triangle to give
        const aiFace& face = source->mFaces[f];
        if (face.mNumIndices < 3)
            continue;
        for (unsigned k = 0; k < 3; ++k)
            mesh.indices.push_back(face.mIndices[k]);
    }
    mesh.indexCount = norva::u32(mesh.indices.size());
    mesh.center = mesh.aabbMin + (mesh.aabbMax - mesh.aabbMin) * 0.5f;
}

bool LevelObject::loadMaterials(const aiScene* scene, const std::string& path)
{
    const std::vector<std::string> paths = materialTexturePaths(scene, path);
    for (unsigned i = 0; i < paths.size(); ++i)
    {
        textures[i] = new Texture(paths[i]);
        textures[i]->load();
        if (paths[i] != "Textures/red.png")
            std::printf("Loaded texture '%s'\n", paths[i].c_str());
    }
    return true;
}

void LevelObject::upload()
{
    glGenVertexArrays(1, &vertexArray);
    glGenBuffers(1, &vertexBuffer);
    glGenBuffers(1, &uvBuffer);
    glGenBuffers(1, &normalBuffer);
    glGenBuffers(1, &elementBuffer);
    if (meshes.empty())
        return;

    // attributes and the index buffer are recorded in the object's own vertex array
    const Mesh& mesh = meshes[0];
    glBindVertexArray(vertexArray);
    auto attribute = [](GLuint index, GLuint buffer, GLint size, GLsizeiptr bytes, const void* data)
    {
        glBindBuffer(GL_ARRAY_BUFFER, buffer);
        glBufferData(GL_ARRAY_BUFFER, bytes, data, GL_STATIC_DRAW);
        glEnableVertexAttribArray(index);
        glVertexAttribPointer(index, size, GL_FLOAT, GL_FALSE, 0, nullptr);
    };
    attribute(0, vertexBuffer, 3, GLsizeiptr(mesh.positions.size() * sizeof(glm::vec3)), mesh.positions.data());
    attribute(1, uvBuffer, 2, GLsizeiptr(mesh.uvs.size() * sizeof(glm::vec2)), mesh.uvs.data());
    attribute(2, normalBuffer, 3, GLsizeiptr(mesh.normals.size() * sizeof(glm::vec3)), mesh.normals.data());
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, elementBuffer);
    glBufferData(GL_ELEMENT_ARRAY_BUFFER, GLsizeiptr(mesh.indices.size() * sizeof(norva::u32)), mesh.indices.data(),
                 GL_STATIC_DRAW);
    glBindVertexArray(0);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
}

void LevelObject::draw(glm::mat4 projection, glm::mat4 view, float timeStep)
{
    if (!loaded || meshes.empty())
        return;
    if (animation)
        animation->applyOrbit(model, pivot, timeStep, true);
    placeAnchor();

    const glm::mat4 mvp = projection * view * model;
    if (useDepthMVP)
        glUniformMatrix4fv(depthMVPLocation, 1, GL_FALSE, &mvp[0][0]);

    glBindVertexArray(vertexArray);
    glDrawElements(GL_TRIANGLES, GLsizei(meshes[0].indexCount), GL_UNSIGNED_INT, nullptr);
    glBindVertexArray(0);
}

void LevelObject::rotate(float angle, glm::vec3 axis)
{
    if (angle <= 0.0f)
        return;
    model = rotateSafely(model, angle, axis);
    const glm::vec3 d = glm::vec3(pivot[3]) - glm::vec3(model[3]);
    pivot = model * glm::translate(glm::mat4(1.0f), d);
    placeAnchor();
}

void LevelObject::placeAnchor()
{
    if (anchor)
        anchor->model[3] = model * glm::vec4(anchor->anchorTranslation, 1.0f);
}

void LevelObject::releaseTextures()
{
    for (Texture*& texture : textures)
    {
        if (texture)
        {
            glDeleteTextures(1, &texture->glName);
            delete texture;
            texture = nullptr;
        }
    }
}

void LevelObject::releaseGL()
{
    glDeleteVertexArrays(1, &vertexArray);
    GLuint buffers[4] = {vertexBuffer, uvBuffer, normalBuffer, elementBuffer};
    glDeleteBuffers(4, buffers);
    vertexArray = vertexBuffer = uvBuffer = normalBuffer = elementBuffer = 0;
    releaseTextures();
}
