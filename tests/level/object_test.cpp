#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>

#include <assimp/Importer.hpp>
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <glm/gtc/matrix_transform.hpp>

#include "game/level_object.hpp"
#include "game/level_parser.hpp"

namespace
{
    // An OBJ read from memory the way the game reads its files.
    const aiScene* readObj(Assimp::Importer& importer, const std::string& text)
    {
        const aiScene* scene = importer.ReadFileFromMemory(text.data(), text.size(),
                                                           aiProcess_Triangulate | aiProcess_FlipUVs, "obj");
        EXPECT_TRUE(scene) << importer.GetErrorString();
        return scene;
    }

    LevelObject meshesOf(const std::string& text)
    {
        Assimp::Importer importer;
        LevelObject object;
        if (const aiScene* scene = readObj(importer, text))
            object.processMeshes(scene);
        return object;
    }

    // A box from (2, 1, 4) to (4, 3, 6): its own centre is (3, 2, 5), but its bounding box
    // grows from the origin.
    const char* const offsetBox = "v 2 1 4\nv 4 1 4\nv 4 3 4\nv 2 3 4\nv 2 1 6\nv 4 1 6\nv 4 3 6\nv 2 3 6\n"
                                  "f 1 2 3 4\nf 5 8 7 6\n";

    void expectNear(const glm::mat4& a, const glm::mat4& b, float tolerance = 1e-4f)
    {
        for (int c = 0; c < 4; ++c)
            for (int r = 0; r < 4; ++r)
                EXPECT_NEAR(a[c][r], b[c][r], tolerance) << "column " << c << " row " << r;
    }

    // Parses a level whose mesh paths name in-memory OBJ texts; each object gets its meshes
    // and its pivot as LevelObject::init gives them, without a GL context.
    std::map<int, LevelObject> parseWithMeshes(const std::string& level, const std::map<std::string, std::string>& objs)
    {
        std::istringstream in(level);
        return parseLevel(in, "test.txt",
                          [&](LevelObject& object, const std::string& path)
                          {
                              Assimp::Importer importer;
                              if (const aiScene* scene = readObj(importer, objs.at(path)))
                              {
                                  object.processMeshes(scene);
                                  object.loaded = true;
                                  object.pivot[3] = glm::vec4(object.meshes[0].center, 1.0f);
                              }
                          });
    }

} // namespace

TEST(LevelObjectMesh, TrianglesBoundsAndMaterialIndex)
{
    const LevelObject object = meshesOf(offsetBox);
    ASSERT_EQ(object.meshes.size(), 1u);
    const Mesh& mesh = object.meshes[0];
    // two quads, triangulated
    EXPECT_EQ(mesh.indexCount, 12u);
    EXPECT_EQ(mesh.indices.size(), 12u);
    EXPECT_EQ(mesh.aabbMin, glm::vec3(0.0f));
    EXPECT_EQ(mesh.aabbMax, glm::vec3(4, 3, 6));
    EXPECT_EQ(mesh.center, glm::vec3(2, 1.5f, 3));
    for (norva::u32 index : mesh.indices)
        EXPECT_LT(index, mesh.positions.size());
}

TEST(LevelObjectMesh, MissingNormalsAndTextureCoordinatesReadAsZero)
{
    const LevelObject bare = meshesOf("v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
    ASSERT_EQ(bare.meshes.size(), 1u);
    const Mesh& mesh = bare.meshes[0];
    ASSERT_EQ(mesh.normals.size(), 3u);
    ASSERT_EQ(mesh.uvs.size(), 3u);
    for (int i = 0; i < 3; ++i)
    {
        EXPECT_EQ(mesh.normals[i], glm::vec3(0.0f));
        EXPECT_EQ(mesh.uvs[i], glm::vec2(0.0f));
    }

    // with both: normals as given, texture coordinates flipped vertically
    const LevelObject full = meshesOf("v 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0.5 0.25\nvn 0 0 1\nf 1/1/1 2/1/1 3/1/1\n");
    ASSERT_EQ(full.meshes.size(), 1u);
    EXPECT_EQ(full.meshes[0].normals[0], glm::vec3(0, 0, 1));
    EXPECT_NEAR(full.meshes[0].uvs[0].x, 0.5f, 1e-6f);
    EXPECT_NEAR(full.meshes[0].uvs[0].y, 0.75f, 1e-6f);
}

TEST(LevelObjectMesh, LinesAndPointsGiveNoTriangles)
{
    const LevelObject object = meshesOf("v 0 0 0\nv 1 0 0\nv 0 1 0\nv 5 5 5\nf 1 2 3\nl 1 4\np 4\n");
    norva::u32 indices = 0;
    for (const Mesh& mesh : object.meshes)
    {
        EXPECT_EQ(mesh.indexCount % 3, 0u);
        for (norva::u32 index : mesh.indices)
            EXPECT_LT(index, mesh.positions.size());
        indices += mesh.indexCount;
    }
    EXPECT_EQ(indices, 3u);
}

TEST(LevelObjectMesh, MoreThan65535VerticesKeepTheirIndices)
{
    const int triangles = 23000; // 69,000 vertices
    std::string text;
    for (int t = 0; t < triangles; ++t)
    {
        const std::string x = std::to_string(t);
        text += "v " + x + " 0 0\nv " + x + " 1 0\nv " + x + " 0 1\n";
    }
    for (int t = 0; t < triangles; ++t)
        text += "f " + std::to_string(3 * t + 1) + " " + std::to_string(3 * t + 2) + " " + std::to_string(3 * t + 3) + "\n";
    const LevelObject object = meshesOf(text);
    ASSERT_EQ(object.meshes.size(), 1u);
    const Mesh& mesh = object.meshes[0];
    ASSERT_EQ(mesh.positions.size(), 69000u);
    ASSERT_EQ(mesh.indexCount, 69000u);
    // the last triangle still points at the last vertices, which lie at x = 22999
    const norva::u32 last = mesh.indices.back();
    EXPECT_GT(last, 65535u);
    EXPECT_EQ(mesh.positions[last].x, float(triangles - 1));
}

TEST(LevelObjectMaterials, DiffuseTextureOrRedFallback)
{
    struct Case
    {
        const char* path;
        const char* folder;
    };
    for (const Case& c : {Case {"Meshes/cube.obj", "Meshes"}, Case {"/cube.obj", "/"}, Case {"cube.obj", "."},
                          Case {"a/b/c.obj", "a/b"}})
        EXPECT_EQ(modelFolder(c.path), c.folder) << c.path;

    // an OBJ without a material library gets Assimp's default material, without a texture
    Assimp::Importer importer;
    const aiScene* scene = readObj(importer, "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
    ASSERT_TRUE(scene);
    for (const std::string& path : materialTexturePaths(scene, "Meshes/x.obj"))
        EXPECT_EQ(path, "Textures/red.png");

    // the shipped meshes: the cube's material names a texture beside the mesh folder
    const std::string meshes = std::string(ZELMORA_SOURCE_DIR) + "/assets/Meshes/";
    Assimp::Importer cubeImporter;
    const aiScene* cube = cubeImporter.ReadFile(meshes + "cube.obj", aiProcess_Triangulate | aiProcess_FlipUVs);
    ASSERT_TRUE(cube) << cubeImporter.GetErrorString();
    const std::vector<std::string> cubePaths = materialTexturePaths(cube, meshes + "cube.obj");
    EXPECT_NE(std::find(cubePaths.begin(), cubePaths.end(), meshes + "../Textures/red.png"), cubePaths.end());
    EXPECT_EQ(cube->mNumMeshes, 1u);
    EXPECT_EQ(cube->mMeshes[0]->mNumFaces, 12u);

    Assimp::Importer pillarImporter;
    const aiScene* pillar = pillarImporter.ReadFile(meshes + "pillar.obj", aiProcess_Triangulate | aiProcess_FlipUVs);
    ASSERT_TRUE(pillar) << pillarImporter.GetErrorString();
    for (const std::string& path : materialTexturePaths(pillar, meshes + "pillar.obj"))
        EXPECT_EQ(path, "Textures/red.png");

    Assimp::Importer shipImporter;
    const aiScene* ship = shipImporter.ReadFile(meshes + "ship.obj", aiProcess_Triangulate | aiProcess_FlipUVs);
    ASSERT_TRUE(ship) << shipImporter.GetErrorString();
    LevelObject object;
    object.processMeshes(ship);
    ASSERT_EQ(object.meshes.size(), 1u);
    EXPECT_EQ(object.meshes[0].indexCount, 18u);
    EXPECT_EQ(object.meshes[0].normals[0], glm::vec3(0.0f)); // written without normals
}

TEST(LevelObjectMatrices, PlacementRotationPivotAndAnchor)
{
    const float quarter = 1.5707964f;
    const auto objects = parseWithMeshes("-s \"cube\" [0 14 0]\n"
                                         "\"box\" [100 0 0] {0 1.5707964 0}\n",
                                         {{"cube", "v -1 -1 -1\nv 1 1 1\nv 1 -1 1\nf 1 2 3\n"}, {"box", offsetBox}});
    ASSERT_EQ(objects.size(), 2u);
    const LevelObject& cube = objects.at(0);
    const LevelObject& box = objects.at(1);

    const glm::mat4 expected =
        glm::rotate(glm::translate(glm::mat4(1.0f), glm::vec3(100, 0, 0)), quarter, glm::vec3(0, 1, 0));
    expectNear(box.model, expected);
    // the pivot started at the mesh centre and moved with the translation, then turned with
    // the model: the model times a translation by the old pivot offset
    const glm::vec3 center(2, 1.5f, 3);
    expectNear(box.pivot, expected * glm::translate(glm::mat4(1.0f), center));
    // the anchor sits 14 above the box, wherever the box turns
    EXPECT_NEAR(glm::distance(glm::vec3(cube.model[3]), glm::vec3(100, 14, 0)), 0.0f, 1e-4f);
}

TEST(LevelObjectMatrices, RotateIgnoresAnglesOfZeroOrBelow)
{
    LevelObject object;
    object.model = glm::translate(glm::mat4(1.0f), glm::vec3(1, 2, 3));
    object.pivot = glm::translate(glm::mat4(1.0f), glm::vec3(4, 5, 6));
    const glm::mat4 model = object.model;
    const glm::mat4 pivot = object.pivot;
    object.rotate(0.0f, glm::vec3(0, 1, 0));
    object.rotate(-0.5f, glm::vec3(1, 0, 0));
    EXPECT_EQ(object.model, model);
    EXPECT_EQ(object.pivot, pivot);
}

TEST(LevelObjectMatrices, OrbitTurnsAboutTheAxisThenTiltsAboutX)
{
    zelmora::scene::RotationAnimation animation(0.5f, glm::vec3(0, 1, 0));
    const glm::mat4 start = glm::translate(glm::mat4(1.0f), glm::vec3(10, 0, 0));

    // a time step of 0, as the shadow pass draws, leaves the model as it is
    glm::mat4 model = start;
    glm::mat4 pivot = glm::translate(glm::mat4(1.0f), glm::vec3(11, 0, 0));
    animation.applyOrbit(model, pivot, 0.0f, true);
    expectNear(model, start);

    // two seconds: one radian about y, then one about x, the translation kept
    model = start;
    animation.applyOrbit(model, pivot, 2.0f, true);
    const glm::mat4 turned = glm::rotate(glm::rotate(start, 1.0f, glm::vec3(0, 1, 0)), 1.0f, glm::vec3(1, 0, 0));
    expectNear(model, turned);
    EXPECT_EQ(glm::vec3(model[3]), glm::vec3(10, 0, 0));

    // apply turns about the axis alone
    model = start;
    animation.apply(model, 2.0f);
    expectNear(model, glm::rotate(start, 1.0f, glm::vec3(0, 1, 0)));
}

TEST(LevelObjectMatrices, ZeroAxisTurnsNothingInsteadOfNaN)
{
    // a "Rotate" line without an axis field gets (0, 0, 0)
    zelmora::scene::RotationAnimation animation(1.0f, glm::vec3(0.0f));
    glm::mat4 model = glm::translate(glm::mat4(1.0f), glm::vec3(1, 2, 3));
    glm::mat4 pivot = model;
    animation.applyOrbit(model, pivot, 0.016f, true);
    for (int c = 0; c < 4; ++c)
        for (int r = 0; r < 4; ++r)
            ASSERT_TRUE(std::isfinite(model[c][r]) && std::isfinite(pivot[c][r]));
    EXPECT_EQ(glm::vec3(model[3]), glm::vec3(1, 2, 3));
}
