#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>

#include <string>

extern char** environ;

namespace
{
    // Runs the exit helper with one scenario; its exit status, or -1 when it did not exit.
    int runHelper(const std::string& scenario)
    {
        std::string path = NORVA_THREAD_EXIT_HELPER;
        std::string argument = scenario;
        char* argv[] = { path.data(), argument.data(), nullptr };

        pid_t pid;
        if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, environ) != 0)
        {
            return -1;
        }
        int status = 0;
        if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        {
            return -1;
        }
        return WEXITSTATUS(status);
    }

} // namespace

TEST(ThreadPoolExit, QueuedTasksAreDropped)
{
    // 3 would mean a queued task ran during exit
    EXPECT_EQ(runHelper("queued"), 0);
}

TEST(ThreadPoolExit, StaticsDestroyedLaterStillEnqueue)
{
    // their tasks run inline on the destroying thread, errors included
    EXPECT_EQ(runHelper("late"), 0);
}
