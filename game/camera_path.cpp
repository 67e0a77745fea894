#include "game/camera_path.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include <norva/core/endian.hpp>

#include "game/paths.hpp"

namespace
{
    using norva::u32;
    using norva::u64;
    using norva::u8;

    void putF32(u8* p, float f)
    {
        norva::storeLE32(p, std::bit_cast<u32>(f));
    }

    float getF32(const u8* p)
    {
        return std::bit_cast<float>(norva::loadLE32(p));
    }

    void putVec3(u8* p, const glm::vec3& v)
    {
        for (int i = 0; i < 3; ++i)
            putF32(p + 4 * i, v[i]);
    }

    glm::vec3 getVec3(const u8* p)
    {
        return glm::vec3(getF32(p), getF32(p + 4), getF32(p + 8));
    }

    bool finite(const glm::vec3& v)
    {
        return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
    }

} // namespace

void encodeCameraPathRecord(const CameraPathRecord& record, u8 bytes[CameraPathRecord::fileSize])
{
    norva::storeLE64(bytes + 0, std::bit_cast<u64>(record.time));
    putVec3(bytes + 8, record.position);
    putVec3(bytes + 20, record.up);
    putVec3(bytes + 32, record.front);
    norva::storeLE32(bytes + 44, 0);
}

CameraPathRecord decodeCameraPathRecord(const u8 bytes[CameraPathRecord::fileSize])
{
    CameraPathRecord record;
    record.time = std::bit_cast<double>(norva::loadLE64(bytes + 0));
    record.position = getVec3(bytes + 8);
    record.up = getVec3(bytes + 20);
    record.front = getVec3(bytes + 32);
    return record;
}

bool cameraPathRecordFinite(const CameraPathRecord& r)
{
    return std::isfinite(r.time) && finite(r.position) && finite(r.up) && finite(r.front);
}

std::string cameraPathProblem(const std::deque<CameraPathRecord>& path)
{
    for (std::size_t i = 0; i < path.size(); ++i)
    {
        const CameraPathRecord& r = path[i];
        const std::string where = "record " + std::to_string(i);
        if (!cameraPathRecordFinite(r))
            return where + " holds a value that is not a finite number";
        // lookAt divides by these lengths: a zero vector or parallel pair gives no view
        if (glm::length(r.front) == 0.0f || glm::length(r.up) == 0.0f || glm::length(glm::cross(r.front, r.up)) == 0.0f)
            return where + " holds no usable view direction";
        if (i > 0 && r.time < path[i - 1].time)
            return where + " goes back in time";
    }
    return std::string();
}

bool writeCameraPath(const std::string& fileName, std::deque<CameraPathRecord>& path)
{
    std::ofstream file(hostPath(fileName), std::ios::binary | std::ios::trunc);
    if (!file)
        return false;
    u8 bytes[CameraPathRecord::fileSize];
    while (!path.empty())
    {
        encodeCameraPathRecord(path.front(), bytes);
        if (!file.write(reinterpret_cast<const char*>(bytes), sizeof(bytes)))
            return false;
        path.pop_front();
    }
    file.flush();
    return bool(file);
}

CameraPathRead readCameraPath(const std::string& fileName, std::deque<CameraPathRecord>& path, std::string& problem)
{
    std::ifstream file(hostPath(fileName), std::ios::binary);
    if (!file)
        return CameraPathRead::Missing;
    const std::vector<char> data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    problem.clear();

    // A recording cut short (the game ended while writing it) keeps what it holds up to the
    // damage: a partial last record, or a record of garbage, ends the path there.
    std::deque<CameraPathRecord> records;
    const std::size_t complete = data.size() / CameraPathRecord::fileSize;
    for (std::size_t i = 0; i < complete; ++i)
    {
        const u8* bytes = reinterpret_cast<const u8*>(data.data()) + i * CameraPathRecord::fileSize;
        const CameraPathRecord r = decodeCameraPathRecord(bytes);
        if (!cameraPathRecordFinite(r))
        {
            problem = "record " + std::to_string(i) + " holds a value that is not a finite number; the path ends before it";
            break;
        }
        records.push_back(r);
    }
    if (problem.empty() && data.size() % CameraPathRecord::fileSize)
        problem = "its last " + std::to_string(data.size() % CameraPathRecord::fileSize) +
                  " bytes are not a whole record and are dropped";

    const std::string unplayable = cameraPathProblem(records);
    if (!unplayable.empty())
    {
        problem = unplayable;
        return CameraPathRead::Rejected;
    }
    path.swap(records);
    return CameraPathRead::Loaded;
}
