// Writes and reads camera-path files through the game's own record code, for the end-to-end
// test:
//   camera_path_tool write FILE TIME X Y Z FX FY FZ [TIME X Y Z FX FY FZ ...]   (up is +y)
//   camera_path_tool dump FILE      one line per record: time, position, up, front
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>

#include "game/camera_path.hpp"

int main(int argc, char** argv)
{
    if (argc >= 3 && std::strcmp(argv[1], "write") == 0 && (argc - 3) % 7 == 0)
    {
        std::deque<CameraPathRecord> path;
        for (int i = 3; i + 7 <= argc; i += 7)
        {
            CameraPathRecord r;
            r.time = std::atof(argv[i]);
            r.position = glm::vec3(std::atof(argv[i + 1]), std::atof(argv[i + 2]), std::atof(argv[i + 3]));
            r.front = glm::normalize(glm::vec3(std::atof(argv[i + 4]), std::atof(argv[i + 5]), std::atof(argv[i + 6])));
            r.up = glm::vec3(0.0f, 1.0f, 0.0f);
            path.push_back(r);
        }
        return writeCameraPath(argv[2], path) ? 0 : 1;
    }
    if (argc == 3 && std::strcmp(argv[1], "dump") == 0)
    {
        std::deque<CameraPathRecord> path;
        std::string problem;
        const CameraPathRead read = readCameraPath(argv[2], path, problem);
        if (read != CameraPathRead::Loaded)
        {
            std::fprintf(stderr, "%s: %s\n", argv[2], read == CameraPathRead::Missing ? "cannot be opened" : problem.c_str());
            return 1;
        }
        if (!problem.empty())
            std::fprintf(stderr, "%s: %s\n", argv[2], problem.c_str());
        for (const CameraPathRecord& r : path)
            std::printf("%.6f %g %g %g %g %g %g %g %g %g\n", r.time, r.position.x, r.position.y, r.position.z, r.up.x,
                        r.up.y, r.up.z, r.front.x, r.front.y, r.front.z);
        return 0;
    }
    std::fprintf(stderr, "usage: %s write FILE (TIME X Y Z FX FY FZ)... | dump FILE\n", argv[0]);
    return 2;
}
