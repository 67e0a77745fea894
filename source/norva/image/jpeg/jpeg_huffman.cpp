// JPEG bit reader, Huffman tables and the Huffman MCU decoders.

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "jpeg_private.hpp"

namespace norva::jpeg
{
    // ----------------------------------------------------------------------
    // bit reader
    // ----------------------------------------------------------------------

    const u8* findFF(const u8* p, const u8* end)
    {
#if defined(__SSE2__)
        const __m128i ff = _mm_set1_epi8(char(0xFF));
        while (end - p >= 16)
        {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const u32 mask = u32(_mm_movemask_epi8(_mm_cmpeq_epi8(v, ff)));
            if (mask)
                return p + __builtin_ctz(mask);
            p += 16;
        }
#endif
        while (p < end && *p != 0xFF)
            ++p;
        return p;
    }

    void DecodeState::setData(const u8* begin, const u8* finish)
    {
        data = begin;
        end = finish;
        nextFF = findFF(begin, finish);
        start = begin;
        stuffed = 0;
        cache = 0;
        bits = 0;
        padding = 0;
    }

    void fillBits(DecodeState& state, int count)
    {
        const u8* p = state.data;
        const u8* end = state.end;
        u64 value = 0;
        int padding = 0;
        size_t stuffed = 0;

        for (int i = 0; i < count; ++i)
        {
            u32 x = 0;
            if (p < end)
            {
                x = *p;
                if (x != 0xFF)
                    ++p;
                else if (p + 1 >= end)
                    ++p;                // 0xFF as the very last byte is taken
                else if (p[1] == 0)
                {
                    p += 2;             // stuffed 0xFF
                    ++stuffed;
                }
                else
                {
                    x = 0;              // a marker: stay in front of it and feed zeros
                    padding += 8;
                }
            }
            else
            {
                padding += 8;
            }
            value = (value << 8) | x;
        }

        state.cache = (state.cache << (count * 8)) | value;
        state.bits += count * 8;
        // a decoder stops at the end of its data, so this stays small
        state.padding = std::min(state.padding + padding, 1 << 24);
        state.data = p;
        state.stuffed += stuffed;
        state.nextFF = findFF(p, end);
    }

    // ----------------------------------------------------------------------
    // Huffman tables
    // ----------------------------------------------------------------------

    HuffmanTable::HuffmanTable()
    {
        std::memset(counts, 0, sizeof(counts));
        std::memset(symbols, 0, sizeof(symbols));
        std::memset(lookupSize, 9, sizeof(lookupSize));
        std::memset(lookupValue, 0, sizeof(lookupValue));
        std::memset(fast, 0, sizeof(fast));
        for (int i = 0; i < 18; ++i)
        {
            maxcode[i] = -1;
            valueOffset[i] = 0;
        }
    }

    bool HuffmanTable::build()
    {
        int total = 0;
        for (int l = 1; l <= 16; ++l)
            total += counts[l];
        if (total > 256)
            return false;

        std::memset(lookupSize, 9, sizeof(lookupSize));
        std::memset(lookupValue, 0, sizeof(lookupValue));

        s32 code = 0;
        int index = 0;
        for (int l = 1; l <= 16; ++l)
        {
            const int n = counts[l];
            if (n)
            {
                valueOffset[l] = index - code;
                for (int i = 0; i < n; ++i)
                {
                    // the codes of this length must fit in it
                    if (code >= (1 << l))
                        return false;

                    if (l <= 8)
                    {
                        // every 8-bit prefix that begins with this code
                        const int shift = 8 - l;
                        const int first = code << shift;
                        for (int j = 0; j < (1 << shift); ++j)
                        {
                            lookupSize[first + j] = u8(l);
                            lookupValue[first + j] = symbols[index];
                        }
                    }
                    ++code;
                    ++index;
                }
                maxcode[l] = code - 1;
            }
            else
            {
                maxcode[l] = -1;
                valueOffset[l] = 0;
            }

            code <<= 1;
        }
        maxcode[17] = 0x7fffffff;

        // short codes with their extra bits
        std::memset(fast, 0, sizeof(fast));
        code = 0;
        index = 0;
        for (int l = 1; l <= HUFFMAN_FAST_BITS; ++l)
        {
            for (int i = 0; i < counts[l]; ++i, ++code, ++index)
            {
                const int rs = symbols[index];
                const int run = rs >> 4;
                const int size = rs & 15;
                if (rs == 0)
                {
                    // end of block, or a DC difference of 0
                    const int free = HUFFMAN_FAST_BITS - l;
                    for (int j = 0; j < (1 << free); ++j)
                        fast[(code << free) | j] = HUFFMAN_FAST_END | l;
                    continue;
                }
                if (!size || l + size > HUFFMAN_FAST_BITS)
                    continue;
                const int free = HUFFMAN_FAST_BITS - l - size;
                for (int e = 0; e < (1 << size); ++e)
                {
                    const s32 value = extend(u32(e), size);
                    const s32 entry = s32(u32(value) << 16) | (run << 8) | (l + size);
                    for (int j = 0; j < (1 << free); ++j)
                        fast[(((code << size) | e) << free) | j] = entry;
                }
            }
            code <<= 1;
        }
        return true;
    }

    int decodeLongHuffmanSymbol(DecodeState& state, const HuffmanTable& table)
    {
        const u64 v = state.cache << (64 - state.bits);
        for (int l = 9; l <= 16; ++l)
        {
            const s32 code = s32(v >> (64 - l));
            if (code <= table.maxcode[l])
            {
                state.bits -= l;
                return table.symbols[(table.valueOffset[l] + code) & 0xFF];
            }
        }

        // no code matches: corrupt data
        state.bits -= 16;
        state.corrupt = true;
        return 0;
    }

    void huffmanRestart(DecodeState& state)
    {
        for (int i = 0; i < JPEG_MAX_COMPONENTS; ++i)
            state.lastDC[i] = 0;
        state.eobrun = 0;
    }

    // ----------------------------------------------------------------------
    // MCU decoders
    // ----------------------------------------------------------------------

    namespace
    {
        inline s32 receiveExtend(DecodeState& state, int s)
        {
            if (!s)
                return 0;
            if (state.bits < s)
                refillBits(state);
            return extend(getBits(state, s), s);
        }

        // wrapping add: corrupt data must not overflow the predictor
        inline s32 addWrapped(s32 a, s32 b)
        {
            return s32(u32(a) + u32(b));
        }

        inline s16 shiftCoefficient(s32 value, int al)
        {
            return s16(u32(value) << al);
        }

    } // namespace

    namespace
    {
        // 128 bytes of zeros; memset of this size becomes a slow string store
        inline void clearBlock(s16* block)
        {
#if defined(__SSE2__)
            const __m128i zero = _mm_setzero_si128();
            for (int i = 0; i < 8; ++i)
                _mm_storeu_si128(reinterpret_cast<__m128i*>(block + i * 8), zero);
#else
            std::memset(block, 0, 64 * sizeof(s16));
#endif
        }

        // The bit reader's registers held in locals for the hot sequential loop, written
        // back around the rare calls that need the state itself.
        struct LocalReader
        {
            DecodeState& state;
            u64 cache;
            int bits;
            const u8* data;
            const u8* nextFF;
            int padding;

            explicit LocalReader(DecodeState& s)
                : state(s), cache(s.cache), bits(s.bits), data(s.data), nextFF(s.nextFF), padding(s.padding)
            {
            }

            void store()
            {
                state.cache = cache;
                state.bits = bits;
                state.data = data;
                state.nextFF = nextFF;
            }

            void load()
            {
                cache = state.cache;
                bits = state.bits;
                data = state.data;
                nextFF = state.nextFF;
                padding = state.padding;
            }

            // bits were taken from the zeros supplied past the data
            bool pastData() const { return bits < padding; }

            void refill()
            {
                if (bits >= 16)
                    return;
                if (nextFF - data >= 8)
                {
                    const u8* p = data;
                    const u64 v = loadBigEndian48(p);
                    cache = (cache << 48) | v;
                    bits += 48;
                    data += 6;
                }
                else
                {
                    store();
                    fillBits(state, 6);
                    load();
                }
            }

            // the next HUFFMAN_FAST_BITS bits; the cache must hold them
            u32 peek() const
            {
                return u32(cache >> (bits - HUFFMAN_FAST_BITS)) & ((1u << HUFFMAN_FAST_BITS) - 1);
            }

            u32 get(int s)
            {
                bits -= s;
                return u32(cache >> bits) & ((1u << s) - 1);
            }

            s32 receiveExtend(int s)
            {
                if (!s)
                    return 0;
                if (bits < s)
                    refill();
                return extend(get(s), s);
            }

            // A DC difference: category and extra bits in one lookup when they are short.
            s32 difference(const HuffmanTable& table)
            {
                refill();
                const s32 fast = table.fast[peek()];
                if (fast && !(fast & 0xF00))
                {
                    bits -= fast & 31;
                    return fast >> 16;
                }
                int category = symbol(table);
                if (category > 16)
                {
                    // DC categories end at 16
                    state.corrupt = true;
                    category = 0;
                }
                return receiveExtend(category);
            }

            int symbol(const HuffmanTable& table)
            {
                const u32 prefix = u32(cache >> (bits - 8)) & 0xFF;
                const int size = table.lookupSize[prefix];
                if (size <= 8)
                {
                    bits -= size;
                    return table.lookupValue[prefix];
                }
                store();
                const int value = decodeLongHuffmanSymbol(state, table);
                load();
                return value;
            }
        };

    } // namespace

    void huffmanDecodeMcu(s16* output, DecodeState* state)
    {
        const u8* zigzag = zigzagTable;   // a constant address spares a register

        if (state->ended)
        {
            for (int b = 0; b < state->blocks; ++b)
                clearBlock(output + state->block[b].offset);
            return;
        }

        LocalReader reader(*state);

        for (int b = 0; b < state->blocks; ++b)
        {
            const BlockDescriptor& descriptor = state->block[b];
            s16* block = output + descriptor.offset;
            clearBlock(block);

            s32& dc = state->lastDC[descriptor.component];
            dc = addWrapped(dc, reader.difference(*descriptor.dc));
            block[0] = s16(dc);

            const HuffmanTable& ac = *descriptor.ac;
            for (int k = 1; k < 64; )
            {
                reader.refill();

                const s32 fast = ac.fast[reader.peek()];
                if (fast)
                {
                    reader.bits -= fast & 31;
                    if (fast & HUFFMAN_FAST_END)
                        break;
                    k += (fast >> 8) & 15;
                    if (k > 63)
                    {
                        state->corrupt = true;
                        break;
                    }
                    block[zigzag[k]] = s16(fast >> 16);
                    ++k;
                    continue;
                }

                const int rs = reader.symbol(ac);
                const int r = rs >> 4;
                const int s = rs & 15;

                if (s)
                {
                    k += r;
                    if (k > 63)
                    {
                        state->corrupt = true;
                        break;
                    }
                    if (reader.bits < s)
                        reader.refill();
                    block[zigzag[k]] = s16(extend(reader.get(s), s));
                    ++k;
                }
                else
                {
                    if (r != 15)
                        break;
                    k += 16;
                }
            }

            if (reader.pastData())
            {
                // the data ran out inside this block: it and the rest are missing
                state->ended = true;
                for (int rest = b; rest < state->blocks; ++rest)
                    clearBlock(output + state->block[rest].offset);
                break;
            }
        }

        reader.store();
    }

    namespace
    {
        // A progressive scan keeps what earlier scans gave once its own data runs out. First
        // scans drop the values decoded from the zeros past the data; a refinement keeps
        // them (zero bits correct nothing), as libjpeg's does.
        inline bool progressiveEnded(const DecodeState* state)
        {
            return state->ended;
        }

        inline void noteProgressiveEnd(DecodeState* state)
        {
            if (state->pastData())
                state->ended = true;
        }

    } // namespace

    void huffmanDecodeDcFirst(s16* output, DecodeState* state)
    {
        if (progressiveEnded(state))
            return;
        LocalReader reader(*state);
        for (int b = 0; b < state->blocks; ++b)
        {
            const BlockDescriptor& descriptor = state->block[b];
            s32& dc = state->lastDC[descriptor.component];
            dc = addWrapped(dc, reader.difference(*descriptor.dc));
            if (reader.pastData())
            {
                state->ended = true;
                break;
            }
            output[descriptor.offset] = shiftCoefficient(dc, state->Al);
        }
        reader.store();
    }

    void huffmanDecodeDcRefine(s16* output, DecodeState* state)
    {
        if (progressiveEnded(state))
            return;
        const int al = state->Al;
        LocalReader reader(*state);
        for (int b = 0; b < state->blocks; ++b)
        {
            if (reader.bits < 1)
                reader.refill();
            s16& dc = output[state->block[b].offset];
            dc = s16(dc | (s32(reader.get(1)) << al));
        }
        reader.store();
        noteProgressiveEnd(state);
    }

    void huffmanDecodeAcFirst(s16* output, DecodeState* state)
    {
        if (progressiveEnded(state))
            return;
        if (state->eobrun > 0)
        {
            --state->eobrun;
            return;
        }

        const u8* zigzag = state->zigzag;
        const HuffmanTable& ac = *state->block[0].ac;
        s16* block = output + state->block[0].offset;
        const int se = state->Se;
        const int al = state->Al;
        LocalReader reader(*state);

        for (int k = state->Ss; k <= se; ++k)
        {
            reader.refill();

            const s32 fast = ac.fast[reader.peek()];
            if (fast)
            {
                reader.bits -= fast & 31;
                if (fast & HUFFMAN_FAST_END)
                    break;      // an EOB run of one: this block
                k += (fast >> 8) & 15;
                if (k > se)
                {
                    state->corrupt = true;
                    break;
                }
                block[zigzag[k]] = shiftCoefficient(fast >> 16, al);
                continue;
            }

            const int rs = reader.symbol(ac);
            const int r = rs >> 4;
            const int s = rs & 15;

            if (s)
            {
                k += r;
                if (k > se)
                {
                    state->corrupt = true;
                    break;
                }
                if (reader.bits < s)
                    reader.refill();
                block[zigzag[k]] = shiftCoefficient(extend(reader.get(s), s), al);
            }
            else if (r == 15)
            {
                k += 15;
            }
            else
            {
                state->eobrun = 1 << r;
                if (r)
                {
                    if (reader.bits < r)
                        reader.refill();
                    state->eobrun += reader.get(r);
                }
                --state->eobrun;
                break;
            }
        }

        reader.store();
        if (state->pastData())
        {
            state->ended = true;
            for (int k = state->Ss; k <= se; ++k)
                block[zigzag[k]] = 0;
        }
    }

    namespace
    {
        // zig-zag position of each natural index
        struct ZigzagPositions
        {
            u8 of[64];

            constexpr ZigzagPositions() : of()
            {
                for (int k = 0; k < 64; ++k)
                    of[zigzagTable[k]] = u8(k);
            }
        };

        constexpr ZigzagPositions zigzagPosition;

        // Bit k is set when the coefficient at zig-zag position k is non-zero.
        inline u64 nonZeroMask(const s16* block)
        {
            u64 mask = 0;
#if defined(__SSE2__)
            const __m128i zero = _mm_setzero_si128();
            u64 natural = 0;
            for (int i = 0; i < 4; ++i)
            {
                const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + i * 16));
                const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + i * 16 + 8));
                // saturation keeps non-zero values non-zero
                const __m128i bytes = _mm_packs_epi16(a, b);
                const u32 zeros = u32(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, zero)));
                natural |= u64(~zeros & 0xFFFF) << (i * 16);
            }
            for (; natural; natural &= natural - 1)
                mask |= u64(1) << zigzagPosition.of[std::countr_zero(natural)];
#else
            for (int k = 0; k < 64; ++k)
                mask |= u64(block[zigzagTable[k]] != 0) << k;
#endif
            return mask;
        }

        // position of the n-th set bit within each byte value, for selectBit
        struct BitsInByte
        {
            u8 position[256][8];

            constexpr BitsInByte() : position()
            {
                for (int v = 0; v < 256; ++v)
                {
                    int n = 0;
                    for (int bit = 0; bit < 8; ++bit)
                    {
                        if (v & (1 << bit))
                            position[v][n++] = u8(bit);
                    }
                }
            }
        };

        constexpr BitsInByte bitsInByte;

        // The position of set bit n (0 = the lowest) of x, or -1 when x has no more than n set
        // bits; without a loop, whose exit would be mispredicted at every run length.
        inline int selectBit(u64 x, int n)
        {
            constexpr u64 ones = 0x0101010101010101;
            u64 c = x - ((x >> 1) & 0x5555555555555555);
            c = (c & 0x3333333333333333) + ((c >> 2) & 0x3333333333333333);
            c = (c + (c >> 4)) & 0x0F0F0F0F0F0F0F0F;
            const u64 prefix = c * ones;    // byte i: the set bits of bytes 0..i
            if (int(prefix >> 56) <= n)
                return -1;

            // the first byte whose prefix exceeds n (no byte borrows: prefixes are <= 64)
            const u64 reached = ((prefix | (ones << 7)) - u64(n + 1) * ones) & (ones << 7);
            const int byte = std::countr_zero(reached) >> 3;
            const int before = int(((prefix << 8) >> (byte * 8)) & 0xFF);
            return byte * 8 + bitsInByte.position[(x >> (byte * 8)) & 0xFF][n - before];
        }

        // Positions k..63 (k <= 64).
        inline u64 from(int k)
        {
            return k < 64 ? ~u64(0) << k : 0;
        }

    } // namespace

    void huffmanDecodeAcRefine(s16* output, DecodeState* state)
    {
        if (progressiveEnded(state))
            return;
        const u8* zigzag = zigzagTable;   // the order nonZeroMask uses
        const HuffmanTable& ac = *state->block[0].ac;
        s16* block = output + state->block[0].offset;
        const int se = state->Se;
        const s32 p1 = 1 << state->Al;
        const s32 m1 = -p1;
        LocalReader reader(*state);

        // The band's non-zero coefficients as a mask, so that runs of zeros are skipped
        // without visiting each coefficient.
        int k = state->Ss;
        const u64 band = from(k) & (~u64(0) >> (63 - se));
        u64 nonzero = nonZeroMask(block) & band;

        // One correction bit for each coefficient in positions, in order: a set bit moves a
        // coefficient that lacks this bit one step away from zero.
        auto refine = [&](u64 positions) {
            for (; positions; positions &= positions - 1)
            {
                if (reader.bits < 1)
                    reader.refill();
                const s32 bit = s32(reader.get(1));
                s16& coefficient = block[zigzag[std::countr_zero(positions)]];
                const s32 v = coefficient;
                const s32 step = v < 0 ? m1 : p1;
                const s32 apply = -(bit & s32((v & p1) == 0));
                coefficient = s16(v + (step & apply));
            }
        };

        if (state->eobrun == 0)
        {
            for (; k <= se; ++k)
            {
                reader.refill();
                const int rs = reader.symbol(ac);
                int r = rs >> 4;
                const int s = rs & 15;
                s32 value = 0;

                if (s)
                {
                    // a new coefficient is always of magnitude 1 << Al
                    if (s != 1)
                        state->corrupt = true;
                    if (reader.bits < 1)
                        reader.refill();
                    value = reader.get(1) ? p1 : m1;
                }
                else if (r != 15)
                {
                    state->eobrun = 1 << r;
                    if (r)
                    {
                        if (reader.bits < r)
                            reader.refill();
                        state->eobrun += reader.get(r);
                    }
                    break;
                }

                // skip r zero coefficients, refining the non-zero ones passed over; the
                // next zero (or the end of the band) is where a new coefficient goes
                const u64 zeros = ~nonzero & band & from(k);
                int target = se + 1;
                if (r == 0)
                {
                    if (zeros)
                        target = std::countr_zero(zeros);
                }
                else
                {
                    const int zero = selectBit(zeros, r);
                    if (zero >= 0)
                        target = zero;
                }
                refine(nonzero & from(k) & ~from(target));
                k = target;

                if (value)
                {
                    if (k > se)
                    {
                        state->corrupt = true;
                        break;
                    }
                    block[zigzag[k]] = s16(value);
                    nonzero |= u64(1) << k;
                }
            }
        }

        if (state->eobrun > 0)
        {
            // the rest of the band only refines what is already non-zero
            refine(nonzero & from(k));
            --state->eobrun;
        }

        reader.store();
        noteProgressiveEnd(state);
    }

    void huffmanDecodeLossless(s32* diff, DecodeState* state)
    {
        if (state->ended)
        {
            // missing samples continue their prediction
            for (int b = 0; b < state->blocks; ++b)
                diff[b] = 0;
            return;
        }

        for (int b = 0; b < state->blocks; ++b)
        {
            refillBits(*state);
            const int s = decodeHuffmanSymbol(*state, *state->block[b].dc);
            if (s == 16)
            {
                // the one category without extra bits
                diff[b] = 32768;
            }
            else if (s > 16)
            {
                state->corrupt = true;
                diff[b] = 0;
            }
            else
            {
                diff[b] = receiveExtend(*state, s);
            }
        }

        if (state->pastData())
        {
            state->ended = true;
            for (int b = 0; b < state->blocks; ++b)
                diff[b] = 0;
        }
    }

} // namespace norva::jpeg
