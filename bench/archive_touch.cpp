// Opens an archive through norva::filesystem::Path, maps every member and folds its bytes,
// the way a program reading a whole pack would. Not a benchmark by itself: archive_bench.sh
// times it with hyperfine beside bsdtar -xOf and unzip -p on the same archives.
//
//   norva_archive_touch ARCHIVE     prints the member count, the bytes mapped and their fold

#include <cstdio>
#include <cstring>
#include <string>

#include <norva/core/exception.hpp>
#include <norva/filesystem/file.hpp>

using namespace norva;
using namespace norva::filesystem;

namespace
{
    struct Totals
    {
        u64 members = 0;
        u64 bytes = 0;
        u64 fold = 0;
    };

    void touch(AbstractMapper& mapper, const std::string& folder, Totals& totals)
    {
        FileIndex index;
        mapper.getIndex(index, folder);
        for (const FileInfo& info : index)
        {
            if (info.isDirectory())
            {
                // nested archives are members here, not folders to descend into
                if (!info.isContainer())
                {
                    touch(mapper, folder + info.name, totals);
                }
                continue;
            }
            std::unique_ptr<VirtualMemory> memory = mapper.mmap(folder + info.name);
            const u8* p = memory->memory.address;
            const u64 size = memory->memory.size;
            u64 fold = 0;
            u64 i = 0;
            for (; i + 8 <= size; i += 8)
            {
                u64 word;
                std::memcpy(&word, p + i, 8);
                fold ^= word;
            }
            for (; i < size; ++i)
            {
                fold ^= u64(p[i]) << (i % 8 * 8);
            }
            totals.fold ^= fold;
            totals.bytes += size;
            ++totals.members;
        }
    }

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: %s ARCHIVE\n", argv[0]);
        return 2;
    }
    try
    {
        Path path(std::string(argv[1]) + "/");
        AbstractMapper* mapper = *path.getMapper();
        if (!mapper)
        {
            std::fprintf(stderr, "%s: not opened\n", argv[1]);
            return 1;
        }
        Totals totals;
        touch(*mapper, path.getMapper()->getBasePath(), totals);
        std::printf("%llu members, %llu bytes, fold %016llx\n", (unsigned long long)totals.members,
                    (unsigned long long)totals.bytes, (unsigned long long)totals.fold);
    }
    catch (const Exception& e)
    {
        std::fprintf(stderr, "%s: %s\n", argv[1], e.what());
        return 1;
    }
    return 0;
}
