// RAR archives as folders: the block headers of RAR 1.5 - 4.x and RAR 5 are walked once,
// stored members are mapped as views into the archive and packed ones are unpacked into
// owned buffers, each checked against its CRC-32 (or, for RAR 5 members that carry one
// instead, its BLAKE2sp hash) when it is mapped.
//
// Every size and offset comes from the archive, so each is checked against what is left
// before it is used. A damaged or cut archive throws instead of listing the members before
// the damage, so that a caller never takes it for a smaller archive:
// - a header that fails its CRC: "Header CRC error.";
// - a header, a member's data or a block's added data that the end of the file cuts, and a
//   RAR 5 archive whose walk reaches the end of the file without its end-of-archive header:
//   "The archive is cut short." (RAR 1.5 - 4.x archivers may leave out the end block, so
//   there the walk may also end right after a whole block, or at padding that old transfer
//   tools added: bytes that are all 0x00 or all 0x1A);
// - a header whose CRC passes but whose fields contradict it (a size below its fixed
//   fields, a name or a number running past the header): "Damaged header.".
// Bytes after the end block or end-of-archive header are not read.

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <sys/mman.h>

#include <norva/core/byte_reader.hpp>
#include <norva/core/crc32.hpp>
#include <norva/core/exception.hpp>
#include <norva/core/string.hpp>
#include <norva/filesystem/mapper.hpp>
#include <norva/filesystem/path.hpp>

#include "archive/rar/rar_blake2sp.hpp"
#include "archive/rar/rar_unpack.hpp"

namespace norva::filesystem
{
    namespace
    {
        // A member's buffer. Large ones are filled once, front to back, by the unpacker: on
        // 2 MiB pages that costs one page fault per 2 MiB instead of one per 4 KiB, which
        // otherwise outweighs the decoding of very repetitive members.
        u8* allocateMember(u64 size)
        {
            constexpr u64 hugePage = u64(2) << 20;
            if (size < 2 * hugePage)
                return static_cast<u8*>(alignedMalloc(std::max<u64>(size, 1), 64));
            u8* buffer = static_cast<u8*>(alignedMalloc(size, u32(hugePage)));
#if defined(MADV_HUGEPAGE)
            madvise(buffer, std::size_t(size), MADV_HUGEPAGE);
#endif
            return buffer;
        }

        constexpr u8 signature4[7] = { 'R', 'a', 'r', '!', 0x1A, 0x07, 0x00 };
        constexpr u8 signature5[8] = { 'R', 'a', 'r', '!', 0x1A, 0x07, 0x01, 0x00 };

        // RAR 1.5 - 4.x block types and flags
        constexpr u8 BLOCK_MAIN = 0x73;
        constexpr u8 BLOCK_FILE = 0x74;
        constexpr u8 BLOCK_NEWSUB = 0x7A;
        constexpr u8 BLOCK_END = 0x7B;
        constexpr u8 BLOCK_MARK = 0x72;
        constexpr u8 BLOCK_OLD_AV = 0x76;
        constexpr u8 BLOCK_OLD_SUB = 0x77;
        constexpr u8 BLOCK_OLD_SIGN = 0x79;
        constexpr u16 OLD_SUB_UNIX_OWNER = 0x101;
        constexpr u16 OLD_SUB_MAC_INFO = 0x102;
        constexpr u16 MAIN_COMMENT = 0x0002;
        constexpr u16 MAIN_PASSWORD = 0x0080; // the headers after the main block are encrypted
        constexpr u16 FILE_SPLIT_BEFORE = 0x0001;
        constexpr u16 FILE_SPLIT_AFTER = 0x0002;
        constexpr u16 FILE_PASSWORD = 0x0004;
        constexpr u16 FILE_COMMENT = 0x0008;
        constexpr u16 FILE_SOLID = 0x0010;
        constexpr u16 FILE_DIRECTORY = 0x00E0;
        constexpr u16 FILE_LARGE = 0x0100;
        constexpr u16 FILE_UNICODE = 0x0200;
        constexpr u16 LONG_BLOCK = 0x8000;

        // RAR 5 header types and flags
        constexpr u64 HEAD5_FILE = 2;
        constexpr u64 HEAD5_CRYPT = 4;
        constexpr u64 HEAD5_END = 5;
        constexpr u64 HFL_EXTRA = 0x0001;
        constexpr u64 HFL_DATA = 0x0002;
        constexpr u64 HFL_SPLIT = 0x0008 | 0x0010;
        constexpr u64 FHFL_DIRECTORY = 0x0001;
        constexpr u64 FHFL_UTIME = 0x0002;
        constexpr u64 FHFL_CRC32 = 0x0004;
        constexpr u64 FHFL_UNPUNKNOWN = 0x0008;
        constexpr u64 FHEXTRA_CRYPT = 1;
        constexpr u64 FHEXTRA_HASH = 2;
        constexpr u64 FHEXTRA_REDIR = 5;
        constexpr u64 FHEXTRA_HASH_BLAKE2 = 0;

        constexpr std::size_t MAX_UNICODE_FIELD = 1024;

        struct FileHeader
        {
            u64 packedSize = 0;
            u64 unpackedSize = 0;
            u32 crc = 0;
            u8 version = 0;
            u8 method = 0;
            bool rar5 = false;
            std::string name;
            bool folder = false;
            const u8* data = nullptr;

            bool hasCrc = true;
            bool hasBlake2 = false; // RAR 5: a BLAKE2sp hash in the extra area, checked without a CRC
            u8 blake2[rar::BLAKE2SP_SIZE] = {};
            bool encrypted = false;
            const char* refusal = nullptr; // why the member cannot be mapped

            // RAR 4 methods are the characters '0'..'5', RAR 5 methods the numbers 0..5.
            bool isStored() const { return rar5 ? method == 0 : method == '0'; }
        };

        class VirtualMemoryRAR : public VirtualMemory
        {
        public:
            VirtualMemoryRAR(Memory memory, u8* buffer)
                : VirtualMemory(memory)
                , m_buffer(buffer)
            {
            }

            ~VirtualMemoryRAR() override
            {
                alignedFree(m_buffer);
            }

        private:
            u8* m_buffer; // null for a view into the archive
        };

        const char* const parseFunction = "norva::filesystem::MapperRAR::parse";

        // The walks' three ways of failing (see the top of the file).
        [[noreturn]] void throwCutShort()
        {
            NORVA_THROW(parseFunction, "[mapper.rar] The archive is cut short.");
        }

        [[noreturn]] void throwDamagedHeader()
        {
            NORVA_THROW(parseFunction, "[mapper.rar] Damaged header.");
        }

        [[noreturn]] void throwHeaderCrcError()
        {
            NORVA_THROW(parseFunction, "[mapper.rar] Header CRC error.");
        }

        enum class Vint
        {
            OK,
            SHORT,   // the bytes ended inside it
            TOO_LONG // no ending byte among the first 10
        };

        // The RAR 5 variable-length integer: 7 bits a byte, low group first, at most 10 bytes.
        Vint readVint(ByteReader& reader, u64& value)
        {
            value = 0;
            for (int i = 0; i < 10; ++i)
            {
                if (reader.atEnd())
                    return Vint::SHORT;
                const u8 byte = reader.byte();
                if (i < 9 || (byte & 0x7F) <= 1)
                    value |= u64(byte & 0x7F) << (7 * i);
                if (!(byte & 0x80))
                    return Vint::OK;
            }
            return Vint::TOO_LONG;
        }

        // A number inside a header whose CRC passed: a header that ends inside one
        // contradicts its own size.
        u64 headerVint(ByteReader& header)
        {
            u64 value = 0;
            if (readVint(header, value) != Vint::OK)
                throwDamagedHeader();
            return value;
        }

        // RAR 3 packed Unicode name: an ASCII name, a zero, then the packed UTF-16 form.
        std::string decodeUnicodeFilename(ConstMemory field)
        {
            if (field.size >= MAX_UNICODE_FIELD)
            {
                NORVA_THROW("`anonymous-namespace'::decodeUnicodeFilename", "[mapper.rar] Too long unicode filename.");
            }

            const u8* zero = static_cast<const u8*>(std::memchr(field.address, 0, field.size));
            const std::size_t asciiSize = zero ? std::size_t(zero - field.address) : std::size_t(field.size);
            const std::string ascii(reinterpret_cast<const char*>(field.address), asciiSize);
            if (!zero || asciiSize + 1 >= field.size)
            {
                return ascii;
            }

            // Reads stay inside the field and the ASCII name: zero beyond them.
            const u8* packed = field.address + asciiSize + 1;
            const std::size_t packedSize = field.size - asciiSize - 1;
            std::size_t in = 0;
            auto next = [&]() -> u32 { return in < packedSize ? packed[in++] : (in++, 0u); };
            auto asciiAt = [&](std::size_t position) -> u32 {
                return position < asciiSize ? u8(ascii[position]) : 0u;
            };

            std::u16string units;
            const u32 high = next();
            u32 flags = 0;
            int flagBits = 0;
            while (in < packedSize && units.size() < MAX_UNICODE_FIELD)
            {
                if (flagBits == 0)
                {
                    flags = next();
                    flagBits = 8;
                }
                switch (flags >> 6)
                {
                    case 0:
                        units.push_back(char16_t(next()));
                        break;
                    case 1:
                        units.push_back(char16_t(next() + (high << 8)));
                        break;
                    case 2:
                    {
                        const u32 low = next();
                        units.push_back(char16_t(low | (next() << 8)));
                        break;
                    }
                    default:
                    {
                        u32 length = next();
                        if (length & 0x80)
                        {
                            const u32 correction = next();
                            for (length = (length & 0x7F) + 2; length > 0 && units.size() < MAX_UNICODE_FIELD; --length)
                                units.push_back(char16_t(((asciiAt(units.size()) + correction) & 0xFF) + (high << 8)));
                        }
                        else
                        {
                            for (length += 2; length > 0 && units.size() < MAX_UNICODE_FIELD; --length)
                                units.push_back(char16_t(asciiAt(units.size())));
                        }
                        break;
                    }
                }
                flags = (flags << 2) & 0xFF;
                flagBits -= 2;
            }
            // A zero unit ends the name, as it would in the archiver's own buffer.
            const std::size_t end = units.find(char16_t(0));
            if (end != std::u16string::npos)
                units.resize(end);
            // A packed part that decodes to nothing leaves the name in the first part.
            return units.empty() ? ascii : utf16ToUtf8(units);
        }

        class MapperRAR : public AbstractMapper
        {
        public:
            MapperRAR(ConstMemory parent, const std::string& password)
                : m_password(password)
            {
                if (parent.address)
                {
                    parse(parent);
                }
            }

            bool isFile(const std::string& filename) override
            {
                auto it = m_files.find(filename);
                return it != m_files.end() && it->second.header >= 0;
            }

            void getIndex(FileIndex& index, const std::string& pathname) override
            {
                std::string folder = pathname;
                if (!folder.empty() && folder.back() != '/')
                    folder += '/';

                auto it = m_folders.find(folder);
                if (it == m_folders.end())
                    return;

                for (const std::string& child : it->second)
                {
                    const IndexEntry& entry = m_files.at(folder + child);
                    if (entry.header < 0)
                    {
                        index.emplace(child, 0, FileInfo::DIRECTORY);
                        continue;
                    }
                    const FileHeader& header = m_headers[std::size_t(entry.header)];
                    u32 flags = 0;
                    if (!header.isStored())
                        flags |= FileInfo::COMPRESSED;
                    if (header.encrypted)
                        flags |= FileInfo::ENCRYPTED;
                    index.emplace(child, header.unpackedSize, flags);
                }
            }

            std::unique_ptr<VirtualMemory> mmap(const std::string& filename) override
            {
                auto it = m_files.find(filename);
                if (it == m_files.end() || it->second.header < 0)
                {
                    NORVA_THROW("norva::filesystem::MapperRAR::mmap", "[mapper.rar] File \"%s\" not found.", filename.c_str());
                }
                return map(m_headers[std::size_t(it->second.header)]);
            }

        private:
            struct IndexEntry
            {
                std::string name;  // the child name within its folder
                int header = -1;   // -1: a folder
            };

            static std::unique_ptr<VirtualMemory> map(const FileHeader& header)
            {
                const char* function = "`anonymous-namespace'::FileHeader::mmap";
                if (header.refusal)
                {
                    NORVA_THROW(function, "%s", header.refusal);
                }

                // An empty RAR 5 member has nothing to unpack, whatever its method.
                const bool empty = header.rar5 && !header.unpackedSize && !header.packedSize;
                if (header.isStored() || empty)
                {
                    // Zero-copy, but read through once: a damaged byte or a header field that
                    // moved the data must not come back as the member.
                    checkContents(header, ConstMemory(header.data, header.unpackedSize), function);
                    return std::make_unique<VirtualMemoryRAR>(
                        Memory(const_cast<u8*>(header.data), header.unpackedSize), nullptr);
                }

                // No unpacker for this version (every RAR 5 one among them): fail before
                // allocating what may be gigabytes.
                const u32 version = header.rar5 ? 0 : header.version;
                if (version != 15 && version != 20 && version != 26 && version != 29 && version != 36)
                {
                    NORVA_THROW(function, "[mapper.rar] Decompression failed.");
                }
                if (header.unpackedSize > u64(SIZE_MAX) - 64)
                {
                    NORVA_THROW(function, "[mapper.rar] Out of memory.");
                }
                u8* buffer = nullptr;
                try
                {
                    buffer = allocateMember(header.unpackedSize);
                }
                catch (const Exception&)
                {
                    NORVA_THROW(function, "[mapper.rar] Out of memory.");
                }
                auto memory = std::make_unique<VirtualMemoryRAR>(Memory(buffer, header.unpackedSize), buffer);

                rar::RarDecompressResult result;
                try
                {
                    result = rar::rar_decompress(buffer, header.data, header.unpackedSize, header.packedSize,
                                                 header.version);
                }
                catch (const std::bad_alloc&)
                {
                    NORVA_THROW(function, "[mapper.rar] Out of memory.");
                }

                if (result.unsupported && result.failure)
                {
                    NORVA_THROW(function, "[mapper.rar] %s.", result.failure);
                }
                if (result.failure || result.stored != header.unpackedSize)
                {
                    NORVA_THROW(function, "[mapper.rar] Decompression failed.");
                }
                checkContents(header, ConstMemory(buffer, header.unpackedSize), function);
                return memory;
            }

            // The member's bytes against its CRC-32 or, in a RAR 5 header without one, its
            // BLAKE2sp hash; a mismatch names the check that failed.
            static void checkContents(const FileHeader& header, ConstMemory bytes, const char* function)
            {
                if (header.hasCrc)
                {
                    if (crc32(0, bytes) != header.crc)
                        NORVA_THROW(function, "[mapper.rar] CRC-32 mismatch.");
                }
                else if (header.hasBlake2)
                {
                    u8 hash[rar::BLAKE2SP_SIZE];
                    rar::blake2sp(hash, bytes);
                    if (std::memcmp(hash, header.blake2, sizeof(hash)))
                        NORVA_THROW(function, "[mapper.rar] BLAKE2sp mismatch.");
                }
            }

            void parse(ConstMemory archive)
            {
                if (archive.size >= sizeof(signature5) && !std::memcmp(archive.address, signature5, sizeof(signature5)))
                {
                    walk5(archive);
                }
                else if (archive.size >= sizeof(signature4) && !std::memcmp(archive.address, signature4, sizeof(signature4)))
                {
                    walk4(archive);
                }
                else
                {
                    NORVA_THROW(parseFunction, "[mapper.rar] Incorrect signature.");
                }

                for (std::size_t i = 0; i < m_headers.size(); ++i)
                {
                    insert(m_headers[i].name, m_headers[i].folder ? -1 : int(i));
                }
            }

            // Stores the entry and every folder above it, each in its parent's children.
            void insert(std::string name, int header)
            {
                while (!name.empty())
                {
                    const std::string folder = getPath(name.substr(0, name.size() - 1));
                    const std::string child = name.substr(folder.size());
                    m_files[name] = IndexEntry { child, header };
                    m_folders[folder].insert(child);
                    if (name.back() == '/')
                        m_folders[name]; // a listed folder lists, even when empty
                    name = folder;
                    header = -1;
                }
            }

            // Nothing after the header can be read without decrypting it: listing the archive
            // as an empty folder would hide that.
            [[noreturn]] void refuseEncryptedHeaders() const
            {
                if (m_password.empty())
                {
                    NORVA_THROW(parseFunction, "[mapper.rar] Encrypted headers: no password given.");
                }
                NORVA_THROW(parseFunction, "[mapper.rar] Encrypted headers: decryption is not supported.");
            }

            // RAR 4: the low 16 bits of the CRC-32 from the type byte to the header's end.
            // `rest` runs from the block to the end of the archive. Old archivers departed
            // from the rule, and their archives must still open:
            // - a second marker block has no CRC, and the CRC of AV and signature blocks was
            //   left unset;
            // - a main header with a comment covers its fixed fields only, a file header with
            //   one its fixed fields and name;
            // - an old sub-block of Unix owners or Mac file info covers the header and the
            //   add-size data after it (the owner and group names), though some writers
            //   covered the header alone; data that the end of the file cuts cannot be
            //   checked, and the archive is cut short.
            static bool headerCrc4Matches(ConstMemory rest, u16 headerSize, u8 type, u16 flags)
            {
                if (type == BLOCK_MARK || type == BLOCK_OLD_AV || type == BLOCK_OLD_SIGN)
                    return true;
                const u16 stored = ByteReader(rest.address, 2).le16();
                auto matches = [&](u64 size) {
                    return (crc32(0, ConstMemory(rest.address + 2, size - 2)) & 0xFFFF) == stored;
                };
                if (type == BLOCK_MAIN && (flags & MAIN_COMMENT))
                    return matches(std::min<u64>(13, headerSize));
                if (matches(headerSize))
                    return true;
                if (type == BLOCK_FILE && (flags & FILE_COMMENT) && headerSize >= 32)
                {
                    const u64 fixed = (flags & FILE_LARGE) ? 40 : 32;
                    return matches(std::min<u64>(fixed + ByteReader(rest.address + 26, 2).le16(), headerSize));
                }
                if (type == BLOCK_OLD_SUB && (flags & LONG_BLOCK) && headerSize >= 13)
                {
                    ByteReader fields(rest.address + 7, 6);
                    const u32 addSize = fields.le32();
                    const u16 subType = fields.le16();
                    if (subType == OLD_SUB_UNIX_OWNER || subType == OLD_SUB_MAC_INFO)
                    {
                        if (addSize > rest.size - headerSize)
                            throwCutShort();
                        return matches(u64(headerSize) + addSize);
                    }
                }
                return false;
            }

            // Whether an archive may end at `position`, right after a whole block: at the end
            // of the file, or where only padding follows. Old transfer tools padded files
            // to 128-byte records with 0x00 or 0x1A; neither is a block type, so three or
            // more such bytes cannot be the start of a cut header. One or two can: they may
            // be the CRC of a header the end of the file cut, so they refuse the archive
            // rather than risk listing a cut one as whole.
            static bool endsAt(ConstMemory archive, u64 position)
            {
                if (position == archive.size)
                    return true;
                const u8 first = archive.address[position];
                return archive.size - position >= 3 && (first == 0x00 || first == 0x1A) &&
                       std::all_of(archive.address + position, archive.address + archive.size,
                                   [first](u8 byte) { return byte == first; });
            }

            void addMember(FileHeader header)
            {
                // Windows tools write "\\" in RAR 5 names too; callers' paths use "/".
                std::replace(header.name.begin(), header.name.end(), '\\', '/');
                if (header.folder)
                {
                    header.name += '/';
                }
                else if (header.encrypted)
                {
                    header.refusal = "[mapper.rar] Encrypted file.";
                }
                else if (!header.refusal && header.isStored() && header.packedSize != header.unpackedSize)
                {
                    // A stored member's bytes are its contents: any other size is damage.
                    header.refusal = "[mapper.rar] Decompression failed.";
                }
                m_headers.push_back(std::move(header));
            }

            void walk4(ConstMemory archive)
            {
                // Archivers may leave out the end block, so the file may end after any whole
                // block (see endsAt); but not right after the marker, before the main block.
                u64 position = sizeof(signature4);
                do
                {
                    ByteReader block(archive.address + position, archive.size - position);
                    block.le16(); // header CRC
                    const u8 type = block.byte();
                    const u16 flags = block.le16();
                    const u16 headerSize = block.le16();
                    if (block.isShort())
                        throwCutShort();
                    // (too short to hold the fields its CRC would cover)
                    if (headerSize < 7)
                        throwDamagedHeader();
                    if (headerSize > block.size())
                        throwCutShort();
                    if (!headerCrc4Matches(ConstMemory(archive.address + position, archive.size - position), headerSize,
                                           type, flags))
                        throwHeaderCrcError();

                    ByteReader header(archive.address + position, headerSize);
                    header.skip(7);
                    u64 dataSize = 0;
                    if (flags & LONG_BLOCK)
                    {
                        dataSize = header.le32();
                        if (header.isShort())
                            throwDamagedHeader();
                    }

                    switch (type)
                    {
                        case BLOCK_MAIN:
                            if (flags & MAIN_PASSWORD)
                                refuseEncryptedHeaders();
                            break;
                        case BLOCK_FILE:
                        case BLOCK_NEWSUB:
                        {
                            FileHeader file = readFileBlock(archive, position, flags, headerSize);
                            dataSize = file.packedSize;
                            if (type == BLOCK_FILE)
                                takeFileBlock(flags, std::move(file));
                            break;
                        }
                        case BLOCK_END:
                            return;
                        default:
                            break;
                    }

                    if (dataSize > archive.size - position - headerSize)
                        throwCutShort();
                    position += headerSize + dataSize;
                } while (!endsAt(archive, position));
            }

            // Reads the fields of a file (or service) block.
            static FileHeader readFileBlock(ConstMemory archive, u64 position, u16 flags, u16 headerSize)
            {
                FileHeader file;
                ByteReader header(archive.address + position, headerSize);
                header.skip(7);
                u64 packed = header.le32();
                u64 unpacked = header.le32();
                header.byte(); // host OS
                file.crc = header.le32();
                header.le32(); // time
                file.version = header.byte();
                file.method = header.byte();
                const u16 nameSize = header.le16();
                header.le32(); // attributes
                if (flags & FILE_LARGE)
                {
                    packed |= u64(header.le32()) << 32;
                    unpacked |= u64(header.le32()) << 32;
                }
                const ConstMemory name = header.bytes(nameSize);
                if (header.isShort())
                    throwDamagedHeader();

                // (the walk checks that the data fits)
                file.packedSize = packed;
                file.unpackedSize = unpacked;
                file.data = archive.address + position + headerSize;
                if (flags & FILE_UNICODE)
                    file.name = decodeUnicodeFilename(name);
                else
                    file.name.assign(reinterpret_cast<const char*>(name.address), name.size);
                file.folder = (flags & FILE_DIRECTORY) == FILE_DIRECTORY;
                return file;
            }

            void takeFileBlock(u16 flags, FileHeader file)
            {
                if (file.method < '0' || file.method > '5' || file.version > 36)
                    return;
                file.encrypted = (flags & FILE_PASSWORD) != 0;
                if (!file.folder)
                {
                    if (flags & (FILE_SPLIT_BEFORE | FILE_SPLIT_AFTER))
                        file.refusal = "[mapper.rar] Split files are not supported.";
                    else if (flags & FILE_SOLID)
                        file.refusal = "[mapper.rar] Solid files are not supported.";
                }
                addMember(std::move(file));
            }

            // RAR 5 archives always end with an end-of-archive header: reaching the end of the
            // file without one means the rest is missing.
            void walk5(ConstMemory archive)
            {
                u64 position = sizeof(signature5);
                for (;;)
                {
                    ByteReader block(archive.address + position, archive.size - position);
                    const u32 crc = block.le32();
                    u64 headerSize = 0;
                    const Vint size = block.isShort() ? Vint::SHORT : readVint(block, headerSize);
                    if (size == Vint::SHORT)
                        throwCutShort();
                    if (size == Vint::TOO_LONG || headerSize == 0)
                        throwDamagedHeader();
                    if (headerSize > block.remaining())
                        throwCutShort();
                    const ConstMemory covered(block.memory().address + 4, block.offset() - 4 + headerSize);
                    if (crc32(0, covered) != crc)
                        throwHeaderCrcError();

                    ByteReader header(block.bytes(headerSize));
                    const u64 type = headerVint(header);
                    const u64 flags = headerVint(header);
                    const u64 extraSize = (flags & HFL_EXTRA) ? headerVint(header) : 0;
                    const u64 dataSize = (flags & HFL_DATA) ? headerVint(header) : 0;
                    // the extra area is the header's tail, after the fields just read
                    if (extraSize > header.remaining())
                        throwDamagedHeader();
                    if (dataSize > block.remaining())
                        throwCutShort();

                    if (type == HEAD5_FILE)
                        readFileHeader5(header, flags, extraSize, dataSize, block.position());
                    else if (type == HEAD5_CRYPT)
                        refuseEncryptedHeaders();
                    else if (type == HEAD5_END)
                        return;
                    position += block.offset() + dataSize;
                }
            }

            // The records of a file header's extra area that matter here: encryption, the
            // BLAKE2sp hash, and redirection (a link).
            static void readExtra5(ConstMemory area, FileHeader& file, bool& link)
            {
                ByteReader extra(area);
                while (!extra.atEnd())
                {
                    const u64 recordSize = headerVint(extra);
                    if (recordSize == 0 || recordSize > extra.remaining())
                        throwDamagedHeader();
                    ByteReader record(extra.bytes(recordSize));
                    const u64 recordType = headerVint(record);
                    if (recordType == FHEXTRA_CRYPT)
                    {
                        file.encrypted = true;
                    }
                    else if (recordType == FHEXTRA_REDIR)
                    {
                        link = true;
                    }
                    else if (recordType == FHEXTRA_HASH && headerVint(record) == FHEXTRA_HASH_BLAKE2)
                    {
                        // a hash record too short for its hash is no hash to check against
                        if (!record.read(file.blake2, sizeof(file.blake2)))
                            throwDamagedHeader();
                        file.hasBlake2 = true;
                    }
                }
            }

            void readFileHeader5(ByteReader& header, u64 blockFlags, u64 extraSize, u64 dataSize, const u8* data)
            {
                FileHeader file;
                file.rar5 = true;
                const u64 fileFlags = headerVint(header);
                const u64 unpacked = headerVint(header);
                headerVint(header); // attributes
                if (fileFlags & FHFL_UTIME)
                    header.le32();
                file.hasCrc = (fileFlags & FHFL_CRC32) != 0;
                if (file.hasCrc)
                    file.crc = header.le32();
                if (header.isShort())
                    throwDamagedHeader();
                const u64 compression = headerVint(header);
                headerVint(header); // host OS
                const u64 nameSize = headerVint(header);
                // the name and the extra area, the header's tail, may not overlap
                if (nameSize > header.remaining() || extraSize > header.remaining() - nameSize)
                    throwDamagedHeader();
                const ConstMemory name = header.bytes(nameSize);

                bool link = false;
                readExtra5(ConstMemory(header.memory().address + (header.size() - extraSize), extraSize), file, link);

                file.folder = (fileFlags & FHFL_DIRECTORY) != 0;
                // Unknown sizes and solid members cannot be unpacked alone; a link's target
                // is not its contents, so it is not listed as an (empty) file.
                if ((fileFlags & FHFL_UNPUNKNOWN) || (compression & 0x40) || (link && !file.folder))
                    return;

                file.packedSize = dataSize;
                file.unpackedSize = unpacked;
                file.version = u8(compression & 0x3F);
                file.method = u8((compression >> 7) & 7);
                file.name.assign(reinterpret_cast<const char*>(name.address), name.size);
                file.data = data;
                if (!file.folder && (blockFlags & HFL_SPLIT) && !file.encrypted)
                    file.refusal = "[mapper.rar] Split files are not supported.";
                addMember(std::move(file));
            }

            std::string m_password; // kept; encrypted members are refused
            std::vector<FileHeader> m_headers;
            std::map<std::string, IndexEntry> m_files;
            std::map<std::string, std::set<std::string>> m_folders;
        };

    } // namespace

    std::unique_ptr<AbstractMapper> createMapperRAR(ConstMemory parent, const std::string& password)
    {
        return std::make_unique<MapperRAR>(parent, password);
    }

} // namespace norva::filesystem
