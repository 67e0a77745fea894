#pragma once

#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <norva/core/compress.hpp>
#include <norva/core/endian.hpp>

namespace norva::test
{
    using Bytes = std::vector<u8>;

    inline Memory view(Bytes& bytes) { return Memory(bytes.data(), bytes.size()); }
    inline ConstMemory view(const Bytes& bytes) { return ConstMemory(bytes.data(), bytes.size()); }

    inline Bytes randomBytes(size_t size, u32 seed)
    {
        std::mt19937 rng(seed);
        Bytes out(size);
        for (auto& b : out)
        {
            b = u8(rng());
        }
        return out;
    }

    inline Bytes textBytes(size_t size, u32 seed)
    {
        static const char* words[] = { "the", "of", "and", "block", "stream", "archive", "window",
            "compression", "symbol", "range", "model", "is", "a", "to", "in", "decoder", "match" };
        std::mt19937 rng(seed);
        Bytes out;
        out.reserve(size + 16);
        while (out.size() < size)
        {
            const char* w = words[rng() % std::size(words)];
            out.insert(out.end(), w, w + std::char_traits<char>::length(w));
            out.push_back(rng() % 12 ? ' ' : '\n');
        }
        out.resize(size);
        return out;
    }

    inline Bytes runBytes(size_t size, u32 seed)
    {
        std::mt19937 rng(seed);
        Bytes out;
        out.reserve(size);
        while (out.size() < size)
        {
            out.insert(out.end(), std::min<size_t>(size - out.size(), 1 + rng() % 5000), u8(rng()));
        }
        return out;
    }

    // text, runs and random data in slices, like an archive of mixed files
    inline Bytes mixedBytes(size_t size, u32 seed)
    {
        std::mt19937 rng(seed);
        Bytes out;
        out.reserve(size);
        while (out.size() < size)
        {
            size_t n = std::min<size_t>(size - out.size(), 4096 + rng() % (256 * 1024));
            Bytes part;
            switch (rng() % 3)
            {
                case 0: part = textBytes(n, rng()); break;
                case 1: part = runBytes(n, rng()); break;
                default: part = randomBytes(n, rng()); break;
            }
            out.insert(out.end(), part.begin(), part.end());
        }
        return out;
    }

    inline Bytes compressWith(const Compressor& c, const Bytes& input, int level)
    {
        Bytes packed(c.bound(input.size()));
        u64 n = c.compress(view(packed), view(input), level);
        EXPECT_LE(n, packed.size());
        packed.resize(n);
        return packed;
    }

    inline std::string fixturePath(const std::string& name)
    {
        return std::string(ZELMORA_SOURCE_DIR) + "/tests/fixtures/compress/" + name;
    }

    inline Bytes readFile(const std::string& path)
    {
        std::ifstream file(path, std::ios::binary);
        EXPECT_TRUE(file.good()) << "cannot open " << path;
        return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }

    inline Bytes fixture(const std::string& name)
    {
        return readFile(fixturePath(name));
    }

    inline void writeFile(const std::string& path, const Bytes& bytes)
    {
        std::ofstream file(path, std::ios::binary);
        file.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        ASSERT_TRUE(file.good()) << "cannot write " << path;
    }

    // Runs a shell command; fails the test (naming the package) when the tool is missing.
    inline int runTool(const std::string& tool, const std::string& package, const std::string& command)
    {
        std::string probe = "command -v " + tool + " >/dev/null 2>&1";
        if (std::system(probe.c_str()) != 0)
        {
            ADD_FAILURE() << tool << " is missing: install the Debian package " << package
                          << " (sh tools/install-deps.sh)";
            return -1;
        }
        return std::system(command.c_str());
    }

    // a per-test scratch folder under the build tree
    inline std::string scratchPath(const std::string& name)
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string dir = std::string(ZELMORA_BINARY_DIR) + "/tests/compress-scratch";
        std::system(("mkdir -p " + dir).c_str());
        std::string tag = std::string(info->test_suite_name()) + "." + info->name();
        for (auto& c : tag)
        {
            if (c == '/') c = '_';
        }
        return dir + "/" + tag + "." + name;
    }

} // namespace norva::test
