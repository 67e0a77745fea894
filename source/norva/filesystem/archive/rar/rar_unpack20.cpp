// The RAR 2.0 decoder (unpack versions 20 and 26): blocks opened by a table header whose
// Huffman code lengths are sent as differences from the previous header's. A block is LZ77
// (literals, new and recent distances) or audio: up to four interleaved 8-bit channels,
// each sample the error of an adaptive linear predictor.

#include <cstdlib>
#include <cstring>

#include "archive/rar/rar_unpack.hpp"

namespace norva::filesystem::rar
{
    namespace
    {
        constexpr u32 MAIN_SIZE = 298;   // literals, repeats, short matches, header, lengths
        constexpr u32 DIST_SIZE = 48;    // distance slots
        constexpr u32 REP_SIZE = 28;     // lengths of repeats at a recent distance
        constexpr u32 BITLEN_SIZE = 19;  // the code of the code lengths
        constexpr u32 AUDIO_SIZE = 257;  // sample deltas and the header symbol
        constexpr u32 LZ_LENGTHS = MAIN_SIZE + DIST_SIZE + REP_SIZE;

        // Reads `bits` (up to 16) as an unsigned number.
        u32 readBits(RarBitReader& input, u32 bits)
        {
            if (!bits)
                return 0;
            const u32 value = input.peekBits() >> (16 - bits);
            input.addBits(bits);
            return value;
        }

    } // namespace

    bool RarUnpacker::readTables20()
    {
        if (s32(input.bytePos) > readTop - 25 && !refillInput())
            return false;

        const u32 header = input.peekBits();
        audioBlock = (header & 0x8000) != 0;
        if (!(header & 0x4000))
            std::memset(keptLengths20, 0, sizeof(keptLengths20));
        input.addBits(2);

        u32 count;
        if (audioBlock)
        {
            channels = s32(((header >> 12) & 3) + 1);
            if (currentChannel >= channels)
                currentChannel = 0;
            input.addBits(2);
            count = u32(channels) * AUDIO_SIZE;
        }
        else
            count = LZ_LENGTHS;

        u8 bitLengths[BITLEN_SIZE];
        for (u8& length : bitLengths)
            length = u8(readBits(input, 4));
        makeDecodeTables(bitLengths, bitLenTable29, BITLEN_SIZE);

        u8 lengths[sizeof(keptLengths20)];
        for (u32 i = 0; i < count;)
        {
            if (s32(input.bytePos) > readTop - 5 && !refillInput())
                return false;
            const u32 code = decodeNumber(bitLenTable29);
            if (code < 16)
            {
                lengths[i] = u8((code + keptLengths20[i]) & 15);
                ++i;
            }
            else if (code == 16)
            {
                // A repeat of the previous length where there is none repeats 0.
                const u8 value = i > 0 ? lengths[i - 1] : 0;
                for (u32 r = 3 + readBits(input, 2); r > 0 && i < count; --r)
                    lengths[i++] = value;
            }
            else
            {
                u32 r = code == 17 ? 3 + readBits(input, 3) : 11 + readBits(input, 7);
                for (; r > 0 && i < count; --r)
                    lengths[i++] = 0;
            }
        }
        // Lengths read past the data: keep the tables, the main loop's refill then ends.
        if (s32(input.bytePos) > readTop)
            return true;

        if (audioBlock)
        {
            for (s32 c = 0; c < channels; ++c)
                makeDecodeTables(lengths + c * AUDIO_SIZE, audioTables20[c], AUDIO_SIZE);
        }
        else
        {
            makeDecodeTables(lengths, mainTable29, MAIN_SIZE);
            makeDecodeTables(lengths + MAIN_SIZE, distTable29, DIST_SIZE);
            makeDecodeTables(lengths + MAIN_SIZE + DIST_SIZE, repTable29, REP_SIZE);
        }
        std::memcpy(keptLengths20, lengths, count);
        return true;
    }

    void RarUnpacker::copyMatch20(u32 length, u32 distance)
    {
        pushOldDistance(distance);
        lastDist = distance;
        lastLength = length;
        destUnpSize -= length;

        u32 source = unpPtr - distance;
        if (source < WINDOW_SIZE - FLUSH_MARGIN && unpPtr < WINDOW_SIZE - FLUSH_MARGIN)
        {
            // neither end can wrap: lengths stay below the margin
            u8* dest = window + unpPtr;
            const u8* src = window + source;
            for (u32 i = 0; i < length; ++i)
                dest[i] = src[i];
            unpPtr += length;
            return;
        }
        for (u32 i = 0; i < length; ++i)
        {
            window[unpPtr] = window[source++ & WINDOW_MASK];
            unpPtr = (unpPtr + 1) & WINDOW_MASK;
        }
    }

    u8 RarUnpacker::decodeAudio20(u32 delta)
    {
        AudioChannelState& s = audioState[currentChannel];
        s.count++;
        s.D[3] = s.D[2];
        s.D[2] = s.D[1];
        s.D[1] = s.lastDelta - s.D[0];
        s.D[0] = s.lastDelta;

        const s32 predicted = ((8 * s.lastByte + s.K[0] * s.D[0] + s.K[1] * s.D[1] + s.K[2] * s.D[2] +
                                s.K[3] * s.D[3] + s.K[4] * channelDelta) >> 3) & 0xFF;
        const u32 byte = u32(predicted - s32(delta)) & 0xFF;

        // How far each nudged coefficient would have been off.
        const s32 e = s32(s8(u8(delta))) * 8;
        s.dif[0] += u32(std::abs(e));
        s.dif[1] += u32(std::abs(e - s.D[0]));
        s.dif[2] += u32(std::abs(e + s.D[0]));
        s.dif[3] += u32(std::abs(e - s.D[1]));
        s.dif[4] += u32(std::abs(e + s.D[1]));
        s.dif[5] += u32(std::abs(e - s.D[2]));
        s.dif[6] += u32(std::abs(e + s.D[2]));
        s.dif[7] += u32(std::abs(e - s.D[3]));
        s.dif[8] += u32(std::abs(e + s.D[3]));
        s.dif[9] += u32(std::abs(e - channelDelta));
        s.dif[10] += u32(std::abs(e + channelDelta));

        s.lastDelta = channelDelta = s32(s8(u8(byte - u32(s.lastByte))));
        s.lastByte = s32(byte);

        if ((s.count & 0x1F) == 0)
        {
            u32 smallest = s.dif[0];
            u32 m = 0;
            for (u32 i = 1; i < 11; ++i)
            {
                if (s.dif[i] < smallest)
                {
                    smallest = s.dif[i];
                    m = i;
                }
            }
            std::memset(s.dif, 0, sizeof(s.dif));
            if (m > 0)
            {
                s32& k = s.K[(m - 1) / 2];
                if (m & 1)
                {
                    if (k >= -16)
                        --k;
                }
                else if (k < 16)
                    ++k;
            }
        }
        return u8(byte);
    }

    void RarUnpacker::unpack20(bool solid)
    {
        resetState(solid);
        memberSize = destUnpSize;
        if (!refillInput())
            return;
        if (!solid && !readTables20())
            return;

        --destUnpSize;
        while (destUnpSize >= 0)
        {
            if (!startItem())
                break;

            if (audioBlock)
            {
                const u32 s = decodeNumber(audioTables20[currentChannel]);
                if (s == 256)
                {
                    if (!readTables20())
                        break;
                    continue;
                }
                window[unpPtr++] = decodeAudio20(s);
                if (++currentChannel == channels)
                    currentChannel = 0;
                --destUnpSize;
                continue;
            }

            const u32 s = decodeNumber(mainTable29);
            if (s < 256)
            {
                window[unpPtr++] = u8(s);
                --destUnpSize;
                continue;
            }
            if (s > 269)
            {
                const u32 k = s - 270;
                const u32 length = lengthBase[k] + 3 + readBits(input, lengthBits[k]);
                const u32 slot = decodeNumber(distTable29);
                const u32 distance = distanceTable.base[slot] + 1 + readBits(input, distanceTable.bits[slot]);
                copyMatch20(length + farLengthBonus(distance), distance);
                continue;
            }
            if (s == 269)
            {
                if (!readTables20())
                    break;
                continue;
            }
            if (s == 256)
            {
                copyMatch20(lastLength, lastDist);
                continue;
            }
            if (s < 261)
            {
                const u32 distance = oldDist[s - 257];
                const u32 slot = decodeNumber(repTable29);
                const u32 length = lengthBase[slot] + 2 + readBits(input, lengthBits[slot]);
                copyMatch20(length + (distance >= 0x101) + farLengthBonus(distance), distance);
                continue;
            }
            // 261..268: two bytes at a short distance
            const u32 k = s - 261;
            copyMatch20(2, shortBase[k] + 1 + readBits(input, shortBits[k]));
        }

        // A table header right at the end belongs to the next member of a solid archive.
        if (readTop >= s32(input.bytePos) + 5)
        {
            if (audioBlock)
            {
                if (decodeNumber(audioTables20[currentChannel]) == 256)
                    readTables20();
            }
            else if (decodeNumber(mainTable29) == 269)
                readTables20();
        }
        flushWindow();
    }

} // namespace norva::filesystem::rar
