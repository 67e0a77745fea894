// The unit allocator of the PPMd variant H model: one heap block holding a text area (the
// decoded bytes that successors may point into) and a units area carved into 12-byte units,
// handed out in 38 size classes with last-in first-out free lists. When the units run out
// the encoder's model restarted at exactly this moment, so every rule here, down to the
// order in which merged free blocks return to their lists, decides the output.

#include <cstdlib>
#include <cstring>

#include "archive/rar/rar_ppmd.hpp"

namespace norva::filesystem::rar
{
    namespace
    {
        constexpr u16 MERGE_STAMP = 0xFFFF;

        // Merge header written over free blocks while they are merged: stamp, unit count,
        // next, previous (one unit).
        u32 stampOf(const u8* heap, u32 block) { return loadLE16(heap + block); }
        u32 unitCountOf(const u8* heap, u32 block) { return loadLE16(heap + block + 2); }
        u32 nextOf(const u8* heap, u32 block) { return loadLE32(heap + block + 4); }
        u32 prevOf(const u8* heap, u32 block) { return loadLE32(heap + block + 8); }
        void setNext(u8* heap, u32 block, u32 next) { storeLE32(heap + block + 4, next); }
        void setPrev(u8* heap, u32 block, u32 prev) { storeLE32(heap + block + 8, prev); }

        void unlink(u8* heap, u32 block)
        {
            const u32 next = nextOf(heap, block);
            const u32 prev = prevOf(heap, block);
            setNext(heap, prev, next);
            setPrev(heap, next, prev);
        }

    } // namespace

    RarPpmAllocator::RarPpmAllocator()
    {
        // 1, 2, 3, 4 units; then steps of 2, 3 and 4 (4 classes each of the first two
        // steps, 26 of the last), up to 128 units
        u32 index = 0;
        u32 units = 1;
        for (; index < 4; ++index, units += 1)
            indexToUnits[index] = u8(units);
        for (++units; index < 8; ++index, units += 2)
            indexToUnits[index] = u8(units);
        for (++units; index < 12; ++index, units += 3)
            indexToUnits[index] = u8(units);
        for (++units; index < PPM_INDEX_COUNT; ++index, units += 4)
            indexToUnits[index] = u8(units);
        index = 0;
        for (u32 k = 0; k < 128; ++k)
        {
            index += indexToUnits[index] < k + 1;
            unitsToIndex[k] = u8(index);
        }
    }

    RarPpmAllocator::~RarPpmAllocator()
    {
        stop();
    }

    bool RarPpmAllocator::start(u32 megabytes)
    {
        const u32 size = megabytes << 20;
        if (memorySize == size && heap)
            return true;
        stop();
        if (megabytes == 0 || megabytes > limitMegabytes)
            return false;
        // Contents are not cleared: only what the model writes is read, and a 256 MiB heap
        // then costs only the pages it touches.
        const u32 bytes = (size / PPM_UNIT_SIZE + 2) * PPM_UNIT_SIZE;
        heap = static_cast<u8*>(std::malloc(bytes));
        if (!heap)
            return false;
        memorySize = size;
        heapBytes = bytes;
        heapEnd = bytes - PPM_UNIT_SIZE;
        return true;
    }

    void RarPpmAllocator::stop()
    {
        std::free(heap);
        heap = nullptr;
        memorySize = 0;
        heapBytes = 0;
    }

    void RarPpmAllocator::carve()
    {
        std::memset(freeLists, 0, sizeof(freeLists));
        textPointer = 0;
        const u32 size2 = PPM_UNIT_SIZE * (memorySize / 8 / PPM_UNIT_SIZE * 7);
        const u32 size1 = memorySize - size2;
        textLimit = size1;
        loUnit = unitsStart = (size1 / PPM_UNIT_SIZE + 1) * PPM_UNIT_SIZE;
        hiUnit = loUnit + size2 / PPM_UNIT_SIZE * PPM_UNIT_SIZE;
        unitsEnd = hiUnit;
        mergeCountdown = 0;
        // The merge looks at the unit after each free block: past the units area it finds a
        // word that is no merge stamp, as it does at the gap.
        storeLE16(heap + unitsEnd, 0);
    }

    u32 RarPpmAllocator::allocContext()
    {
        if (hiUnit != loUnit)
            return hiUnit -= PPM_UNIT_SIZE;
        if (freeLists[0])
            return pop(0);
        return allocUnitsSlow(0);
    }

    u32 RarPpmAllocator::allocUnits(u32 units)
    {
        const u32 index = unitsToIndex[units - 1];
        if (freeLists[index])
            return pop(index);
        const u32 bytes = indexToUnits[index] * PPM_UNIT_SIZE;
        if (hiUnit - loUnit >= bytes)
        {
            const u32 block = loUnit;
            loUnit += bytes;
            return block;
        }
        return allocUnitsSlow(index);
    }

    u32 RarPpmAllocator::allocUnitsSlow(u32 index)
    {
        if (mergeCountdown == 0)
        {
            mergeCountdown = 255;
            mergeFreeBlocks();
            if (freeLists[index])
                return pop(index);
        }
        for (u32 i = index + 1; i < PPM_INDEX_COUNT; ++i)
        {
            if (freeLists[i])
            {
                const u32 block = pop(i);
                splitBlock(block, i, index);
                return block;
            }
        }
        --mergeCountdown;
        // Last resort: units from the top of the text area.
        const u32 bytes = indexToUnits[index] * PPM_UNIT_SIZE;
        if (textLimit - textPointer > bytes)
        {
            textLimit -= bytes;
            unitsStart -= bytes;
            return unitsStart;
        }
        return 0;
    }

    void RarPpmAllocator::splitBlock(u32 block, u32 oldIndex, u32 newIndex)
    {
        u32 diff = indexToUnits[oldIndex] - indexToUnits[newIndex];
        u32 p = block + indexToUnits[newIndex] * PPM_UNIT_SIZE;
        u32 i = unitsToIndex[diff - 1];
        if (indexToUnits[i] != diff)
        {
            --i;
            push(p, i);
            p += indexToUnits[i] * PPM_UNIT_SIZE;
            diff -= indexToUnits[i];
        }
        push(p, unitsToIndex[diff - 1]);
    }

    u32 RarPpmAllocator::expandUnits(u32 block, u32 oldUnits)
    {
        const u32 i0 = unitsToIndex[oldUnits - 1];
        if (i0 == unitsToIndex[oldUnits])
            return block;
        const u32 grown = allocUnits(oldUnits + 1);
        if (grown)
        {
            std::memcpy(heap + grown, heap + block, oldUnits * PPM_UNIT_SIZE);
            push(block, i0);
        }
        return grown;
    }

    u32 RarPpmAllocator::shrinkUnits(u32 block, u32 oldUnits, u32 newUnits)
    {
        const u32 i0 = unitsToIndex[oldUnits - 1];
        const u32 i1 = unitsToIndex[newUnits - 1];
        if (i0 == i1)
            return block;
        if (freeLists[i1])
        {
            const u32 smaller = pop(i1);
            std::memcpy(heap + smaller, heap + block, newUnits * PPM_UNIT_SIZE);
            push(block, i0);
            return smaller;
        }
        splitBlock(block, i0, i1);
        return block;
    }

    void RarPpmAllocator::mergeFreeBlocks()
    {
        // The list head is the spare unit at the heap's end, which nothing allocates.
        const u32 head = heapEnd;
        setNext(heap, head, head);
        setPrev(heap, head, head);

        if (loUnit != hiUnit)
            heap[loUnit] = 0;

        for (u32 i = 0; i < PPM_INDEX_COUNT; ++i)
        {
            while (freeLists[i])
            {
                const u32 block = pop(i);
                // at the front
                const u32 next = nextOf(heap, head);
                setNext(heap, block, next);
                setPrev(heap, block, head);
                setPrev(heap, next, block);
                setNext(heap, head, block);
                storeLE16(heap + block, MERGE_STAMP);
                storeLE16(heap + block + 2, u16(indexToUnits[i]));
            }
        }

        for (u32 block = nextOf(heap, head); block != head; block = nextOf(heap, block))
        {
            for (;;)
            {
                const u32 units = unitCountOf(heap, block);
                const u32 neighbour = block + units * PPM_UNIT_SIZE;
                if (neighbour >= heapEnd || stampOf(heap, neighbour) != MERGE_STAMP)
                    break;
                const u32 total = units + unitCountOf(heap, neighbour);
                if (total >= 0x10000)
                    break;
                unlink(heap, neighbour);
                storeLE16(heap + block + 2, u16(total));
            }
        }

        for (u32 block = nextOf(heap, head); block != head; block = nextOf(heap, head))
        {
            unlink(heap, block);
            u32 units = unitCountOf(heap, block);
            for (; units > 128; units -= 128, block += 128 * PPM_UNIT_SIZE)
                push(block, PPM_INDEX_COUNT - 1);
            u32 i = unitsToIndex[units - 1];
            if (indexToUnits[i] != units)
            {
                --i;
                const u32 rest = units - indexToUnits[i];
                push(block + (units - rest) * PPM_UNIT_SIZE, rest - 1);
            }
            push(block, i);
        }
    }

} // namespace norva::filesystem::rar
