// The RAR 1.5 decoder (unpack version 15): LZ77 without transmitted tables. Literals,
// distance places and flags bytes are coded with seven fixed prefix codes chosen by running
// averages, and each place is translated through an adaptive table that moves often used
// entries towards the short codes. The window flush here is shared with the 2.0 decoder.

#include <cstring>

#include "archive/rar/rar_unpack.hpp"

namespace norva::filesystem::rar
{
    namespace
    {
        // A fixed prefix code given as runs: values up to `last` have codes of `length` bits.
        struct CodeRun
        {
            u8 length;
            u16 last;
        };

        template <std::size_t N>
        RarDecodeTable makeFixedCode(const CodeRun (&runs)[N], u32 size)
        {
            u8 lengths[257] = {};
            u32 value = 0;
            for (const CodeRun& run : runs)
            {
                for (; value <= run.last; ++value)
                    lengths[value] = run.length;
            }
            RarDecodeTable table;
            makeDecodeTables(lengths, table, size);
            return table;
        }

        struct FixedCodes
        {
            RarDecodeTable place[5];
            RarDecodeTable lengthA;
            RarDecodeTable lengthB;
        };

        const FixedCodes& fixedCodes()
        {
            static const FixedCodes codes = [] {
                static constexpr CodeRun place0[] = { { 4, 7 }, { 5, 15 }, { 6, 23 }, { 7, 32 }, { 12, 256 } };
                static constexpr CodeRun place1[] = { { 5, 3 },   { 6, 43 },  { 7, 59 },  { 8, 75 },
                                                      { 9, 79 },  { 11, 126 }, { 12, 256 } };
                static constexpr CodeRun place2[] = { { 5, 1 },   { 6, 6 },   { 7, 52 },
                                                      { 8, 116 }, { 9, 232 }, { 10, 256 } };
                static constexpr CodeRun place3[] = { { 6, 1 }, { 7, 15 }, { 8, 217 }, { 9, 250 }, { 10, 256 } };
                static constexpr CodeRun place4[] = { { 8, 254 }, { 9, 256 } };
                static constexpr CodeRun lengthA[] = { { 2, 1 },   { 3, 2 },   { 4, 4 },  { 5, 6 },  { 6, 10 },
                                                       { 7, 15 },  { 8, 19 },  { 9, 23 }, { 10, 31 }, { 12, 255 } };
                static constexpr CodeRun lengthB[] = { { 3, 4 },   { 4, 6 },   { 5, 8 },   { 6, 12 },  { 7, 17 },
                                                       { 8, 21 },  { 9, 25 },  { 10, 33 }, { 11, 35 }, { 12, 255 } };
                FixedCodes c;
                c.place[0] = makeFixedCode(place0, 257);
                c.place[1] = makeFixedCode(place1, 257);
                c.place[2] = makeFixedCode(place2, 257);
                c.place[3] = makeFixedCode(place3, 257);
                c.place[4] = makeFixedCode(place4, 257);
                c.lengthA = makeFixedCode(lengthA, 256);
                c.lengthB = makeFixedCode(lengthB, 256);
                return c;
            }();
            return codes;
        }

        // Short-match codes: the top `length` bits of `bits`. Index 1 (list A) and 3 (list B)
        // grow by one bit while the toggle is set.
        struct ShortPattern
        {
            u8 bits;
            u8 length;
        };

        constexpr ShortPattern shortPatternsA[15] = {
            { 0x00, 1 }, { 0xA0, 3 }, { 0xD0, 4 }, { 0xE0, 4 }, { 0xF0, 5 }, { 0xF8, 6 }, { 0xFC, 7 }, { 0xFE, 8 },
            { 0xFF, 8 }, { 0xC0, 4 }, { 0x80, 4 }, { 0x90, 5 }, { 0x98, 6 }, { 0x9C, 6 }, { 0xB0, 4 },
        };
        constexpr ShortPattern shortPatternsB[15] = {
            { 0x00, 2 }, { 0x40, 3 }, { 0x60, 3 }, { 0xA0, 3 }, { 0xD0, 4 }, { 0xE0, 4 }, { 0xF0, 5 }, { 0xF8, 6 },
            { 0xFC, 6 }, { 0xC0, 4 }, { 0x80, 4 }, { 0x90, 5 }, { 0x98, 6 }, { 0x9C, 6 }, { 0xB0, 4 },
        };

        // Every count in a group of 32 places is reset to the group's rank, and the next
        // places of counts 0..6 point at the groups.
        void rescale(u16* table, u8* next)
        {
            for (u32 g = 0; g < 8; ++g)
            {
                for (u32 i = 0; i < 32; ++i)
                    table[g * 32 + i] = u16((table[g * 32 + i] & 0xFF00) | (7 - g));
            }
            std::memset(next, 0, 256);
            for (u32 k = 0; k < 7; ++k)
                next[k] = u8((7 - k) * 32);
        }

        // Counts a use of place p and moves its entry to the next place of its new count;
        // returns the entry (its value in the high byte).
        u32 promote(u16* table, u8* next, u32 p, bool literal)
        {
            for (;;)
            {
                u32 e = table[p];
                const u32 q = next[e & 0xFF];
                next[e & 0xFF] = u8(next[e & 0xFF] + 1);
                e += 1;
                const bool full = literal ? (e & 0xFF) > 0xA1 : (e & 0xFF) == 0;
                if (full)
                {
                    rescale(table, next);
                    continue;
                }
                table[p] = table[q];
                table[q] = u16(e);
                return e;
            }
        }

    } // namespace

    // --------------------------------------------------------------------------------------
    // State
    // --------------------------------------------------------------------------------------

    void RarUnpacker::initTables15()
    {
        for (u32 i = 0; i < 256; ++i)
        {
            literalTable[i] = u16(i << 8);
            shortDistTable[i] = u16(i);
            longDistTable[i] = u16(i << 8);
            flagTable[i] = u16(((256 - i) & 0xFF) << 8);
        }
        std::memset(literalNext, 0, sizeof(literalNext));
        std::memset(longDistNext, 0, sizeof(longDistNext));
        std::memset(flagNext, 0, sizeof(flagNext));
        rescale(longDistTable, longDistNext);
    }

    void RarUnpacker::resetState15()
    {
        avgLiteralPlace = 0x3500;
        farMatchThreshold = 0x2001;
        literalWeight = 0x80;
        longMatchWeight = 0x80;
        avgLongDistPlace = 0;
        avgShortLength = 0;
        avgLongLength = 0;
        avgLongZeroLength = 0;
        shortCodeToggle = 0;
        literalRun = 0;
    }

    // --------------------------------------------------------------------------------------
    // Window flush, shared with 2.0
    // --------------------------------------------------------------------------------------

    void RarUnpacker::flushWindow()
    {
        if (unpPtr >= wrPtr)
            emit(window + wrPtr, unpPtr - wrPtr, memberSize);
        else
        {
            emit(window + wrPtr, WINDOW_SIZE - wrPtr, memberSize);
            emit(window, unpPtr, memberSize);
        }
        wrPtr = unpPtr;
    }

    bool RarUnpacker::startItem()
    {
        unpPtr &= WINDOW_MASK;
        if (s32(input.bytePos) > readTop - 30 && !refillInput())
            return false;
        // no item writes more than the margin
        if (wrPtr != unpPtr && ((wrPtr - unpPtr) & WINDOW_MASK) < FLUSH_MARGIN)
            flushWindow();
        return true;
    }

    // --------------------------------------------------------------------------------------
    // Items
    // --------------------------------------------------------------------------------------

    void RarUnpacker::copyMatch15(u32 distance, u32 length)
    {
        destUnpSize -= length;
        u32 source = unpPtr - distance;
        for (u32 i = 0; i < length; ++i)
        {
            window[unpPtr] = window[source++ & WINDOW_MASK];
            unpPtr = (unpPtr + 1) & WINDOW_MASK;
        }
    }

    void RarUnpacker::recordMatch15(u32 distance, u32 length)
    {
        pushOldDistance(distance);
        lastLength = length;
        lastDist = distance;
        copyMatch15(distance, length);
    }

    bool RarUnpacker::readFlags15()
    {
        const u32 p = decodeNumber(fixedCodes().place[2]);
        // Place 256 has no entry: only a damaged stream codes it, which ends the member as
        // the end of the input would.
        if (p > 255)
        {
            flagsDamaged = true;
            return false;
        }
        flagBits = promote(flagTable, flagNext, p, false) >> 8;
        return true;
    }

    // The next flag bit, or -1 when the flags byte could not be read.
    int RarUnpacker::takeFlag15()
    {
        if (--flagBitsLeft < 0)
        {
            if (!readFlags15())
                return -1;
            flagBitsLeft = 7;
        }
        const int flag = (flagBits & 0x80) ? 1 : 0;
        flagBits <<= 1;
        return flag;
    }

    void RarUnpacker::decodeLiteral15()
    {
        const FixedCodes& codes = fixedCodes();
        u32 code;
        if (avgLiteralPlace > 0x75FF)
            code = 4;
        else if (avgLiteralPlace > 0x5DFF)
            code = 3;
        else if (avgLiteralPlace > 0x35FF)
            code = 2;
        else if (avgLiteralPlace > 0x0DFF)
            code = 1;
        else
            code = 0;
        const u32 v = decodeNumber(codes.place[code]);

        u32 p;
        if (streamMode)
        {
            if (v == 0)
            {
                // escape: back to flags mode, or a short match of 3 or 4 bytes
                const u32 b = input.peekBits();
                input.addBits(1);
                if (b & 0x8000)
                {
                    literalRun = 0;
                    streamMode = 0;
                    return;
                }
                const u32 length = (b & 0x4000) ? 4 : 3;
                input.addBits(1);
                const u32 d = decodeNumber(codes.place[2]);
                const u32 distance = (d << 5) | (input.peekBits() >> 11);
                input.addBits(5);
                copyMatch15(distance, length);
                return;
            }
            p = v - 1;
        }
        else
        {
            p = v & 0xFF;
            if (literalRun++ >= 16 && flagBitsLeft == 0)
                streamMode = 1;
        }

        avgLiteralPlace += p;
        avgLiteralPlace -= avgLiteralPlace >> 8;
        literalWeight += 16;
        if (literalWeight > 0xFF)
        {
            literalWeight = 0x90;
            longMatchWeight >>= 1;
        }
        window[unpPtr++] = u8(literalTable[p] >> 8);
        --destUnpSize;
        promote(literalTable, literalNext, p, true);
    }

    void RarUnpacker::decodeLongMatch15()
    {
        const FixedCodes& codes = fixedCodes();
        longMatchWeight += 16;
        literalRun = 0;
        if (longMatchWeight > 0xFF)
        {
            longMatchWeight = 0x90;
            literalWeight >>= 1;
        }

        const u32 oldAvgLongLength = avgLongLength;
        u32 n;
        if (avgLongLength >= 122)
            n = decodeNumber(codes.lengthB);
        else if (avgLongLength >= 64)
            n = decodeNumber(codes.lengthA);
        else
        {
            const u32 b = input.peekBits();
            if (b < 0x100)
            {
                n = b;
                input.addBits(16);
            }
            else
            {
                n = 0;
                while (!(b & (0x8000 >> n)))
                    ++n;
                input.addBits(n + 1);
            }
        }
        avgLongLength += n;
        avgLongLength -= avgLongLength >> 5;

        u32 v;
        if (avgLongDistPlace > 0x28FF)
            v = decodeNumber(codes.place[2]);
        else if (avgLongDistPlace > 0x6FF)
            v = decodeNumber(codes.place[1]);
        else
            v = decodeNumber(codes.place[0]);
        avgLongDistPlace += v;
        avgLongDistPlace -= avgLongDistPlace >> 8;

        const u32 e = promote(longDistTable, longDistNext, v & 0xFF, false);
        const u32 distance = ((e >> 8) << 7) | (input.peekBits() >> 9);
        input.addBits(7);

        const u32 oldAvgZero = avgLongZeroLength;
        if (n != 1 && n != 4)
        {
            if (n == 0 && distance <= farMatchThreshold)
            {
                avgLongZeroLength += 1;
                avgLongZeroLength -= avgLongZeroLength >> 8;
            }
            else if (avgLongZeroLength > 0)
                --avgLongZeroLength;
        }

        u32 length = n + 3;
        if (distance >= farMatchThreshold)
            ++length;
        if (distance <= 256)
            length += 8;

        if (oldAvgZero > 0xB0 || (avgLiteralPlace >= 0x2A00 && oldAvgLongLength < 0x40))
            farMatchThreshold = 0x7F00;
        else
            farMatchThreshold = 0x2001;

        recordMatch15(distance, length);
    }

    void RarUnpacker::decodeShortMatch15()
    {
        const FixedCodes& codes = fixedCodes();
        literalRun = 0;
        u32 b = input.peekBits();
        if (repeatCount == 2)
        {
            input.addBits(1);
            if (b & 0x8000)
            {
                copyMatch15(lastDist, lastLength);
                return;
            }
            b <<= 1;
            repeatCount = 0;
        }

        const ShortPattern* patterns = avgShortLength < 37 ? shortPatternsA : shortPatternsB;
        const u32 toggled = avgShortLength < 37 ? 1 : 3;
        const u32 byte = (b >> 8) & 0xFF;
        u32 k = 0;
        u32 bits = 8;
        for (; k < 15; ++k)
        {
            bits = patterns[k].length + (k == toggled ? shortCodeToggle : 0);
            if ((byte >> (8 - bits)) == (u32(patterns[k].bits) >> (8 - bits)))
                break;
        }
        if (k == 15)
            bits = 8; // unreachable: every byte matches one of the patterns
        input.addBits(bits);
        if (k == 15)
            return;

        if (k <= 8)
        {
            repeatCount = 0;
            avgShortLength += k;
            avgShortLength -= avgShortLength >> 4;
            const u32 p = decodeNumber(codes.place[2]) & 0xFF;
            const u32 d = shortDistTable[p];
            if (p > 0)
            {
                shortDistTable[p] = shortDistTable[p - 1];
                shortDistTable[p - 1] = u16(d);
            }
            recordMatch15(d + 1, k + 2);
            return;
        }
        if (k == 9)
        {
            ++repeatCount;
            copyMatch15(lastDist, lastLength);
            return;
        }
        if (k == 14)
        {
            repeatCount = 0;
            const u32 length = decodeNumber(codes.lengthB) + 5;
            const u32 distance = 0x8000 | (input.peekBits() >> 1);
            input.addBits(15);
            lastLength = length;
            lastDist = distance;
            copyMatch15(distance, length);
            return;
        }

        // 10..13: a recent distance, 10 the most recent
        repeatCount = 0;
        const u32 distance = oldDist[k - 10];
        const u32 v = decodeNumber(codes.lengthA);
        if (v == 255 && k == 10)
        {
            shortCodeToggle ^= 1;
            return;
        }
        u32 length = v + 2;
        if (distance > 256)
            ++length;
        if (distance >= farMatchThreshold)
            ++length;
        recordMatch15(distance, length);
    }

    // --------------------------------------------------------------------------------------
    // The decoder
    // --------------------------------------------------------------------------------------

    void RarUnpacker::unpack15(bool solid)
    {
        resetState(solid);
        if (!solid)
            resetState15();
        flagBits = 0;
        flagBitsLeft = 0;
        streamMode = 0;
        repeatCount = 0;
        flagsDamaged = false;
        memberSize = destUnpSize;
        refillInput();

        if (!solid)
        {
            initTables15();
            unpPtr = 0;
        }
        else
            unpPtr = wrPtr;

        --destUnpSize;
        if (destUnpSize >= 0)
        {
            if (readFlags15())
                flagBitsLeft = 8;
        }

        while (destUnpSize >= 0 && !flagsDamaged)
        {
            if (!startItem())
                break;
            if (streamMode)
            {
                decodeLiteral15();
                continue;
            }

            // 1 and 01 choose between a literal and a long match, whichever is weighted
            // more likely getting the shorter flag; 00 is a short match.
            int flag = takeFlag15();
            if (flag == 0)
            {
                flag = takeFlag15();
                if (flag == 0)
                {
                    decodeShortMatch15();
                    continue;
                }
                if (flag > 0)
                    flag = 2;
            }
            if (flag < 0)
                break;
            if ((flag == 1) == (longMatchWeight > literalWeight))
                decodeLongMatch15();
            else
                decodeLiteral15();
        }
        flushWindow();
    }

} // namespace norva::filesystem::rar
