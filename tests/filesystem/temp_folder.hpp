#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempFolder
{
public:
    TempFolder()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "norva-fs-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
        {
            throw std::runtime_error("mkdtemp failed");
        }
        m_path = pattern;
    }

    ~TempFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }

    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // The folder with a trailing "/", ready to have names appended.
    std::string path() const { return m_path + "/"; }

    std::string write(const std::string& name, const std::string& content) const
    {
        std::filesystem::path file = m_path + "/" + name;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary).write(content.data(), std::streamsize(content.size()));
        return file.string();
    }

    std::string folder(const std::string& name) const
    {
        std::filesystem::create_directories(m_path + "/" + name);
        return m_path + "/" + name + "/";
    }

private:
    std::string m_path;
};
