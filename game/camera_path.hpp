#pragma once

#include <cstddef>
#include <deque>
#include <string>

#include <glm/glm.hpp>
#include <norva/core/configure.hpp>

// One frame of a recorded flight, and one record of "cameraPath.bin".
struct CameraPathRecord
{
    double time = 0.0; // seconds since the first recorded frame
    glm::vec3 position { 0.0f };
    glm::vec3 up { 0.0f };
    glm::vec3 front { 0.0f }; // unit length
    norva::u32 padding = 0;

    // The file holds records one after the other, little-endian, with no header.
    static constexpr std::size_t fileSize = 48;
};

// The in-memory layout matches the file's on the platforms the game runs on; the file is
// still written field by field so that it does not depend on it.
static_assert(sizeof(CameraPathRecord) == CameraPathRecord::fileSize, "a camera path record is 48 bytes");

// The 48 bytes of one record (padding written as zeros) and back.
void encodeCameraPathRecord(const CameraPathRecord& record, norva::u8 bytes[CameraPathRecord::fileSize]);
CameraPathRecord decodeCameraPathRecord(const norva::u8 bytes[CameraPathRecord::fileSize]);

// Whether the record's time and vectors are all finite numbers.
bool cameraPathRecordFinite(const CameraPathRecord& record);

// Why a path cannot be played: empty when every record holds finite values, a usable view
// (up and front of non-zero length and not parallel) and times that never go backwards.
std::string cameraPathProblem(const std::deque<CameraPathRecord>& path);

// Writes the records, in order, removing each from the front of `path` once written; false when
// the file cannot be written (the records not yet written stay in `path`).
bool writeCameraPath(const std::string& fileName, std::deque<CameraPathRecord>& path);

enum class CameraPathRead
{
    Loaded,   // `path` holds the file's records; `problem` says what was dropped at its end, if anything
    Missing,  // the file cannot be opened; `path` is untouched
    Rejected, // records that cannot be played (no usable view, time going back); `problem` says why
};

// Reads the file's records into `path`, replacing what it held. The path ends at a partial
// last record or at the first record with a value that is not finite; what comes before is kept.
CameraPathRead readCameraPath(const std::string& fileName, std::deque<CameraPathRecord>& path, std::string& problem);
