// The RAR 2.9 decoder (unpack versions 29 and 36): Huffman-coded LZ blocks into the
// window, PPM blocks through the model's hooks, and filters registered with the filter
// machine and run over window areas as they are flushed.

#include <algorithm>
#include <cstring>

#include <norva/core/endian.hpp>

#include "archive/rar/rar_unpack.hpp"

namespace norva::filesystem::rar
{
    namespace
    {
        constexpr u32 NC = 299;  // main table: literals, end, filter, repeats, lengths
        constexpr u32 DC = 60;   // distance slots
        constexpr u32 LDC = 17;  // low distance bits
        constexpr u32 RC = 28;   // repeat lengths
        constexpr u32 BC = 20;   // bit-length code
        constexpr u32 TABLE_SIZE = NC + DC + LDC + RC;

    } // namespace

    // --------------------------------------------------------------------------------------
    // Huffman tables
    // --------------------------------------------------------------------------------------

    void makeDecodeTables(const u8* lengths, RarDecodeTable& table, u32 size)
    {
        u32 count[16] = {};
        for (u32 i = 0; i < size; ++i)
            count[lengths[i] & 15]++;
        count[0] = 0;

        table.maxNum = size;
        std::memset(table.decodeNum, 0, sizeof(table.decodeNum));
        table.decodeLen[0] = 0;
        table.decodePos[0] = 0;
        u32 upper = 0;
        for (u32 length = 1; length < 16; ++length)
        {
            upper += count[length];
            table.decodeLen[length] = upper << (16 - length);
            upper *= 2;
            table.decodePos[length] = table.decodePos[length - 1] + count[length - 1];
        }

        u32 next[16];
        std::memcpy(next, table.decodePos, sizeof(next));
        for (u32 symbol = 0; symbol < size; ++symbol)
        {
            const u32 length = lengths[symbol] & 15;
            if (length)
                table.decodeNum[next[length]++] = u16(symbol);
        }

        table.quickBits = (size == 298 || size == 299) ? 10 : 7;
        const u32 quickSize = 1u << table.quickBits;
        u32 length = 1;
        for (u32 code = 0; code < quickSize; ++code)
        {
            const u32 field = code << (16 - table.quickBits);
            while (length < 16 && field >= table.decodeLen[length])
                ++length;
            table.quickLen[code] = u8(length);
            // Codes beyond an incomplete code's space decode as symbol 0; the decoder only
            // takes quick entries below decodeLen[quickBits] anyway.
            u32 p = 0;
            if (length < 16)
            {
                const u32 distance = (field - table.decodeLen[length - 1]) >> (16 - length);
                p = table.decodePos[length] + distance;
            }
            table.quickNum[code] = (length < 16 && p < size) ? table.decodeNum[p] : 0;
        }
    }

    u32 RarUnpacker::decodeNumber(const RarDecodeTable& table)
    {
        const u32 field = input.peekBits() & 0xFFFE;
        if (field < table.decodeLen[table.quickBits])
        {
            const u32 code = field >> (16 - table.quickBits);
            input.addBits(table.quickLen[code]);
            return table.quickNum[code];
        }
        u32 bits = 15;
        for (u32 length = table.quickBits + 1; length < 15; ++length)
        {
            if (field < table.decodeLen[length])
            {
                bits = length;
                break;
            }
        }
        input.addBits(bits);
        const u32 distance = (field - table.decodeLen[bits - 1]) >> (16 - bits);
        const u32 p = table.decodePos[bits] + distance;
        return table.decodeNum[p < table.maxNum ? p : 0];
    }

    // --------------------------------------------------------------------------------------
    // State
    // --------------------------------------------------------------------------------------

    void RarUnpacker::resetState(bool solid)
    {
        if (!solid)
        {
            tablesRead = false;
            std::memset(oldDist, 0, sizeof(oldDist));
            lastLength = 0;
            lowDistRepCount = 0;
            prevLowDist = 0;
            std::memset(oldTable29, 0, sizeof(oldTable29));
            for (RarDecodeTable* table : { &mainTable29, &distTable29, &lowDistTable29, &repTable29, &bitLenTable29 })
                *table = RarDecodeTable();
            unpPtr = 0;
            wrPtr = 0;
            ppmEscChar = 2;
            blockType = BLOCK_LZ;
            initFilters();

            lastDist = 0;
            audioBlock = false;
            channels = 1;
            currentChannel = 0;
            channelDelta = 0;
            for (AudioChannelState& state : audioState)
                state = AudioChannelState();
            std::memset(keptLengths20, 0, sizeof(keptLengths20));
            for (RarDecodeTable& table : audioTables20)
                table = RarDecodeTable();
        }
        input.reset();
        writtenFileSize = 0;
        readTop = 0;
        readBorder = 0;
    }

    void RarUnpacker::initFilters()
    {
        oldFilterLengths.clear();
        lastFilter = 0;
        filters.clear();
        filterStack.clear();
    }

    // --------------------------------------------------------------------------------------
    // Tables of a block
    // --------------------------------------------------------------------------------------

    bool RarUnpacker::readTables29()
    {
        if (s32(input.bytePos) > readTop - 25 && !refillInput())
            return false;
        input.addBits((8 - input.bitPos) & 7);
        const u32 field = input.peekBits();
        if (field & 0x8000)
        {
            blockType = BLOCK_PPM;
            return initPpm();
        }
        blockType = BLOCK_LZ;
        prevLowDist = 0;
        lowDistRepCount = 0;
        if (!(field & 0x4000))
            std::memset(oldTable29, 0, sizeof(oldTable29));
        input.addBits(2);

        u8 bitLength[BC];
        for (u32 i = 0; i < BC; ++i)
        {
            const u32 length = input.peekBits() >> 12;
            input.addBits(4);
            if (length == 15)
            {
                u32 zeros = input.peekBits() >> 12;
                input.addBits(4);
                if (zeros == 0)
                    bitLength[i] = 15;
                else
                {
                    zeros += 2;
                    while (zeros-- > 0 && i < BC)
                        bitLength[i++] = 0;
                    --i;
                }
            }
            else
                bitLength[i] = u8(length);
        }
        makeDecodeTables(bitLength, bitLenTable29, BC);

        u8 table[TABLE_SIZE];
        for (u32 i = 0; i < TABLE_SIZE;)
        {
            if (s32(input.bytePos) > readTop - 5 && !refillInput())
                return false;
            const u32 number = decodeNumber(bitLenTable29);
            if (number < 16)
            {
                table[i] = u8((number + oldTable29[i]) & 15);
                ++i;
            }
            else
            {
                u32 n;
                if (number == 16 || number == 18)
                {
                    n = (input.peekBits() >> 13) + 3;
                    input.addBits(3);
                }
                else
                {
                    n = (input.peekBits() >> 9) + 11;
                    input.addBits(7);
                }
                // A repeat at the very first length has nothing before it: it repeats 0.
                const u8 value = (number < 18 && i > 0) ? table[i - 1] : 0;
                while (n-- > 0 && i < TABLE_SIZE)
                    table[i++] = value;
            }
        }
        tablesRead = true;
        if (s32(input.bytePos) > readTop)
            return false;
        makeDecodeTables(table, mainTable29, NC);
        makeDecodeTables(table + NC, distTable29, DC);
        makeDecodeTables(table + NC + DC, lowDistTable29, LDC);
        makeDecodeTables(table + NC + DC + LDC, repTable29, RC);
        std::memcpy(oldTable29, table, sizeof(oldTable29));
        return true;
    }

    bool RarUnpacker::readEndOfBlock29()
    {
        const u32 field = input.peekBits();
        bool newTable;
        bool newFile = false;
        if (field & 0x8000)
        {
            newTable = true;
            input.addBits(1);
        }
        else
        {
            newFile = true;
            newTable = (field & 0x4000) != 0;
            input.addBits(2);
        }
        tablesRead = !newTable;
        if (newFile)
            return false;
        return readTables29();
    }

    // --------------------------------------------------------------------------------------
    // Matches
    // --------------------------------------------------------------------------------------

    void RarUnpacker::copyMatch29(u32 length, u32 distance)
    {
        const u32 source = unpPtr - distance;
        // Fast path only where neither end needs wrapping.
        if (distance <= unpPtr && u64(unpPtr) + length <= WINDOW_SIZE)
        {
            u8* dest = window + unpPtr;
            const u8* src = window + source;
            unpPtr += length;
            if (distance >= length)
            {
                std::memcpy(dest, src, length);
            }
            else if (distance >= 8)
            {
                // Each group of 8 reads only bytes written before it.
                u32 i = 0;
                for (; i + 8 <= length; i += 8)
                    std::memcpy(dest + i, src + i, 8);
                for (; i < length; ++i)
                    dest[i] = src[i];
            }
            else
            {
                for (u32 i = 0; i < length; ++i)
                    dest[i] = src[i];
            }
            return;
        }
        u32 s = source;
        for (u32 i = 0; i < length; ++i)
        {
            window[unpPtr] = window[s++ & WINDOW_MASK];
            unpPtr = (unpPtr + 1) & WINDOW_MASK;
        }
    }

    void RarUnpacker::pushOldDistance(u32 distance)
    {
        oldDist[3] = oldDist[2];
        oldDist[2] = oldDist[1];
        oldDist[1] = oldDist[0];
        oldDist[0] = distance;
    }

    // --------------------------------------------------------------------------------------
    // Filters
    // --------------------------------------------------------------------------------------

    bool RarUnpacker::readFilterCode()
    {
        const u32 firstByte = input.peekBits() >> 8;
        input.addBits(8);
        u32 length = (firstByte & 7) + 1;
        if (length == 7)
        {
            length = (input.peekBits() >> 8) + 7;
            input.addBits(8);
        }
        else if (length == 8)
        {
            length = input.peekBits();
            input.addBits(16);
        }
        if (length == 0)
            return false;
        std::vector<u8> code(length);
        for (u32 i = 0; i < length; ++i)
        {
            if (s32(input.bytePos) >= readTop - 1 && !refillInput() && i < length - 1)
                return false;
            code[i] = u8(input.peekBits() >> 8);
            input.addBits(8);
        }
        return addFilter(firstByte, code.data(), length);
    }

    bool RarUnpacker::readPpmFilterCode()
    {
        const int firstByte = decodePpmByte();
        if (firstByte == -1)
            return false;
        u32 length = (u32(firstByte) & 7) + 1;
        if (length == 7)
        {
            const int next = decodePpmByte();
            if (next == -1)
                return false;
            length = u32(next) + 7;
        }
        else if (length == 8)
        {
            const int high = decodePpmByte();
            if (high == -1)
                return false;
            const int low = decodePpmByte();
            if (low == -1)
                return false;
            length = u32(high) * 256 + u32(low);
        }
        if (length == 0)
            return false;
        std::vector<u8> code(length);
        for (u32 i = 0; i < length; ++i)
        {
            const int byte = decodePpmByte();
            if (byte == -1)
                return false;
            code[i] = u8(byte);
        }
        return addFilter(u32(firstByte), code.data(), length);
    }

    bool RarUnpacker::addFilter(u32 firstByte, const u8* code, u32 length)
    {
        RarBitReader& reader = filterCodeReader;
        reader.load(code, length);
        vm.init();

        u32 number;
        if (firstByte & 0x80)
        {
            number = readData(reader);
            if (number == 0)
                initFilters();
            else
                --number;
        }
        else
            number = lastFilter;

        if (number > filters.size() || number > oldFilterLengths.size())
            return false;
        lastFilter = number;
        const bool newFilter = number == filters.size();

        if (newFilter)
        {
            if (number > MAX_FILTERS)
                return false;
            filters.push_back(std::make_unique<RarFilter>());
            oldFilterLengths.push_back(0);
        }
        else
            filters[number]->execCount++;
        RarFilter& parent = *filters[number];

        // Compact the pending list, then take its first free place.
        std::size_t used = 0;
        for (std::size_t i = 0; i < filterStack.size(); ++i)
        {
            if (filterStack[i])
                filterStack[used++] = std::move(filterStack[i]);
        }
        if (used == filterStack.size())
        {
            if (filterStack.size() >= MAX_PENDING_FILTERS)
            {
                failure = "too many pending filters";
                return false;
            }
            filterStack.emplace_back();
        }
        filterStack[used] = std::make_unique<RarFilter>();
        RarFilter& entry = *filterStack[used];
        entry.parentFilter = number;
        entry.execCount = parent.execCount;

        u32 blockStart = readData(reader);
        if (firstByte & 0x40)
            blockStart += 258;
        entry.blockStart = (blockStart + unpPtr) & WINDOW_MASK;
        if (firstByte & 0x20)
        {
            entry.blockLength = readData(reader);
            oldFilterLengths[number] = entry.blockLength;
        }
        else
            entry.blockLength = number < oldFilterLengths.size() ? oldFilterLengths[number] : 0;
        entry.nextWindow = wrPtr != unpPtr && ((wrPtr - unpPtr) & WINDOW_MASK) <= blockStart;

        u32* initR = entry.program.initR;
        std::memset(initR, 0, sizeof(entry.program.initR));
        initR[3] = VM_GLOBALADDR;
        initR[4] = entry.blockLength;
        initR[5] = entry.execCount;
        if (firstByte & 0x10)
        {
            const u32 mask = reader.peekBits() >> 9;
            reader.addBits(7);
            for (u32 i = 0; i < 7; ++i)
            {
                if (mask & (1u << i))
                    initR[i] = readData(reader);
            }
        }

        if (newFilter)
        {
            const u32 codeSize = readData(reader);
            if (codeSize >= 0x10000 || codeSize == 0)
                return false;
            std::vector<u8> bytecode(codeSize);
            for (u32 i = 0; i < codeSize; ++i)
            {
                if (reader.overflow(3))
                    return false;
                bytecode[i] = u8(reader.peekBits() >> 8);
                reader.addBits(8);
            }
            vm.prepare(bytecode.data(), codeSize, parent.program);
        }

        const std::size_t staticSize = parent.program.staticData.size();
        if (staticSize > 0 && staticSize < VM_GLOBALSIZE)
            entry.program.staticData = parent.program.staticData;

        std::vector<u8>& global = entry.program.globalData;
        if (global.size() < VM_FIXEDGLOBALSIZE)
            global.assign(VM_FIXEDGLOBALSIZE, 0);
        for (u32 i = 0; i < 7; ++i)
            storeLE32(global.data() + i * 4, initR[i]);
        storeLE32(global.data() + 0x1C, entry.blockLength);
        storeLE32(global.data() + 0x20, 0);
        storeLE32(global.data() + 0x2C, entry.execCount);
        std::memset(global.data() + 0x30, 0, 16);

        if (firstByte & 8)
        {
            if (reader.overflow(3))
                return false;
            const u32 dataSize = readData(reader);
            if (dataSize > VM_GLOBALSIZE - VM_FIXEDGLOBALSIZE)
                return false;
            if (global.size() < dataSize + VM_FIXEDGLOBALSIZE)
                global.resize(dataSize + VM_FIXEDGLOBALSIZE);
            for (u32 i = 0; i < dataSize; ++i)
            {
                if (reader.overflow(3))
                    return false;
                global[VM_FIXEDGLOBALSIZE + i] = u8(reader.peekBits() >> 8);
                reader.addBits(8);
            }
        }
        return true;
    }

    // Runs one pending entry with its parent's commands, carrying the parent's kept global
    // data in and the program's kept data back out.
    void RarUnpacker::runFilter(RarFilter& entry)
    {
        RarFilter& parent = *filters[entry.parentFilter];
        RarPreparedProgram& program = entry.program;
        RarPreparedProgram& parentProgram = parent.program;

        if (parentProgram.globalData.size() > VM_FIXEDGLOBALSIZE)
        {
            program.globalData.resize(parentProgram.globalData.size());
            std::copy(parentProgram.globalData.begin() + VM_FIXEDGLOBALSIZE, parentProgram.globalData.end(),
                      program.globalData.begin() + VM_FIXEDGLOBALSIZE);
        }

        if (!program.globalData.empty())
        {
            program.initR[6] = u32(writtenFileSize);
            storeLE32(program.globalData.data() + 0x24, u32(writtenFileSize));
            storeLE32(program.globalData.data() + 0x28, u32(writtenFileSize >> 32));
            if (!vm.execute(program, parentProgram.commands) && vm.memberBudget == 0 && !failure)
                failure = "filter programs ran out of their instruction budget";
        }

        if (program.globalData.size() > VM_FIXEDGLOBALSIZE)
        {
            if (parentProgram.globalData.size() < program.globalData.size())
                parentProgram.globalData.resize(program.globalData.size());
            std::copy(program.globalData.begin() + VM_FIXEDGLOBALSIZE, program.globalData.end(),
                      parentProgram.globalData.begin() + VM_FIXEDGLOBALSIZE);
        }
        else
            parentProgram.globalData.clear();
    }

    void RarUnpacker::writeBuffer29()
    {
        u32 border = wrPtr;
        u32 size = (unpPtr - border) & WINDOW_MASK;
        for (std::size_t i = 0; i < filterStack.size(); ++i)
        {
            RarFilter* entry = filterStack[i].get();
            if (!entry)
                continue;
            if (entry->nextWindow)
            {
                entry->nextWindow = false;
                continue;
            }
            const u32 start = entry->blockStart;
            const u32 length = entry->blockLength;
            if (((start - border) & WINDOW_MASK) >= size)
                continue;

            if (border != start)
            {
                writeArea(border, start);
                border = start;
                size = (unpPtr - border) & WINDOW_MASK;
            }
            if (length > size)
            {
                // The block is not complete yet: write up to it and run it next time.
                for (std::size_t j = i; j < filterStack.size(); ++j)
                {
                    if (filterStack[j])
                        filterStack[j]->nextWindow = false;
                }
                wrPtr = border;
                return;
            }

            // At most the machine's memory is copied; a block wrapping the window end
            // comes in two pieces.
            const u32 end = (start + length) & WINDOW_MASK;
            if (start < end || end == 0)
                vm.setMemory(0, window + start, length);
            else
            {
                const u32 first = WINDOW_SIZE - start;
                vm.setMemory(0, window + start, first);
                vm.setMemory(first, window, end);
            }

            runFilter(*entry);
            u32 outStart = entry->program.filteredStart;
            u32 outSize = entry->program.filteredSize;
            filterStack[i].reset();

            // Further filters on the same block take this one's output.
            while (i + 1 < filterStack.size())
            {
                RarFilter* next = filterStack[i + 1].get();
                if (!next || next->blockStart != start || next->blockLength != outSize || next->nextWindow)
                    break;
                vm.setMemory(0, vm.memory() + outStart, outSize);
                runFilter(*next);
                outStart = next->program.filteredStart;
                outSize = next->program.filteredSize;
                ++i;
                filterStack[i].reset();
            }

            emit(vm.memory() + outStart, outSize);
            border = end;
            size = (unpPtr - border) & WINDOW_MASK;
        }
        writeArea(border, unpPtr);
        wrPtr = unpPtr;
    }

    // --------------------------------------------------------------------------------------
    // PPM blocks
    // --------------------------------------------------------------------------------------

    int RarUnpacker::decodePpmByte()
    {
        const int c = ppmDecodeByte();
        if (c == -1)
        {
            resetPpm();
            blockType = BLOCK_LZ;
        }
        return c;
    }

    // --------------------------------------------------------------------------------------
    // The decoder
    // --------------------------------------------------------------------------------------

    void RarUnpacker::unpack29(bool solid)
    {
        resetState(solid);
        if (!refillInput())
            return;
        if ((!solid || !tablesRead) && !readTables29())
            return;

        for (;;)
        {
            unpPtr &= WINDOW_MASK;

            if (s32(input.bytePos) > readBorder && !refillInput())
                break;
            if (wrPtr != unpPtr && ((wrPtr - unpPtr) & WINDOW_MASK) < FLUSH_MARGIN)
            {
                writeBuffer29();
                if (s64(writtenFileSize) > destUnpSize || failure)
                    return;
            }

            if (blockType == BLOCK_PPM)
            {
                const int c = ppmDecodeByte();
                if (c == -1)
                {
                    resetPpm();
                    blockType = BLOCK_LZ;
                    break;
                }
                if (c != ppmEscChar)
                {
                    window[unpPtr++] = u8(c);
                    continue;
                }
                const int next = decodePpmByte();
                if (next == 0)
                {
                    if (!readTables29())
                        break;
                    continue;
                }
                if (next == -1 || next == 2)
                    break;
                if (next == 3)
                {
                    if (!readPpmFilterCode())
                        break;
                    continue;
                }
                if (next == 4)
                {
                    u32 distance = 0;
                    bool ok = true;
                    for (int i = 0; i < 3 && ok; ++i)
                    {
                        const int b = decodePpmByte();
                        ok = b != -1;
                        distance = (distance << 8) | u32(b & 0xFF);
                    }
                    const int l = ok ? decodePpmByte() : -1;
                    if (l == -1)
                        break;
                    copyMatch29(u32(l) + 32, distance + 2);
                    continue;
                }
                if (next == 5)
                {
                    const int l = decodePpmByte();
                    if (l == -1)
                        break;
                    copyMatch29(u32(l) + 4, 1);
                    continue;
                }
                window[unpPtr++] = u8(c); // any other code: the escape byte itself
                continue;
            }

            const u32 number = decodeNumber(mainTable29);
            if (number < 256)
            {
                window[unpPtr++] = u8(number);
                continue;
            }
            if (number >= 271)
            {
                const u32 n = number - 271;
                u32 length = lengthBase[n] + 3;
                if (const u32 bits = lengthBits[n])
                {
                    length += input.peekBits() >> (16 - bits);
                    input.addBits(bits);
                }

                const u32 slot = decodeNumber(distTable29);
                u32 distance = distanceTable.base[slot] + 1;
                if (const u32 bits = distanceTable.bits[slot])
                {
                    if (slot > 9)
                    {
                        if (bits > 4)
                        {
                            distance += (input.peekBits() >> (20 - bits)) << 4;
                            input.addBits(bits - 4);
                        }
                        if (lowDistRepCount > 0)
                        {
                            --lowDistRepCount;
                            distance += prevLowDist;
                        }
                        else
                        {
                            const u32 low = decodeNumber(lowDistTable29);
                            if (low == 16)
                            {
                                lowDistRepCount = 15;
                                distance += prevLowDist;
                            }
                            else
                            {
                                distance += low;
                                prevLowDist = low;
                            }
                        }
                    }
                    else
                    {
                        distance += input.peekBits() >> (16 - bits);
                        input.addBits(bits);
                    }
                }
                length += farLengthBonus(distance);
                pushOldDistance(distance);
                lastLength = length;
                copyMatch29(length, distance);
                continue;
            }
            if (number == 256)
            {
                if (!readEndOfBlock29())
                    break;
                continue;
            }
            if (number == 257)
            {
                if (!readFilterCode())
                    break;
                continue;
            }
            if (number == 258)
            {
                if (lastLength != 0)
                    copyMatch29(lastLength, oldDist[0]);
                continue;
            }
            if (number < 263)
            {
                const u32 k = number - 259;
                const u32 distance = oldDist[k];
                for (u32 i = k; i > 0; --i)
                    oldDist[i] = oldDist[i - 1];
                oldDist[0] = distance;

                const u32 r = decodeNumber(repTable29);
                u32 length = lengthBase[r] + 2;
                if (const u32 bits = lengthBits[r])
                {
                    length += input.peekBits() >> (16 - bits);
                    input.addBits(bits);
                }
                lastLength = length;
                copyMatch29(length, distance);
                continue;
            }
            // 263..270: short distances
            const u32 n = number - 263;
            u32 distance = shortBase[n] + 1;
            if (const u32 bits = shortBits[n])
            {
                distance += input.peekBits() >> (16 - bits);
                input.addBits(bits);
            }
            pushOldDistance(distance);
            lastLength = 2;
            copyMatch29(2, distance);
        }
        writeBuffer29();
    }

} // namespace norva::filesystem::rar
