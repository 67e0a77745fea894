#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "game/level_parser.hpp"

#include <glm/gtc/matrix_transform.hpp>

namespace
{
    struct ScanCase
    {
        const char* line;
        LevelLineFields expected;
    };

    LevelLineFields fields(std::string mesh, std::string translation = "", std::string rotation = "",
                           std::string third = "", std::string kind = "", std::string speed = "",
                           std::string axis = "", bool mark = false)
    {
        return LevelLineFields {mesh, translation, rotation, third, kind, speed, axis, mark};
    }

    void expectScan(const ScanCase& c)
    {
        const LevelLineFields f = scanLevelLine(c.line);
        SCOPED_TRACE(c.line);
        EXPECT_EQ(f.meshPath, c.expected.meshPath);
        EXPECT_EQ(f.translation, c.expected.translation);
        EXPECT_EQ(f.rotation, c.expected.rotation);
        EXPECT_EQ(f.third, c.expected.third);
        EXPECT_EQ(f.animationKind, c.expected.animationKind);
        EXPECT_EQ(f.speed, c.expected.speed);
        EXPECT_EQ(f.axis, c.expected.axis);
        EXPECT_EQ(f.mark, c.expected.mark);
    }

    // Parses a level without loading any mesh.
    std::map<int, LevelObject> parseText(const std::string& text)
    {
        std::istringstream in(text);
        return parseLevel(in, "test.txt", [](LevelObject&, const std::string&) {});
    }

    glm::vec3 translationOf(const LevelObject& object)
    {
        return glm::vec3(object.model[3]);
    }

} // namespace

TEST(LevelLine, EveryDelimiterFlipsItsOwnField)
{
    const ScanCase cases[] = {
        {"", fields("")},
        {"\"Meshes/a.obj\"", fields("Meshes/a.obj")},
        {"\"m\" [1 2 3] {0.5 0 0} <2 2 2> !Rotate! ?1.5? %0 1 0% =1=",
         fields("m", "1 2 3", "0.5 0 0", "2 2 2", "Rotate", "1.5", "0 1 0", true)},
        // characters outside every field are ignored, delimiters are never collected
        {"junk \"m\" and [4 5 6] more", fields("m", "4 5 6")},
        // both characters of a pair flip the same field: a closing bracket opens it
        {"]1 2 3[", fields("", "1 2 3")},
        {"}1{ >2< ", fields("", "", "1", "2")},
        // an unclosed field collects to the end of the line
        {"\"m\" [1 2 3", fields("m", "1 2 3")},
        // the mark wants a '1' inside its field
        {"=0=", fields("")},
        {"=x1y=", fields("", "", "", "", "", "", "", true)},
        {"1", fields("")},
    };
    for (const ScanCase& c : cases)
        expectScan(c);
}

TEST(LevelLine, OpenFieldsTakeCharactersInOrder)
{
    const ScanCase cases[] = {
        // translation comes before rotation: the rotation's text goes to the translation
        {"[1 {2} 3]", fields("", "1 2 3")},
        {"{1 [2] 3}", fields("", "2", "1  3")},
        // the mesh path comes first of all
        {"\"a[b]c\"", fields("abc")},
        {"\"a ?1? b\"", fields("a 1 b")},
        // a '1' inside another open field does not set the mark
        {"=[1]=", fields("", "1")},
        // a quote inside an open field flips the path and is collected into that field
        {"[1\"2\"3]", fields("2", "1\"\"3")},
        // ... and once open, the path takes what follows, ahead of the field the quote went to
        {"!Ro\"tate!", fields("tate", "", "", "", "Ro\"")},
        // the third vector, the kind, the speed and the axis in that order
        {"<1 !2! 3>", fields("", "", "", "1 2 3")},
        {"!a ?b? %c% d!", fields("", "", "", "", "a b c d")},
        {"?1 %2% 3?", fields("", "", "", "", "", "1 2 3")},
    };
    for (const ScanCase& c : cases)
        expectScan(c);
}

TEST(LevelLine, VectorTextRule)
{
    struct Case
    {
        const char* text;
        glm::vec3 expected;
    };
    const glm::vec3 start(7.0f, 8.0f, 9.0f);
    const Case cases[] = {
        {"1 2 3", {1, 2, 3}},
        {"1 3", {1, 8, 3}},     // two numbers keep y
        {"3", {7, 8, 3}},       // one number sets only z
        {"", {7, 8, 9}},        // empty changes nothing
        {"1  2 3", {1, 0, 3}},  // a doubled space is an empty token
        {" 1 2 3", {1, 2, 3}},  // a leading space belongs to the first token
        {"1 2 3 4", {1, 2, 4}}, // later tokens are dropped, the rest is z
        {"1 2 3 ", {1, 2, 0}},  // a trailing space leaves an empty z
        {"-1.5 2e1 .25", {-1.5f, 20.0f, 0.25f}},
    };
    for (const Case& c : cases)
    {
        glm::vec3 v = start;
        parseVec3(c.text, &v.x, &v.y, &v.z);
        EXPECT_EQ(v, c.expected) << '"' << c.text << '"';
        glm::vec3 checked = start;
        EXPECT_EQ(parseVec3Checked(c.text, checked), NumberText::Whole) << '"' << c.text << '"';
        EXPECT_EQ(checked, c.expected) << '"' << c.text << '"';
    }
}

TEST(LevelLine, NumbersReadAsAtofReadsThem)
{
    // expected values from C's atof on each token (leading white space, the longest prefix
    // that is a number, 0 when none); only a value that is not a finite float refuses
    struct Case
    {
        const char* text;
        NumberText reading;
        glm::vec3 expected;
    };
    const glm::vec3 start(7.0f, 8.0f, 9.0f);
    const Case cases[] = {
        {"1,2,3", NumberText::Partial, {7, 8, 1}},        // no spaces: all of it is z
        {"1, 2, 3", NumberText::Partial, {1, 2, 3}},      // "1," and "2," read as 1 and 2
        {"1 x 3", NumberText::Partial, {1, 0, 3}},
        {"1 2 three", NumberText::Partial, {1, 2, 0}},
        {"1 2 3abc", NumberText::Partial, {1, 2, 3}},
        {"1.5m 2.5e1x -.5;", NumberText::Partial, {1.5f, 25.0f, -0.5f}},
        {"1\t 2 3\t", NumberText::Whole, {1, 2, 3}},     // tabs are white space to atof
        {"0x10 1e-2 +4", NumberText::Whole, {16, 0.01f, 4}},
        {"1 2 x 4", NumberText::Whole, {1, 2, 4}},        // a dropped token does not matter
        {"1 2 nan 4", NumberText::Whole, {1, 2, 4}},
        {"nan 0 0", NumberText::NotFinite, start},
        {"1 2 inf", NumberText::NotFinite, start},
        {"1e999 0 0", NumberText::NotFinite, start},
        {"0 1e39 0", NumberText::NotFinite, start},       // finite as a double, not as a float
        {"-infinity 0 0", NumberText::NotFinite, start},
    };
    for (const Case& c : cases)
    {
        glm::vec3 v = start;
        EXPECT_EQ(parseVec3Checked(c.text, v), c.reading) << '"' << c.text << '"';
        EXPECT_EQ(v, c.expected) << '"' << c.text << '"';
        if (c.reading != NumberText::NotFinite)
        {
            glm::vec3 plain = start;
            parseVec3(c.text, &plain.x, &plain.y, &plain.z);
            EXPECT_EQ(plain, c.expected) << '"' << c.text << '"';
        }
    }
}

TEST(LevelFile, ObjectsCommentsAndIndices)
{
    const auto objects = parseText("# a comment\n"
                                   "\"ship.obj\" [0 5 0]\n"
                                   "\n"
                                   "# another\n"
                                   "\"cube.obj\" [1 2 3] =1=\n");
    ASSERT_EQ(objects.size(), 3u);
    // comments do not count, an empty line is an object
    EXPECT_EQ(objects.at(0).index, 0);
    EXPECT_EQ(objects.at(1).index, 1);
    EXPECT_EQ(objects.at(2).index, 2);
    EXPECT_EQ(objects.at(0).mark, 0);
    EXPECT_EQ(objects.at(2).mark, 1);
    // the empty line keeps the last translation
    EXPECT_EQ(translationOf(objects.at(0)), glm::vec3(0, 5, 0));
    EXPECT_EQ(translationOf(objects.at(1)), glm::vec3(0, 5, 0));
    EXPECT_EQ(translationOf(objects.at(2)), glm::vec3(1, 2, 3));
}

TEST(LevelFile, VectorsCarryOverFromTheLastLineThatGaveThem)
{
    const auto objects = parseText("\"a\" [1 2 3] {0.5 0 0} %0 1 0% !Rotate! ?2?\n"
                                   "\"b\" !Rotate! ?3?\n"
                                   "\"c\" [] {} [4 5 6]\n"
                                   "\"d\" [7]\n");
    ASSERT_EQ(objects.size(), 4u);
    EXPECT_EQ(translationOf(objects.at(1)), glm::vec3(1, 2, 3));
    // the axis carries over too; the speed does not
    ASSERT_TRUE(objects.at(1).animation);
    EXPECT_EQ(objects.at(1).animation->axis, glm::vec3(0, 1, 0));
    EXPECT_EQ(objects.at(1).animation->speed, 3.0f);
    // the rotation carried over: b is turned like a
    EXPECT_NEAR(objects.at(1).model[1][2], std::sin(0.5f), 1e-6f);
    // empty fields keep the carried values; a second field of a kind adds to the first
    EXPECT_EQ(translationOf(objects.at(2)), glm::vec3(4, 5, 6));
    // one number sets only z
    EXPECT_EQ(translationOf(objects.at(3)), glm::vec3(4, 5, 7));
}

TEST(LevelFile, AnimationKindsAndEnvironmentMeshes)
{
    const auto objects = parseText("\"a\" !Rotate! ?1? %0 1 0%\n"
                                   "\"b\" !Move! ?2?\n"
                                   "\"c\" !rotate! ?3?\n"
                                   "\"d\" !Spin!\n"
                                   "\"Meshes/environment1.obj\"\n"
                                   "\"Meshes/environment1lm.obj\"\n"
                                   "\"Meshes/environment2.obj\"\n");
    ASSERT_EQ(objects.size(), 7u);
    EXPECT_TRUE(objects.at(0).animation);
    EXPECT_TRUE(objects.at(1).animation); // both words give the same rotation
    EXPECT_FALSE(objects.at(2).animation); // compared exactly
    EXPECT_FALSE(objects.at(3).animation);
    EXPECT_EQ(objects.at(3).environment, 1);
    EXPECT_EQ(objects.at(4).environment, 0);
    EXPECT_EQ(objects.at(5).environment, 0);
    EXPECT_EQ(objects.at(6).environment, 1);
}

TEST(LevelFile, AnchorLinesAnchorTheNextObjectLine)
{
    const auto objects = parseText("-s \"top\" [0 10 0]\n"
                                   "# a comment between does not break the chain\n"
                                   "\"base\" [100 0 0]\n"
                                   "\"alone\" [5 5 5]\n"
                                   "-s \"first\" [0 1 0]\n"
                                   "-s \"second\" [0 2 0]\n"
                                   "\"last\" [50 0 0]\n");
    ASSERT_EQ(objects.size(), 6u);
    const LevelObject& top = objects.at(0);
    const LevelObject& base = objects.at(1);
    EXPECT_EQ(top.isAnchor, 1);
    EXPECT_EQ(top.hasAttachment, 1);
    EXPECT_EQ(top.anchorTranslation, glm::vec3(0, 10, 0));
    EXPECT_EQ(base.anchor, &top);
    EXPECT_EQ(base.isAnchor, 0);
    // the anchor sits at its own translation in the frame of the object it is anchored to
    EXPECT_EQ(translationOf(top), glm::vec3(100, 10, 0));
    EXPECT_EQ(objects.at(2).anchor, nullptr);

    // an anchor line after an anchor line: each anchors the next
    const LevelObject& first = objects.at(3);
    const LevelObject& second = objects.at(4);
    const LevelObject& last = objects.at(5);
    EXPECT_EQ(second.anchor, &first);
    EXPECT_EQ(last.anchor, &second);
    EXPECT_EQ(translationOf(second), glm::vec3(50, 2, 0));
    // first was placed from second before second moved to last
    EXPECT_EQ(translationOf(first), glm::vec3(0, 3, 0));
}

TEST(LevelFile, NegativeAndZeroRotationsAreNotApplied)
{
    const auto objects = parseText("\"a\" {-1 0 0}\n\"b\" {0 -0.5 0}\n");
    for (const auto& entry : objects)
        EXPECT_EQ(entry.second.model, glm::mat4(1.0f)) << entry.first;
}

TEST(LevelFile, NumbersWithTrailingTextKeepTheirObjects)
{
    testing::internal::CaptureStderr();
    const auto objects = parseText("\"a\" [1, 2, 3]\n"
                                   "\"b\" [4 x 6] {0.5rad 0 0}\n"
                                   "\"c\" [1,2,3]\n"
                                   "-s \"d\" [0 1 0] !Rotate! ?2.5 per second? %0 1 0%\n"
                                   "\"e\" !Rotate! ?fast?\n"
                                   "\"f\" [9 8 7]\n");
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_EQ(objects.size(), 6u);
    EXPECT_EQ(translationOf(objects.at(0)), glm::vec3(1, 2, 3));
    EXPECT_EQ(translationOf(objects.at(1)), glm::vec3(4, 0, 6));
    EXPECT_NE(objects.at(1).model, glm::translate(glm::mat4(1.0f), glm::vec3(4, 0, 6))); // rotated by 0.5
    EXPECT_EQ(translationOf(objects.at(2)), glm::vec3(4, 0, 1)); // "1,2,3" is z = 1
    ASSERT_TRUE(objects.at(3).animation);
    EXPECT_TRUE(objects.at(3).isAnchor && objects.at(3).hasAttachment);
    EXPECT_EQ(objects.at(4).anchor, &objects.at(3));
    ASSERT_TRUE(objects.at(4).animation); // a speed of no number is 0
    EXPECT_EQ(translationOf(objects.at(5)), glm::vec3(9, 8, 7));
    // each such line is named, and none is skipped
    for (const char* where : {"test.txt line 1: the translation holds text", "test.txt line 2: the translation holds text",
                              "test.txt line 3: the translation", "test.txt line 4: the animation speed",
                              "test.txt line 5: the animation speed"})
        EXPECT_NE(err.find(where), std::string::npos) << where << "\n" << err;
    EXPECT_EQ(err.find("skipped"), std::string::npos) << err;
    EXPECT_EQ(err.find("line 6:"), std::string::npos) << err;
}

TEST(LevelFile, LinesWithNumbersThatAreNotFiniteAreSkippedAndKeepTheirIndex)
{
    testing::internal::CaptureStderr();
    const auto objects = parseText("\"a\" [1 2 3]\n"
                                   "\"b\" [1 nan 3]\n"
                                   "\"c\" {inf 0 0}\n"
                                   "-s \"d\" !Rotate! ?1e999?\n"
                                   "\"e\" %0 1e39 0%\n"
                                   "\"f\"\n");
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_EQ(objects.size(), 2u);
    EXPECT_EQ(objects.count(0), 1u);
    EXPECT_EQ(objects.count(5), 1u);
    EXPECT_EQ(objects.at(5).index, 5);
    // the skipped lines changed no carried vector, and the skipped anchor anchors nothing
    EXPECT_EQ(translationOf(objects.at(5)), glm::vec3(1, 2, 3));
    EXPECT_EQ(objects.at(5).anchor, nullptr);
    for (const char* where : {"test.txt line 2: the translation is not a finite number; the line is skipped",
                              "test.txt line 3: the rotation", "test.txt line 4: the animation speed",
                              "test.txt line 5: the animation axis"})
        EXPECT_NE(err.find(where), std::string::npos) << where << "\n" << err;
    EXPECT_EQ(err.find("line 1:"), std::string::npos) << err;
    EXPECT_EQ(err.find("line 6:"), std::string::npos) << err;
}

TEST(LevelFile, MissingFileGivesNoObjects)
{
    GLuint program = 0;
    EXPECT_TRUE(parseLevel("no/such/level.txt", &program).empty());
}

TEST(LevelFile, ShippedLevelsHoldWhatTheGameNeeds)
{
    for (const char* name : {"Levels/Level1.txt", "Levels/ShadowLevel.txt"})
    {
        SCOPED_TRACE(name);
        std::vector<std::string> meshes;
        std::ifstream file(std::string(ZELMORA_SOURCE_DIR) + "/assets/" + name);
        ASSERT_TRUE(file);
        testing::internal::CaptureStderr();
        const auto objects = parseLevel(file, name, [&](LevelObject&, const std::string& mesh) { meshes.push_back(mesh); });
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        ASSERT_FALSE(objects.empty());
        EXPECT_EQ(meshes.front(), "Meshes/ship.obj"); // object 0 is the driven one
        bool anchor = false, rotates = false, marked = false;
        for (const auto& entry : objects)
        {
            anchor |= entry.second.isAnchor && entry.second.hasAttachment;
            rotates |= bool(entry.second.animation);
            marked |= entry.second.mark != 0;
        }
        EXPECT_TRUE(anchor);
        EXPECT_TRUE(rotates);
        EXPECT_TRUE(marked);
        for (const std::string& mesh : meshes)
            EXPECT_TRUE(std::ifstream(std::string(ZELMORA_SOURCE_DIR) + "/assets/" + mesh)) << mesh;
    }
}
