// Maps every member of the archives named on the command line through the mapper chain
// ("x.rar/member") and XOR-folds its bytes: the process-level twin of `unar -o - x.rar`
// for bench/rar_vs_unar.sh. Prints the unpacked bytes and the fold.
#include <cstdio>
#include <cstring>
#include <string>

#include <norva/core/exception.hpp>
#include <norva/filesystem/file.hpp>
#include <norva/filesystem/path.hpp>

namespace
{
    using namespace norva;
    using namespace norva::filesystem;

    void touchFolder(const std::string& folder, u64& bytes, u64& fold)
    {
        Path path(folder);
        for (const FileInfo& info : path)
        {
            if (info.isContainer())
                continue;
            if (info.isDirectory())
            {
                touchFolder(folder + info.name, bytes, fold);
                continue;
            }
            File file(folder + info.name);
            const u8* data = file.data();
            u64 x = 0;
            u64 i = 0;
            for (; i + 8 <= file.size(); i += 8)
            {
                u64 v;
                std::memcpy(&v, data + i, 8);
                x ^= v;
            }
            for (; i < file.size(); ++i)
                x ^= data[i];
            fold ^= x;
            bytes += file.size();
        }
    }
} // namespace

int main(int argc, char** argv)
{
    int status = 0;
    for (int i = 1; i < argc; ++i)
    {
        u64 bytes = 0, fold = 0;
        try
        {
            touchFolder(std::string(argv[i]) + "/", bytes, fold);
            std::printf("%s: %llu bytes, fold %016llx\n", argv[i], (unsigned long long)bytes, (unsigned long long)fold);
        }
        catch (const Exception& e)
        {
            std::fprintf(stderr, "%s: %s\n", argv[i], e.what());
            status = 1;
        }
    }
    return status;
}
