// The PPMd text model of RAR 2.9 blocks: block headers, heap sizes, and the model itself
// against 7-Zip's variant H decoder (the LZMA SDK's Ppmd7 with its RAR range decoder) on
// streams that drive it through every path, its memory running out and restarting included.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <random>
#include <vector>

#include "archive/rar/rar_ppmd.hpp"
#include "archive/rar/rar_unpack.hpp"
#include "rar/rar_test_helpers.hpp"

extern "C" {
#include <Ppmd7.h>
// the SDK's model update, which its own encoder reaches the same way
void Ppmd7_UpdateModel(CPpmd7* p);
}

#include <norva/filesystem/mapper.hpp>
#include <norva/core/exception.hpp>

using namespace norva;
using namespace norva::filesystem::rar;

namespace
{
    std::vector<u8> randomBytes(std::size_t size, u32 seed)
    {
        std::mt19937 generator(seed);
        std::vector<u8> bytes(size);
        for (u8& b : bytes)
            b = u8(generator() >> 24);
        return bytes;
    }

    // An unpacker whose input holds `bytes`, positioned at their start.
    struct Input
    {
        explicit Input(std::vector<u8> bytes)
            : data(std::move(bytes))
            , unpacker(&io)
        {
            io.packed = data.data();
            io.packedReadable = io.packedUnconsumed = data.size();
            unpacker.init();
            unpacker.refillInput();
        }

        std::vector<u8> data;
        RarMemoryIO io;
        RarUnpacker unpacker;
    };

    std::vector<int> decodeOurs(RarPpmModel& model, std::size_t count)
    {
        std::vector<int> out;
        out.reserve(count);
        while (out.size() < count)
        {
            const int c = model.decodeByte();
            if (c < 0)
                break;
            out.push_back(c);
        }
        return out;
    }

    // --- the reference: 7-Zip's model with the original range decoder ---

    struct ByteSource
    {
        IByteIn vt;
        const u8* p;
        const u8* end;
    };

    Byte readSource(IByteInPtr stream)
    {
        ByteSource* s = reinterpret_cast<ByteSource*>(const_cast<IByteIn*>(stream));
        return s->p < s->end ? *s->p++ : 0;
    }

    void* allocReference(ISzAllocPtr, size_t size) { return std::malloc(size); }
    void freeReference(ISzAllocPtr, void* address) { std::free(address); }
    const ISzAlloc referenceAlloc = { allocReference, freeReference };

    std::vector<int> decodeReference(const u8* stream, std::size_t size, unsigned order, u32 megabytes,
                                     std::size_t count)
    {
        CPpmd7 ppmd;
        Ppmd7_Construct(&ppmd);
        if (!Ppmd7_Alloc(&ppmd, megabytes << 20, &referenceAlloc))
            return {};
        ByteSource source { { readSource }, stream, stream + size };
        ppmd.rc.dec.Stream = &source.vt;
        Ppmd7a_RangeDec_Init(&ppmd.rc.dec);
        Ppmd7_Init(&ppmd, order);
        std::vector<int> out;
        out.reserve(count);
        while (out.size() < count)
        {
            const int c = Ppmd7a_DecodeSymbol(&ppmd);
            if (c < 0)
                break;
            out.push_back(c);
        }
        Ppmd7_Free(&ppmd, &referenceAlloc);
        return out;
    }

    // --- a test-side encoder: 7-Zip's model with the original carry-less range coder ---

    class CarrylessEncoder
    {
    public:
        // `range` is already divided by the total.
        void encode(u32 start, u32 size)
        {
            low += start * range;
            range *= size;
            normalise();
        }

        void normalise()
        {
            for (;;)
            {
                if ((low ^ (low + range)) >= (1u << 24))
                {
                    if (range >= (1u << 15))
                        return;
                    range = (0 - low) & 0x7FFF;
                }
                out.push_back(u8(low >> 24));
                low <<= 8;
                range <<= 8;
            }
        }

        void flush()
        {
            for (int i = 0; i < 4; ++i)
            {
                out.push_back(u8(low >> 24));
                low <<= 8;
            }
        }

        u32 low = 0;
        u32 range = 0xFFFFFFFF;
        std::vector<u8> out;
    };

    class ReferenceEncoder
    {
    public:
        ReferenceEncoder(unsigned order, u32 megabytes)
        {
            Ppmd7_Construct(&m_ppmd);
            m_ok = Ppmd7_Alloc(&m_ppmd, megabytes << 20, &referenceAlloc);
            Ppmd7_Init(&m_ppmd, order);
        }

        ~ReferenceEncoder() { Ppmd7_Free(&m_ppmd, &referenceAlloc); }

        bool ok() const { return m_ok; }

        // After the block's header bytes: a fresh range coder over the same model.
        void startBlock() { rc = CarrylessEncoder(); }

        std::vector<u8> endBlock()
        {
            rc.flush();
            return std::move(rc.out);
        }

        void encode(int symbol);

        CarrylessEncoder rc;

    private:
        CPpmd7 m_ppmd;
        bool m_ok = false;
    };

    // Ppmd7z_EncodeSymbol of the SDK with the original range coder in place of 7z's.
    void ReferenceEncoder::encode(int symbol)
    {
        CPpmd7* p = &m_ppmd;
        u8 mask[256];
        if (p->MinContext->NumStats != 1)
        {
            CPpmd_State* s = Ppmd7_GetStats(p, p->MinContext);
            const u32 total = p->MinContext->Union2.SummFreq;
            rc.range /= total;
            if (s->Symbol == symbol)
            {
                rc.encode(0, s->Freq);
                p->FoundState = s;
                Ppmd7_Update1_0(p);
                return;
            }
            p->PrevSuccess = 0;
            u32 sum = s->Freq;
            for (unsigned i = p->MinContext->NumStats - 1; i > 0; --i)
            {
                if ((++s)->Symbol == symbol)
                {
                    rc.encode(sum, s->Freq);
                    p->FoundState = s;
                    Ppmd7_Update1(p);
                    return;
                }
                sum += s->Freq;
            }
            rc.encode(sum, total - sum);
            p->HiBitsFlag = PPMD7_HiBitsFlag_3(p->FoundState->Symbol);
            std::memset(mask, 0xFF, sizeof(mask));
            CPpmd_State* states = Ppmd7_GetStats(p, p->MinContext);
            for (unsigned i = 0; i < p->MinContext->NumStats; ++i)
                mask[states[i].Symbol] = 0;
        }
        else
        {
            UInt16* prob = Ppmd7_GetBinSumm(p);
            CPpmd_State* s = Ppmd7Context_OneState(p->MinContext);
            const u32 old = *prob;
            const u32 unit = rc.range >> 14;
            const u32 pr = PPMD_UPDATE_PROB_1(old);
            if (s->Symbol == symbol)
            {
                *prob = UInt16(pr + (1 << PPMD_INT_BITS));
                rc.range = unit;
                rc.encode(0, old);
                const unsigned freq = s->Freq;
                CPpmd7_Context* c = Ppmd7_GetContext(p, Ppmd_GET_SUCCESSOR(s));
                p->FoundState = s;
                p->PrevSuccess = 1;
                p->RunLength++;
                s->Freq = Byte(freq + (freq < 128));
                if (p->OrderFall == 0 && reinterpret_cast<const Byte*>(c) > p->Text)
                    p->MaxContext = p->MinContext = c;
                else
                    Ppmd7_UpdateModel(p);
                return;
            }
            *prob = UInt16(pr);
            p->InitEsc = p->ExpEscape[pr >> 10];
            rc.range = unit;
            rc.encode(old, (1u << 14) - old);
            std::memset(mask, 0xFF, sizeof(mask));
            mask[s->Symbol] = 0;
            p->PrevSuccess = 0;
        }

        for (;;)
        {
            CPpmd7_Context* mc = p->MinContext;
            const unsigned numMasked = mc->NumStats;
            unsigned i;
            do
            {
                p->OrderFall++;
                if (!mc->Suffix)
                {
                    ADD_FAILURE() << "symbol " << symbol << " is not in the model";
                    return;
                }
                mc = Ppmd7_GetContext(p, mc->Suffix);
                i = mc->NumStats;
            } while (i == numMasked);
            p->MinContext = mc;

            u32 escFreq;
            CPpmd_See* see = Ppmd7_MakeEscFreq(p, numMasked, &escFreq);
            CPpmd_State* s = Ppmd7_GetStats(p, mc);
            u32 sum = 0;
            u32 low = 0;
            CPpmd_State* found = nullptr;
            for (unsigned k = 0; k < i; ++k)
            {
                if (!mask[s[k].Symbol])
                    continue;
                if (s[k].Symbol == symbol)
                {
                    found = &s[k];
                    low = sum;
                }
                sum += s[k].Freq;
            }
            const u32 total = sum + escFreq;
            rc.range /= total;
            if (found)
            {
                Ppmd_See_UPDATE(see)
                p->FoundState = found;
                rc.encode(low, found->Freq);
                Ppmd7_Update2(p);
                return;
            }
            see->Summ = UInt16(see->Summ + total);
            rc.encode(sum, escFreq);
            for (unsigned k = 0; k < i; ++k)
                mask[s[k].Symbol] = 0;
        }
    }

    // Words and numbers with bursts of binary: text the model predicts, and runs it does not.
    std::vector<u8> sampleData(std::size_t size, u32 seed)
    {
        static const char* const words[] = { "the", "model", "context", "of", "archive", "PPMd", "variant", "H",
                                             "range", "decoder", "escape", "symbol", "and", "\n", "frequency",
                                             "restart", "units", "text", "area", "suffix", "order", "RAR" };
        std::mt19937 generator(seed);
        std::vector<u8> data;
        data.reserve(size);
        while (data.size() < size)
        {
            const u32 r = generator();
            if (r % 97 == 0)
            {
                for (u32 n = r % 300; n > 0; --n)
                    data.push_back(u8(generator() >> 24));
            }
            else if (r % 7 == 0)
            {
                const std::string number = std::to_string(generator() % 100000);
                data.insert(data.end(), number.begin(), number.end());
                data.push_back(r % 3 ? ' ' : 2); // the escape byte now and then
            }
            else
            {
                const std::string word = words[(r >> 8) % std::size(words)];
                data.insert(data.end(), word.begin(), word.end());
                data.push_back(' ');
            }
        }
        data.resize(size);
        return data;
    }

    unsigned orderOf(u32 flags)
    {
        unsigned order = (flags & 0x1F) + 1;
        return order > 16 ? 16 + (order - 16) * 3 : order;
    }

} // namespace

TEST(RarPpmd, ArbitraryBytesDecodeAndFailLikeTheReferenceModel)
{
    // Arbitrary bytes are a stream too: both models must read the same symbols from them
    // and stop at the same one (an escape from the root, or a count past its total).
    std::size_t compared = 0;
    for (u32 seed = 0; seed < 120; ++seed)
    {
        SCOPED_TRACE(seed);
        const u8 flags = u8(seed % 32);
        if (flags == 0)
            continue; // order 1 starts no model
        const u8 memory = u8(seed % 3);
        std::vector<u8> stream = randomBytes(20000, seed);
        stream[0] &= 0x7F; // the reference refuses a first code of all ones
        std::vector<u8> block = { u8(0x80 | 0x20 | flags), memory };
        block.insert(block.end(), stream.begin(), stream.end());

        Input input(block);
        auto model = std::make_unique<RarPpmModel>();
        int escape = 2;
        ASSERT_TRUE(model->initFromStream(&input.unpacker, escape));
        const std::vector<int> ours = decodeOurs(*model, 100000);
        const std::vector<int> reference = decodeReference(stream.data(), stream.size(), orderOf(flags), memory + 1u, 100000);
        EXPECT_TRUE(ours == reference) << ours.size() << " and " << reference.size() << " symbols";
        compared += reference.size();
    }
    EXPECT_GT(compared, 100000u);
}

TEST(RarPpmd, BlockHeaders)
{
    const std::vector<u8> tail = randomBytes(4096, 9);
    auto block = [&](std::initializer_list<u8> header) {
        std::vector<u8> bytes(header);
        bytes.insert(bytes.end(), tail.begin(), tail.end());
        return bytes;
    };

    // order bits to order, and the heap of memory byte 0: 1 MiB in 12-byte units, of which
    // 131,128 bytes of text and 76,454 units
    for (const auto& [bits, order] : { std::pair { 1, 2 }, { 15, 16 }, { 16, 19 }, { 31, 64 } })
    {
        Input input(block({ u8(0xA0 | bits), 0 }));
        RarPpmModel model;
        int escape = 2;
        ASSERT_TRUE(model.initFromStream(&input.unpacker, escape));
        EXPECT_EQ(model.maxOrder, order);
        EXPECT_EQ(model.allocator.memorySize, 1u << 20);
        EXPECT_EQ(model.allocator.heapBytes, ((1u << 20) / 12 + 2) * 12);
        EXPECT_EQ(model.allocator.textLimit, 131128u);
        EXPECT_EQ((model.allocator.unitsEnd - model.allocator.unitsStart) / 12, 76454u);
        EXPECT_EQ(escape, 2);
        EXPECT_EQ(input.unpacker.input.bytePos, 6u); // flags, memory, four range bytes
    }

    // memory byte 255: 256 MiB, as coded
    {
        Input input(block({ 0xA3, 255 }));
        RarPpmModel model;
        int escape = 2;
        ASSERT_TRUE(model.initFromStream(&input.unpacker, escape));
        EXPECT_EQ(model.allocator.memorySize, 256u << 20);
        EXPECT_EQ(model.allocator.heapBytes, ((256u << 20) / 12 + 2) * 12);
    }

    // Order bits 0 free the heap and fail; a header that continues the model then fails too.
    {
        Input input(block({ 0xA3, 0 }));
        RarPpmModel model;
        int escape = 2;
        ASSERT_TRUE(model.initFromStream(&input.unpacker, escape));
        Input order1(block({ 0xA0, 0 }));
        EXPECT_FALSE(model.initFromStream(&order1.unpacker, escape));
        EXPECT_EQ(model.allocator.heap, nullptr);
        Input next(block({ 0x83 }));
        EXPECT_FALSE(model.initFromStream(&next.unpacker, escape));
        EXPECT_EQ(model.decodeByte(), -1);
    }

    // A header without the reset flag needs a model to continue.
    {
        Input input(block({ 0x83 }));
        RarPpmModel model;
        int escape = 2;
        EXPECT_FALSE(model.initFromStream(&input.unpacker, escape));
    }

    // The same memory byte again keeps the heap and restarts the model; 0x40 without 0x20
    // changes the escape byte and continues the model with a fresh range decoder.
    {
        Input first(block({ 0xA7, 2 }));
        RarPpmModel model;
        int escape = 2;
        ASSERT_TRUE(model.initFromStream(&first.unpacker, escape));
        ASSERT_EQ(decodeOurs(model, 500).size(), 500u);
        const u8* heap = model.allocator.heap;
        const u32 text = model.allocator.textPointer;
        EXPECT_GT(text, 0u);

        Input escapeOnly(block({ 0xC7, 7 }));
        ASSERT_TRUE(model.initFromStream(&escapeOnly.unpacker, escape));
        EXPECT_EQ(escape, 7);
        EXPECT_EQ(model.allocator.textPointer, text);
        EXPECT_EQ(escapeOnly.unpacker.input.bytePos, 6u);

        Input again(block({ 0xA7, 2 }));
        ASSERT_TRUE(model.initFromStream(&again.unpacker, escape));
        EXPECT_EQ(model.allocator.heap, heap);
        EXPECT_EQ(model.allocator.textPointer, 0u);
        EXPECT_EQ(model.minContext->symbolCount(), 256u);
        EXPECT_EQ(model.minContext->totalFrequency(), 257u);
    }
}

TEST(RarPpmd, AHeapThatCannotBeHadEndsTheMember)
{
    // A PPM block asking for 64 MiB: with the heap the member decodes; without it the member
    // ends at once, short, and says so.
    const std::vector<u8> text = sampleData(20000, 8);
    ReferenceEncoder encoder(orderOf(5), 64);
    ASSERT_TRUE(encoder.ok());
    for (u8 b : text)
    {
        encoder.encode(b);
        if (b == 2)
            encoder.encode(1);
    }
    encoder.encode(2);
    encoder.encode(2);
    std::vector<u8> packed = { 0x80 | 0x20 | 0x05, 63 };
    const std::vector<u8> stream = encoder.endBlock();
    packed.insert(packed.end(), stream.begin(), stream.end());

    for (const u32 limit : { 256u, 32u })
    {
        SCOPED_TRACE(limit);
        RarMemoryIO io;
        io.packed = packed.data();
        io.packedReadable = io.packedUnconsumed = packed.size();
        std::vector<u8> out(text.size());
        io.destination = out.data();
        io.destinationFree = out.size();
        RarUnpacker unpacker(&io);
        unpacker.ppmLimitMegabytes = limit;
        unpacker.init();
        unpacker.destUnpSize = s64(out.size());
        unpacker.unpack(29, false);
        if (limit == 256)
        {
            EXPECT_EQ(io.totalStored, text.size());
            EXPECT_TRUE(out == text);
        }
        else
            EXPECT_EQ(io.totalStored, 0u);
    }
}

TEST(RarPpmd, DamagedBlocksEndWithAnErrorThroughTheMapper)
{
    // Packed RAR 4 members holding a PPM block: the largest heap with garbage, every order
    // with garbage, and a block cut short. Each ends with an exception, never a crash.
    std::vector<std::vector<u8>> streams;
    for (u32 bits = 0; bits < 32; bits += 3)
    {
        std::vector<u8> s = { u8(0x80 | 0x20 | bits), u8(bits * 8 + 7) };
        const std::vector<u8> tail = randomBytes(3000, 100 + bits);
        s.insert(s.end(), tail.begin(), tail.end());
        streams.push_back(s);
    }
    streams.push_back({ 0xFF, 255 });       // largest heap, order 64, then nothing
    streams.push_back({ 0x80 | 0x05 });     // continues a model that does not exist
    streams.push_back(std::vector<u8>(64, 0xFF));

    for (std::size_t i = 0; i < streams.size(); ++i)
    {
        SCOPED_TRACE(i);
        rartest::Rar4File file("ppm.txt", streams[i]);
        file.method = '5';
        file.unpackedSize = 200000;
        file.crcFromData = false;
        file.crc = 0x12345678;
        const rartest::Bytes archive = rartest::rar4({ file });
        auto mapper = norva::filesystem::createMapperRAR(norva::ConstMemory(archive.data(), archive.size()), "");
        EXPECT_THROW(mapper->mmap("ppm.txt"), norva::Exception);
    }
}

TEST(RarPpmd, DecodesWhatTheReferenceModelEncodedThroughRestarts)
{
    // Text with binary bursts through small heaps: the text area and the units run out many
    // times, and every restart, merge of free blocks and halving must fall on the same
    // symbol as the encoder's.
    struct Case
    {
        u8 flags;
        u8 memory;
        u32 minRestarts;
    };
    const Case cases[] = { { 1, 0, 0 }, { 7, 0, 2 }, { 15, 0, 5 }, { 31, 0, 5 }, { 24, 1, 2 }, { 5, 9, 0 } };
    const std::vector<u8> data = sampleData(1500000, 21);
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "order bits " << int(c.flags) << ", memory byte " << int(c.memory));
        ReferenceEncoder encoder(orderOf(c.flags), c.memory + 1u);
        ASSERT_TRUE(encoder.ok());
        for (u8 b : data)
            encoder.encode(b);
        std::vector<u8> block = { u8(0x80 | 0x20 | c.flags), c.memory };
        const std::vector<u8> stream = encoder.endBlock();
        block.insert(block.end(), stream.begin(), stream.end());

        Input input(block);
        auto model = std::make_unique<RarPpmModel>();
        int escape = 2;
        ASSERT_TRUE(model->initFromStream(&input.unpacker, escape));
        const std::vector<int> out = decodeOurs(*model, data.size());
        ASSERT_EQ(out.size(), data.size());
        std::size_t same = 0;
        while (same < out.size() && out[same] == data[same])
            ++same;
        EXPECT_EQ(same, data.size()) << "first difference at byte " << same;
        EXPECT_GE(model->restarts, c.minRestarts);
    }
}

TEST(RarPpmd, MembersOfPpmBlocksWithEscapeCodes)
{
    // A member of three PPM blocks: the first starts the model, the second continues it with
    // another escape byte, the third restarts it. Inside them the escape codes: the escape
    // byte itself (1), a repeat of the last byte (5), a match (4), a new block (0), the end (2).
    const std::vector<u8> text = sampleData(300000, 5);
    std::vector<u8> expected;
    ReferenceEncoder encoder(orderOf(10), 2);
    ASSERT_TRUE(encoder.ok());
    std::vector<u8> packed;
    int escape = 2;

    auto literal = [&](u8 b) {
        encoder.encode(b);
        if (b == escape)
            encoder.encode(1);
        expected.push_back(b);
    };
    auto endBlock = [&](int code) {
        encoder.encode(escape);
        encoder.encode(code);
        const std::vector<u8> stream = encoder.endBlock();
        packed.insert(packed.end(), stream.begin(), stream.end());
    };

    packed = { 0x80 | 0x20 | 10, 1 };
    encoder.startBlock();
    for (std::size_t i = 0; i < 100000; ++i)
        literal(text[i]);
    // repeat the last byte 4 + 9 times; copy 32 + 3 bytes from 1000 + 2 back
    encoder.encode(escape);
    encoder.encode(5);
    encoder.encode(9);
    expected.insert(expected.end(), 13, expected.back());
    encoder.encode(escape);
    encoder.encode(4);
    for (u8 b : { 0, 3, 0xE8, 3 })
        encoder.encode(b);
    for (int i = 0; i < 35; ++i)
        expected.push_back(expected[expected.size() - 1002]);
    endBlock(0);

    packed.push_back(0x80 | 0x40 | 10); // continue, escape byte 'e'
    packed.push_back('e');
    escape = 'e';
    encoder.startBlock();
    for (std::size_t i = 100000; i < 200000; ++i)
        literal(text[i]);
    endBlock(0);

    // a restart over the same heap (same memory byte), order 4
    packed.push_back(0x80 | 0x20 | 3);
    packed.push_back(1);
    ReferenceEncoder restarted(orderOf(3), 2);
    encoder.~ReferenceEncoder();
    new (&encoder) ReferenceEncoder(orderOf(3), 2);
    encoder.startBlock();
    for (std::size_t i = 200000; i < text.size(); ++i)
        literal(text[i]);
    endBlock(2);

    std::vector<u8> out(expected.size());
    const RarDecompressResult r = rar_decompress(out.data(), packed.data(), out.size(), packed.size(), 29);
    EXPECT_EQ(r.failure, nullptr);
    ASSERT_EQ(r.stored, expected.size());
    EXPECT_TRUE(out == expected);
}
