// ZIP archives as folders. The central directory is read once; stored members map as views
// into the archive, the others are decompressed into a buffer of their own on every mmap.
// Traditional PKWARE encryption is decrypted with the path's password; AES members are
// listed as encrypted and refused.
//
// Everything the directory says is checked against the archive before it is used, and a
// damaged archive never lists as a smaller one: an end record (classic or ZIP64) that leads
// to no directory, a directory record without its signature or that does not fit, and a
// count that disagrees with the records all refuse the archive with a message. Bytes put in
// front of an archive are skipped, as other readers do. A member whose data leave the
// archive fails to map. Every member, stored ones too, is checked against its CRC-32, so
// damaged data, a header that moves the data or a wrong password never comes back as
// success. Bytes that are not one whole archive (cut short, one volume of a split set) and
// an encrypted directory are refused with a message rather than listed as an empty folder.

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <libdeflate.h>

#include <norva/core/byte_reader.hpp>
#include <norva/core/compress.hpp>
#include <norva/core/crc32.hpp>
#include <norva/core/exception.hpp>
#include <norva/filesystem/mapper.hpp>
#include <norva/filesystem/path.hpp>

#include "archive_memory.hpp"

namespace
{
    using namespace norva;
    using namespace norva::filesystem;
    using norva::filesystem::detail::allocateArchiveBuffer;
    using norva::filesystem::detail::ArchiveMemory;
    using norva::filesystem::detail::deflateCanMake;

    const char* const MAPPER_MMAP = "norva::filesystem::MapperZIP::mmap";
    const char* const HEADER_READ = "`anonymous-namespace'::FileHeader::read";
    const char* const ZIP_DECOMPRESS = "`anonymous-namespace'::zip_decompress";
    const char* const MAPPER_READ = "norva::filesystem::MapperZIP::MapperZIP";

    constexpr u32 LOCAL_HEADER_SIGNATURE = 0x04034b50;
    constexpr u32 CENTRAL_HEADER_SIGNATURE = 0x02014b50;
    constexpr u32 END_RECORD_SIGNATURE = 0x06054b50;
    constexpr u32 ZIP64_LOCATOR_SIGNATURE = 0x07064b50;
    constexpr u32 ZIP64_END_RECORD_SIGNATURE = 0x06064b50;
    constexpr u32 SPLIT_MARKER_SIGNATURE = 0x08074b50; // first bytes of a split set's first volume

    constexpr u64 END_RECORD_SIZE = 22;
    constexpr u64 ZIP64_LOCATOR_SIZE = 20;
    constexpr u64 ZIP64_END_RECORD_SIZE = 56;
    constexpr u64 ENCRYPTION_HEADER_SIZE = 12;

    constexpr u16 EXTRA_ZIP64 = 0x0001;
    constexpr u16 EXTRA_AES = 0x9901;

    constexpr u16 FLAG_ENCRYPTED = 0x0001;
    constexpr u16 FLAG_DATA_DESCRIPTOR = 0x0008;
    constexpr u16 FLAG_STRONG_ENCRYPTION = 0x0040;
    constexpr u16 FLAG_UTF8 = 0x0800;

    enum Encryption : u8
    {
        ENCRYPTION_NONE = 0,
        ENCRYPTION_PKWARE = 1,
        ENCRYPTION_AES128 = 2,
        ENCRYPTION_AES192 = 3,
        ENCRYPTION_AES256 = 4,
    };

    enum Method : u16
    {
        METHOD_STORED = 0,
        METHOD_DEFLATE = 8,
        METHOD_BZIP2 = 12,
        METHOD_LZMA = 14,
        METHOD_PPMD = 98,
    };


    // One central-directory entry.
    struct FileHeader
    {
        u32 signature = 0;
        u16 versionMadeBy = 0;
        u16 versionNeeded = 0;
        u16 flags = 0;
        u16 compression = 0;
        u16 time = 0;
        u16 date = 0;
        u32 crc = 0;
        u64 compressedSize = 0;
        u64 uncompressedSize = 0;
        u16 nameLength = 0;
        u16 extraLength = 0;
        u16 commentLength = 0;
        u16 diskNumberStart = 0;
        u16 internalAttributes = 0;
        u32 externalAttributes = 0;
        u64 localOffset = 0;
        std::string name;
        bool folder = false;
        u8 encryption = ENCRYPTION_NONE;
        u8 aesCompression = 0;

        // Reads the record at the reader's position; false when it does not fit.
        bool read(ByteReader& reader);
    };

    // The ZIP64 extra replaces only the fields whose 32-bit value is all ones, in this order.
    void readZip64(ByteReader extra, u64& uncompressed, u64& compressed, u64* localOffset)
    {
        if (uncompressed == 0xffffffff && extra.has(8))
        {
            uncompressed = extra.le64();
        }
        if (compressed == 0xffffffff && extra.has(8))
        {
            compressed = extra.le64();
        }
        if (localOffset && *localOffset == 0xffffffff && extra.has(8))
        {
            *localOffset = extra.le64();
        }
    }

    bool isUtf8(const std::string& text)
    {
        for (std::size_t i = 0; i < text.size();)
        {
            const u8 c = u8(text[i]);
            const std::size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
            if (!length || text.size() - i < length)
            {
                return false;
            }
            for (std::size_t k = 1; k < length; ++k)
            {
                if ((u8(text[i + k]) & 0xc0) != 0x80)
                {
                    return false;
                }
            }
            i += length;
        }
        return true;
    }

    // Windows tools write "a\b.txt"; callers' paths always use "/", so the index does too.
    // A name in a code page (no UTF-8 flag, not UTF-8 either) may be Shift-JIS, where 0x5C
    // is also the second byte of a double-byte character: only a 0x5C that starts a
    // character is a separator there.
    void slashSeparators(std::string& name, bool utf8)
    {
        const bool shiftJis = !utf8 && !isUtf8(name);
        for (std::size_t i = 0; i < name.size(); ++i)
        {
            const u8 c = u8(name[i]);
            if (shiftJis && ((c >= 0x81 && c <= 0x9f) || (c >= 0xe0 && c <= 0xfc)))
            {
                ++i; // the trail byte, whatever it is
            }
            else if (c == '\\')
            {
                name[i] = '/';
            }
        }
    }

    bool FileHeader::read(ByteReader& reader)
    {
        signature = reader.le32();
        versionMadeBy = reader.le16();
        versionNeeded = reader.le16();
        flags = reader.le16();
        compression = reader.le16();
        time = reader.le16();
        date = reader.le16();
        crc = reader.le32();
        compressedSize = reader.le32();
        uncompressedSize = reader.le32();
        nameLength = reader.le16();
        extraLength = reader.le16();
        commentLength = reader.le16();
        diskNumberStart = reader.le16();
        internalAttributes = reader.le16();
        externalAttributes = reader.le32();
        localOffset = reader.le32();

        ConstMemory nameBytes = reader.bytes(nameLength);
        ConstMemory extraBytes = reader.bytes(extraLength);
        reader.skip(commentLength);
        if (reader.isShort())
        {
            return false;
        }

        name.assign(reinterpret_cast<const char*>(nameBytes.address), nameBytes.size);
        slashSeparators(name, (flags & FLAG_UTF8) != 0);
        folder = !name.empty() && name.back() == '/';
        encryption = (flags & FLAG_ENCRYPTED) ? ENCRYPTION_PKWARE : ENCRYPTION_NONE;

        // A sub-field that claims more than the extra area holds ends the extras: what it
        // would have said is unknown, and the fields it would replace then fail their own
        // bounds checks when the member is mapped.
        ByteReader extra(extraBytes);
        while (extra.has(4))
        {
            const u16 id = extra.le16();
            const u16 size = extra.le16();
            if (!extra.has(size))
            {
                break;
            }
            ByteReader field(extra.bytes(size));

            if (id == EXTRA_ZIP64)
            {
                readZip64(field, uncompressedSize, compressedSize, &localOffset);
            }
            else if (id == EXTRA_AES)
            {
                const u16 vendorVersion = field.le16();
                const u16 vendorId = field.le16();
                const u8 strength = field.byte();
                const u16 method = field.le16();
                if (field.isShort() || vendorVersion < 1 || vendorVersion > 2 || vendorId != 0x4541)
                {
                    NORVA_THROW(HEADER_READ, "[mapper.zip] Incorrect AES header.");
                }
                if (strength < 1 || strength > 3)
                {
                    NORVA_THROW(HEADER_READ, "[mapper.zip] Incorrect AES encryption mode.");
                }
                encryption = u8(ENCRYPTION_AES128 + strength - 1);
                aesCompression = u8(method);
            }
        }
        return true;
    }

    std::unique_ptr<u8[]> allocate(u64 size)
    {
        return allocateArchiveBuffer(size, MAPPER_MMAP, "[mapper.zip] Out of memory.");
    }

    // Raw deflate (no zlib header) into exactly `dest`; the stream must fill it.
    void zip_decompress(Memory dest, ConstMemory source)
    {
        // a decompressor is not thread-safe: members of one archive may be mapped at once
        std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor*)> decompressor(
            libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
        if (!decompressor)
        {
            NORVA_THROW(ZIP_DECOMPRESS, "[mapper.zip] InflateInit failed.");
        }

        std::size_t produced = 0;
        const libdeflate_result result = libdeflate_deflate_decompress(
            decompressor.get(), source.address, std::size_t(source.size), dest.address, std::size_t(dest.size), &produced);
        switch (result)
        {
            case LIBDEFLATE_SUCCESS:
                break;
            case LIBDEFLATE_BAD_DATA:
                NORVA_THROW(ZIP_DECOMPRESS, "[mapper.zip] Data error.");
            case LIBDEFLATE_INSUFFICIENT_SPACE:
                // the stream holds more than the directory declares
                NORVA_THROW(ZIP_DECOMPRESS, "[mapper.zip] Buffer error.");
            default:
                NORVA_THROW(ZIP_DECOMPRESS, "[mapper.zip] Internal error.");
        }
        if (produced != dest.size)
        {
            NORVA_THROW(MAPPER_MMAP, "[mapper.zip] Incorrect decompressed size.");
        }
    }

    // Traditional PKWARE encryption, as published in the ZIP application note.
    class ZipCrypto
    {
    public:
        explicit ZipCrypto(const std::string& password)
        {
            for (char c : password)
            {
                if (!c)
                {
                    break;
                }
                update(u8(c));
            }
        }

        void decrypt(u8* dest, const u8* source, u64 size)
        {
            for (u64 i = 0; i < size; ++i)
            {
                const u32 temp = (m_keys[2] & 0xffff) | 2;
                const u8 plain = source[i] ^ u8((temp * (temp ^ 1)) >> 8);
                update(plain);
                dest[i] = plain;
            }
        }

    private:
        static u32 crcStep(u32 crc, u8 value)
        {
            // the CRC-32 of one byte through a 16-entry nibble table
            static constexpr u32 table[16] = {
                0x00000000, 0x1db71064, 0x3b6e20c8, 0x26d930ac, 0x76dc4190, 0x6b6b51f4, 0x4db26158, 0x5005713c,
                0xedb88320, 0xf00f9344, 0xd6d6a3e8, 0xcb61b38c, 0x9b64c2b0, 0x86d3d2d4, 0xa00ae278, 0xbdbdf21c,
            };
            crc ^= value;
            crc = (crc >> 4) ^ table[crc & 15];
            crc = (crc >> 4) ^ table[crc & 15];
            return crc;
        }

        void update(u8 value)
        {
            m_keys[0] = crcStep(m_keys[0], value);
            m_keys[1] = (m_keys[1] + (m_keys[0] & 0xff)) * 134775813 + 1;
            m_keys[2] = crcStep(m_keys[2], u8(m_keys[1] >> 24));
        }

        u32 m_keys[3] = { 0x12345678, 0x23456789, 0x34567890 };
    };

    std::string allSlashes(std::string path)
    {
        std::replace(path.begin(), path.end(), '\\', '/');
        return path;
    }

    class MapperZIP : public AbstractMapper
    {
    public:
        MapperZIP(ConstMemory parent, const std::string& password);

        bool isFile(const std::string& filename) override;
        void getIndex(FileIndex& index, const std::string& pathname) override;
        std::unique_ptr<VirtualMemory> mmap(const std::string& filename) override;

    private:
        void readDirectory();
        void addEntry(const FileHeader& header);
        ConstMemory decrypt(const FileHeader& header, ConstMemory data, std::unique_ptr<u8[]>& buffer) const;
        std::string indexKey(const std::string& path) const;

        ConstMemory m_parent;
        std::string m_password;
        std::map<std::string, std::set<std::string>> m_folders; // folder path -> child names
        std::map<std::string, FileHeader> m_files;               // full path -> entry
        std::map<std::string, std::string> m_aliases;            // all-slash spelling -> path that keeps a 0x5C
    };

    MapperZIP::MapperZIP(ConstMemory parent, const std::string& password)
        : m_parent(parent)
        , m_password(password)
    {
        if (m_parent.address)
        {
            readDirectory();
        }
    }

    // Where the end records say the central directory is. Fields read from a record whose
    // place was checked; `anchor` is where the directory must end at the latest.
    struct DirectoryRecord
    {
        u64 diskEntries = 0;
        u64 entries = 0;
        u64 size = 0;
        u64 offset = 0;
        u64 anchor = 0;
        bool zip64 = false;

        // the count, size and offset fields, 16/32 bits wide in the classic record
        static DirectoryRecord read(ByteReader& fields, u64 anchor, bool zip64)
        {
            DirectoryRecord r;
            r.diskEntries = zip64 ? fields.le64() : fields.le16();
            r.entries = zip64 ? fields.le64() : fields.le16();
            r.size = zip64 ? fields.le64() : fields.le32();
            r.offset = zip64 ? fields.le64() : fields.le32();
            r.anchor = anchor;
            r.zip64 = zip64;
            return r;
        }
    };

    enum class DirectoryFault
    {
        NONE,
        NOT_FOUND, // no directory where the record says, nor where it ends at the anchor
        DAMAGED,   // found, but its records do not match the record's count
    };

    // A record signature at `at`, its four bytes before `limit`: the checks on offsets that
    // come from the archive.
    bool signatureAt(const u8* data, u64 limit, u64 at, u32 signature)
    {
        return at < limit && limit - at >= 4 && loadLE32(data + at) == signature;
    }

    // Reads the directory a record describes into `headers`.
    DirectoryFault readRecords(ConstMemory archive, const DirectoryRecord& record, std::vector<FileHeader>& headers)
    {
        const u8* data = archive.address;
        auto centralAt = [&](u64 at) { return signatureAt(data, record.anchor, at, CENTRAL_HEADER_SIGNATURE); };

        // Where the record's offset leads nowhere, the directory is looked for where it ends
        // at the anchor, as unzip and libarchive do: bytes put in front of an archive (a
        // self-extractor stub) move everything while the offsets still count from the old
        // start.
        u64 start = record.offset;
        if (!centralAt(start))
        {
            if (record.size > record.anchor || !centralAt(record.anchor - record.size))
            {
                // a record that announces nothing describes an empty archive
                const bool empty = record.entries == 0 && record.diskEntries == 0 && record.size == 0;
                return empty ? DirectoryFault::NONE : DirectoryFault::NOT_FOUND;
            }
            start = record.anchor - record.size;
        }

        // The count decides how many records are read; a record without its signature or
        // one that runs into the end records means the directory is damaged, and so do
        // records left over after the count (a count that lost entries).
        ByteReader reader(data, record.anchor);
        reader.seek(start);
        auto readOne = [&]() {
            FileHeader header;
            if (!centralAt(reader.offset()) || !header.read(reader))
            {
                return false;
            }
            headers.push_back(std::move(header));
            return true;
        };
        for (u64 i = 0; i < record.entries; ++i)
        {
            if (!readOne())
            {
                return DirectoryFault::DAMAGED;
            }
        }
        u64 extra = 0;
        while (centralAt(reader.offset()))
        {
            if (!readOne())
            {
                return DirectoryFault::DAMAGED;
            }
            ++extra;
        }
        // Writers without ZIP64 wrap the 16-bit count past 65535 entries; the records say
        // how many there are.
        const bool wrapped = !record.zip64 && (record.entries + extra) % 0x10000 == record.entries;
        if ((extra && !wrapped) || record.diskEntries != record.entries)
        {
            return DirectoryFault::DAMAGED;
        }

        // A stub in front moved the local headers by as much as the directory; a damaged
        // offset field moved nothing. The first member's local header tells which.
        if (start != record.offset && !headers.empty())
        {
            const u64 moved = start - record.offset; // modulo 2^64: may move either way
            auto localAt = [&](u64 at) { return signatureAt(data, archive.size, at, LOCAL_HEADER_SIGNATURE); };
            const u64 first = headers.front().localOffset;
            if (localAt(first + moved) || !localAt(first))
            {
                for (FileHeader& header : headers)
                {
                    header.localOffset += moved;
                }
            }
        }
        return DirectoryFault::NONE;
    }

    void MapperZIP::readDirectory()
    {
        const u8* data = m_parent.address;
        const u64 size = m_parent.size;

        // The end record sits in front of an optional comment: search backwards.
        u64 record = size >= END_RECORD_SIZE ? size - END_RECORD_SIZE : 0;
        while (size < END_RECORD_SIZE || loadLE32(data + record) != END_RECORD_SIGNATURE)
        {
            if (record == 0)
            {
                if (size >= 4 && loadLE32(data) == SPLIT_MARKER_SIGNATURE)
                {
                    NORVA_THROW(MAPPER_READ, "[mapper.zip] No end record: one volume of a split archive (split archives are not supported).");
                }
                NORVA_THROW(MAPPER_READ, "[mapper.zip] No end record: the archive is cut short or is not a ZIP archive.");
            }
            --record;
        }

        ByteReader end(data + record, END_RECORD_SIZE);
        end.skip(4);
        const u32 disk = end.le16();
        const u32 directoryDisk = end.le16();
        DirectoryRecord classic = DirectoryRecord::read(end, record, false);

        // ZIP64: a locator right before the end record points at the ZIP64 end record. Its
        // offset counts from the archive's start too, so behind a prepended stub the record
        // is found where it ends at the locator (without extensible data, as writers leave it).
        std::optional<DirectoryRecord> zip64;
        bool zip64Split = false;
        bool encryptedDirectory = false;
        if (record >= ZIP64_LOCATOR_SIZE && loadLE32(data + record - ZIP64_LOCATOR_SIZE) == ZIP64_LOCATOR_SIGNATURE)
        {
            ByteReader locator(data + record - ZIP64_LOCATOR_SIZE, ZIP64_LOCATOR_SIZE);
            locator.skip(4);
            const u32 recordDisk = locator.le32();
            const u64 stated = locator.le64();
            const u32 disks = locator.le32();
            zip64Split = recordDisk != 0 || disks > 1;

            const u64 limit = record - ZIP64_LOCATOR_SIZE;
            auto recordAt = [&](u64 at) {
                return signatureAt(data, limit, at, ZIP64_END_RECORD_SIGNATURE) && limit - at >= ZIP64_END_RECORD_SIZE;
            };
            u64 at = stated;
            if (!recordAt(at) && limit >= ZIP64_END_RECORD_SIZE && recordAt(limit - ZIP64_END_RECORD_SIZE) &&
                loadLE64(data + limit - ZIP64_END_RECORD_SIZE + 4) == ZIP64_END_RECORD_SIZE - 12)
            {
                at = limit - ZIP64_END_RECORD_SIZE;
            }
            if (recordAt(at))
            {
                ByteReader fields(data + at, ZIP64_END_RECORD_SIZE);
                fields.skip(4);
                const u64 recordSize = fields.le64();
                fields.skip(2); // version made by
                const u16 needed = fields.le16();
                const u32 zip64Disk = fields.le32();
                const u32 zip64DirectoryDisk = fields.le32();
                zip64 = DirectoryRecord::read(fields, at, true);
                zip64Split |= zip64Disk != 0 || zip64DirectoryDisk != 0;
                // PKWARE's central-directory encryption writes the version 2 record: a
                // version needed of 6.2 or more and extensible data after the fixed fields
                encryptedDirectory = u8(needed) >= 62 && recordSize > ZIP64_END_RECORD_SIZE - 12;
                classic.anchor = at;
            }
        }

        // Saturated fields are placeholders for the ZIP64 values; the others must agree.
        const bool saturated = classic.diskEntries == 0xffff || classic.entries == 0xffff ||
            classic.size == 0xffffffff || classic.offset == 0xffffffff;
        const bool classicSplit = (disk != 0 && disk != 0xffff) || (directoryDisk != 0 && directoryDisk != 0xffff) ||
            (!zip64 && (disk != 0 || directoryDisk != 0));
        if (classicSplit || (zip64 && zip64Split))
        {
            NORVA_THROW(MAPPER_READ, "[mapper.zip] The last volume of a split archive (split archives are not supported).");
        }

        // The ZIP64 record first; when it leads nowhere, the classic record where its own
        // fields hold real values (7-Zip reads such archives the same way).
        std::vector<DirectoryRecord> candidates;
        if (zip64)
        {
            candidates.push_back(*zip64);
        }
        if (!saturated)
        {
            candidates.push_back(classic);
        }

        DirectoryFault worst = DirectoryFault::NOT_FOUND;
        for (const DirectoryRecord& candidate : candidates)
        {
            std::vector<FileHeader> headers;
            const DirectoryFault fault = readRecords(m_parent, candidate, headers);
            if (fault == DirectoryFault::NONE)
            {
                for (const FileHeader& header : headers)
                {
                    addEntry(header);
                }
                return;
            }
            if (fault == DirectoryFault::DAMAGED)
            {
                worst = fault;
            }
        }

        if (encryptedDirectory && worst == DirectoryFault::NOT_FOUND)
        {
            NORVA_THROW(MAPPER_READ, "[mapper.zip] The central directory is encrypted (strong encryption is not supported).");
        }
        if (worst == DirectoryFault::DAMAGED)
        {
            NORVA_THROW(MAPPER_READ, "[mapper.zip] The central directory is damaged.");
        }
        NORVA_THROW(MAPPER_READ, "[mapper.zip] The central directory cannot be found where the end record says.");
    }

    void MapperZIP::addEntry(const FileHeader& header)
    {
        // a/b/c.png: c.png in a/b/, b/ in a/, a/ in the root. Names are keys, never host
        // paths: "..", "/etc" or "C:" are listed as they are and lead nowhere outside.
        std::string name = header.name;
        bool ancestor = false;
        while (!name.empty())
        {
            // only "/" separates here: a backslash left in the name belongs to a character
            const std::size_t separator = name.size() < 2 ? std::string::npos : name.find_last_of('/', name.size() - 2);
            const std::string folder = separator == std::string::npos ? std::string() : name.substr(0, separator + 1);
            const std::string child = name.substr(folder.size());

            const std::string alias = allSlashes(name);
            if (alias != name)
            {
                m_aliases.emplace(alias, name);
            }
            FileHeader& entry = m_files[name];
            entry = header;
            entry.name = child;
            if (ancestor)
            {
                entry.folder = true;
            }
            m_folders[folder].insert(child);

            name = folder;
            ancestor = true;
        }
    }

    // A caller's path as it is, then with every backslash a separator (callers and the path
    // layer write "/" for them), then a Shift-JIS name that keeps its 0x5C by that spelling.
    std::string MapperZIP::indexKey(const std::string& path) const
    {
        if (m_files.count(path) || m_folders.count(path))
        {
            return path;
        }
        const std::string slashed = allSlashes(path);
        auto alias = m_aliases.find(slashed);
        if (!m_files.count(slashed) && !m_folders.count(slashed) && alias != m_aliases.end())
        {
            return alias->second;
        }
        return slashed;
    }

    bool MapperZIP::isFile(const std::string& filename)
    {
        auto it = m_files.find(indexKey(filename));
        return it != m_files.end() && !it->second.folder;
    }

    void MapperZIP::getIndex(FileIndex& index, const std::string& path)
    {
        const std::string pathname = indexKey(path);
        auto folder = m_folders.find(pathname);
        if (folder == m_folders.end())
        {
            return;
        }

        for (const std::string& child : folder->second)
        {
            const FileHeader& header = m_files.at(pathname + child);
            if (header.folder)
            {
                index.emplace(child, 0, FileInfo::DIRECTORY);
                continue;
            }

            u32 flags = 0;
            if (header.compression != METHOD_STORED)
            {
                flags |= FileInfo::COMPRESSED;
            }
            if (header.encryption != ENCRYPTION_NONE)
            {
                flags |= FileInfo::ENCRYPTED;
            }
            index.emplace(child, header.uncompressedSize, flags);
        }
    }

    ConstMemory MapperZIP::decrypt(const FileHeader& header, ConstMemory data, std::unique_ptr<u8[]>& buffer) const
    {
        if (m_password.empty() || data.size < ENCRYPTION_HEADER_SIZE)
        {
            NORVA_THROW(MAPPER_MMAP, "[mapper.zip] Decryption failed (probably incorrect password).");
        }

        ZipCrypto crypto(m_password);
        u8 check[ENCRYPTION_HEADER_SIZE];
        crypto.decrypt(check, data.address, ENCRYPTION_HEADER_SIZE);

        // The last header byte repeats the high CRC byte, or the time's high byte when the
        // CRC was not known yet (data descriptor). Archivers from 3.0 on are not checked
        // here; the CRC of the result is.
        const u8 version = u8(header.versionMadeBy);
        bool valid = true;
        if (version < 30)
        {
            if (header.flags & FLAG_DATA_DESCRIPTOR)
            {
                valid = check[11] == u8(header.time >> 8);
            }
            else if (version < 20)
            {
                valid = loadLE16(check + 10) == u16(header.crc >> 16);
            }
            else
            {
                valid = check[11] == u8(header.crc >> 24);
            }
        }
        if (!valid)
        {
            NORVA_THROW(MAPPER_MMAP, "[mapper.zip] Decryption failed (probably incorrect password).");
        }

        const u64 size = data.size - ENCRYPTION_HEADER_SIZE;
        buffer = allocate(size);
        crypto.decrypt(buffer.get(), data.address + ENCRYPTION_HEADER_SIZE, size);
        return ConstMemory(buffer.get(), size);
    }

    std::unique_ptr<VirtualMemory> MapperZIP::mmap(const std::string& filename)
    {
        // folders have entries too, but no bytes of their own
        auto it = m_files.find(indexKey(filename));
        if (it == m_files.end() || it->second.folder)
        {
            NORVA_THROW(MAPPER_MMAP, "[mapper.zip] File \"%s\" not found.", filename.c_str());
        }
        const FileHeader& header = it->second;

        // The local header repeats name and extra with lengths of its own; the data follow.
        ByteReader local(m_parent);
        local.seek(header.localOffset);
        const u32 signature = local.le32();
        local.skip(22);
        const u16 nameLength = local.le16();
        const u16 extraLength = local.le16();
        local.skip(u64(nameLength) + extraLength);
        if (local.isShort() || signature != LOCAL_HEADER_SIGNATURE || !local.has(header.compressedSize))
        {
            NORVA_THROW(MAPPER_MMAP, "[mapper.zip] Invalid local header.");
        }
        ConstMemory data(local.position(), header.compressedSize);

        std::unique_ptr<u8[]> decrypted;
        if (header.encryption == ENCRYPTION_PKWARE && (header.flags & FLAG_STRONG_ENCRYPTION))
        {
            // PKWARE's certificate-based encryption: its header is not the 12-byte one
            NORVA_THROW(MAPPER_MMAP, "[mapper.zip] Strong encryption is not supported.");
        }
        if (header.encryption == ENCRYPTION_PKWARE)
        {
            data = decrypt(header, data, decrypted);
        }
        else if (header.encryption != ENCRYPTION_NONE)
        {
            NORVA_THROW(MAPPER_MMAP, "[mapper.zip] AES encryption is not yet supported.");
        }

        const u64 size = header.uncompressedSize;
        if (header.compression == METHOD_STORED)
        {
            if (data.size != size)
            {
                NORVA_THROW(MAPPER_MMAP, "[mapper.zip] Incorrect decompressed size.");
            }
            if (!decrypted)
            {
                // the member as it lies in the archive, no copy; read once for its CRC-32
                if (crc32(0, data) != header.crc)
                {
                    NORVA_THROW(MAPPER_MMAP, "[mapper.zip] CRC error in \"%s\".", filename.c_str());
                }
                return std::make_unique<ArchiveMemory>(data);
            }
        }
        else
        {
            switch (header.compression)
            {
                case METHOD_DEFLATE:
                case METHOD_BZIP2:
                case METHOD_LZMA:
                case METHOD_PPMD:
                    break;
                default:
                    NORVA_THROW(MAPPER_MMAP, "[mapper.zip] Unsupported compression algorithm (%d).", int(header.compression));
            }
            if (header.compression == METHOD_DEFLATE && !deflateCanMake(data.size, size))
            {
                NORVA_THROW(MAPPER_MMAP, "[mapper.zip] Incorrect decompressed size.");
            }
        }

        std::unique_ptr<u8[]> buffer;
        try
        {
            switch (header.compression)
            {
                case METHOD_STORED:
                    buffer = std::move(decrypted);
                    break;

                case METHOD_DEFLATE:
                    buffer = allocate(size);
                    zip_decompress(Memory(buffer.get(), size), data);
                    break;

                case METHOD_BZIP2:
                    buffer = allocate(size);
                    bzip2::decompress(Memory(buffer.get(), size), data);
                    break;

                case METHOD_LZMA:
                {
                    // u8 major, u8 minor version, u16 properties size, then the properties
                    ByteReader lzma(data);
                    lzma.skip(2);
                    if (lzma.le16() != 5 || lzma.isShort())
                    {
                        NORVA_THROW(MAPPER_MMAP, "[mapper.zip] Incorrect LZMA header.");
                    }
                    buffer = allocate(size);
                    lzma::decompress(Memory(buffer.get(), size), lzma.rest());
                    break;
                }

                case METHOD_PPMD:
                    buffer = allocate(size);
                    ppmd8::decompress(Memory(buffer.get(), size), data);
                    break;
            }
        }
        catch (const Exception& e)
        {
            // Without a check byte a wrong password shows only as a stream that does not
            // decode: say so instead of blaming the decoder.
            if (decrypted && e.getMessage() != "[mapper.zip] Out of memory.")
            {
                NORVA_THROW(MAPPER_MMAP, "[mapper.zip] Decryption failed (probably incorrect password).");
            }
            throw;
        }

        if (crc32(0, ConstMemory(buffer.get(), size)) != header.crc)
        {
            if (header.encryption != ENCRYPTION_NONE)
            {
                NORVA_THROW(MAPPER_MMAP, "[mapper.zip] Decryption failed (probably incorrect password).");
            }
            NORVA_THROW(MAPPER_MMAP, "[mapper.zip] CRC error in \"%s\".", filename.c_str());
        }
        return std::make_unique<ArchiveMemory>(std::move(buffer), size);
    }

} // namespace

namespace norva::filesystem
{
    std::unique_ptr<AbstractMapper> createMapperZIP(ConstMemory parent, const std::string& password)
    {
        return std::make_unique<MapperZIP>(parent, password);
    }

} // namespace norva::filesystem
