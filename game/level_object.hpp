#pragma once

#include <memory>
#include <string>
#include <vector>

#include <GL/glew.h>
#include <glm/glm.hpp>
#include <norva/core/configure.hpp>

struct aiMesh;
struct aiScene;
class Texture;

namespace zelmora::scene
{
    // Something that moves a level object over time.
    class Animation
    {
    public:
        virtual void apply(glm::mat4& model, float timeStep) = 0;
        virtual void applyOrbit(glm::mat4& model, glm::mat4& pivot, float timeStep, bool flag) = 0;

    protected:
        ~Animation() = default;
    };

    // Turns the object about `axis` at `speed` radians per unit of time step.
    class RotationAnimation final : public Animation
    {
    public:
        RotationAnimation(float speed, const glm::vec3& axis);

        void apply(glm::mat4& model, float timeStep) override;

        // Turns the model about `axis`, moves the pivot along, then tilts the model about x by
        // the same angle, keeping its translation. The flag is not read.
        void applyOrbit(glm::mat4& model, glm::mat4& pivot, float timeStep, bool flag) override;

        float speed;
        glm::vec3 axis;
    };

} // namespace zelmora::scene

// glm::rotate, except that an axis of zero length (or a non-finite angle or axis) turns nothing
// instead of filling the matrix with NaN.
glm::mat4 rotateSafely(const glm::mat4& m, float angle, const glm::vec3& axis);

// One Assimp mesh, triangles only.
struct Mesh
{
    norva::u32 indexCount = 0;
    norva::u32 materialIndex = 0;
    std::vector<glm::vec3> positions;
    std::vector<glm::vec2> uvs;     // (0, 0) where the mesh has no texture coordinates
    std::vector<glm::vec3> normals; // (0, 0, 0) where the mesh has no normals
    std::vector<norva::u32> indices; // three per triangle; 32 bits, so large meshes do not wrap
    glm::vec3 center { 0.0f };
    // the bounding box, grown from the origin: it always contains (0, 0, 0)
    glm::vec3 aabbMin { 0.0f };
    glm::vec3 aabbMax { 0.0f };
};

// One placed model of a level: its meshes and material textures, model and pivot matrices,
// the links to an anchor object, and an optional rotation animation. Copies share the
// animation; the OpenGL objects are released by releaseGL, not by the destructor.
class LevelObject
{
public:
    // Loads the mesh file and uploads the first mesh for drawing. `program` is the scene's main
    // program (the shader stages the level was built for).
    void init(const char* meshPath, GLuint* program);

    // Reads the mesh file through Assimp (triangulated, texture coordinates flipped) and
    // loads its material textures; false, with a console line, when Assimp cannot read it.
    bool loadModel(std::string path);

    // Meshes, then material textures.
    bool processScene(const aiScene* scene, const std::string& path);
    // The meshes alone (no OpenGL).
    void processMeshes(const aiScene* scene);
    void processMesh(unsigned i, const aiMesh* mesh);
    bool loadMaterials(const aiScene* scene, const std::string& path);

    // Draws the first mesh with the bound program (the light-depth program in the shadow pass):
    // advances the animation by timeStep, re-places the anchor, and sends the MVP to the depth
    // program when useDepthMVP is set.
    void draw(glm::mat4 projection, glm::mat4 view, float timeStep);

    // Turns the model about axis; angles of zero or below are not applied.
    void rotate(float angle, glm::vec3 axis);

    // Sets the translation of the anchor's model to this model applied to the anchor's
    // anchorTranslation (as a point).
    void placeAnchor();

    // Deletes the vertex array, the buffers and the material textures.
    void releaseGL();

    std::vector<Mesh> meshes;
    std::vector<Texture*> textures; // one per material
    bool loaded = false;
    norva::u8 mark = 0;
    norva::u8 isAnchor = 0;
    norva::u8 hasAttachment = 0;
    norva::u8 environment = 1;
    norva::s32 index = -1;
    glm::vec3 anchorTranslation { 0.0f };
    std::shared_ptr<zelmora::scene::RotationAnimation> animation;
    LevelObject* anchor = nullptr; // re-placed whenever this object moves
    glm::mat4 pivot { 1.0f };
    glm::mat4 model { 1.0f };
    bool initialised = false;

    // Each object has its own vertex array and buffers, filled once by init.
    GLuint vertexArray = 0;
    GLuint vertexBuffer = 0;
    GLuint uvBuffer = 0;
    GLuint normalBuffer = 0;
    GLuint elementBuffer = 0;

private:
    void upload();
    void releaseTextures();
};

// Where the shadow pass wants each object's MVP: the "depthMVP" uniform of the light-depth
// program, sent while useDepthMVP is set.
extern GLint depthMVPLocation;
extern bool useDepthMVP;

// The folder of a mesh file, where its material textures are looked for: the path up to its
// last '/', "/" when that is the first character, "." when it has none.
std::string modelFolder(const std::string& path);

// The image file of each material: its first diffuse texture in the model's folder, or
// "Textures/red.png" when it has none.
std::vector<std::string> materialTexturePaths(const aiScene* scene, const std::string& path);
