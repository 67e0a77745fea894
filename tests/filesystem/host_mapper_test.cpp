#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <random>
#include <tuple>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <norva/core/exception.hpp>
#include <norva/filesystem/file.hpp>

#include "filesystem/temp_folder.hpp"

using namespace norva;
using namespace norva::filesystem;

namespace
{
    const char* const FILE_MEMORY = "`anonymous-namespace'::FileMemory::FileMemory";

    std::string pattern(std::size_t size, unsigned seed = 1)
    {
        std::mt19937 random(seed);
        std::string s(size, '\0');
        for (char& c : s)
        {
            c = char(random());
        }
        return s;
    }

    std::string bytes(ConstMemory memory)
    {
        return std::string(reinterpret_cast<const char*>(memory.address), memory.size);
    }

    std::vector<std::tuple<std::string, u64, u32>> entries(const Path& path)
    {
        std::vector<std::tuple<std::string, u64, u32>> result;
        for (const FileInfo& info : path)
        {
            result.emplace_back(info.name, info.size, info.flags);
        }
        return result;
    }

    // A folder with archives, a sub-folder, hidden and non-ASCII names, and entries that a
    // listing must leave out (a FIFO, a broken link).
    struct Listing : ::testing::Test
    {
        TempFolder temp;

        void SetUp() override
        {
            temp.write("a.zip", std::string(10, 'z'));
            temp.folder("b");
            temp.write("b/inner.txt", "inside b");
            temp.write(".hidden", "abc");
            temp.write("\xC3\xA9.png", "12345");            // é.png
            temp.write("\xF0\x9F\x98\x80.png", "1234567"); // 😀.png
            temp.write("empty.bin", "");
            temp.write("x.cbz", "cbz!");
            ASSERT_EQ(::mkfifo((temp.path() + "pipe").c_str(), 0600), 0);
            ASSERT_EQ(::symlink("nowhere", (temp.path() + "dangling").c_str()), 0);
            ASSERT_EQ(::symlink(".hidden", (temp.path() + "link.txt").c_str()), 0);
        }
    };

} // namespace

TEST_F(Listing, SortedWithSizesAndFlags)
{
    const std::vector<std::tuple<std::string, u64, u32>> expected = {
        { ".hidden", 3, 0 },
        { "a.zip", 10, 0 },
        { "a.zip/", 0, FileInfo::DIRECTORY | FileInfo::CONTAINER },
        { "b/", 0, FileInfo::DIRECTORY },
        { "empty.bin", 0, 0 },
        { "link.txt", 3, 0 }, // a link lists as its target
        { "x.cbz", 4, 0 },
        { "x.cbz/", 0, FileInfo::DIRECTORY | FileInfo::CONTAINER },
        { "\xC3\xA9.png", 5, 0 },
        { "\xF0\x9F\x98\x80.png", 7, 0 },
    };

    // With and without the trailing separator, and with Windows separators.
    const std::string folder = temp.path();
    for (const std::string& name : { folder, folder.substr(0, folder.size() - 1), folder + ".\\" })
    {
        SCOPED_TRACE(name);
        EXPECT_EQ(entries(Path(name)), expected);
    }

    const std::vector<std::tuple<std::string, u64, u32>> inner = { { "inner.txt", 8, 0 } };
    EXPECT_EQ(entries(Path(folder + "b")), inner);
    EXPECT_EQ(entries(Path(folder + "b\\")), inner);
    EXPECT_TRUE(entries(Path(folder + "missing/")).empty());
}

TEST_F(Listing, NamesListedReopen)
{
    // Every listed file maps back to its listed size (non-ASCII names included).
    for (const FileInfo& info : Path(temp.path()))
    {
        if (!info.isDirectory())
        {
            SCOPED_TRACE(info.name);
            File file(temp.path() + info.name);
            EXPECT_EQ(file.size(), info.size);
        }
    }
}

TEST_F(Listing, IsFileOnlyForRegularFiles)
{
    Mapper mapper(temp.path());
    AbstractMapper* host = mapper;
    ASSERT_NE(host, nullptr);
    EXPECT_EQ(mapper.getBasePath(), "");

    const std::vector<std::pair<std::string, bool>> cases = {
        { "a.zip", true },     { "b/inner.txt", true }, { "b\\inner.txt", true },
        { "link.txt", true },  { "\xC3\xA9.png", true }, { "empty.bin", true },
        { "b", false },        { "b/", false },          { "missing", false },
        { "pipe", false },     { "dangling", false },    { "", false },
    };
    for (const auto& [name, regular] : cases)
    {
        EXPECT_EQ(host->isFile(name), regular) << name;
    }
}

TEST(HostFile, MappedBytesEqualTheFile)
{
    TempFolder temp;
    for (std::size_t size : { 1, 4095, 4096, 4097, 1 << 20 })
    {
        SCOPED_TRACE(size);
        const std::string content = pattern(size, unsigned(size));
        const std::string name = temp.write("f" + std::to_string(size) + ".bin", content);

        File file(name);
        ConstMemory memory = file;
        EXPECT_EQ(file.getFilename(), "f" + std::to_string(size) + ".bin");
        ASSERT_EQ(memory.size, size);
        EXPECT_EQ(bytes(memory), content);
    }
}

TEST(HostFile, EmptyFileGivesEmptyView)
{
    TempFolder temp;
    File file(temp.write("empty.bin", ""));
    ConstMemory memory = file;
    EXPECT_EQ(memory.address, nullptr);
    EXPECT_EQ(memory.size, 0u);
}

TEST(HostFile, BackslashSeparators)
{
    TempFolder temp;
    temp.write("sub/deeper/data.txt", "backslashes");
    std::string name = temp.path() + "sub\\deeper\\data.txt";

    File file(name);
    EXPECT_EQ(file.getFilename(), "data.txt");
    EXPECT_EQ(bytes(file), "backslashes");
}

TEST(HostFile, BareNameMapsFromTheWorkingFolder)
{
    TempFolder temp;
    temp.write("bare.txt", "bare");

    char previous[4096];
    ASSERT_NE(::getcwd(previous, sizeof(previous)), nullptr);
    ASSERT_EQ(::chdir(temp.path().c_str()), 0);
    {
        File file("bare.txt");
        EXPECT_EQ(file.getFilename(), "bare.txt");
        EXPECT_EQ(bytes(file), "bare");
        EXPECT_EQ(Mapper("").getPathName(), "./");
        EXPECT_EQ(Path("").size(), 1u);
    }
    ASSERT_EQ(::chdir(previous), 0);
}

TEST(HostFile, WhatCannotBeOpenedThrows)
{
    TempFolder temp;
    temp.folder("folder");
    ASSERT_EQ(::mkfifo((temp.path() + "pipe").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("nowhere", (temp.path() + "dangling").c_str()), 0);

    const std::vector<std::string> names = {
        temp.path() + "missing.png",
        temp.path() + std::string(300, 'n') + ".png", // longer than any name the system takes
        temp.path() + "folder",
        temp.path() + "folder/",
        temp.path() + "pipe", // must not wait for a writer
        temp.path() + "dangling",
        temp.path() + "missing/deeper.png",
    };
    for (const std::string& name : names)
    {
        SCOPED_TRACE(name);
        try
        {
            File file(name);
            ADD_FAILURE() << "no exception";
        }
        catch (const Exception& e)
        {
            EXPECT_STREQ(e.what(), ("[FileMemory] File \"" + name + "\" cannot be opened.").c_str());
            EXPECT_EQ(e.getFunction(), FILE_MEMORY);
            EXPECT_NE(e.getFile().find("mapper_file.cpp"), std::string::npos);
        }
    }
}

TEST(HostFile, RangesStayInsideTheFile)
{
    TempFolder temp;
    const std::string content = pattern(10000);
    const std::string name = temp.write("range.bin", content);

    struct Case
    {
        u64 offset, size;
        u64 start, length;
    };
    const std::vector<Case> cases = {
        { 0, 0, 0, 10000 },        { 1, 0, 1, 9999 },        { 4096, 0, 4096, 5904 },
        { 4097, 10, 4097, 10 },    { 9999, 100, 9999, 1 },   { 5000, u64(1) << 40, 5000, 5000 },
        { 10000, 0, 0, 0 },        { 20000, 5, 0, 0 },       { ~u64(0), 1, 0, 0 },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << c.offset << " " << c.size);
        std::unique_ptr<VirtualMemory> memory = mapHostFile(name, c.offset, c.size);
        ConstMemory view = *memory;
        ASSERT_EQ(view.size, c.length);
        if (c.length)
        {
            EXPECT_EQ(bytes(view), content.substr(c.start, c.length));
        }
        else
        {
            EXPECT_EQ(view.address, nullptr);
        }
    }
}

namespace
{
    u64 residentBytes()
    {
        std::ifstream statm("/proc/self/statm");
        u64 total = 0, resident = 0;
        statm >> total >> resident;
        return resident * u64(::sysconf(_SC_PAGESIZE));
    }

    std::string sparseFile(const TempFolder& temp, u64 size)
    {
        const std::string name = temp.path() + "sparse.bin";
        int fd = ::open(name.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(::ftruncate(fd, off_t(size)), 0);
        const char last = 0x5A;
        EXPECT_EQ(::pwrite(fd, &last, 1, off_t(size - 1)), 1);
        ::close(fd);
        return name;
    }
} // namespace

TEST(HostFile, SparseFileLargerThan4GiB)
{
    TempFolder temp;
    const u64 size = u64(5) << 30;
    File file(sparseFile(temp, size));

    const u64 before = residentBytes();
    ConstMemory memory = file;
    ASSERT_EQ(memory.size, size);
    EXPECT_EQ(memory.address[size - 1], 0x5A);
    EXPECT_EQ(memory.address[size / 2], 0);
    // Only the touched pages came in, not gigabytes.
    EXPECT_LT(residentBytes() - before, u64(64) << 20);
}

namespace
{
    // Caps the address space a little above what the process uses, then maps the file.
    // Exits 0 when that throws the mapping message.
    [[noreturn]] void mapUnderCappedAddressSpace(const std::string& name)
    {
        std::ifstream statm("/proc/self/statm");
        u64 pages = 0;
        statm >> pages;
        const rlim_t limit = rlim_t(pages * u64(::sysconf(_SC_PAGESIZE)) + (u64(1) << 30));
        const struct rlimit cap = { limit, limit };
        ::setrlimit(RLIMIT_AS, &cap);
        try
        {
            File file(name);
        }
        catch (const Exception& e)
        {
            const std::string expected = "[FileMemory] Memory \"" + name + "\" mapping failed.";
            std::_Exit(e.what() == expected && e.getFunction() == FILE_MEMORY ? 0 : 2);
        }
        std::_Exit(1);
    }
} // namespace

TEST(HostFile, FailedMappingThrows)
{
    // With the address space capped, mapping 5 GiB fails: the failure must be an exception,
    // not a view at MAP_FAILED.
    TempFolder temp;
    const std::string name = sparseFile(temp, u64(5) << 30);
    EXPECT_EXIT(mapUnderCappedAddressSpace(name), ::testing::ExitedWithCode(0), "");
}
