// The RAR 2.9 / 3.x members of the shared corpus against what unar extracted from them
// (tests/fixtures/rar/corpus_reference.txt, made by make_corpus_reference.py), and the
// corpus's hostile and refused archives against a clean error. The corpus is read in place
// and these tests skip when it is absent.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <norva/core/crc32.hpp>
#include <norva/core/exception.hpp>
#include <norva/filesystem/mapper.hpp>

#include "rar/rar_test_helpers.hpp"

using namespace norva;
using namespace norva::filesystem;
using rartest::Bytes;

namespace
{
    struct Reference
    {
        std::string archive;
        std::string name;
        u64 size;
        u32 crc;
        bool ok;
    };

    std::vector<Reference> loadReferences()
    {
        std::ifstream file(ZELMORA_SOURCE_DIR "/tests/fixtures/rar/corpus_reference.txt");
        std::vector<Reference> references;
        std::string line;
        while (std::getline(file, line))
        {
            if (line.empty() || line[0] == '#')
                continue;
            std::vector<std::string> fields;
            std::stringstream stream(line);
            std::string field;
            while (std::getline(stream, field, '|'))
                fields.push_back(field);
            if (fields.size() != 5)
                continue;
            references.push_back(Reference { fields[0], fields[1], std::stoull(fields[2]),
                                             u32(std::stoul(fields[3], nullptr, 16)), fields[4] == "ok" });
        }
        return references;
    }

    // Every file of the mapper with its full path.
    void listAll(AbstractMapper& mapper, const std::string& folder, std::vector<FileInfo>& out)
    {
        FileIndex index;
        mapper.getIndex(index, folder);
        for (const FileInfo& info : index)
        {
            if (info.isContainer())
                continue;
            if (info.isDirectory())
                listAll(mapper, folder + info.name, out);
            else
                out.push_back(FileInfo { info.size, info.flags, folder + info.name });
        }
    }

    // The member's name as unar shows it: RAR 3 archives keep some names as raw bytes in
    // the host's code page, which unar converts; those are matched by size and CRC alone.
    const Reference* findReference(const std::vector<Reference>& references, const std::string& archive,
                                   const std::string& name)
    {
        for (const Reference& r : references)
        {
            if (r.archive == archive && r.name == name)
                return &r;
        }
        return nullptr;
    }

    // What the mapper refuses among the members unar reads: the members of a RAR 4 solid
    // archive after its first.
    std::string expectedRefusal(const std::string& archive, const std::string& name)
    {
        if (archive == "junrar/solid/rar4-solid.rar" && name != "file1.txt")
            return "[mapper.rar] Solid files are not supported.";
        return std::string();
    }

    // Members with PPMd blocks: memory bytes 0, 63 and 255 (order 10, 64, 64), escape-byte
    // changes (order 4), and the 241.6 MB member that switches between LZ and PPM blocks and
    // continues its model across them.
    bool hasPpmBlocks(const std::string& archive, const std::string& name)
    {
        static const std::set<std::string> archives = {
            "junrar/ppm/hostile-maxmb255.rar",
            "junrar/ppm/legit-maxmb63.rar",
            "junrar/ppm/preserved-maxmb0.rar",
            "libarchive/test_read_format_rar_ppmd_lzss_conversion.rar",
            "libarchive/test_read_format_rar_compress_best.rar",
        };
        // (the stored link beside the PPMd members of compress_best has none)
        return (archives.count(archive) && name != "testlink") ||
               ((archive == "junrar/audio/BoatModernEnglish-audio-text-unpack30.rar" ||
                 archive == "junrar/vm/audio-filter-noncanonical.rar") &&
                name == "LICENSE.txt");
    }

} // namespace

TEST(RarCorpus, EveryMemberUnarReadsMapsToTheSameBytes)
{
    if (!rartest::corpusPresent())
        GTEST_SKIP() << "the shared corpus (" << rartest::corpusRoot() << ") is absent";

    const std::vector<Reference> references = loadReferences();
    ASSERT_GT(references.size(), 100u);

    std::map<std::string, std::vector<const Reference*>> byArchive;
    for (const Reference& r : references)
        byArchive[r.archive].push_back(&r);

    int compared = 0;
    int refused = 0;
    int ppmd = 0;
    int crcRefused = 0;
    for (const auto& [archive, rows] : byArchive)
    {
        bool anyOk = false;
        for (const Reference* r : rows)
            anyOk |= r->ok;
        if (!anyOk)
            continue;
        SCOPED_TRACE(archive);

        auto memory = mapHostFile(rartest::corpusRoot() + archive);
        // unar reads past headers whose CRC fails (here zero); this mapper refuses the archive
        if (archive == "junrar/abnormal/bad-header-crc.rar" || archive == "junrar/mkdir-escape.rar")
        {
            try
            {
                createMapperRAR(*memory, "");
                ADD_FAILURE() << "no exception";
            }
            catch (const Exception& e)
            {
                EXPECT_STREQ(e.what(), "[mapper.rar] Header CRC error.");
            }
            ++crcRefused;
            continue;
        }
        auto mapper = createMapperRAR(*memory, "");
        std::vector<FileInfo> files;
        listAll(*mapper, "", files);

        for (const Reference* r : rows)
        {
            if (!r->ok)
                continue;
            SCOPED_TRACE(r->name);
            std::string name = r->name;
            bool listed = false;
            for (const FileInfo& f : files)
                listed |= f.name == name;
            if (!listed)
            {
                // a name unar converted from a code page: find the member by content
                for (const FileInfo& f : files)
                {
                    if (f.size == r->size && !findReference(references, archive, f.name))
                        name = f.name;
                }
            }

            const std::string expected = expectedRefusal(archive, r->name);
            try
            {
                auto member = mapper->mmap(name);
                ConstMemory bytes = *member;
                EXPECT_TRUE(expected.empty()) << "mapped, expected " << expected;
                EXPECT_EQ(bytes.size, r->size);
                EXPECT_EQ(crc32(0, bytes), r->crc);
                ++compared;
                ppmd += hasPpmBlocks(archive, r->name) && bytes.size == r->size && crc32(0, bytes) == r->crc;
            }
            catch (const Exception& e)
            {
                EXPECT_EQ(e.what(), expected);
                ++refused;
            }
        }
    }
    // 2.9 LZ (many blocks, 1 MB of random data, the low-distance reset, > 4 MiB out), the
    // E8/E8E9/Delta filters on executables, the audio filter, method 36, and the 1.5 and 2.0
    // members with their stored neighbours are among them
    EXPECT_GE(compared, 130);
    EXPECT_EQ(refused, 8);
    EXPECT_EQ(ppmd, 9);
    EXPECT_EQ(crcRefused, 2);
}

TEST(RarCorpus, OlderVersionsEqualUnar)
{
    if (!rartest::corpusPresent())
        GTEST_SKIP() << "the shared corpus (" << rartest::corpusRoot() << ") is absent";

    // Every packed 1.5 and 2.0 member of the corpus that unar reads: the same 56,464-byte
    // WAV and 107-byte text through the 1.5 decoder (DOS and Windows archivers), 2.0 LZ
    // blocks and 2.0 audio blocks.
    struct Case
    {
        const char* archive;
        const char* member;
    };
    const Case cases[] = {
        { "junrar/audio/BoatModernEnglish-regular-unpack15-dos.rar", "BOATMO~1.WAV" },
        { "junrar/audio/BoatModernEnglish-regular-unpack15-dos.rar", "LICENSE.TXT" },
        { "junrar/audio/BoatModernEnglish-regular-unpack15-win.rar", "BoatModernEnglish.wav" },
        { "junrar/audio/BoatModernEnglish-regular-unpack15-win.rar", "LICENSE.txt" },
        { "junrar/audio/BoatModernEnglish-regular-unpack20.rar", "BoatModernEnglish.wav" },
        { "junrar/audio/BoatModernEnglish-audio-text-unpack20.rar", "BoatModernEnglish.wav" },
        { "junrar/abnormal/flagsplace-oob.rar", "LICENSE.TXT" },
        { "junrar/abnormal/void-dist-v15.rar", "LICENSE.TXT" },
    };
    const std::vector<Reference> references = loadReferences();
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.archive) + " " + c.member);
        std::string name = c.member;
        const Reference* reference = findReference(references, c.archive, name);
        ASSERT_NE(reference, nullptr);
        ASSERT_TRUE(reference->ok);

        auto memory = mapHostFile(rartest::corpusRoot() + c.archive);
        auto mapper = createMapperRAR(*memory, "");
        auto member = mapper->mmap(name);
        ConstMemory bytes = *member;
        EXPECT_EQ(bytes.size, reference->size);
        EXPECT_EQ(crc32(0, bytes), reference->crc);
    }
}

TEST(RarCorpus, HostileAndRefusedArchivesEndWithACleanError)
{
    if (!rartest::corpusPresent())
        GTEST_SKIP() << "the shared corpus (" << rartest::corpusRoot() << ") is absent";

    // Every RAR file of the corpus, volumes and RAR 5 included: listing and mapping either
    // works (and then the member's CRC-32 matched) or throws norva::Exception.
    int files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(rartest::corpusRoot()))
    {
        const std::string path = entry.path().string();
        if (!entry.is_regular_file() || (path.find(".rar") == std::string::npos && path.find(".exe") == std::string::npos))
            continue;
        SCOPED_TRACE(path);
        ++files;
        try
        {
            auto memory = mapHostFile(path);
            auto mapper = createMapperRAR(*memory, "");
            std::vector<FileInfo> members;
            listAll(*mapper, "", members);
            for (const FileInfo& f : members)
            {
                try
                {
                    mapper->mmap(f.name);
                }
                catch (const Exception&)
                {
                }
            }
        }
        catch (const Exception&)
        {
        }
    }
    EXPECT_GT(files, 200);

    // Named outcomes of the hostile streams.
    struct Case
    {
        const char* archive;
        const char* member;
        const char* message;
    };
    const Case cases[] = {
        // a modified audio program that only a CRC-keyed recogniser would take for the real one
        { "junrar/vm/audio-filter-noncanonical.rar", "BoatModernEnglish.wav", "[mapper.rar] Decompression failed." },
        { "junrar/abnormal/void-dist-v29.rar", "void29", "[mapper.rar] CRC-32 mismatch." },
        { "junrar/as-vm-1-trigger.rar", "AS_VM_1.BIN", "[mapper.rar] CRC-32 mismatch." },
        { "junrar/abnormal/filter-flood.rar", "test-documents/testEXCEL.xls", "[mapper.rar] Decompression failed." },
        { "junrar/abnormal/channel-flood.rar", "test-documents/testEXCEL.xls", "[mapper.rar] CRC-32 mismatch." },
        // distances before the start of the member read the zeroed window: wrong bytes, caught
        { "junrar/abnormal/void-dist-v20.rar", "void20", "[mapper.rar] CRC-32 mismatch." },
        { "junrar/abnormal/void-dist-v15.rar", "BOATMO~1.WAV", "[mapper.rar] CRC-32 mismatch." },
        // a flags byte coded with the place past the table's end stops the member
        { "junrar/abnormal/flagsplace-oob.rar", "BOATMO~1.WAV", "[mapper.rar] Decompression failed." },
        { "libarchive/test_read_format_rar_encryption_data.rar", "foo.txt", "[mapper.rar] Encrypted file." },
        // PPMd streams made to break decoders' symbol walks
        { "junrar/ppm/hostile-ppm-decodechar.rar", "final_payload.txt", "[mapper.rar] Decompression failed." },
        { "junrar/ppm/hostile-ppm-ps-collect.rar", "final_payload.txt", "[mapper.rar] Decompression failed." },
        { "junrar/ppm/hostile-ppm-ps-count.rar", "final_payload.txt", "[mapper.rar] Decompression failed." },
        { "junrar/ppm/hostile-ppm-ps-mask.rar", "final_payload.txt", "[mapper.rar] Decompression failed." },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.archive);
        auto memory = mapHostFile(rartest::corpusRoot() + c.archive);
        auto mapper = createMapperRAR(*memory, "");
        try
        {
            mapper->mmap(c.member);
            ADD_FAILURE() << "no exception";
        }
        catch (const Exception& e)
        {
            EXPECT_STREQ(e.what(), c.message);
        }
    }

    // Archives that cannot be listed whole are refused when opened, not listed as the members
    // before the fault. All are fuzzer or hand-made files; neither unar nor bsdtar reads any of
    // them whole.
    const char* const cut = "[mapper.rar] The archive is cut short.";
    const char* const damaged = "[mapper.rar] Damaged header.";
    const std::pair<const char*, const char*> refused[] = {
        // RAR 5: a first header of size 0 whose CRC passes
        { "libarchive/test_read_format_rar5_arm_filter_on_window_boundary.rar", damaged },
        { "libarchive/test_read_format_rar5_block_size_is_too_small.rar", damaged },
        { "libarchive/test_read_format_rar5_different_solid_window_size.rar", damaged },
        { "libarchive/test_read_format_rar5_different_window_size.rar", damaged },
        { "libarchive/test_read_format_rar5_different_winsize_on_merge.rar", damaged },
        { "libarchive/test_read_format_rar5_distance_overflow.rar", damaged },
        { "libarchive/test_read_format_rar5_invalid_dict_reference.rar", damaged },
        { "libarchive/test_read_format_rar5_leftshift1.rar", damaged },
        { "libarchive/test_read_format_rar5_leftshift2.rar", damaged },
        { "libarchive/test_read_format_rar5_nonempty_dir_stream.rar", damaged },
        { "libarchive/test_read_format_rar5_readtables_overflow.rar", damaged },
        { "libarchive/test_read_format_rar5_truncated_huff.rar", damaged },
        // RAR 5: a header of size 0 after the first member
        { "libarchive/test_read_format_rar5_owner_name_toolong.rar", damaged },
        // RAR 5: flags announcing sizes that a 3-byte header does not hold
        { "libarchive/test_read_format_rar5_decode_number_out_of_bounds_read.rar", damaged },
        // RAR 5: a main header whose extra area is larger than the header
        { "libarchive/test_read_format_rar5_dirdata.rar", damaged },
        { "libarchive/test_read_format_rar5_unpacked_size_exceeds_declared.rar", damaged },
        // RAR 5: a header of 32,946 bytes with 9 left
        { "libarchive/test_read_format_rar5_bytes_remaining_underflow.rar", cut },
        // RAR 4: a main header of size 0
        { "junrar/abnormal/corrupt-header.rar", damaged },
        { "junrar/abnormal/loop.rar", damaged },
        // RAR 4: a main header of 3,328 bytes in a file of 278
        { "junrar/abnormal/loop2.rar", cut },
        // RAR 4: a member's data past the end: 12 bytes with 5 left, 2^32 bytes and more from
        // the high size fields, the second member's 119 or 13,196 bytes missing
        { "libarchive/test_read_format_rar_invalid1.rar", cut },
        { "libarchive/test_read_format_rar_newsub_huge.rar", cut },
        { "libarchive/test_read_format_rar_symlink_huge.rar", cut },
        { "libarchive/test_read_format_rar_ppmd_use_after_free.rar", cut },
        { "libarchive/test_read_format_rar_ppmd_use_after_free2.rar", cut },
        { "libarchive/test_read_format_rar_seek_data_cursor0.rar", cut },
    };
    for (const auto& [archive, message] : refused)
    {
        SCOPED_TRACE(archive);
        auto memory = mapHostFile(rartest::corpusRoot() + archive);
        try
        {
            createMapperRAR(*memory, "");
            ADD_FAILURE() << "no exception";
        }
        catch (const Exception& e)
        {
            EXPECT_STREQ(e.what(), message);
        }
    }

    // Hand-made RAR 4 archives of old blocks with a CRC of 0 and no members. AV and signature
    // blocks are not held to their CRC: these open empty, as lsar lists them. A Unix owner
    // block's CRC covers its header and names, and 0 matches neither that nor the header
    // alone: refused, as every header that fails its CRC is.
    const std::pair<const char*, const char*> oldBlocks[] = {
        { "junrar/abnormal/av-header-crc-mismatch.rar", nullptr },
        { "junrar/abnormal/sign-header-crc-mismatch.rar", nullptr },
        { "junrar/abnormal/old-uo-header-crc-mismatch.rar", "[mapper.rar] Header CRC error." },
    };
    for (const auto& [archive, message] : oldBlocks)
    {
        SCOPED_TRACE(archive);
        auto memory = mapHostFile(rartest::corpusRoot() + archive);
        try
        {
            auto mapper = createMapperRAR(*memory, "");
            std::vector<FileInfo> members;
            listAll(*mapper, "", members);
            EXPECT_EQ(message, nullptr) << "opened";
            EXPECT_TRUE(members.empty());
        }
        catch (const Exception& e)
        {
            EXPECT_STREQ(e.what(), message ? message : "no exception");
        }
    }

    // Header-encrypted archives are refused by name, not listed as empty folders.
    for (const char* archive : { "libarchive/test_read_format_rar_encryption_header.rar",
                                 "junrar/password/rar5-encrypted-junrar.rar" })
    {
        SCOPED_TRACE(archive);
        auto memory = mapHostFile(rartest::corpusRoot() + archive);
        for (const std::string password : { "", "password" })
        {
            try
            {
                createMapperRAR(*memory, password);
                ADD_FAILURE() << "no exception with password \"" << password << "\"";
            }
            catch (const Exception& e)
            {
                EXPECT_STREQ(e.what(), password.empty() ? "[mapper.rar] Encrypted headers: no password given."
                                                        : "[mapper.rar] Encrypted headers: decryption is not supported.");
            }
        }
    }
}

TEST(RarCorpus, DamagedAndCutCopiesOfRealArchivesThrow)
{
    if (!rartest::corpusPresent())
        GTEST_SKIP() << "the shared corpus (" << rartest::corpusRoot() << ") is absent";

    // One real archive of each generation, and copies of it with one header byte flipped or
    // the end of the file moved. Each copy still holds the first member whole, which must not
    // be listed as if it were the whole archive.
    struct Archive
    {
        const char* path;
        const char* first;  // the first member, packed or stored
        const char* second; // the member after it
        std::size_t files;
        std::size_t endSize; // the end block or end-of-archive header (0: written without)
    };
    const Archive archives[] = {
        { "junrar/audio/BoatModernEnglish-regular-unpack15-win.rar", "BoatModernEnglish.wav", "LICENSE.txt", 2, 7 },
        { "junrar/audio/BoatModernEnglish-regular-unpack20.rar", "BoatModernEnglish.wav", "LICENSE.txt", 2, 0 },
        { "libarchive/test_read_format_rar_compress_normal.rar", "LibarchiveAddingTest.html", "testlink", 4, 7 },
        { "libarchive/test_read_format_rar5_stored_manyfiles.rar", "make_uue.tcl", "cebula.txt", 3, 8 },
    };
    const char* const crcError = "[mapper.rar] Header CRC error.";
    const char* const cut = "[mapper.rar] The archive is cut short.";

    for (const Archive& a : archives)
    {
        SCOPED_TRACE(a.path);
        auto memory = mapHostFile(rartest::corpusRoot() + a.path);
        const ConstMemory file = *memory;
        const Bytes intact(file.address, file.address + file.size);
        const bool rar5 = intact[6] == 1;
        auto find = [&](const std::string& name, std::size_t from) {
            return std::size_t(std::search(intact.begin() + from, intact.end(), name.begin(), name.end()) - intact.begin());
        };
        const std::size_t firstName = find(a.first, 0);
        const std::size_t secondName = find(a.second, firstName);
        ASSERT_LT(secondName, intact.size());

        struct Copy
        {
            const char* what;
            Bytes bytes;
            const char* message; // null: opens with every member
        };
        std::vector<Copy> copies;
        copies.push_back({ "intact", intact, nullptr });
        Bytes flipped = intact;
        flipped[secondName] ^= 0x01;
        copies.push_back({ "a name byte of the second header flipped", flipped, crcError });
        copies.push_back({ "cut inside the second header", Bytes(intact.begin(), intact.begin() + secondName + 1), cut });
        // half way between the names: inside the first member's data, far longer than the headers
        copies.push_back({ "cut inside the first member's data",
                           Bytes(intact.begin(), intact.begin() + (firstName + secondName) / 2), cut });
        if (a.endSize)
        {
            copies.push_back({ "end cut", Bytes(intact.begin(), intact.end() - 3), cut });
            // RAR 1.5 - 4 archivers may leave the end block out; a RAR 5 archive always has one
            copies.push_back({ "end removed", Bytes(intact.begin(), intact.end() - long(a.endSize)), rar5 ? cut : nullptr });
        }

        for (const Copy& copy : copies)
        {
            SCOPED_TRACE(copy.what);
            try
            {
                auto mapper = createMapperRAR(ConstMemory(copy.bytes.data(), copy.bytes.size()), "");
                std::vector<FileInfo> members;
                listAll(*mapper, "", members);
                EXPECT_EQ(copy.message, nullptr) << "opened with " << members.size() << " files";
                EXPECT_EQ(members.size(), a.files);
                for (const FileInfo& f : members)
                    EXPECT_NO_THROW(mapper->mmap(f.name)) << f.name;
            }
            catch (const Exception& e)
            {
                EXPECT_STREQ(e.what(), copy.message ? copy.message : "no exception");
            }
        }
    }
}
