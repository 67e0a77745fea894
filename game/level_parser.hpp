#pragma once

#include <functional>
#include <istream>
#include <map>
#include <string>

#include <GL/glew.h>
#include <glm/glm.hpp>

#include "game/level_object.hpp"

// The fields of one object line of a level file, as text. Each delimiter flips its own field
// open or closed ("" for the mesh path, [] translation, {} rotation, <> a third vector, !! the
// animation kind, ?? its speed, %% its axis, == the mark); both characters of a bracket pair
// flip the same field.
struct LevelLineFields
{
    std::string meshPath;
    std::string translation;
    std::string rotation;
    std::string third;
    std::string animationKind;
    std::string speed;
    std::string axis;
    bool mark = false;
};

LevelLineFields scanLevelLine(const std::string& line);

// The vector rule: tokens split at single spaces (a space in the very first position belongs
// to the first token); the first and second space-ended tokens give x and y, later ones are
// dropped, the rest after the last space gives z. Empty text changes nothing.
void parseVec3(const std::string& text, float* x, float* y, float* z);

// How number text reads by atof's rule (leading white space, the longest prefix that is a
// number, 0 when there is none): whole, only in part (other text follows the number), or to a
// value that is not a finite float. Ordered from best to worst.
enum class NumberText { Whole, Partial, NotFinite };

// The same rule as parseVec3, saying how its x, y and z read; nothing changes when one of
// them is not finite.
NumberText parseVec3Checked(const std::string& text, glm::vec3& v);

// Reads a level file into objects keyed by their line number (comments do not count). A file
// that cannot be opened gives an empty map. `program` is handed to every LevelObject::init.
std::map<int, LevelObject> parseLevel(std::string path, GLuint* program);

// The parser behind parseLevel, over any stream: `load` sets up each object from its mesh
// path (LevelObject::init in the game). Lines with a number that is not finite are reported
// on standard error with `name` and their line number, and skipped; they still use their
// index. Numbers with other text after them are read as atof reads them, and reported.
using LevelObjectLoader = std::function<void(LevelObject& object, const std::string& meshPath)>;
std::map<int, LevelObject> parseLevel(std::istream& in, const std::string& name, const LevelObjectLoader& load);
