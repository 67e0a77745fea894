#include "game/level_parser.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>

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
        std::string z; // later space-ended tokens are dropped
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
            ++count;
            start = space + 1;
        }
        tokens.z = text.substr(std::min(start, text.size()));
        return tokens;
    }

    // atof's reading: leading white space, then the longest prefix that is a number, 0 when
    // there is none (empty text included). strtod reads the same and says where it stopped.
    NumberText readNumber(const std::string& text, float& value)
    {
        const char* begin = text.c_str();
        char* end = nullptr;
        const double number = std::strtod(begin, &end);
        // beyond the float range the stored value would be infinite
        if (!std::isfinite(number) || std::fabs(number) > double(std::numeric_limits<float>::max()))
            return NumberText::NotFinite;
        value = float(number);
        while (*end && std::isspace(static_cast<unsigned char>(*end)))
            ++end;
        return *end ? NumberText::Partial : NumberText::Whole;
    }

    NumberText worse(NumberText a, NumberText b)
    {
        return std::max(a, b);
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

NumberText parseVec3Checked(const std::string& text, glm::vec3& v)
{
    if (text.empty())
        return NumberText::Whole;
    // the tokens dropped after y do not matter, whatever they hold
    const Vec3Tokens tokens = splitVec3(text);
    glm::vec3 result = v;
    NumberText reading = readNumber(tokens.z, result.z);
    if (tokens.hasX)
        reading = worse(reading, readNumber(tokens.x, result.x));
    if (tokens.hasY)
        reading = worse(reading, readNumber(tokens.y, result.y));
    if (reading != NumberText::NotFinite)
        v = result;
    return reading;
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
        const struct
        {
            const char* name;
            NumberText reading;
        } readings[] = {
            {"translation", parseVec3Checked(fields.translation, t)},
            {"rotation", parseVec3Checked(fields.rotation, r)},
            {"third vector", parseVec3Checked(fields.third, v)},
            {"animation axis", parseVec3Checked(fields.axis, a)},
            {"animation speed", readNumber(fields.speed, speed)},
        };
        const char* notFinite = nullptr;
        const char* partial = nullptr;
        for (const auto& field : readings)
        {
            if (field.reading == NumberText::NotFinite && !notFinite)
                notFinite = field.name;
            if (field.reading == NumberText::Partial && !partial)
                partial = field.name;
        }
        if (notFinite)
        {
            // the object is left out, but keeps its index so that later objects keep theirs
            std::fprintf(stderr, "[Level] %s line %d: the %s is not a finite number; the line is skipped: %s\n",
                         name.c_str(), lineNumber, notFinite, line.c_str());
            currentAnchor = nullptr;
            ++counter;
            continue;
        }
        if (partial)
        {
            // kept as read ("1,2,3" is the single number 1), but worth a look
            std::fprintf(stderr, "[Level] %s line %d: the %s holds text that is not a number; it is read up to there: %s\n",
                         name.c_str(), lineNumber, partial, line.c_str());
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
