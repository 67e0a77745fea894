#pragma once

// Shared by the RAR tests: where the corpus is, and a writer of stored RAR 4 and RAR 5
// archives for header cases (no tool here writes RAR).

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <norva/core/crc32.hpp>
#include <norva/core/endian.hpp>

#include "archive/rar/rar_blake2sp.hpp"

namespace rartest
{
    using norva::u8;
    using norva::u16;
    using norva::u32;
    using norva::u64;

    inline std::string corpusRoot()
    {
        return ZELMORA_SOURCE_DIR "/../shared/corpus/archives/";
    }

    inline bool corpusPresent()
    {
        return std::filesystem::is_directory(corpusRoot() + "libarchive") &&
               std::filesystem::is_directory(corpusRoot() + "junrar");
    }

    using Bytes = std::vector<u8>;

    // Packed streams are written most significant bit first.
    class BitWriter
    {
    public:
        void put(u32 value, int count)
        {
            for (int i = count - 1; i >= 0; --i)
            {
                if (m_bit == 0)
                    bytes.push_back(0);
                if ((value >> i) & 1)
                    bytes.back() |= u8(0x80 >> m_bit);
                m_bit = (m_bit + 1) & 7;
            }
        }

        std::vector<u8> bytes;

    private:
        int m_bit = 0;
    };

    // The canonical prefix code of a list of code lengths (0: no code): codes of one length
    // are consecutive in symbol order, shorter lengths first, starting at 0.
    inline std::vector<u32> canonicalCodes(const std::vector<u8>& lengths)
    {
        std::vector<u32> codes(lengths.size(), 0);
        u32 code = 0;
        for (u32 length = 1; length < 16; ++length)
        {
            for (std::size_t symbol = 0; symbol < lengths.size(); ++symbol)
            {
                if (lengths[symbol] == length)
                    codes[symbol] = code++;
            }
            code <<= 1;
        }
        return codes;
    }

    inline void put16(Bytes& out, u32 v)
    {
        out.push_back(u8(v));
        out.push_back(u8(v >> 8));
    }

    inline void put32(Bytes& out, u32 v)
    {
        put16(out, v & 0xFFFF);
        put16(out, v >> 16);
    }

    inline void putBytes(Bytes& out, const Bytes& bytes)
    {
        out.insert(out.end(), bytes.begin(), bytes.end());
    }

    inline Bytes text(const std::string& s)
    {
        return Bytes(s.begin(), s.end());
    }

    inline u32 crcOf(const Bytes& bytes)
    {
        return norva::crc32(0, norva::ConstMemory(bytes.data(), bytes.size()));
    }

    // One RAR 4 file block; every field is a knob for the malformed cases.
    struct Rar4File
    {
        Rar4File(std::string name, Bytes data = Bytes()) : name(std::move(name)), data(std::move(data)) {}

        std::string name;        // "\\" separators as the archiver writes them
        Bytes data;
        bool folder = false;
        u16 flags = 0x8000;      // 0x8000 long block; folders add 0xE0
        u8 method = '0';
        u8 version = 29;
        Bytes nameField;         // replaces the name bytes when not empty (packed Unicode)
        long long packedSize = -1;   // -1: data size
        long long unpackedSize = -1; // -1: data size
        u32 highPacked = 0;
        u32 highUnpacked = 0;
        int headerSizeDelta = 0;     // added to the header size field
        u32 crc = 0;
        bool crcFromData = true;
    };

    // A header size below its fields (headerSizeDelta < 0) keeps a CRC over the declared
    // size, so that the fields, not the CRC, are what contradicts it.
    inline Bytes rar4Block(u8 type, u16 flags, const Bytes& fields, int headerSizeDelta = 0)
    {
        Bytes body;
        body.push_back(type);
        put16(body, flags);
        put16(body, u32(int(7 + fields.size()) + headerSizeDelta));
        putBytes(body, fields);
        const std::size_t covered = std::size_t(std::clamp(int(body.size()) + std::min(headerSizeDelta, 0), 5, int(body.size())));
        Bytes out;
        put16(out, crcOf(Bytes(body.begin(), body.begin() + covered)) & 0xFFFF);
        putBytes(out, body);
        return out;
    }

    inline Bytes rar4Signature()
    {
        return Bytes { 'R', 'a', 'r', '!', 0x1A, 0x07, 0x00 };
    }

    inline Bytes rar4Main(u16 flags = 0)
    {
        Bytes fields(6, 0);
        return rar4Block(0x73, flags, fields);
    }

    inline Bytes rar4FileBlock(const Rar4File& f)
    {
        const Bytes nameBytes = f.nameField.empty() ? text(f.name) : f.nameField;
        u16 flags = f.flags | (f.folder ? 0xE0 : 0);
        if (f.highPacked || f.highUnpacked)
            flags |= 0x100;
        Bytes fields;
        put32(fields, u32(f.packedSize < 0 ? f.data.size() : u64(f.packedSize)));
        put32(fields, u32(f.unpackedSize < 0 ? f.data.size() : u64(f.unpackedSize)));
        fields.push_back(3); // Unix
        put32(fields, f.crcFromData ? crcOf(f.data) : f.crc);
        put32(fields, 0x5A210000);
        fields.push_back(f.folder ? 20 : f.version);
        fields.push_back(f.method);
        put16(fields, u32(nameBytes.size()));
        put32(fields, f.folder ? 0x41ED : 0x81A4);
        if (flags & 0x100)
        {
            put32(fields, f.highPacked);
            put32(fields, f.highUnpacked);
        }
        putBytes(fields, nameBytes);
        Bytes out = rar4Block(0x74, flags, fields, f.headerSizeDelta);
        putBytes(out, f.data);
        return out;
    }

    // An old (RAR 2.x) sub-block, type 0x77: `fields` follow the sub-type and level inside
    // the header, `data` is its add-size area. For Unix owners (0x101) and Mac file info
    // (0x102) the archiver's CRC covers both; some writers covered the header alone.
    inline Bytes rar4OldSubBlock(u16 subType, const Bytes& fields, const Bytes& data, bool crcOverData = true)
    {
        Bytes header;
        put32(header, u32(data.size()));
        put16(header, subType);
        header.push_back(0); // level
        putBytes(header, fields);
        Bytes out = rar4Block(0x77, 0x8000, header);
        putBytes(out, data);
        if (crcOverData)
        {
            const u32 crc = crcOf(Bytes(out.begin() + 2, out.end()));
            out[0] = u8(crc);
            out[1] = u8(crc >> 8);
        }
        return out;
    }

    // The owner and group of the member before it, as the archiver's save-owner option
    // writes them: the name lengths in the header, the names in the add-size area.
    inline Bytes rar4UnixOwner(const std::string& owner, const std::string& group)
    {
        Bytes lengths;
        put16(lengths, u32(owner.size()));
        put16(lengths, u32(group.size()));
        return rar4OldSubBlock(0x101, lengths, text(owner + group));
    }

    inline Bytes rar4End()
    {
        return rar4Block(0x7B, 0x4000, Bytes());
    }

    inline Bytes rar4(const std::vector<Rar4File>& files, u16 mainFlags = 0)
    {
        Bytes out = rar4Signature();
        putBytes(out, rar4Main(mainFlags));
        for (const Rar4File& f : files)
            putBytes(out, rar4FileBlock(f));
        putBytes(out, rar4End());
        return out;
    }

    inline Bytes vint(u64 v)
    {
        Bytes out;
        for (;;)
        {
            u8 b = v & 0x7F;
            v >>= 7;
            out.push_back(u8(b | (v ? 0x80 : 0)));
            if (!v)
                return out;
        }
    }

    inline Bytes rar5Block(const Bytes& header, const Bytes& data = Bytes())
    {
        Bytes h = vint(header.size());
        putBytes(h, header);
        Bytes out;
        put32(out, crcOf(h));
        putBytes(out, h);
        putBytes(out, data);
        return out;
    }

    inline Bytes blake2spOf(const Bytes& bytes)
    {
        Bytes hash(norva::filesystem::rar::BLAKE2SP_SIZE);
        norva::filesystem::rar::blake2sp(hash.data(), norva::ConstMemory(bytes.data(), bytes.size()));
        return hash;
    }

    // The file hash record of a RAR 5 extra area: hash type 0 (BLAKE2sp) and the hash.
    inline Bytes rar5HashRecord(const Bytes& hash)
    {
        Bytes record = vint(2);
        putBytes(record, vint(0));
        putBytes(record, hash);
        Bytes out = vint(record.size());
        putBytes(out, record);
        return out;
    }

    struct Rar5File
    {
        Rar5File(std::string name, Bytes data = Bytes()) : name(std::move(name)), data(std::move(data)) {}

        std::string name;
        Bytes data;
        bool folder = false;
        u64 blockFlags = 2;        // data area present
        u64 fileFlags = 4;         // CRC present; folders use 1
        u64 compression = 0;       // stored
        long long unpackedSize = -1;
        Bytes extra;               // extra area records
        bool blake2 = false;       // a BLAKE2sp hash record after them instead of the CRC-32
    };

    inline Bytes rar5Signature()
    {
        return Bytes { 'R', 'a', 'r', '!', 0x1A, 0x07, 0x01, 0x00 };
    }

    inline Bytes rar5FileBlock(const Rar5File& f)
    {
        const Bytes data = f.folder ? Bytes() : f.data;
        Bytes extra = f.extra;
        u64 fileFlags = f.folder ? 1 : f.fileFlags;
        if (f.blake2)
        {
            fileFlags &= ~u64(4);
            putBytes(extra, rar5HashRecord(blake2spOf(data)));
        }
        u64 blockFlags = f.blockFlags | (extra.empty() ? 0 : 1);
        Bytes header = vint(2);
        putBytes(header, vint(blockFlags));
        if (blockFlags & 1)
            putBytes(header, vint(extra.size()));
        if (blockFlags & 2)
            putBytes(header, vint(data.size()));
        putBytes(header, vint(fileFlags));
        putBytes(header, vint(f.unpackedSize < 0 ? data.size() : u64(f.unpackedSize)));
        putBytes(header, vint(f.folder ? 040755 : 0100644));
        if (fileFlags & 4)
            put32(header, crcOf(data));
        putBytes(header, vint(f.compression));
        putBytes(header, vint(1));
        putBytes(header, vint(f.name.size()));
        putBytes(header, text(f.name));
        putBytes(header, extra);
        return rar5Block(header, data);
    }

    inline Bytes rar5(const std::vector<Rar5File>& files)
    {
        Bytes out = rar5Signature();
        Bytes main = vint(1);
        putBytes(main, vint(0));
        putBytes(main, vint(0));
        putBytes(out, rar5Block(main));
        for (const Rar5File& f : files)
            putBytes(out, rar5FileBlock(f));
        Bytes end = vint(5);
        putBytes(end, vint(0));
        putBytes(end, vint(0));
        putBytes(out, rar5Block(end));
        return out;
    }

} // namespace rartest
