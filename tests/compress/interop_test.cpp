// Streams made by the real tools decode through our functions (committed fixtures, made
// by tests/fixtures/compress/make.sh), and our output decodes with those tools.

#include <cstring>

#include <libdeflate.h>

#include <norva/core/crc32.hpp>

#include "helpers.hpp"

namespace
{
    using namespace norva;
    using namespace norva::test;

    using Decompress = void (*)(Memory, ConstMemory);

    Bytes decodeInto(Decompress decompress, const Bytes& packed, size_t size, size_t skip = 0)
    {
        Bytes out(size);
        decompress(view(out), view(packed).slice(skip));
        return out;
    }

    struct FixtureCase
    {
        const char* packed;
        const char* original;
        Decompress decompress;
    };

    TEST(Interop, ToolStreamsDecode)
    {
        const FixtureCase cases[] = {
            { "text.txt.zst", "text.txt", zstd::decompress },       // zstd -19
            { "mixed.bin.zst", "mixed.bin", zstd::decompress },     // zstd -3
            { "text.txt.zlib", "text.txt", miniz::decompress },     // python zlib level 9
            { "mixed.bin.zlib", "mixed.bin", miniz::decompress },   // level 1
            { "text.txt.bz2", "text.txt", bzip2::decompress },      // bzip2 -9
            { "mixed.bin.bz2", "mixed.bin", bzip2::decompress },    // bzip2 -1
            { "text.txt.lz4", "text.txt", lz4::decompress },        // lz4 -l -9 (HC)
            { "mixed.bin.lz4", "mixed.bin", lz4::decompress },      // lz4 -l -1
            { "text.txt.lzma", "text.txt", lzma::decompress },      // xz raw lzma1, end marker
            { "mixed.bin.lzma", "mixed.bin", lzma::decompress },    // lc 0 lp 2 pb 0
            { "text.txt.lzma2", "text.txt", lzma2::decompress },    // xz raw lzma2
            { "mixed.bin.lzma2", "mixed.bin", lzma2::decompress },
            { "text.txt.o6r0.ppmd8", "text.txt", ppmd8::decompress },       // python3-ppmd
            { "mixed.bin.o16r1.ppmd8", "mixed.bin", ppmd8::decompress },    // order 16, restore 1
            { "text.txt.lzfse", "text.txt", lzfse::decompress },    // lzfse tool: bvx2
            { "small.txt.lzfse", "small.txt", lzfse::decompress },  // bvxn
            { "random.bin.lzfse", "random.bin", lzfse::decompress },// bvx-
            { "five.txt.lzfse", "five.txt", lzfse::decompress },    // bvx-
        };
        for (const FixtureCase& c : cases)
        {
            SCOPED_TRACE(c.packed);
            const Bytes original = fixture(c.original);
            ASSERT_FALSE(original.empty());
            EXPECT_TRUE(decodeInto(c.decompress, fixture(c.packed), original.size()) == original);
        }
    }

    TEST(Interop, LzfseFixturesCoverEveryBlockKind)
    {
        const std::pair<const char*, const char*> kinds[] = {
            { "text.txt.lzfse", "bvx2" }, { "small.txt.lzfse", "bvxn" }, { "random.bin.lzfse", "bvx-" },
        };
        for (const auto& [name, magic] : kinds)
        {
            const Bytes packed = fixture(name);
            ASSERT_GE(packed.size(), 4u);
            EXPECT_EQ(std::string(packed.begin(), packed.begin() + 4), magic) << name;
        }
    }

    // lzop files: a header, then blocks of LZO1X data with their sizes and checksums.
    Bytes readLzop(const Bytes& file)
    {
        const u8* p = file.data();
        const u8* end = p + file.size();
        static const u8 magic[] = { 0x89, 'L', 'Z', 'O', 0, 0x0D, 0x0A, 0x1A, 0x0A };
        EXPECT_EQ(std::memcmp(p, magic, 9), 0);
        p += 9;
        const u32 version = loadBE32(p) >> 16;
        p += 4; // version, library version
        if (version >= 0x0940) p += 2; // version needed
        p += 1; // method
        if (version >= 0x0940) p += 1; // level
        const u32 flags = loadBE32(p);
        p += 4;
        if (flags & 0x800) p += 4; // filter
        p += 8; // mode, mtime
        if (version >= 0x0940) p += 4; // mtime high
        p += 1 + *p; // name
        p += 4; // header checksum
        EXPECT_EQ(flags & 0x40, 0u) << "extra field";

        Bytes out;
        for (;;)
        {
            const u32 size = loadBE32(p);
            p += 4;
            if (!size) break;
            const u32 packedSize = loadBE32(p);
            p += 4;
            u32 adler = 0;
            if (flags & 1) { adler = loadBE32(p); p += 4; }
            if (flags & 0x100) p += 4;
            if (packedSize < size)
            {
                if (flags & 2) p += 4;
                if (flags & 0x200) p += 4;
            }
            EXPECT_LE(p + packedSize, end);
            const size_t at = out.size();
            out.resize(at + size);
            if (packedSize < size)
            {
                lzo::decompress(Memory(out.data() + at, size), ConstMemory(p, packedSize));
            }
            else
            {
                std::memcpy(out.data() + at, p, size);
            }
            if (flags & 1)
            {
                EXPECT_EQ(libdeflate_adler32(1, out.data() + at, size), adler);
            }
            p += packedSize;
        }
        return out;
    }

    TEST(Interop, LzopFilesDecode)
    {
        EXPECT_TRUE(readLzop(fixture("text.txt.lzo")) == fixture("text.txt"));   // lzop -9 (LZO1X-999)
        EXPECT_TRUE(readLzop(fixture("mixed.bin.lzo")) == fixture("mixed.bin")); // lzop -1
    }

    // One member of a ZIP archive, found through the central directory.
    struct ZipMember
    {
        u32 method;
        u32 flags;
        u32 crc;
        u32 size;
        Bytes data;
    };

    ZipMember readZipMember(const Bytes& zip)
    {
        const u8* eocd = zip.data() + zip.size() - 22;
        EXPECT_EQ(loadLE32(eocd), 0x06054b50u);
        const u8* cd = zip.data() + loadLE32(eocd + 16);
        EXPECT_EQ(loadLE32(cd), 0x02014b50u);
        ZipMember m;
        m.flags = loadLE16(cd + 8);
        m.method = loadLE16(cd + 10);
        m.crc = loadLE32(cd + 16);
        const u32 packedSize = loadLE32(cd + 20);
        m.size = loadLE32(cd + 24);
        const u8* local = zip.data() + loadLE32(cd + 42);
        EXPECT_EQ(loadLE32(local), 0x04034b50u);
        const u8* data = local + 30 + loadLE16(local + 26) + loadLE16(local + 28);
        m.data.assign(data, data + packedSize);
        return m;
    }

    TEST(Interop, SevenZipMembersDecode)
    {
        struct Case
        {
            const char* zip;
            u32 method;
            Decompress decompress;
            size_t skip; // LZMA members start with version and property size
            u32 ppmdRestore;
        };
        const Case cases[] = {
            { "zip12.zip", 12, bzip2::decompress, 0, 0 },
            { "zip14.zip", 14, lzma::decompress, 4, 0 },
            { "zip98-r0.zip", 98, ppmd8::decompress, 0, 0 },
            { "zip98-r1.zip", 98, ppmd8::decompress, 0, 1 },
            { "zip98-fill-r0.zip", 98, ppmd8::decompress, 0, 0 },   // 1 MiB model, 512 KiB of text
            { "zip98-fill-r1.zip", 98, ppmd8::decompress, 0, 1 },
        };
        for (const Case& c : cases)
        {
            SCOPED_TRACE(c.zip);
            const ZipMember m = readZipMember(fixture(c.zip));
            ASSERT_EQ(m.method, c.method);
            if (c.method == 14)
            {
                EXPECT_EQ(loadLE16(m.data.data() + 2), 5u);
                EXPECT_TRUE(m.flags & 2) << "7-Zip writes LZMA members with an end marker";
            }
            if (c.method == 98)
            {
                EXPECT_EQ(loadLE16(m.data.data()) >> 12, c.ppmdRestore);
            }
            const Bytes out = decodeInto(c.decompress, m.data, m.size, c.skip);
            EXPECT_EQ(crc32(0, view(out)), m.crc);
        }
    }

    TEST(Interop, PpmdModelFillsItsMemory)
    {
        // header says 1 MiB; the member's content is the 512 KiB whose CRC make.sh recorded
        const ZipMember m = readZipMember(fixture("zip98-fill-r1.zip"));
        EXPECT_EQ((loadLE16(m.data.data()) >> 4) & 255, 0u) << "1 MiB model";
        const Bytes crcFile = fixture("fill.txt.crc");
        unsigned size = 0, crc = 0;
        ASSERT_EQ(std::sscanf(std::string(crcFile.begin(), crcFile.end()).c_str(), "%u %x", &size, &crc), 2);
        EXPECT_EQ(m.size, size);
        EXPECT_EQ(m.crc, crc);
    }

    // ---- our output through the tools

    Bytes runThrough(const std::string& tool, const std::string& package, const std::string& arguments,
                     const Bytes& input)
    {
        const std::string in = scratchPath("in");
        const std::string out = scratchPath("out");
        writeFile(in, input);
        std::remove(out.c_str());
        int rc = runTool(tool, package, tool + " " + arguments + " < '" + in + "' > '" + out + "'");
        EXPECT_EQ(rc, 0) << tool << " " << arguments;
        Bytes result = readFile(out);
        std::remove(in.c_str());
        std::remove(out.c_str());
        return result;
    }

    void appendLE32(Bytes& b, u32 v) { for (int i = 0; i < 4; ++i) b.push_back(u8(v >> (8 * i))); }
    void appendBE32(Bytes& b, u32 v) { for (int i = 3; i >= 0; --i) b.push_back(u8(v >> (8 * i))); }
    void appendLE16(Bytes& b, u32 v) { b.push_back(u8(v)); b.push_back(u8(v >> 8)); }

    class Reverse : public ::testing::Test
    {
    protected:
        const Bytes input = mixedBytes(1 << 20, 42);

        Bytes ours(const Compressor& c, int level) { return compressWith(c, input, level); }
    };

    TEST_F(Reverse, Zstd)
    {
        for (int level : { 0, 5, 10 })
        {
            EXPECT_TRUE(runThrough("zstd", "zstd", "-d -q -c", ours(getCompressor(CompressionMethod::ZSTD), level)) == input);
        }
    }

    TEST_F(Reverse, Bzip2)
    {
        for (int level : { 1, 9 })
        {
            EXPECT_TRUE(runThrough("bzip2", "bzip2", "-d -c", ours(getCompressor(CompressionMethod::BZIP2), level)) == input);
        }
    }

    TEST_F(Reverse, MinizThroughPythonZlib)
    {
        for (int level : { 0, 6, 10 })
        {
            EXPECT_TRUE(runThrough("/usr/bin/python3", "python3",
                "-c 'import sys, zlib; sys.stdout.buffer.write(zlib.decompress(sys.stdin.buffer.read()))'",
                ours(getCompressor(CompressionMethod::MINIZ), level)) == input);
        }
    }

    TEST_F(Reverse, Lz4AsLegacyFrame)
    {
        for (int level : { 0, 6, 7, 10 })
        {
            // legacy frame: magic, then blocks of up to 8 MiB each with a 4-byte size
            const Bytes block = ours(getCompressor(CompressionMethod::LZ4), level);
            Bytes frame;
            appendLE32(frame, 0x184C2102);
            appendLE32(frame, u32(block.size()));
            frame.insert(frame.end(), block.begin(), block.end());
            EXPECT_TRUE(runThrough("lz4", "lz4", "-d -q -c", frame) == input) << "level " << level;
        }
    }

    TEST_F(Reverse, LzmaAsLzmaAloneFile)
    {
        for (int level : { 0, 5, 10 })
        {
            // the .lzma header is our 5 property bytes plus the 64-bit content size
            const Bytes packed = ours(getCompressor(CompressionMethod::LZMA), level);
            Bytes file(packed.begin(), packed.begin() + 5);
            appendLE32(file, u32(input.size()));
            appendLE32(file, 0);
            file.insert(file.end(), packed.begin() + 5, packed.end());
            EXPECT_TRUE(runThrough("xz", "xz-utils", "--format=lzma -d -c", file) == input) << "level " << level;
        }
    }

    TEST_F(Reverse, Lzma2AsRawStream)
    {
        const Bytes packed = ours(getCompressor(CompressionMethod::LZMA2), 5);
        const u32 p = packed[0];
        ASSERT_LE(p, 40u);
        const u64 dictionary = p == 40 ? 0xFFFFFFFFull : u64(2 | (p & 1)) << (p / 2 + 11);
        const Bytes stream(packed.begin() + 1, packed.end());
        EXPECT_TRUE(runThrough("xz", "xz-utils", "--format=raw --lzma2=dict=" + std::to_string(dictionary) + " -d -c",
            stream) == input);
    }

    // An lzop file around our LZO1X blocks (256 KiB each, as lzop writes them).
    TEST_F(Reverse, LzoAsLzopFile)
    {
        Bytes file = { 0x89, 'L', 'Z', 'O', 0, 0x0D, 0x0A, 0x1A, 0x0A };
        Bytes header;
        header.insert(header.end(), { 0x10, 0x30, 0x20, 0xA0, 0x09, 0x40 }); // versions
        header.push_back(1);                                                // LZO1X-1
        header.push_back(5);                                                // level
        appendBE32(header, 0);                                              // no flags
        appendBE32(header, 0x81A4);                                         // mode
        appendBE32(header, 0);                                              // mtime
        appendBE32(header, 0);
        header.push_back(0);                                                // no name
        appendBE32(header, libdeflate_adler32(1, header.data(), header.size()));
        file.insert(file.end(), header.begin(), header.end());

        constexpr size_t BLOCK = 256 * 1024;
        for (size_t at = 0; at < input.size(); at += BLOCK)
        {
            const size_t n = std::min(BLOCK, input.size() - at);
            Bytes packed(lzo::bound(n));
            packed.resize(lzo::compress(view(packed), ConstMemory(input.data() + at, n), 0));
            appendBE32(file, u32(n));
            if (packed.size() < n)
            {
                appendBE32(file, u32(packed.size()));
                file.insert(file.end(), packed.begin(), packed.end());
            }
            else
            {
                appendBE32(file, u32(n));
                file.insert(file.end(), input.begin() + at, input.begin() + at + n);
            }
        }
        appendBE32(file, 0);
        EXPECT_TRUE(runThrough("lzop", "lzop", "-d -c", file) == input);
    }

    TEST_F(Reverse, Ppmd8ThroughPythonPpmd)
    {
        const Bytes small(input.begin(), input.begin() + 256 * 1024); // the module decodes in Python
        for (int level : { 0, 4 })
        {
            const Bytes packed = compressWith(getCompressor(CompressionMethod::PPMD8), small, level);
            const u32 h = loadLE16(packed.data());
            const std::string script = "import io, sys, ppmd; d = sys.stdin.buffer.read(); "
                "dec = ppmd.Ppmd8Decoder(io.BytesIO(d[2:]), " + std::to_string((h & 15) + 1) + ", " +
                std::to_string((((h >> 4) & 255) + 1) << 20) + ", " + std::to_string(h >> 12) + "); "
                "sys.stdout.buffer.write(dec.decode(" + std::to_string(small.size()) + "))";
            EXPECT_TRUE(runThrough("/usr/bin/python3", "python3-ppmd", "-c '" + script + "'", packed) == small)
                << "level " << level;
        }
    }

    // A one-member ZIP archive around our PPMd, bzip2 or LZMA data, tested by 7-Zip.
    Bytes makeZip(u32 method, u32 flags, const Bytes& data, const Bytes& original)
    {
        const u32 crc = crc32(0, view(original));
        const std::string name = "member.bin";
        auto common = [&](Bytes& b) {
            appendLE16(b, 63); // version needed
            appendLE16(b, flags);
            appendLE16(b, method);
            appendLE32(b, 0); // time, date
            appendLE32(b, crc);
            appendLE32(b, u32(data.size()));
            appendLE32(b, u32(original.size()));
            appendLE16(b, u32(name.size()));
            appendLE16(b, 0);
        };
        Bytes zip;
        appendLE32(zip, 0x04034b50);
        common(zip);
        zip.insert(zip.end(), name.begin(), name.end());
        zip.insert(zip.end(), data.begin(), data.end());
        const u32 cdOffset = u32(zip.size());
        appendLE32(zip, 0x02014b50);
        appendLE16(zip, 63);
        common(zip);
        appendLE16(zip, 0); // comment
        appendLE16(zip, 0); // disk
        appendLE16(zip, 0); // internal attributes
        appendLE32(zip, 0); // external attributes
        appendLE32(zip, 0); // local header offset
        zip.insert(zip.end(), name.begin(), name.end());
        const u32 cdSize = u32(zip.size()) - cdOffset;
        appendLE32(zip, 0x06054b50);
        appendLE32(zip, 0);
        appendLE16(zip, 1);
        appendLE16(zip, 1);
        appendLE32(zip, cdSize);
        appendLE32(zip, cdOffset);
        appendLE16(zip, 0);
        return zip;
    }

    TEST_F(Reverse, ZipMembersThroughSevenZip)
    {
        const Bytes lzmaData = ours(getCompressor(CompressionMethod::LZMA), 5);
        Bytes member14 = { 26, 2, 5, 0 }; // LZMA SDK version, property size
        member14.insert(member14.end(), lzmaData.begin(), lzmaData.end());

        struct Case { u32 method; Bytes data; };
        const Case cases[] = {
            { 98, ours(getCompressor(CompressionMethod::PPMD8), 3) },
            { 12, ours(getCompressor(CompressionMethod::BZIP2), 9) },
            { 14, member14 },
        };
        for (const Case& c : cases)
        {
            // 7-Zip reads archives from files only
            const std::string path = scratchPath("member.zip");
            writeFile(path, makeZip(c.method, 0, c.data, input));
            EXPECT_TRUE(runThrough("7zz", "7zip", "x -so -bd -bso0 -bse0 '" + path + "'", {}) == input) << "method " << c.method;
            std::remove(path.c_str());
        }
    }

    TEST_F(Reverse, LzfseThroughReferenceTool)
    {
        const Bytes inputs[] = { input, textBytes(3000, 1), randomBytes(3000, 2), Bytes { 'h', 'e', 'l', 'l', 'o' } };
        for (const Bytes& original : inputs)
        {
            const Bytes packed = compressWith(getCompressor(CompressionMethod::LZFSE), original, 0);
            const std::string in = scratchPath("in.lzfse");
            const std::string out = scratchPath("out");
            writeFile(in, packed);
            const std::string command = std::string(NORVA_LZFSE_CLI) + " -decode -i '" + in + "' -o '" + out + "'";
            ASSERT_EQ(std::system(command.c_str()), 0);
            EXPECT_TRUE(readFile(out) == original) << original.size() << " bytes";
        }
    }

} // namespace
