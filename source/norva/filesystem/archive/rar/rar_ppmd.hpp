#pragma once

// PPMd variant H, the text model of RAR 2.9 blocks: the model (rar_ppmd.cpp), its range
// decoder and its unit allocator (rar_ppmd_alloc.cpp). The decoder must take every step the
// encoder took, including the moments its memory runs out, so the allocator's arithmetic is
// part of the format.
//
// Records live in one heap block and refer to each other by 32-bit offsets from its start
// (0 is none), so a unit is 12 bytes: a context, or two states. The memory size a stream
// asks for (1 to 256 MiB) is thus the heap's size, not the 1.67 times of 8-byte pointers.

#include <norva/core/endian.hpp>
#include <norva/core/memory.hpp>

namespace norva::filesystem::rar
{
    class RarUnpacker;
    class RarPpmModel;

    constexpr u32 PPM_UNIT_SIZE = 12;
    constexpr u32 PPM_INDEX_COUNT = 38;
    constexpr s32 PPM_MAX_ORDER = 64;
    constexpr u32 PPM_MAX_MEGABYTES = 256;

    // The records are byte arrays read through the endian helpers: they overlay each other
    // inside the heap (a context's one state, free-list links, merge headers), which only
    // byte-typed access may do.

    // 6 bytes: symbol, frequency, successor (a context, a text position, or 0).
    struct RarPpmState
    {
        u8 symbol;
        u8 frequency;
        u8 successorBytes[4];

        u32 successor() const { return loadLE32(successorBytes); }
        void setSuccessor(u32 offset) { storeLE32(successorBytes, offset); }
    };
    static_assert(sizeof(RarPpmState) == 6);

    // 12 bytes, one unit: symbol count; then either the total frequency and the state array
    // (two or more states) or the one state inline; then the suffix context.
    struct RarPpmContext
    {
        u8 symbolCountBytes[2];
        u8 totalFrequencyBytes[2];
        u8 statesBytes[4];
        u8 suffixBytes[4];

        u32 symbolCount() const { return loadLE16(symbolCountBytes); }
        void setSymbolCount(u32 n) { storeLE16(symbolCountBytes, u16(n)); }
        u32 totalFrequency() const { return loadLE16(totalFrequencyBytes); }
        void setTotalFrequency(u32 n) { storeLE16(totalFrequencyBytes, u16(n)); }
        u32 states() const { return loadLE32(statesBytes); }
        void setStates(u32 offset) { storeLE32(statesBytes, offset); }
        u32 suffix() const { return loadLE32(suffixBytes); }
        void setSuffix(u32 offset) { storeLE32(suffixBytes, offset); }
        RarPpmState* oneState() { return reinterpret_cast<RarPpmState*>(totalFrequencyBytes); }

        bool decodeUnmasked(RarPpmModel& model);
        bool decodeMasked(RarPpmModel& model);
        void halveFrequencies(RarPpmModel& model);
    };
    static_assert(sizeof(RarPpmContext) == PPM_UNIT_SIZE);

    struct RarSeeContext
    {
        u16 sum = 0;
        u8 shift = 0;
        u8 count = 0;

        void init(u32 value)
        {
            shift = 3;
            sum = u16(value << shift);
            count = 4;
        }

        u32 mean()
        {
            const u32 r = u32(sum) >> shift;
            sum = u16(sum - r);
            return r + (r == 0);
        }

        void update()
        {
            if (shift < 7 && --count == 0)
            {
                sum = u16(sum * 2);
                count = u8(3 << shift++);
            }
        }
    };

    // The carry-less range decoder of PPMd variant H, fed from the unpacker's input buffer.
    class RarRangeDecoder
    {
    public:
        void start(RarUnpacker* unpacker);

        // A count of `total` or more is damage: the caller fails on it. A range too small
        // to divide (only damaged models grow totals that large) gives such a count.
        u32 count(u32 total)
        {
            range /= total;
            return range ? (code - low) / range : total;
        }

        u32 binaryCount()
        {
            range >>= 14;
            return (code - low) / range;
        }

        void consume()
        {
            low += range * lowCount;
            range *= highCount - lowCount;
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
                code = (code << 8) | nextByte();
                range <<= 8;
                low <<= 8;
            }
        }

        u32 low = 0;
        u32 code = 0;
        u32 range = 0;
        u32 lowCount = 0;
        u32 highCount = 0;
        u32 scale = 0;

    private:
        u32 nextByte();

        RarUnpacker* input = nullptr;
    };

    class RarPpmAllocator : private NonCopyable
    {
    public:
        RarPpmAllocator();
        ~RarPpmAllocator();

        // A heap of `megabytes` (as coded, 1..256); false, with no heap, when it cannot be
        // had. The same size again keeps the heap.
        bool start(u32 megabytes);
        void stop();

        // Splits the heap into the text area and the units area and empties the free lists.
        void carve();

        u32 allocUnits(u32 units);
        u32 allocContext();
        u32 allocUnitsSlow(u32 index);
        u32 expandUnits(u32 block, u32 oldUnits);
        u32 shrinkUnits(u32 block, u32 oldUnits, u32 newUnits);
        void freeUnits(u32 block, u32 index) { push(block, index); }
        void splitBlock(u32 block, u32 oldIndex, u32 newIndex);
        void mergeFreeBlocks();

        u8* at(u32 offset) const { return heap + offset; }

        u32 memorySize = 0; // bytes as coded; 0 = no heap
        u8 indexToUnits[PPM_INDEX_COUNT];
        u8 unitsToIndex[128];
        u8 mergeCountdown = 0;
        u8* heap = nullptr; // offset 0 is the start of the text area
        u32 heapBytes = 0;
        u32 loUnit = 0;
        u32 hiUnit = 0;
        u32 unitsEnd = 0;
        u32 freeLists[PPM_INDEX_COUNT] = {};
        u32 textPointer = 0;
        u32 unitsStart = 0;
        u32 heapEnd = 0;
        u32 textLimit = 0;

        // Heaps above this are refused as a failed allocation would be (a test seam).
        u32 limitMegabytes = PPM_MAX_MEGABYTES;

    private:
        void push(u32 block, u32 index)
        {
            storeLE32(heap + block, freeLists[index]);
            freeLists[index] = block;
        }

        u32 pop(u32 index)
        {
            const u32 block = freeLists[index];
            freeLists[index] = loadLE32(heap + block);
            return block;
        }
    };

    class RarPpmModel : private NonCopyable
    {
    public:
        RarPpmModel();

        // A PPM block header at the unpacker's input position (byte aligned). False when
        // the model cannot run: no heap to continue, order 1, or a heap that could not be
        // had. `escapeChar` may be changed by the header.
        bool initFromStream(RarUnpacker* unpacker, int& escapeChar);

        // The next byte, or -1 when the data is damaged.
        int decodeByte();

        void startModel(s32 order);
        void restartModel();

        // Context and state records at heap offsets.
        RarPpmContext* context(u32 offset) const { return reinterpret_cast<RarPpmContext*>(allocator.at(offset)); }
        RarPpmState* state(u32 offset) const { return reinterpret_cast<RarPpmState*>(allocator.at(offset)); }
        u32 offsetOf(const void* record) const { return u32(static_cast<const u8*>(record) - allocator.heap); }

        RarSeeContext seeContexts[25][16];
        RarSeeContext dummySee;
        RarPpmContext* minContext = nullptr;
        RarPpmContext* maxContext = nullptr;
        RarPpmState* foundState = nullptr;
        s32 maskedCount = 0;
        s32 initEscape = 0;
        s32 orderFall = 0;
        s32 maxOrder = 0;
        s32 runLength = 0;
        s32 initRunLength = 0;
        u8 charMask[256];
        u8 seeIndex[256];
        u8 binaryCountIndex[256];
        u8 symbolHighFlag[256];
        u8 escapeCount = 0;
        u8 prevSuccess = 0;
        u8 lastHighFlag = 0;
        u16 binaryProbability[128][64];
        RarRangeDecoder decoder;
        RarPpmAllocator allocator;

        // Restarts since the model started (memory ran out); for tests.
        u32 restarts = 0;

    private:
        friend struct RarPpmContext;

        void update();
        u32 buildSuccessors(bool skip, RarPpmState* p1);
        bool decodeBinary(RarPpmContext* context);
        void clearMask();

        // A context or state array lies in the units area: above the text and in the heap.
        bool inUnits(u32 offset) const { return offset > allocator.textPointer && offset <= allocator.heapEnd; }
    };

} // namespace norva::filesystem::rar
