#pragma once

#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <norva/core/exception.hpp>
#include <norva/filesystem/file.hpp>

#include "archive/zip_builder.hpp"

namespace archive_test
{
    inline const std::string FIXTURES = ZELMORA_SOURCE_DIR "/tests/fixtures/archive/";
    inline const std::string CORPUS = ZELMORA_SOURCE_DIR "/../shared/corpus/archives/libarchive/";

    inline Bytes readFile(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    inline Bytes toBytes(norva::ConstMemory m) { return Bytes(m.address, m.address + m.size); }

    inline norva::ConstMemory view(const Bytes& b) { return norva::ConstMemory(b.data(), b.size()); }

    // The message a call throws, or "" when it does not throw.
    template <typename Call>
    std::string errorOf(Call call)
    {
        try
        {
            call();
        }
        catch (const norva::Exception& e)
        {
            return e.getMessage();
        }
        return "";
    }

    // name -> flags of one folder's listing
    inline std::map<std::string, norva::u32> listing(norva::filesystem::AbstractMapper& mapper, const std::string& folder)
    {
        norva::filesystem::FileIndex index;
        mapper.getIndex(index, folder);
        std::map<std::string, norva::u32> names;
        for (const norva::filesystem::FileInfo& info : index)
        {
            names[info.name] = info.flags;
        }
        return names;
    }

    // Tab-separated lines of a manifest, "#" lines skipped.
    inline std::vector<std::vector<std::string>> readManifest(const std::string& path)
    {
        std::vector<std::vector<std::string>> rows;
        std::ifstream in(path);
        std::string line;
        while (std::getline(in, line))
        {
            if (line.empty() || line[0] == '#')
            {
                continue;
            }
            std::vector<std::string> fields;
            std::stringstream s(line);
            std::string field;
            while (std::getline(s, field, '\t'))
            {
                fields.push_back(field);
            }
            rows.push_back(fields);
        }
        return rows;
    }

    inline bool inside(norva::ConstMemory part, const Bytes& whole)
    {
        return part.address >= whole.data() && part.address + part.size <= whole.data() + whole.size();
    }

} // namespace archive_test
