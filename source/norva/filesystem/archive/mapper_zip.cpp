// ZIP archives as folders. The central directory is read once; stored members map as views
// into the archive, the others are decompressed into a buffer of their own on every mmap.
// Traditional PKWARE encryption is decrypted with the path's password; AES members are
// listed as encrypted and refused.
//
// Everything the directory says is checked against the archive before it is used: a record
// that does not fit ends the directory (the records before it stay), a member whose data
// leave the archive fails to map. Every member, stored ones too, is checked against its
// CRC-32, so damaged data, a header that moves the data or a wrong password never comes back
// as success. Bytes that are not one whole archive (cut short, one volume of a split set)
// are refused with a message rather than listed as an empty folder.

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>

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
        // Windows tools write "a\b.txt"; callers' paths always use "/", so index it that way
        std::replace(name.begin(), name.end(), '\\', '/');
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

    // Index keys use "/" only, as member names are stored that way.
    std::string indexKey(std::string path)
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

        ConstMemory m_parent;
        std::string m_password;
        std::map<std::string, std::set<std::string>> m_folders; // folder path -> child names
        std::map<std::string, FileHeader> m_files;               // full path -> entry
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
        u32 disk = end.le16();
        u32 directoryDisk = end.le16();
        u64 diskEntries = end.le16();
        u64 entries = end.le16();
        u64 directorySize = end.le32();
        u64 offset = end.le32();
        u64 anchor = record; // what the directory ends at

        // ZIP64: any saturated field is a placeholder for the value in the ZIP64 end record;
        // writers saturate only the fields that overflow (often just the entry count).
        const bool saturated = diskEntries == 0xffff || entries == 0xffff ||
            directorySize == 0xffffffff || offset == 0xffffffff;
        if (saturated && record >= ZIP64_LOCATOR_SIZE &&
            loadLE32(data + record - ZIP64_LOCATOR_SIZE) == ZIP64_LOCATOR_SIGNATURE)
        {
            const u64 zip64 = loadLE64(data + record - 12);
            if (zip64 <= size && size - zip64 >= ZIP64_END_RECORD_SIZE &&
                loadLE32(data + zip64) == ZIP64_END_RECORD_SIGNATURE)
            {
                disk = loadLE32(data + zip64 + 16);
                directoryDisk = loadLE32(data + zip64 + 20);
                diskEntries = loadLE64(data + zip64 + 24);
                entries = loadLE64(data + zip64 + 32);
                directorySize = loadLE64(data + zip64 + 40);
                offset = loadLE64(data + zip64 + 48);
                anchor = zip64;
            }
        }

        // no multi-volume archives: this is their last volume
        if (disk != 0 || directoryDisk != 0 || diskEntries != entries)
        {
            NORVA_THROW(MAPPER_READ, "[mapper.zip] The last volume of a split archive (split archives are not supported).");
        }

        // Bytes put in front of an archive (a self-extractor stub) shift everything while
        // the offsets still count from the old start: find the directory where it ends, as
        // unzip and libarchive do, and shift every local offset alike.
        u64 shift = 0;
        const bool atOffset = offset <= size - 4 && loadLE32(data + offset) == CENTRAL_HEADER_SIGNATURE;
        if (!atOffset && directorySize <= anchor && anchor - directorySize > offset &&
            loadLE32(data + anchor - directorySize) == CENTRAL_HEADER_SIGNATURE)
        {
            shift = anchor - directorySize - offset;
            offset += shift;
        }

        if (s32(u32(entries)) < 1 && entries <= 0xffffffff)
        {
            return;
        }

        // Every record is at least 4 bytes on, so the count cannot outrun the archive.
        ByteReader reader(m_parent);
        if (!reader.seek(offset))
        {
            return;
        }
        for (u64 i = 0; i < entries && !reader.atEnd(); ++i)
        {
            const u64 start = reader.offset();
            if (!reader.has(4))
            {
                break;
            }
            if (loadLE32(reader.position()) != CENTRAL_HEADER_SIGNATURE)
            {
                reader.seek(start + 4);
                continue;
            }

            FileHeader header;
            if (!header.read(reader))
            {
                break;
            }
            header.localOffset = header.localOffset > ~u64(0) - shift ? ~u64(0) : header.localOffset + shift;
            addEntry(header);
        }
    }

    void MapperZIP::addEntry(const FileHeader& header)
    {
        // a/b/c.png: c.png in a/b/, b/ in a/, a/ in the root. Names are keys, never host
        // paths: "..", "/etc" or "C:" are listed as they are and lead nowhere outside.
        std::string name = header.name;
        bool ancestor = false;
        while (!name.empty())
        {
            const std::string folder = getPath(name.substr(0, name.size() - 1));
            const std::string child = name.substr(folder.size());

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
