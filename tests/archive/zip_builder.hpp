#pragma once

// Builds ZIP archives in memory with a knob for every field the mapper must not trust:
// stored and raw-deflate members, directory and local headers that can lie about sizes,
// offsets, lengths, counts, signatures and disks, ZIP64 records and a trailing comment.

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <libdeflate.h>

#include <norva/core/crc32.hpp>
#include <norva/core/endian.hpp>

namespace archive_test
{
    using norva::u16;
    using norva::u32;
    using norva::u64;
    using norva::u8;
    using Bytes = std::vector<u8>;

    inline void put16(Bytes& out, u64 v)
    {
        out.push_back(u8(v));
        out.push_back(u8(v >> 8));
    }
    inline void put32(Bytes& out, u64 v)
    {
        put16(out, v & 0xffff);
        put16(out, (v >> 16) & 0xffff);
    }
    inline void put64(Bytes& out, u64 v)
    {
        put32(out, v & 0xffffffff);
        put32(out, v >> 32);
    }
    inline void append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }
    inline void append(Bytes& out, const std::string& more) { out.insert(out.end(), more.begin(), more.end()); }

    inline Bytes toBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

    inline Bytes rawDeflate(const Bytes& data, int level = 6)
    {
        libdeflate_compressor* c = libdeflate_alloc_compressor(level);
        Bytes out(libdeflate_deflate_compress_bound(c, data.size()));
        out.resize(libdeflate_deflate_compress(c, data.data(), data.size(), out.data(), out.size()));
        libdeflate_free_compressor(c);
        return out;
    }

    struct ZipEntry
    {
        std::string name;
        Bytes content;      // what the member holds
        u16 method = 0;     // 0 stored, 8 deflate; others take `payload` as it is
        std::optional<Bytes> payload; // the bytes after the local header, when not derived

        // what the headers say, when it should differ from the truth
        std::optional<u64> compressedSize;
        std::optional<u64> uncompressedSize;
        std::optional<u32> crc;
        std::optional<u64> localOffset;
        std::optional<u16> nameLength;   // central record only
        std::optional<u16> commentLength;
        u16 versionMadeBy = 20;
        u16 flags = 0;
        u16 time = 0;
        Bytes extra;         // central extra field
        bool zip64 = false;  // sizes and offset as 0xFFFFFFFF plus a 0x0001 extra
        u32 localSignature = 0x04034b50;
        u32 centralSignature = 0x02014b50;
    };

    struct ZipBuilder
    {
        std::vector<ZipEntry> entries;
        std::string comment;
        std::optional<u64> entryCount;
        u16 disk = 0;
        bool zip64End = false;               // ZIP64 end record and locator, offset 0xFFFFFFFF
        std::optional<u64> zip64RecordOffset; // what the locator says
        std::optional<u64> directoryOffset;   // what the end record says
        std::optional<u64> directorySize;     // likewise
        u32 zip64Disks = 1;                   // the locator's volume count
        u64 zip64Padding = 0;                 // bytes between the ZIP64 end record and its locator
        u64 prefix = 0;                       // junk bytes before the first member

        ZipEntry& add(std::string name, Bytes content, u16 method = 0)
        {
            entries.push_back(ZipEntry {});
            entries.back().name = std::move(name);
            entries.back().content = std::move(content);
            entries.back().method = method;
            return entries.back();
        }

        Bytes build() const
        {
            Bytes out(prefix, 0xee);
            std::vector<u64> offsets;
            std::vector<Bytes> payloads;
            for (const ZipEntry& e : entries)
            {
                Bytes payload = e.payload ? *e.payload : e.method == 8 ? rawDeflate(e.content) : e.content;
                const u32 crc = e.crc ? *e.crc : norva::crc32(0, norva::ConstMemory(e.content.data(), e.content.size()));
                offsets.push_back(out.size());
                put32(out, e.localSignature);
                put16(out, 20);
                put16(out, e.flags);
                put16(out, e.method);
                put16(out, e.time);
                put16(out, 0);
                put32(out, crc);
                put32(out, e.compressedSize.value_or(payload.size()) & 0xffffffff);
                put32(out, e.uncompressedSize.value_or(e.content.size()) & 0xffffffff);
                put16(out, e.name.size());
                put16(out, 0);
                append(out, e.name);
                append(out, payload);
                payloads.push_back(std::move(payload));
            }

            const u64 directory = out.size();
            for (std::size_t i = 0; i < entries.size(); ++i)
            {
                const ZipEntry& e = entries[i];
                const u32 crc = e.crc ? *e.crc : norva::crc32(0, norva::ConstMemory(e.content.data(), e.content.size()));
                const u64 compressed = e.compressedSize.value_or(payloads[i].size());
                const u64 uncompressed = e.uncompressedSize.value_or(e.content.size());
                const u64 offset = e.localOffset.value_or(offsets[i]);
                Bytes extra = e.extra;
                if (e.zip64)
                {
                    Bytes z;
                    put16(z, 0x0001);
                    put16(z, 24);
                    put64(z, uncompressed);
                    put64(z, compressed);
                    put64(z, offset);
                    extra.insert(extra.begin(), z.begin(), z.end());
                }
                put32(out, e.centralSignature);
                put16(out, e.versionMadeBy);
                put16(out, 20);
                put16(out, e.flags);
                put16(out, e.method);
                put16(out, e.time);
                put16(out, 0);
                put32(out, crc);
                put32(out, e.zip64 ? 0xffffffff : compressed);
                put32(out, e.zip64 ? 0xffffffff : uncompressed);
                put16(out, e.nameLength.value_or(e.name.size()));
                put16(out, extra.size());
                put16(out, e.commentLength.value_or(0));
                put16(out, 0);
                put16(out, 0);
                put32(out, 0);
                put32(out, e.zip64 ? 0xffffffff : offset);
                append(out, e.name);
                append(out, extra);
            }
            const u64 directorySize = this->directorySize.value_or(out.size() - directory);
            const u64 count = entryCount.value_or(entries.size());

            if (zip64End)
            {
                const u64 record = out.size();
                put32(out, 0x06064b50);
                put64(out, 44);
                put16(out, 45);
                put16(out, 45);
                put32(out, 0);
                put32(out, 0);
                put64(out, count);
                put64(out, count);
                put64(out, directorySize);
                put64(out, directoryOffset.value_or(directory));
                out.resize(out.size() + zip64Padding, 0);
                put32(out, 0x07064b50);
                put32(out, 0);
                put64(out, zip64RecordOffset.value_or(record));
                put32(out, zip64Disks);
            }

            put32(out, 0x06054b50);
            put16(out, disk);
            put16(out, 0);
            put16(out, zip64End ? 0xffff : count);
            put16(out, zip64End ? 0xffff : count);
            put32(out, directorySize);
            put32(out, zip64End ? 0xffffffff : directoryOffset.value_or(directory));
            put16(out, comment.size());
            append(out, comment);
            return out;
        }
    };

} // namespace archive_test
