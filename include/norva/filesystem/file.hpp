#pragma once

#include <memory>
#include <string>

#include <norva/filesystem/path.hpp>

namespace norva::filesystem
{
    // A read-only file mapped into memory for the lifetime of the object. The name may
    // lead through archives ("textures/pack.zip/stone.png"); "\\" works as a separator.
    class File : private NonCopyable
    {
    public:
        explicit File(const std::string& filename);

        // The name part, without the folder.
        const std::string& getFilename() const { return m_filename; }

        const u8* data() const { return m_memory ? m_memory->memory.address : nullptr; }
        u64 size() const { return m_memory ? m_memory->memory.size : 0; }

        operator ConstMemory() const { return ConstMemory(data(), size()); }

    private:
        std::string m_filename;
        Path m_path;
        std::unique_ptr<VirtualMemory> m_memory; // declared after m_path: released first
    };

} // namespace norva::filesystem
