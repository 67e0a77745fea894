// Opening files through the mapper (open, mmap, first touch, munmap) against the same system
// calls made directly and against open and read() into a Buffer; reading a large file both
// ways; listing a large folder against a bare readdir + fstatat loop.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <norva/core/buffer.hpp>
#include <norva/filesystem/file.hpp>

using namespace norva;
using namespace norva::filesystem;

namespace
{
    constexpr int SMALL_COUNT = 10000;
    constexpr std::size_t SMALL_SIZE = 4096;
    constexpr std::size_t LARGE_SIZE = std::size_t(256) << 20;

    // 10,000 files of 4 KiB and one of 256 MiB in a temporary folder, made once and removed
    // at exit. The first pass of each benchmark warms the page cache for both sides.
    struct Files
    {
        std::string folder;
        std::vector<std::string> small;
        std::string large;

        Files()
        {
            std::string pattern = (std::filesystem::temp_directory_path() / "norva-bench-XXXXXX").string();
            if (!::mkdtemp(pattern.data()))
            {
                std::abort();
            }
            folder = pattern + "/";

            std::vector<char> content(SMALL_SIZE, 'x');
            for (int i = 0; i < SMALL_COUNT; ++i)
            {
                small.push_back(folder + "file" + std::to_string(i) + ".bin");
                write(small.back(), content.data(), content.size());
            }
            large = folder + "large.bin";
            std::vector<char> big(LARGE_SIZE, 'y');
            write(large, big.data(), big.size());
        }

        ~Files()
        {
            std::error_code ignored;
            std::filesystem::remove_all(folder, ignored);
        }

        static void write(const std::string& name, const char* data, std::size_t size)
        {
            int fd = ::open(name.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
            if (fd < 0 || ::write(fd, data, size) != ssize_t(size))
            {
                std::abort();
            }
            ::close(fd);
        }
    };

    const Files& files()
    {
        static Files instance;
        return instance;
    }

    u64 readWhole(const std::string& name, u64 stride)
    {
        int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat info;
        ::fstat(fd, &info);
        Buffer buffer(u64(info.st_size));
        u64 done = 0;
        while (done < buffer.size())
        {
            ssize_t n = ::read(fd, buffer.data() + done, buffer.size() - done);
            if (n <= 0)
            {
                break;
            }
            done += u64(n);
        }
        ::close(fd);

        u64 sum = 0;
        for (u64 i = 0; i < buffer.size(); i += stride)
        {
            sum += buffer[i];
        }
        return sum;
    }

    u64 mapWhole(const std::string& name, u64 stride)
    {
        File file(name);
        u64 sum = 0;
        for (u64 i = 0; i < file.size(); i += stride)
        {
            sum += file.data()[i];
        }
        return sum;
    }

    void BM_SmallFilesMapped(benchmark::State& state)
    {
        const Files& f = files();
        for (auto _ : state)
        {
            for (const std::string& name : f.small)
            {
                benchmark::DoNotOptimize(mapWhole(name, SMALL_SIZE));
            }
        }
        state.SetItemsProcessed(state.iterations() * SMALL_COUNT);
    }

    // The same system calls without the library: what the mapper adds on top.
    void BM_SmallFilesRawMmap(benchmark::State& state)
    {
        const Files& f = files();
        for (auto _ : state)
        {
            for (const std::string& name : f.small)
            {
                int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
                struct stat info;
                ::fstat(fd, &info);
                void* view = ::mmap(nullptr, std::size_t(info.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
                ::close(fd);
                if (view == MAP_FAILED)
                {
                    std::abort();
                }
                u64 first = *static_cast<const volatile u8*>(view); // a plain load may be dropped
                benchmark::DoNotOptimize(first);
                ::munmap(view, std::size_t(info.st_size));
            }
        }
        state.SetItemsProcessed(state.iterations() * SMALL_COUNT);
    }

    void BM_SmallFilesRead(benchmark::State& state)
    {
        const Files& f = files();
        for (auto _ : state)
        {
            for (const std::string& name : f.small)
            {
                benchmark::DoNotOptimize(readWhole(name, SMALL_SIZE));
            }
        }
        state.SetItemsProcessed(state.iterations() * SMALL_COUNT);
    }

    // Every cache line read once, as a decoder would.
    void BM_LargeFileMapped(benchmark::State& state)
    {
        for (auto _ : state)
        {
            benchmark::DoNotOptimize(mapWhole(files().large, 64));
        }
        state.SetBytesProcessed(state.iterations() * std::int64_t(LARGE_SIZE));
    }

    void BM_LargeFileRead(benchmark::State& state)
    {
        for (auto _ : state)
        {
            benchmark::DoNotOptimize(readWhole(files().large, 64));
        }
        state.SetBytesProcessed(state.iterations() * std::int64_t(LARGE_SIZE));
    }

    void BM_ListingPath(benchmark::State& state)
    {
        const Files& f = files();
        for (auto _ : state)
        {
            Path path(f.folder);
            benchmark::DoNotOptimize(path.size());
        }
        state.SetItemsProcessed(state.iterations() * (SMALL_COUNT + 1));
    }

    // What `find -maxdepth 1 -printf %s` does: names and sizes, unsorted.
    void BM_ListingReaddir(benchmark::State& state)
    {
        const Files& f = files();
        for (auto _ : state)
        {
            DIR* dir = ::opendir(f.folder.c_str());
            u64 total = 0;
            while (const dirent* entry = ::readdir(dir))
            {
                struct stat info;
                if (::fstatat(::dirfd(dir), entry->d_name, &info, 0) == 0)
                {
                    total += u64(info.st_size);
                }
            }
            ::closedir(dir);
            benchmark::DoNotOptimize(total);
        }
        state.SetItemsProcessed(state.iterations() * (SMALL_COUNT + 1));
    }

} // namespace

BENCHMARK(BM_SmallFilesMapped)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SmallFilesRawMmap)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SmallFilesRead)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LargeFileMapped)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LargeFileRead)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListingPath)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListingReaddir)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
