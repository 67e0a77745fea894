#pragma once

// Writes MGX archives for the tests (nothing else writes them): blocks compressed through the
// library's own compressor table, entries made of segments, and a knob for every number the
// reader must not trust.
//
//   "mgx0", block data, block table ("mgx1", count, 28-byte records, "mgx2"), file table
//   ("mgx2", count, records, "mgx3"), trailer ("mgx3", reserved, u64 block-table offset,
//   u64 file-table offset)
//
// The terminators can be written as bytes of their own or shared with the identifier that
// follows them (the file table's "mgx2", the trailer's "mgx3"); a reader that reads at the
// stored offsets takes both.

#include <optional>
#include <string>
#include <vector>

#include <norva/core/compress.hpp>

#include "archive/zip_builder.hpp"

namespace archive_test
{
    struct MgxBlock
    {
        u32 method = 0;
        Bytes content; // uncompressed
        int level = 5;

        // what the table says, when it should differ from the truth
        std::optional<u64> offset;
        std::optional<u64> compressedSize;
        std::optional<u64> uncompressedSize;
        std::optional<u32> tableMethod;
        bool corrupt = false; // flip bytes in the middle of the compressed data
    };

    struct MgxSegment
    {
        u32 block;
        u32 offset;
        u32 size;
    };

    struct MgxEntry
    {
        MgxEntry() = default;
        MgxEntry(std::string name, u64 size, u32 flags, std::vector<MgxSegment> segments)
            : name(std::move(name)), size(size), flags(flags), segments(std::move(segments))
        {
        }

        std::string name;
        u64 size = 0;
        u32 flags = 0;
        std::vector<MgxSegment> segments; // none: a folder
        std::optional<u32> nameLength;
        std::optional<u32> segmentCount;
    };

    constexpr u32 MGX0 = 0x3078676d;
    constexpr u32 MGX1 = 0x3178676d;
    constexpr u32 MGX2 = 0x3278676d;
    constexpr u32 MGX3 = 0x3378676d;

    struct MgxWriter
    {
        std::vector<MgxBlock> blocks;
        std::vector<MgxEntry> entries;
        bool sharedTerminators = false;

        u32 fileIdentifier = MGX0;
        u32 trailerIdentifier = MGX3;
        u32 blockIdentifier = MGX1;
        u32 blockTerminator = MGX2;
        u32 fileTableIdentifier = MGX2;
        u32 fileTableTerminator = MGX3;
        std::optional<u32> blockCount;
        std::optional<u32> fileCount;
        std::optional<u64> blockTableOffset;
        std::optional<u64> fileTableOffset;

        u32 addBlock(u32 method, Bytes content)
        {
            blocks.push_back(MgxBlock {});
            blocks.back().method = method;
            blocks.back().content = std::move(content);
            return u32(blocks.size() - 1);
        }

        // A file cut into blocks of `blockSize` bytes, each compressed with `method`.
        MgxEntry& addFile(const std::string& name, const Bytes& content, u32 method, u64 blockSize)
        {
            MgxEntry entry { name, content.size(), 0, {} };
            for (u64 start = 0; start < content.size() || entry.segments.empty(); start += blockSize)
            {
                const u64 size = std::min<u64>(blockSize, content.size() - start);
                Bytes part(content.begin() + start, content.begin() + start + size);
                entry.segments.push_back({ addBlock(method, std::move(part)), 0, u32(size) });
                if (content.empty())
                {
                    break;
                }
            }
            entries.push_back(entry);
            return entries.back();
        }

        // Files that share one block, each a segment of it.
        void addSharedBlock(const std::vector<std::pair<std::string, Bytes>>& files, u32 method)
        {
            Bytes content;
            std::vector<MgxEntry> added;
            for (const auto& [name, data] : files)
            {
                added.push_back({ name, data.size(), 0, { { u32(blocks.size()), u32(content.size()), u32(data.size()) } } });
                append(content, data);
            }
            addBlock(method, std::move(content));
            entries.insert(entries.end(), added.begin(), added.end());
        }

        void addFolder(const std::string& name) { entries.push_back({ name, 0, 0, {} }); }

        Bytes build() const
        {
            Bytes out;
            put32(out, fileIdentifier);

            std::vector<u64> offsets, compressedSizes;
            for (const MgxBlock& block : blocks)
            {
                const norva::Compressor c = norva::getCompressor(block.method);
                Bytes packed(c.bound(block.content.size()));
                const u64 n = c.compress(norva::Memory(packed.data(), packed.size()),
                                         norva::ConstMemory(block.content.data(), block.content.size()), block.level);
                packed.resize(n);
                if (block.corrupt)
                {
                    for (std::size_t i = packed.size() / 3; i < packed.size() / 3 + 16 && i < packed.size(); ++i)
                    {
                        packed[i] ^= 0x5a;
                    }
                }
                offsets.push_back(out.size());
                compressedSizes.push_back(packed.size());
                append(out, packed);
            }

            const u64 blockTable = out.size();
            put32(out, blockIdentifier);
            put32(out, blockCount.value_or(u32(blocks.size())));
            for (std::size_t i = 0; i < blocks.size(); ++i)
            {
                const MgxBlock& b = blocks[i];
                put64(out, b.offset.value_or(offsets[i]));
                put64(out, b.compressedSize.value_or(compressedSizes[i]));
                put64(out, b.uncompressedSize.value_or(b.content.size()));
                put32(out, b.tableMethod.value_or(b.method));
            }
            if (!sharedTerminators)
            {
                put32(out, blockTerminator);
            }

            const u64 fileTable = out.size();
            put32(out, fileTableIdentifier);
            put32(out, fileCount.value_or(u32(entries.size())));
            for (const MgxEntry& e : entries)
            {
                put32(out, e.nameLength.value_or(u32(e.name.size())));
                append(out, e.name);
                put64(out, e.size);
                put32(out, e.flags);
                put32(out, e.segmentCount.value_or(u32(e.segments.size())));
                for (const MgxSegment& s : e.segments)
                {
                    put32(out, s.block);
                    put32(out, s.offset);
                    put32(out, s.size);
                }
            }
            if (!sharedTerminators)
            {
                put32(out, fileTableTerminator);
            }

            put32(out, trailerIdentifier);
            put32(out, 0);
            put64(out, blockTableOffset.value_or(blockTable));
            put64(out, fileTableOffset.value_or(fileTable));
            return out;
        }
    };

} // namespace archive_test
