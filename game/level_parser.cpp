#include "game/level_parser.hpp"

#include <cerrno>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

#include <glm/gtc/matrix_transform.hpp>

#include "game/paths.hpp"

namespace
{
    // The fields in the order in which they take a character when several are open.
    enum Field { MeshPath, Translation, Rotation, Third, Kind, Speed, Axis, FieldCount };

    std::string* fieldText(LevelLineFields& fields, int field)
    {
        std::string* texts[FieldCount] = {&fields.meshPath, &fields.translation, &fields.rotation, &fields.third,
                                          &fields.animationKind, &fields.speed, &fields.axis};
        return texts[field];
    }

    int delimiterField(char c)
    {
        switch (c)
        {
        case '"': return MeshPath;
        case '[': case ']': return Translation;
        case '{': case '}': return Rotation;
        case '<': case '>': return Third;
        case '!': return Kind;
        case '?': return Speed;
        case '%': return Axis;
        default: return -1;
        }
    }

    // The text of a vector field cut into its parts (see parseVec3).
    struct Vec3Tokens
    {
        bool hasX = false;
        bool hasY = false;
        std::string x;
        std::string y;
        std::string z;
        std::vector<std::string> dropped;
    };

    Vec3Tokens splitVec3(const std::string& text)
    {
        Vec3Tokens tokens;
        std::size_t start = 0;
        int count = 0;
        for (;;)
        {
            // a space in the very first position belongs to the first token
            const std::size_t space = text.find(' ', count == 0 ? 1 : start);
            if (space == std::string::npos)
                break;
            std::string token = text.substr(start, space - start);
            if (count == 0)
            {
                tokens.hasX = true;
                tokens.x = std::move(token);
            }
            else if (count == 1)
            {
                tokens.hasY = true;
                tokens.y = std::move(token);
            }
            else
            {
                tokens.dropped.push_back(std::move(token));
            }
            ++count;
            start = space + 1;
        }
        tokens.z = text.substr(std::min(start, text.size()));
        return tokens;
    }

    // Empty text reads as 0, as atof gives; anything else must be a whole finite number
    // (surrounding white space allowed).
    bool readNumber(const std::string& text, float& value)
    {
        if (text.empty())
        {
            value = 0.0f;
            return true;
        }
        const char* begin = text.c_str();
        char* end = nullptr;
        errno = 0;
        const double number = std::strtod(begin, &end);
        if (end == begin)
            return false;
        while (*end && std::isspace(static_cast<unsigned char>(*end)))
            ++end;
        if (*end || !std::isfinite(number) || !std::isfinite(float(number)))
            return false;
        value = float(number);
        return true;
    }

    bool isEnvironmentMesh(const std::string& path)
    {
        return path == "Meshes/environment1.obj" || path == "Meshes/environment1lm.obj";
    }

} // namespace

LevelLineFields scanLevelLine(const std::string& line)
{
    LevelLineFields fields;
    bool open[FieldCount] = {};
    bool markOpen = false;

    auto firstOpen = [&](int from) -> std::string*
    {
        for (int f = from; f < FieldCount; ++f)
            if (open[f])
                return fieldText(fields, f);
        return nullptr;
    };

    for (const char c : line)
    {
        const int field = delimiterField(c);
        if (field == MeshPath)
        {
            open[MeshPath] = !open[MeshPath];
            // not part of the path, but any other open field collects it
            if (std::string* text = firstOpen(Translation))
                *text += c;
        }
        else if (field >= 0)
        {
            open[field] = !open[field];
        }
        else if (c == '=')
        {
            markOpen = !markOpen;
        }
        else if (std::string* text = firstOpen(MeshPath))
        {
            *text += c;
        }
        else if (markOpen && c == '1')
        {
            fields.mark = true;
        }
    }
    return fields;
}

void parseVec3(const std::string& text, float* x, float* y, float* z)
{
    if (text.empty())
        return;
    const Vec3Tokens tokens = splitVec3(text);
    if (tokens.hasX)
        *x = float(std::atof(tokens.x.c_str()));
    if (tokens.hasY)
        *y = float(std::atof(tokens.y.c_str()));
    *z = float(std::atof(tokens.z.c_str()));
}

bool parseVec3Checked(const std::string& text, glm::vec3& v)
{
    if (text.empty())
        return true;
    const Vec3Tokens tokens = splitVec3(text);
    glm::vec3 result = v;
    float dropped = 0.0f;
    for (const std::string& token : tokens.dropped)
        if (!readNumber(token, dropped))
            return false;
    if ((tokens.hasX && !readNumber(tokens.x, result.x)) || (tokens.hasY && !readNumber(tokens.y, result.y)) ||
        !readNumber(tokens.z, result.z))
        return false;
    v = result;
    return true;
}

std::map<int, LevelObject> parseLevel(std::string path, GLuint* program)
{
    std::ifstream file(hostPath(path));
    if (!file)
        return {};
    return parseLevel(file, path,
                      [program](LevelObject& object, const std::string& meshPath)
                      { object.init(meshPath.c_str(), program); });
}

std::map<int, LevelObject> parseLevel(std::istream& in, const std::string& name, const LevelObjectLoader& load)
{
    std::map<int, LevelObject> objects;
    LevelObject* currentAnchor = nullptr;
    int counter = 0;
    int lineNumber = 0;
    // set once per file: a line without one of these fields keeps the last line's value
    glm::vec3 translation(0.0f);
    glm::vec3 rotation(0.0f);
    glm::vec3 third(1.0f);
    glm::vec3 axis(0.0f);

    std::string line;
    while (std::getline(in, line))
    {
        ++lineNumber;
        if (!line.empty() && line[0] == '#')
            continue;
        const bool anchorLine = line.compare(0, 2, "-s") == 0;
        const LevelLineFields fields = scanLevelLine(line);

        glm::vec3 t = translation, r = rotation, v = third, a = axis;
        float speed = 0.0f;
        const char* bad = !parseVec3Checked(fields.translation, t) ? "translation"
                          : !parseVec3Checked(fields.rotation, r)  ? "rotation"
                          : !parseVec3Checked(fields.third, v)     ? "third vector"
                          : !parseVec3Checked(fields.axis, a)      ? "animation axis"
                          : !readNumber(fields.speed, speed)       ? "animation speed"
                                                                   : nullptr;
        if (bad)
        {
            // the object is left out, but keeps its index so that later objects keep theirs
            std::fprintf(stderr, "[Level] %s line %d: the %s is not a list of numbers; the line is skipped: %s\n",
                         name.c_str(), lineNumber, bad, line.c_str());
            currentAnchor = nullptr;
            ++counter;
            continue;
        }
        translation = t;
        rotation = r;
        third = v;
        axis = a;

        LevelObject object;
        if (fields.animationKind == "Rotate" || fields.animationKind == "Move")
            object.animation = std::make_shared<zelmora::scene::RotationAnimation>(speed, axis);
        object.mark = fields.mark;
        if (isEnvironmentMesh(fields.meshPath))
            object.environment = 0;
        load(object, fields.meshPath);
        object.anchor = currentAnchor;
        if (translation != glm::vec3(0.0f))
        {
            object.model = glm::translate(object.model, translation);
            object.pivot = glm::translate(object.pivot, translation);
            object.placeAnchor();
        }
        object.rotate(rotation.x, glm::vec3(1.0f, 0.0f, 0.0f));
        object.rotate(rotation.y, glm::vec3(0.0f, 1.0f, 0.0f));
        object.rotate(rotation.z, glm::vec3(0.0f, 0.0f, 1.0f));
        if (currentAnchor)
            currentAnchor->hasAttachment = 1;

        LevelObject& stored = objects.emplace(counter, object).first->second;
        stored.index = counter;
        if (anchorLine)
        {
            stored.isAnchor = 1;
            stored.anchorTranslation = translation;
            currentAnchor = &stored;
        }
        else
        {
            currentAnchor = nullptr;
        }
        ++counter;
    }
    return objects;
}
