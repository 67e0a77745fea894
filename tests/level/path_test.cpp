#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <unistd.h>

#include "game/camera.hpp"
#include "game/level_object.hpp"
#include "game/settings.hpp"

#include <glm/gtc/matrix_transform.hpp>

namespace
{
    CameraPathRecord record(double time, glm::vec3 position, glm::vec3 front, glm::vec3 up = {0, 1, 0})
    {
        CameraPathRecord r;
        r.time = time;
        r.position = position;
        r.front = front;
        r.up = up;
        return r;
    }

    // A camera in a scratch folder of its own, where "cameraPath.bin" is read and written.
    class CameraPath : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            previous = std::filesystem::current_path();
            folder = std::filesystem::temp_directory_path() /
                     ("zelmora-path-" + std::to_string(getpid()) + "-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
            std::filesystem::remove_all(folder);
            std::filesystem::create_directories(folder);
            std::filesystem::current_path(folder);
        }
        void TearDown() override
        {
            std::filesystem::current_path(previous);
            std::filesystem::remove_all(folder);
        }

        // What M does, without the file: the path with both bracketing records at its first.
        void play(std::deque<CameraPathRecord> records)
        {
            camera.path = std::move(records);
            camera.pathStart = -1.0;
            camera.playHasData = !camera.path.empty();
            if (camera.playHasData)
                camera.prev = camera.next = camera.path.front();
            camera.playing = true;
        }

        void writeBytes(const std::string& name, const std::vector<norva::u8>& bytes)
        {
            std::ofstream(name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        }

        std::vector<norva::u8> fileBytes(const std::string& name)
        {
            std::ifstream in(name, std::ios::binary);
            return std::vector<norva::u8>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }

        Camera camera;
        std::filesystem::path previous;
        std::filesystem::path folder;
    };

    void expectNear(const glm::vec3& a, const glm::vec3& b, float tolerance = 1e-5f)
    {
        EXPECT_NEAR(glm::distance(a, b), 0.0f, tolerance) << a.x << " " << a.y << " " << a.z;
    }

} // namespace

TEST(CameraPathRecordBytes, LittleEndianFieldByField)
{
    const CameraPathRecord r = record(1.5, {1.0f, -2.0f, 0.5f}, {0, 0, -1}, {0, 1, 0});
    norva::u8 bytes[48];
    std::memset(bytes, 0xaa, sizeof(bytes));
    encodeCameraPathRecord(r, bytes);
    const norva::u8 time[8] = {0, 0, 0, 0, 0, 0, 0xf8, 0x3f};
    EXPECT_EQ(std::memcmp(bytes, time, 8), 0);
    const norva::u8 position[12] = {0, 0, 0x80, 0x3f, 0, 0, 0, 0xc0, 0, 0, 0, 0x3f};
    EXPECT_EQ(std::memcmp(bytes + 8, position, 12), 0);
    const norva::u8 up[12] = {0, 0, 0, 0, 0, 0, 0x80, 0x3f, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(bytes + 20, up, 12), 0);
    const norva::u8 front[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80, 0xbf};
    EXPECT_EQ(std::memcmp(bytes + 32, front, 12), 0);
    const norva::u8 padding[4] = {0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(bytes + 44, padding, 4), 0);

    // the padding is ignored on reading
    bytes[45] = 0x55;
    const CameraPathRecord back = decodeCameraPathRecord(bytes);
    EXPECT_EQ(back.time, 1.5);
    EXPECT_EQ(back.position, r.position);
    EXPECT_EQ(back.up, r.up);
    EXPECT_EQ(back.front, r.front);
}

TEST_F(CameraPath, SaveWritesNRecordsAndLoadReadsThemBack)
{
    std::deque<CameraPathRecord> records;
    for (int i = 0; i < 7; ++i)
        records.push_back(record(i / 60.0, {float(i), 2.0f, -float(i)}, glm::normalize(glm::vec3(i, 0, -1))));
    camera.path = records;
    testing::internal::CaptureStdout();
    camera.savePath("cameraPath.bin");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Saving file cameraPath.bin \nWriting File cameraPath.bin to disk done \n");
    EXPECT_TRUE(camera.path.empty());
    EXPECT_EQ(std::filesystem::file_size("cameraPath.bin"), 7u * 48u);

    camera.path.push_back(record(9, {}, {0, 0, -1})); // replaced by the load
    testing::internal::CaptureStdout();
    camera.loadPath("cameraPath.bin");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Loading file cameraPath.bin \nLoading File cameraPath.bin from disk done \n");
    ASSERT_EQ(camera.path.size(), 7u);
    for (int i = 0; i < 7; ++i)
    {
        EXPECT_EQ(camera.path[i].time, records[i].time);
        EXPECT_EQ(camera.path[i].position, records[i].position);
        EXPECT_EQ(camera.path[i].front, records[i].front);
        EXPECT_EQ(camera.path[i].up, records[i].up);
    }
}

TEST_F(CameraPath, MissingFileAndFailedSaveLoseNothing)
{
    camera.path = {record(0, {1, 2, 3}, {0, 0, -1})};
    testing::internal::CaptureStdout();
    camera.loadPath("no-such-path.bin");
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Opening file no-such-path.bin failed!\n"), std::string::npos);
    EXPECT_EQ(camera.path.size(), 1u); // left as it was

    // a folder cannot be opened for writing: the records stay
    std::filesystem::create_directory("folder.bin");
    testing::internal::CaptureStdout();
    camera.savePath("folder.bin");
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Opening file folder.bin failed!\n"), std::string::npos);
    EXPECT_EQ(camera.path.size(), 1u);
}

namespace
{
    std::vector<norva::u8> recordBytes(std::initializer_list<CameraPathRecord> records)
    {
        std::vector<norva::u8> data;
        norva::u8 bytes[48];
        for (const CameraPathRecord& r : records)
        {
            encodeCameraPathRecord(r, bytes);
            data.insert(data.end(), bytes, bytes + 48);
        }
        return data;
    }

} // namespace

TEST_F(CameraPath, RecordingsCutShortKeepTheirCompleteRecords)
{
    const CameraPathRecord first = record(0, {1, 2, 3}, {0, 0, -1});
    const CameraPathRecord second = record(0.5, {4, 5, 6}, {1, 0, 0});
    const float nan = std::nanf("");
    std::vector<norva::u8> partial = recordBytes({first, second, first});
    partial.resize(2 * 48 + 20);
    std::vector<norva::u8> nanThenPartial = recordBytes({first, second, record(1, {}, {nan, 0, -1}), first});
    nanThenPartial.resize(nanThenPartial.size() - 5);
    struct Case
    {
        const char* name;
        std::vector<norva::u8> data;
        std::size_t kept;
        const char* note;
    };
    const Case cases[] = {
        {"a partial last record", partial, 2, "its last 20 bytes are not a whole record"},
        {"less than one record", std::vector<norva::u8>(47, 0), 0, "its last 47 bytes"},
        {"a NaN position", recordBytes({first, second, record(1, {nan, 0, 0}, {0, 0, -1}), first}), 2,
         "record 2 holds a value that is not a finite number"},
        {"an infinite time first", recordBytes({record(INFINITY, {}, {0, 0, -1}), first, second}), 0, "record 0 holds"},
        {"a NaN up", recordBytes({first, record(1, {}, {0, 0, -1}, {0, nan, 0})}), 1, "record 1 holds"},
        {"an infinite front", recordBytes({first, second, record(2, {}, {-INFINITY, 0, 0})}), 2, "record 2 holds"},
        {"a NaN record before a partial one", nanThenPartial, 2, "record 2 holds"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        writeBytes("cameraPath.bin", c.data);
        camera.path = {record(9, {}, {0, 0, -1})};
        testing::internal::CaptureStdout();
        camera.loadPath("cameraPath.bin");
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find(std::string("Camera path cameraPath.bin cut short: ") + c.note), std::string::npos) << out;
        EXPECT_NE(out.find("Loading File cameraPath.bin from disk done \n"), std::string::npos) << out;
        ASSERT_EQ(camera.path.size(), c.kept);
        for (std::size_t i = 0; i < c.kept; ++i)
        {
            const CameraPathRecord& expected = i == 0 ? first : second;
            EXPECT_EQ(camera.path[i].time, expected.time);
            EXPECT_EQ(camera.path[i].position, expected.position);
            EXPECT_EQ(camera.path[i].up, expected.up);
            EXPECT_EQ(camera.path[i].front, expected.front);
        }
    }

    // a whole file says nothing more
    writeBytes("cameraPath.bin", recordBytes({first, second}));
    testing::internal::CaptureStdout();
    camera.loadPath("cameraPath.bin");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Loading file cameraPath.bin \nLoading File cameraPath.bin from disk done \n");

    // a level load plays what was kept
    writeBytes("cameraPath.bin", partial);
    LevelObject driven;
    testing::internal::CaptureStdout();
    Camera fresh(driven);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(fresh.playHasData);
    EXPECT_EQ(fresh.path.size(), 2u);
    EXPECT_EQ(fresh.next.position, first.position);
}

TEST_F(CameraPath, UnplayableFilesAreRejectedAndNothingOfThemPlays)
{
    const CameraPathRecord good = record(0, {1, 2, 3}, {0, 0, -1});
    struct Case
    {
        const char* name;
        std::vector<norva::u8> data;
    };
    const Case cases[] = {
        {"time going backwards", recordBytes({good, record(2, {}, {0, 0, -1}), record(1, {}, {0, 0, -1})})},
        {"a zero front", recordBytes({good, record(1, {}, {0, 0, 0})})},
        {"front along up", recordBytes({good, record(1, {}, {0, 1, 0}, {0, 2, 0})})},
    };
    for (const Case& c : cases)
    {
        writeBytes("cameraPath.bin", c.data);
        camera.path = {good};
        testing::internal::CaptureStdout();
        camera.loadPath("cameraPath.bin");
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("Camera path cameraPath.bin rejected: "), std::string::npos) << c.name << ": " << out;
        EXPECT_TRUE(camera.path.empty()) << c.name;
    }

    // on a level load, a rejected file leaves the flight model in charge
    writeBytes("cameraPath.bin", cases[0].data);
    LevelObject driven;
    testing::internal::CaptureStdout();
    Camera fresh(driven);
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(fresh.playHasData);
    EXPECT_TRUE(fresh.path.empty());

    // an empty file is a path of no records: nothing to play, nothing wrong
    writeBytes("cameraPath.bin", {});
    testing::internal::CaptureStdout();
    camera.loadPath("cameraPath.bin");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Loading file cameraPath.bin \nLoading File cameraPath.bin from disk done \n");
    EXPECT_TRUE(camera.path.empty());
}

TEST_F(CameraPath, SamplesInterpolateBetweenTheRecordsAroundTheTime)
{
    play({record(0, {0, 0, 0}, {0, 0, -1}), record(2, {10, 0, 0}, {1, 0, 0}), record(4, {10, 20, 0}, {1, 0, 0}, {0, 0, 1})});

    Camera::Sample s = camera.samplePath(100.0); // playback starts at the first sample
    EXPECT_EQ(camera.pathStart, 100.0);
    expectNear(s.position, {0, 0, 0});
    expectNear(s.front, {0, 0, -1});

    s = camera.samplePath(101.0);
    expectNear(s.position, {5, 0, 0});
    // the viewing direction turns along the great circle, at unit length
    expectNear(s.front, glm::normalize(glm::vec3(1, 0, -1)));
    expectNear(s.up, {0, 1, 0});

    s = camera.samplePath(103.5);
    expectNear(s.position, {10, 15, 0});
    expectNear(s.up, {0, std::cos(0.75f * 1.5707964f), std::sin(0.75f * 1.5707964f)});
    EXPECT_TRUE(camera.playHasData);

    // at the last record's time the path is used up: its values, and playback ends
    s = camera.samplePath(104.0);
    expectNear(s.position, {10, 20, 0});
    EXPECT_FALSE(camera.playHasData);
}

TEST_F(CameraPath, DegeneratePathsGiveTheirRecordsAndNeverNaN)
{
    // one record: its values, and playback ends at the first sample that reaches its time
    play({record(0, {1, 2, 3}, {0, 0, -1})});
    Camera::Sample s = camera.samplePath(5.0);
    expectNear(s.position, {1, 2, 3});
    EXPECT_FALSE(camera.playHasData);

    // two records at the same time: passed over without dividing by their zero difference
    play({record(0, {1, 2, 3}, {0, 0, -1}), record(0, {4, 5, 6}, {1, 0, 0})});
    s = camera.samplePath(7.0);
    EXPECT_TRUE(std::isfinite(s.position.x) && std::isfinite(s.front.x) && std::isfinite(s.up.x));
    expectNear(s.position, {1, 2, 3});
    EXPECT_FALSE(camera.playHasData);

    // equal times inside a longer path
    play({record(0, {0, 0, 0}, {0, 0, -1}), record(1, {1, 0, 0}, {0, 0, -1}), record(1, {5, 0, 0}, {0, 0, -1}),
          record(2, {7, 0, 0}, {0, 0, -1})});
    camera.samplePath(0.0);
    s = camera.samplePath(1.5);
    expectNear(s.position, {6, 0, 0});

    // a path whose first record lies after 0 holds that record until its time comes
    play({record(1, {1, 0, 0}, {0, 0, -1}), record(2, {3, 0, 0}, {0, 0, -1})});
    s = camera.samplePath(10.0);
    expectNear(s.position, {1, 0, 0});
    s = camera.samplePath(11.5);
    expectNear(s.position, {2, 0, 0});
}

TEST_F(CameraPath, RecordingAndPlaybackExcludeEachOther)
{
    std::deque<CameraPathRecord> records = {record(0, {1, 2, 3}, {0, 0, -1}), record(1, {1, 2, 3}, {0, 0, -1})};
    writeCameraPath("cameraPath.bin", records);
    testing::internal::CaptureStdout();

    // playing (the start state): P does nothing
    camera.playing = true;
    camera.toggleRecording();
    EXPECT_FALSE(camera.recording);

    // M stops playback; P starts recording; M is ignored while recording
    camera.togglePlayback();
    EXPECT_FALSE(camera.playing);
    camera.toggleRecording();
    EXPECT_TRUE(camera.recording);
    camera.togglePlayback();
    EXPECT_FALSE(camera.playing);

    // P again writes what was recorded (here, three frames) and stops
    camera.path = {record(0, {}, {0, 0, -1}), record(0.1, {}, {0, 0, -1}), record(0.2, {}, {0, 0, -1})};
    camera.toggleRecording();
    EXPECT_FALSE(camera.recording);
    EXPECT_EQ(std::filesystem::file_size("cameraPath.bin"), 3u * 48u);

    // M loads the file and plays it from its first record
    camera.togglePlayback();
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(camera.playing);
    EXPECT_TRUE(camera.playHasData);
    EXPECT_EQ(camera.path.size(), 3u);
    EXPECT_EQ(camera.next.time, 0.0);
}

namespace
{
    class CameraFrame : public CameraPath
    {
    protected:
        void SetUp() override
        {
            CameraPath::SetUp();
            horizontalAngle = 3.1415927f;
            verticalAngle = 0.0f;
            forwardSpeed = strafeSpeed = 0.0f;
            forwardHold = backwardHold = rightHold = leftHold = 0.0f;
            driven.model = glm::translate(glm::mat4(1.0f), glm::vec3(5, 6, 7));
            testing::internal::CaptureStdout();
            camera = Camera(driven); // no cameraPath.bin here: nothing to play
            testing::internal::GetCapturedStdout();
        }

        LevelObject driven;
        const FlightKeys none {};
    };

    bool finite(const glm::mat4& m)
    {
        for (int c = 0; c < 4; ++c)
            for (int r = 0; r < 4; ++r)
                if (!std::isfinite(m[c][r]))
                    return false;
        return true;
    }

} // namespace

TEST_F(CameraFrame, DrivenObjectTenUnitsAheadRolledAndTheViewNot)
{
    EXPECT_EQ(camera.position, glm::vec3(5, 6, 7)); // starts at its object
    camera.advance(1.0, 0.01, {0, 0}, none);
    EXPECT_FALSE(camera.playing); // nothing to play: the flight model takes over
    expectNear(camera.front, {0, 0, -1});
    expectNear(glm::vec3(driven.model[3]), glm::vec3(5, 6, -3));

    // Q for a tenth of a second: roll 1 radian, the object turns about the view axis
    FlightKeys q;
    q.rollLeft = true;
    camera.advance(1.1, 0.1, {0, 0}, q);
    EXPECT_NEAR(camera.roll, 1.0f, 1e-6f);
    expectNear(glm::vec3(driven.model[0]), {std::cos(1.0f), std::sin(1.0f), 0});
    expectNear(glm::vec3(driven.model[3]), glm::vec3(5, 6, -3));
    const glm::mat4 unrolled = glm::lookAt(camera.position, camera.position + camera.front, glm::vec3(0, 1, 0));
    for (int c = 0; c < 4; ++c)
        expectNear(glm::vec3(camera.view[c]), glm::vec3(unrolled[c]));

    // the mouse turns the camera: 100 pixels left is 0.05 radians
    camera.advance(1.2, 0.01, {100, 0}, none);
    EXPECT_NEAR(horizontalAngle, 3.1415927f + 0.05f, 1e-6f);
    expectNear(camera.front, {std::sin(3.1415927f + 0.05f), 0, std::cos(3.1415927f + 0.05f)});
    expectNear(glm::vec3(driven.model[3]), camera.position + 10.0f * camera.front, 1e-4f);

    // the frustum follows the view, its near plane 0.1 ahead
    expectNear(camera.frustum.planes[Frustum::Near].point, camera.position + 0.1f * camera.front, 1e-4f);
}

TEST_F(CameraFrame, RecordingAppendsOneRecordPerFrameAndPWritesThem)
{
    // the camera starts out playing: P counts only once the first frame found nothing to play
    camera.toggleRecording();
    EXPECT_FALSE(camera.recording);
    camera.advance(19.9, 0.1, {0, 0}, none);
    camera.toggleRecording();
    ASSERT_TRUE(camera.recording);
    FlightKeys w;
    w.forward = true;
    for (int frame = 0; frame < 6; ++frame)
        camera.advance(20.0 + 0.1 * frame, 0.1, {0, 0}, w);
    ASSERT_EQ(camera.path.size(), 6u);
    EXPECT_EQ(camera.path.front().time, 0.0);
    EXPECT_NEAR(camera.path.back().time, 0.5, 1e-9);
    EXPECT_LT(camera.path.back().position.z, camera.path.front().position.z); // flew along -z
    testing::internal::CaptureStdout();
    camera.toggleRecording();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::filesystem::file_size("cameraPath.bin"), 6u * 48u);

    // a level load plays it back: every frame on the path, whatever the keys and the mouse
    testing::internal::CaptureStdout();
    Camera replay(driven);
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(replay.playing && replay.playHasData);
    std::deque<CameraPathRecord> written;
    std::string problem;
    ASSERT_EQ(readCameraPath("cameraPath.bin", written, problem), CameraPathRead::Loaded);
    replay.advance(100.0, 0.1, {400, 0}, w);
    expectNear(replay.position, written[0].position);
    expectNear(replay.front, written[0].front); // the mouse moved the angles, not the view
    EXPECT_NEAR(horizontalAngle, 3.1415927f + 0.2f, 1e-6f);
    replay.advance(100.25, 0.1, {0, 0}, w);
    expectNear(replay.position, 0.5f * (written[2].position + written[3].position), 1e-4f);

    // a frame that jumps past the end shows the record that bracketed the last sample (3),
    // and the next frame hands over to the flight model from there
    replay.advance(101.0, 0.1, {0, 0}, none);
    expectNear(replay.position, written[3].position, 1e-4f);
    EXPECT_FALSE(replay.playHasData);
    replay.advance(101.1, 0.1, {0, 0}, w);
    EXPECT_FALSE(replay.playing);
    expectNear(replay.position, written[3].position, 1e-4f);
    replay.advance(101.2, 0.1, {0, 0}, w);
    EXPECT_LT(replay.position.z, written[3].position.z);
}

TEST_F(CameraFrame, AViewThePathCannotGiveKeepsTheLastOne)
{
    // records that slipped past the file checks (built in memory): zero front and up
    camera.advance(0.0, 0.01, {0, 0}, none);
    const glm::mat4 last = camera.view;
    play({record(0, {1, 2, 3}, {0, 0, 0}, {0, 0, 0}), record(10, {1, 2, 3}, {0, 0, 0}, {0, 0, 0})});
    camera.advance(1.0, 0.01, {0, 0}, none);
    camera.advance(2.0, 0.01, {0, 0}, none);
    EXPECT_TRUE(finite(camera.view));
    EXPECT_TRUE(finite(driven.model));
    EXPECT_EQ(camera.view, last);
}
