// MGX, the library's own archive: file contents are packed into blocks, each stored or
// compressed with one method of the compression table, and every file is a list of segments,
// each a byte range of one block's uncompressed data. Small files share blocks, large ones
// span many. A file lying in one stored block maps as a view into the archive; any other is
// assembled into a buffer, its compressed segments decompressed in parallel on the pool.
//
// Layout (little-endian, offsets from the start of the archive):
//   "mgx0" ... block data ...
//   block table at its offset: "mgx1", u32 count, 28-byte records
//       {u64 offset, u64 compressed size, u64 uncompressed size, u32 method}, "mgx2"
//   file table at its offset: "mgx2", u32 count, records {u32 name length, name, u64 size,
//       u32 flags, u32 segment count, segments {u32 block, u32 offset, u32 size}}, "mgx3"
//   trailer, the last 24 bytes: "mgx3", u32 reserved, u64 block-table offset,
//       u64 file-table offset
//
// Everything a table says is checked before anything is allocated or queued: counts and
// lengths against the bytes that hold them when the tables are read, a file's block indices,
// methods, ranges and segment sums when it is mapped.

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <norva/core/byte_reader.hpp>
#include <norva/core/compress.hpp>
#include <norva/core/exception.hpp>
#include <norva/core/thread.hpp>
#include <norva/filesystem/mapper.hpp>
#include <norva/filesystem/path.hpp>

#include "archive_memory.hpp"
#include "mapper_mgx.hpp"

namespace
{
    using namespace norva;
    using namespace norva::filesystem;
    using norva::filesystem::detail::allocateArchiveBuffer;
    using norva::filesystem::detail::ArchiveMemory;
    using norva::filesystem::detail::deflateCanMake;

    const char* const HEADER_MGX = "`anonymous-namespace'::HeaderMGX::HeaderMGX";
    const char* const READ_BLOCKS = "`anonymous-namespace'::HeaderMGX::read_blocks";
    const char* const READ_FILES = "`anonymous-namespace'::HeaderMGX::read_files";
    const char* const MAPPER_MMAP = "norva::filesystem::MapperMGX::mmap";

    constexpr u32 MGX0 = 0x3078676d;
    constexpr u32 MGX1 = 0x3178676d;
    constexpr u32 MGX2 = 0x3278676d;
    constexpr u32 MGX3 = 0x3378676d;

    constexpr u64 TRAILER_SIZE = 24;
    constexpr u64 BLOCK_RECORD_SIZE = 28;
    constexpr u64 SEGMENT_RECORD_SIZE = 12;
    constexpr u64 FILE_RECORD_MIN_SIZE = 4 + 8 + 4 + 4; // name length, size, flags, segment count

    struct Block
    {
        u64 offset;
        u64 compressedSize;
        u64 uncompressedSize;
        u32 method;
    };

    struct Segment
    {
        u32 block;
        u32 offset;
        u32 size;
    };

    struct FileMGX
    {
        std::string name;
        u64 size = 0;
        u32 flags = 0;
        std::vector<Segment> segments;
        bool compressed = false;

        bool isFolder() const { return segments.empty(); }
    };

    // The archive's tables, read once.
    class HeaderMGX
    {
    public:
        explicit HeaderMGX(ConstMemory parent);

        ConstMemory parent;
        std::map<std::string, FileMGX> files;
        std::map<std::string, std::map<std::string, const FileMGX*>> folders; // path -> child -> entry
        std::vector<Block> blocks;

    private:
        void read_blocks(u64 offset);
        void read_files(u64 offset);
    };

    [[noreturn]] void corruptTable(const char* function)
    {
        NORVA_THROW(function, "[mapper.mgx] Corrupt file table.");
    }

    HeaderMGX::HeaderMGX(ConstMemory parent)
        : parent(parent)
    {
        if (!parent.address)
        {
            NORVA_THROW(HEADER_MGX, "[mapper.mgx] Parent container doesn't have memory");
        }

        ByteReader reader(parent);
        const u32 identifier = reader.le32();
        if (identifier != MGX0)
        {
            NORVA_THROW(HEADER_MGX, "[mapper.mgx] Incorrect file identifier (%x)", identifier);
        }

        ByteReader trailer(parent.size >= TRAILER_SIZE ? parent.slice(parent.size - TRAILER_SIZE) : ConstMemory());
        const u32 header = trailer.le32();
        if (header != MGX3)
        {
            NORVA_THROW(HEADER_MGX, "[mapper.mgx] Incorrect header identifier (%x)", header);
        }
        trailer.skip(4); // reserved
        const u64 blockTable = trailer.le64();
        const u64 fileTable = trailer.le64();

        read_blocks(blockTable);
        read_files(fileTable);
    }

    void HeaderMGX::read_blocks(u64 offset)
    {
        ByteReader reader(parent);
        const u32 identifier = reader.seek(offset) ? reader.le32() : 0;
        if (identifier != MGX1)
        {
            NORVA_THROW(READ_BLOCKS, "[mapper.mgx] Incorrect block identifier (%x)", identifier);
        }

        const u32 count = reader.le32();
        if (reader.isShort() || u64(count) * BLOCK_RECORD_SIZE > reader.remaining())
        {
            corruptTable(READ_BLOCKS);
        }

        blocks.resize(count);
        for (Block& block : blocks)
        {
            block.offset = reader.le64();
            block.compressedSize = reader.le64();
            block.uncompressedSize = reader.le64();
            block.method = reader.le32();
        }

        const u32 terminator = reader.le32();
        if (terminator != MGX2)
        {
            NORVA_THROW(READ_BLOCKS, "[mapper.mgx] Incorrect block terminator (%x)", terminator);
        }
    }

    void HeaderMGX::read_files(u64 offset)
    {
        ByteReader reader(parent);
        const u32 identifier = reader.seek(offset) ? reader.le32() : 0;
        if (identifier != MGX2)
        {
            NORVA_THROW(READ_FILES, "[mapper.mgx] Incorrect block identifier (%x)", identifier);
        }

        const u32 count = reader.le32();
        if (reader.isShort() || u64(count) * FILE_RECORD_MIN_SIZE > reader.remaining())
        {
            corruptTable(READ_FILES);
        }

        for (u32 i = 0; i < count; ++i)
        {
            FileMGX file;
            const u32 nameLength = reader.le32();
            ConstMemory name = reader.bytes(nameLength);
            file.size = reader.le64();
            file.flags = reader.le32();
            const u32 segments = reader.le32();
            if (reader.isShort() || u64(segments) * SEGMENT_RECORD_SIZE > reader.remaining())
            {
                corruptTable(READ_FILES);
            }

            file.name.assign(reinterpret_cast<const char*>(name.address), name.size);
            file.segments.resize(segments);
            for (Segment& segment : file.segments)
            {
                segment.block = reader.le32();
                segment.offset = reader.le32();
                segment.size = reader.le32();

                // an index past the table is caught when the file is mapped
                if (segment.block < blocks.size() && blocks[segment.block].method != 0)
                {
                    file.compressed = true;
                }
            }

            // a name that no path can reach
            if (file.name.empty() || (file.isFolder() && file.name == "/"))
            {
                continue;
            }

            // Only the direct parent lists an entry: a/b/c.png is in a/b/, the folder a/b/
            // in a/. Names are keys: "..", "/x" or "C:" lead nowhere outside the archive.
            const std::string key = file.name;
            const std::string folder = getPath(file.isFolder() && key.back() == '/' ? key.substr(0, key.size() - 1) : key);
            const std::string child = key.substr(folder.size());
            FileMGX& entry = files[key];
            entry = std::move(file);
            folders[folder][child] = &entry;
        }

        const u32 terminator = reader.le32();
        if (terminator != MGX3)
        {
            NORVA_THROW(READ_FILES, "[mapper.mgx] Incorrect block terminator (%x)", terminator);
        }
    }

    bool fitsIn(u64 offset, u64 size, u64 limit)
    {
        return offset <= limit && size <= limit - offset;
    }

    class MapperMGX : public AbstractMapper
    {
    public:
        MapperMGX(ConstMemory parent, const std::string& password, ThreadPool* pool)
            : m_header(parent)
            , m_password(password)
            , m_pool(pool)
        {
        }

        bool isFile(const std::string& filename) override
        {
            auto it = m_header.files.find(filename);
            return it != m_header.files.end() && !it->second.isFolder();
        }

        void getIndex(FileIndex& index, const std::string& pathname) override
        {
            auto folder = m_header.folders.find(pathname);
            if (folder == m_header.folders.end())
            {
                return;
            }
            for (const auto& [child, file] : folder->second)
            {
                u32 flags = 0;
                if (file->isFolder())
                {
                    flags |= FileInfo::DIRECTORY;
                }
                if (file->compressed)
                {
                    flags |= FileInfo::COMPRESSED;
                }
                index.emplace(child, file->size, flags);
            }
        }

        std::unique_ptr<VirtualMemory> mmap(const std::string& filename) override;

    private:
        void validate(const FileMGX& file) const;

        HeaderMGX m_header;
        std::string m_password; // the format has no encryption
        ThreadPool* m_pool;     // null: the process-wide pool
    };

    // Every number the file's segments lead to, before a byte is allocated or a task queued.
    void MapperMGX::validate(const FileMGX& file) const
    {
        const u64 archiveSize = m_header.parent.size;
        u64 total = 0;
        for (const Segment& segment : file.segments)
        {
            if (segment.block >= m_header.blocks.size())
            {
                NORVA_THROW(MAPPER_MMAP, "[mapper.mgx] File \"%s\" refers to block %u of %u.",
                    file.name.c_str(), segment.block, u32(m_header.blocks.size()));
            }
            const Block& block = m_header.blocks[segment.block];
            if (block.method >= COMPRESSION_METHOD_COUNT)
            {
                NORVA_THROW(MAPPER_MMAP, "[mapper.mgx] Unsupported compression method (%u).", block.method);
            }
            // a stored block's bytes are its content: the segment must lie within them
            const u64 blockSize = block.method == 0 ? std::min(block.compressedSize, block.uncompressedSize)
                                                    : block.uncompressedSize;
            if (!fitsIn(block.offset, block.compressedSize, archiveSize) ||
                !fitsIn(segment.offset, segment.size, blockSize))
            {
                NORVA_THROW(MAPPER_MMAP, "[mapper.mgx] File \"%s\" has mapped region outside of parent memory.",
                    file.name.c_str());
            }
            // a zlib block declaring more than deflate can make
            if (block.method == u32(CompressionMethod::MINIZ) &&
                !deflateCanMake(block.compressedSize, block.uncompressedSize))
            {
                NORVA_THROW(MAPPER_MMAP, "[mapper.mgx] File \"%s\" has a block larger than its data can hold.",
                    file.name.c_str());
            }
            total += segment.size; // at most 2^32 segments of under 2^32 bytes: no overflow
        }
        if (total != file.size)
        {
            NORVA_THROW(MAPPER_MMAP, "[mapper.mgx] File \"%s\" segments do not add up to its size.", file.name.c_str());
        }
    }

    std::unique_ptr<VirtualMemory> MapperMGX::mmap(const std::string& filename)
    {
        auto it = m_header.files.find(filename);
        if (it == m_header.files.end() || it->second.isFolder())
        {
            NORVA_THROW(MAPPER_MMAP, "[mapper.mgx] File \"%s\" not found.", filename.c_str());
        }
        const FileMGX& file = it->second;
        validate(file);

        const u8* archive = m_header.parent.address;
        if (file.segments.size() == 1 && !file.compressed)
        {
            const Segment& segment = file.segments[0];
            const u64 offset = m_header.blocks[segment.block].offset + segment.offset;
            return std::make_unique<ArchiveMemory>(ConstMemory(archive + offset, file.size));
        }

        std::unique_ptr<u8[]> buffer = allocateArchiveBuffer(file.size, MAPPER_MMAP, "[mapper.mgx] Out of memory.");

        // Declared after the buffer, so that even an unwinding caller waits for every task
        // before the buffer they write into is freed. wait() rethrows the first failure
        // only once all of them are done.
        std::unique_ptr<TaskQueue> queue = m_pool ? std::make_unique<TaskQueue>(*m_pool, "mgx.decompessor", 0)
                                                  : std::make_unique<TaskQueue>("mgx.decompessor", 0);

        // Segments that cut pieces out of one compressed block share one decompression of
        // it: a file of many small pieces of a large block costs that block once.
        struct Piece
        {
            u8* dest;
            u32 offset;
            u32 size;
        };
        std::map<u32, std::vector<Piece>> partial;

        u8* dest = buffer.get();
        for (const Segment& segment : file.segments)
        {
            const Block& block = m_header.blocks[segment.block];
            if (block.method == 0)
            {
                std::memcpy(dest, archive + block.offset + segment.offset, segment.size);
            }
            else if (segment.offset == 0 && segment.size == block.uncompressedSize)
            {
                // the whole block: straight into its place
                const ConstMemory source(archive + block.offset, block.compressedSize);
                const Memory target(dest, segment.size);
                queue->enqueue([source, target, method = block.method] {
                    getCompressor(method).decompress(target, source);
                });
            }
            else
            {
                partial[segment.block].push_back({ dest, segment.offset, segment.size });
            }
            dest += segment.size;
        }

        for (auto& [index, pieces] : partial)
        {
            const Block& block = m_header.blocks[index];
            const ConstMemory source(archive + block.offset, block.compressedSize);
            queue->enqueue([source, block, pieces = std::move(pieces)] {
                std::unique_ptr<u8[]> temp = allocateArchiveBuffer(
                    block.uncompressedSize, MAPPER_MMAP, "[mapper.mgx] Out of memory.");
                getCompressor(block.method).decompress(Memory(temp.get(), block.uncompressedSize), source);
                for (const Piece& piece : pieces)
                {
                    std::memcpy(piece.dest, temp.get() + piece.offset, piece.size);
                }
            });
        }
        queue->wait();

        return std::make_unique<ArchiveMemory>(std::move(buffer), file.size);
    }

} // namespace

namespace norva::filesystem
{
    std::unique_ptr<AbstractMapper> createMapperMGX(ConstMemory parent, const std::string& password)
    {
        return std::make_unique<MapperMGX>(parent, password, nullptr);
    }

} // namespace norva::filesystem

namespace norva::filesystem::detail
{
    std::unique_ptr<AbstractMapper> createMapperMGX(ConstMemory parent, ThreadPool& pool)
    {
        return std::make_unique<MapperMGX>(parent, std::string(), &pool);
    }

} // namespace norva::filesystem::detail
