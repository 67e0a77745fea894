// JPEG arithmetic decoding (T.81 Annex D) and its MCU decoders.

#include <cstring>

#include "jpeg_private.hpp"

namespace norva::jpeg
{
    namespace
    {
        // Probability estimation states: Qe << 16 | next MPS << 8 | switch << 7 | next LPS.
        // State 113 is the fixed, non-adapting estimate.
        #define V(qe, nlps, nmps, sw) ((u32(qe) << 16) | (u32(nmps) << 8) | (u32(sw) << 7) | u32(nlps))

        const u32 stateTable[114] =
        {
            V(0x5a1d,   1,   1, 1), V(0x2586,  14,   2, 0), V(0x1114,  16,   3, 0), V(0x080b,  18,   4, 0),
            V(0x03d8,  20,   5, 0), V(0x01da,  23,   6, 0), V(0x00e5,  25,   7, 0), V(0x006f,  28,   8, 0),
            V(0x0036,  30,   9, 0), V(0x001a,  33,  10, 0), V(0x000d,  35,  11, 0), V(0x0006,   9,  12, 0),
            V(0x0003,  10,  13, 0), V(0x0001,  12,  13, 0), V(0x5a7f,  15,  15, 1), V(0x3f25,  36,  16, 0),
            V(0x2cf2,  38,  17, 0), V(0x207c,  39,  18, 0), V(0x17b9,  40,  19, 0), V(0x1182,  42,  20, 0),
            V(0x0cef,  43,  21, 0), V(0x09a1,  45,  22, 0), V(0x072f,  46,  23, 0), V(0x055c,  48,  24, 0),
            V(0x0406,  49,  25, 0), V(0x0303,  51,  26, 0), V(0x0240,  52,  27, 0), V(0x01b1,  54,  28, 0),
            V(0x0144,  56,  29, 0), V(0x00f5,  57,  30, 0), V(0x00b7,  59,  31, 0), V(0x008a,  60,  32, 0),
            V(0x0068,  62,  33, 0), V(0x004e,  63,  34, 0), V(0x003b,  32,  35, 0), V(0x002c,  33,   9, 0),
            V(0x5ae1,  37,  37, 1), V(0x484c,  64,  38, 0), V(0x3a0d,  65,  39, 0), V(0x2ef1,  67,  40, 0),
            V(0x261f,  68,  41, 0), V(0x1f33,  69,  42, 0), V(0x19a8,  70,  43, 0), V(0x1518,  72,  44, 0),
            V(0x1177,  73,  45, 0), V(0x0e74,  74,  46, 0), V(0x0bfb,  75,  47, 0), V(0x09f8,  77,  48, 0),
            V(0x0861,  78,  49, 0), V(0x0706,  79,  50, 0), V(0x05cd,  48,  51, 0), V(0x04de,  50,  52, 0),
            V(0x040f,  50,  53, 0), V(0x0363,  51,  54, 0), V(0x02d4,  52,  55, 0), V(0x025c,  53,  56, 0),
            V(0x01f8,  54,  57, 0), V(0x01a4,  55,  58, 0), V(0x0160,  56,  59, 0), V(0x0125,  57,  60, 0),
            V(0x00f6,  58,  61, 0), V(0x00cb,  59,  62, 0), V(0x00ab,  61,  63, 0), V(0x008f,  61,  32, 0),
            V(0x5b12,  65,  65, 1), V(0x4d04,  80,  66, 0), V(0x412c,  81,  67, 0), V(0x37d8,  82,  68, 0),
            V(0x2fe8,  83,  69, 0), V(0x293c,  84,  70, 0), V(0x2379,  86,  71, 0), V(0x1edf,  87,  72, 0),
            V(0x1aa9,  87,  73, 0), V(0x174e,  72,  74, 0), V(0x1424,  72,  75, 0), V(0x119c,  74,  76, 0),
            V(0x0f6b,  74,  77, 0), V(0x0d51,  75,  78, 0), V(0x0bb6,  77,  79, 0), V(0x0a40,  77,  48, 0),
            V(0x5832,  80,  81, 1), V(0x4d1c,  88,  82, 0), V(0x438e,  89,  83, 0), V(0x3bdd,  90,  84, 0),
            V(0x34ee,  91,  85, 0), V(0x2eae,  92,  86, 0), V(0x299a,  93,  87, 0), V(0x2516,  86,  71, 0),
            V(0x5570,  88,  89, 1), V(0x4ca9,  95,  90, 0), V(0x44d9,  96,  91, 0), V(0x3e22,  97,  92, 0),
            V(0x3824,  99,  93, 0), V(0x32b4,  99,  94, 0), V(0x2e17,  93,  86, 0), V(0x56a8,  95,  96, 1),
            V(0x4f46, 101,  97, 0), V(0x47e5, 102,  98, 0), V(0x41cf, 103,  99, 0), V(0x3c3d, 104, 100, 0),
            V(0x375e,  99,  93, 0), V(0x5231, 105, 102, 0), V(0x4c0f, 106, 103, 0), V(0x4639, 107, 104, 0),
            V(0x415e, 103,  99, 0), V(0x5627, 105, 106, 1), V(0x50e7, 108, 107, 0), V(0x4b85, 109, 103, 0),
            V(0x5597, 110, 109, 0), V(0x504f, 111, 107, 0), V(0x5a10, 110, 111, 1), V(0x5522, 112, 109, 0),
            V(0x59eb, 112, 111, 1), V(0x5a1d, 113, 113, 0),
        };

        #undef V

        // One byte of code: zeros at the end of the data and in front of a marker. The coder
        // reads into the marker that closes its data, but never past the end of the file:
        // there the data was cut short.
        inline u32 readByte(DecodeState& state)
        {
            const u8* p = state.data;
            if (p >= state.end)
            {
                state.ended = true;
                return 0;
            }
            if (*p != 0xFF)
            {
                state.data = p + 1;
                return *p;
            }
            if (p + 1 < state.end && p[1] == 0)
            {
                state.data = p + 2;
                return 0xFF;
            }
            return 0;
        }

        // One binary decision; inline in the MCU decoders, where it is most of the work.
        inline int arithmeticDecode(DecodeState& state, u8* statistic)
        {
            // the registers in locals: the statistic byte may alias them
            u32 a = state.A;
            u32 c = state.C;
            s32 ct = state.CT;

            // renormalise
            while (a < 0x8000)
            {
                if (--ct < 0)
                {
                    c = (c << 8) | readByte(state);
                    ct += 8;
                }
                a <<= 1;
            }

            u32 sv = *statistic;
            u32 qe = stateTable[sv & 0x7F];
            const u32 nl = qe & 0xFF;
            qe >>= 8;
            const u32 nm = qe & 0xFF;
            qe >>= 8;

            a -= qe;
            const u32 temp = a << ct;

            if (c >= temp)
            {
                c -= temp;
                if (a < qe)
                {
                    *statistic = u8((sv & 0x80) ^ nm);
                }
                else
                {
                    *statistic = u8((sv & 0x80) ^ nl);
                    sv ^= 0x80;
                }
                a = qe;
            }
            else if (a < 0x8000)
            {
                if (a < qe)
                {
                    *statistic = u8((sv & 0x80) ^ nl);
                    sv ^= 0x80;
                }
                else
                {
                    *statistic = u8((sv & 0x80) ^ nm);
                }
            }

            state.A = a;
            state.C = c;
            state.CT = ct;
            return int(sv >> 7);
        }

        // Magnitude doublings allowed before a value would leave 16 bits.
        constexpr int MAX_DOUBLINGS = 15;

        // The magnitude of a non-zero AC value (T.81 F.2.4.2): st is the S + 2 bin, large
        // the first bin of the wide categories. Returns the magnitude minus one, or -1 for
        // corrupt data.
        inline s32 decodeMagnitude(DecodeState& state, u8* st, u8* large)
        {
            s32 m = arithmeticDecode(state, st);
            if (m && arithmeticDecode(state, st))
            {
                m = 2;
                st = large;
                int doublings = 1;
                while (arithmeticDecode(state, st))
                {
                    if (++doublings >= MAX_DOUBLINGS)
                        return -1;
                    m <<= 1;
                    ++st;
                }
            }
            s32 v = m;
            st += 14;
            for (s32 bit = m >> 1; bit; bit >>= 1)
            {
                if (arithmeticDecode(state, st))
                    v |= bit;
            }
            return v;
        }

        // A difference coded as DC differences are (T.81 F.1.4.4.1): s0 is the first bin of
        // its context (zero, sign, then the first magnitude bin of each sign), x the first
        // magnitude-category bin, whose low-bit bins lie 14 further on. Sets the difference and
        // the class it conditions later decisions with (0 zero, 4 or 8 small positive or
        // negative, 12 or 16 large), by the bounds l and u. Returns false on corrupt data.
        inline bool decodeDifference(DecodeState& state, u8* s0, u8* x, int l, int u, s32& difference, int& context)
        {
            if (!arithmeticDecode(state, s0))
            {
                context = 0;
                difference = 0;
                return true;
            }

            const int sign = arithmeticDecode(state, s0 + 1);
            u8* st = s0 + 2 + sign;

            s32 m = arithmeticDecode(state, st);
            if (m)
            {
                st = x;
                int doublings = 0;
                while (arithmeticDecode(state, st))
                {
                    if (++doublings >= MAX_DOUBLINGS)
                        return false;
                    m <<= 1;
                    ++st;
                }
            }

            if (m < ((1 << l) >> 1))
                context = 0;
            else if (m > ((1 << u) >> 1))
                context = 12 + sign * 4;
            else
                context = 4 + sign * 4;

            s32 v = m;
            st += 14;
            for (s32 bit = m >> 1; bit; bit >>= 1)
            {
                if (arithmeticDecode(state, st))
                    v |= bit;
            }
            v += 1;
            difference = s32(sign ? 0u - u32(v) : u32(v));
            return true;
        }

        // The DC value of one block: its component's last one plus the difference (T.81
        // F.2.4.1), with the conditioning update. Returns false on corrupt data.
        bool decodeDc(DecodeState& state, const BlockDescriptor& descriptor, s32& dc)
        {
            const int component = int(descriptor.component);
            const u32 table = descriptor.dcTable;
            u8* stats = state.dcStats[table];
            s32 difference;
            if (!decodeDifference(state, stats + state.dcContext[component], stats + 20, state.dcL[table], state.dcU[table],
                                  difference, state.dcContext[component]))
                return false;

            s32& last = state.arithmeticDC[component];
            last = s32(u32(last) + u32(difference));
            dc = last;
            return true;
        }

        inline s16 shiftCoefficient(s32 value, int al)
        {
            return s16(u32(value) << al);
        }

        // AC coefficients start..end of one block (T.81 F.2.4.2, G.1.3.2), each shifted
        // left by al. Returns false on corrupt data.
        bool decodeAcCoefficients(DecodeState& state, s16* block, u32 table, int start, int end, int al)
        {
            const u8* zigzag = state.zigzag;
            u8* stats = state.acStats[table];
            const int kx = state.acK[table];

            for (int k = start; k <= end; ++k)
            {
                u8* st = stats + 3 * (k - 1);
                if (arithmeticDecode(state, st))
                    break;      // end of block

                while (!arithmeticDecode(state, st + 1))
                {
                    st += 3;
                    if (++k > end)
                        return false;
                }

                const int sign = arithmeticDecode(state, &state.fixedBin);
                const s32 v = decodeMagnitude(state, st + 2, stats + (k <= kx ? 189 : 217));
                if (v < 0)
                    return false;
                block[zigzag[k]] = shiftCoefficient(sign ? -(v + 1) : v + 1, al);
            }
            return true;
        }

    } // namespace

    void arithmeticInit(DecodeState& state)
    {
        for (int i = 0; i < 16; ++i)
        {
            state.dcL[i] = 0;
            state.dcU[i] = 1;
            state.acK[i] = 5;
        }
        state.fixedBin = 113;
    }

    void arithmeticRestart(DecodeState& state)
    {
        std::memset(state.dcStats, 0, sizeof(state.dcStats));
        std::memset(state.acStats, 0, sizeof(state.acStats));
        state.fixedBin = 113;
        for (int i = 0; i < JPEG_MAX_COMPONENTS; ++i)
        {
            state.arithmeticDC[i] = 0;
            state.dcContext[i] = 0;
        }

        state.C = readByte(state) << 8;
        state.C |= readByte(state);
        state.A = 0x10000;
        state.CT = 0;
        state.corrupt = false;
    }

    void arithmeticDecodeMcu(s16* output, DecodeState* state)
    {
        // what a damaged or missing interval leaves is zero, whatever the buffer held
        for (int b = 0; b < state->blocks; ++b)
            std::memset(output + state->block[b].offset, 0, 64 * sizeof(s16));

        if (state->corrupt || state->ended)
            return;

        for (int b = 0; b < state->blocks; ++b)
        {
            const BlockDescriptor& descriptor = state->block[b];
            s16* block = output + descriptor.offset;

            s32 dc;
            if (!decodeDc(*state, descriptor, dc))
            {
                state->corrupt = true;
                return;
            }
            block[0] = s16(dc);

            if (!decodeAcCoefficients(*state, block, descriptor.acTable, 1, 63, 0))
            {
                state->corrupt = true;
                return;
            }
        }
    }

    void arithmeticDecodeDcFirst(s16* output, DecodeState* state)
    {
        if (state->corrupt || state->ended)
            return;

        for (int b = 0; b < state->blocks; ++b)
        {
            const BlockDescriptor& descriptor = state->block[b];
            s32 dc;
            if (!decodeDc(*state, descriptor, dc))
            {
                state->corrupt = true;
                return;
            }
            output[descriptor.offset] = shiftCoefficient(dc, state->Al);
        }
    }

    void arithmeticDecodeDcRefine(s16* output, DecodeState* state)
    {
        if (state->corrupt || state->ended)
            return;

        const s32 p1 = 1 << state->Al;
        for (int b = 0; b < state->blocks; ++b)
        {
            if (arithmeticDecode(*state, &state->fixedBin))
            {
                s16& dc = output[state->block[b].offset];
                dc = s16(dc | p1);
            }
        }
    }

    void arithmeticDecodeAcFirst(s16* output, DecodeState* state)
    {
        if (state->corrupt || state->ended)
            return;

        const BlockDescriptor& descriptor = state->block[0];
        if (!decodeAcCoefficients(*state, output + descriptor.offset, descriptor.acTable, state->Ss, state->Se, state->Al))
            state->corrupt = true;
    }

    void arithmeticDecodeAcRefine(s16* output, DecodeState* state)
    {
        if (state->corrupt || state->ended)
            return;

        const u8* zigzag = state->zigzag;
        const BlockDescriptor& descriptor = state->block[0];
        s16* block = output + descriptor.offset;
        u8* stats = state->acStats[descriptor.acTable];
        const int se = state->Se;
        const s32 p1 = 1 << state->Al;
        const s32 m1 = -p1;

        // end of block of the previous stage
        int kex = se;
        for (; kex > 0; --kex)
        {
            if (block[zigzag[kex]])
                break;
        }

        for (int k = state->Ss; k <= se; ++k)
        {
            u8* st = stats + 3 * (k - 1);
            if (k > kex && arithmeticDecode(*state, st))
                break;

            for (;;)
            {
                s16* coefficient = block + zigzag[k];
                if (*coefficient)
                {
                    if (arithmeticDecode(*state, st + 2))
                        *coefficient = s16(*coefficient + (*coefficient < 0 ? m1 : p1));
                    break;
                }
                if (arithmeticDecode(*state, st + 1))
                {
                    *coefficient = s16(arithmeticDecode(*state, &state->fixedBin) ? m1 : p1);
                    break;
                }
                st += 3;
                if (++k > se)
                {
                    state->corrupt = true;
                    return;
                }
            }
        }
    }

    void arithmeticDecodeLossless(s32* diff, DecodeState* state)
    {
        // Past the end of the file the coder reads zero bytes, as in front of a marker, and
        // goes on: a coder's flush leaves out the zero bytes its code ends in, and the last
        // samples of a file without its end marker need them (the status still says that
        // the data ended early).
        if (state->corrupt)
        {
            // the rest of the interval continues its prediction
            for (int b = 0; b < state->blocks; ++b)
                diff[b] = 0;
            return;
        }

        // The differences are conditioned in two dimensions (T.81 H.1.2.3): the first bins
        // on the classes of the differences left of the sample (a) and above it (b), one of
        // 25 contexts; the magnitude categories on whether b is large. These frames have no
        // AC tables, so the bins live in the AC area of the table.
        const u32 x = state->column;
        for (int b = 0; b < state->blocks; ++b)
        {
            const BlockDescriptor& descriptor = state->block[b];
            const u32 table = descriptor.dcTable;
            u8* stats = state->acStats[table];
            u8* classes = state->losslessClass[descriptor.component];
            const int left = state->leftInInterval ? classes[x - 1] : 0;
            const int above = state->aboveInInterval ? classes[x] : 0;

            int context;
            if (!decodeDifference(*state, stats + 4 * (5 * left + above), stats + (above >= 3 ? 129 : 100),
                                  state->dcL[table], state->dcU[table], diff[b], context))
            {
                state->corrupt = true;
                for (int i = 0; i < state->blocks; ++i)
                    diff[i] = 0;
                return;
            }
            classes[x] = u8(context >> 2);
        }
    }

} // namespace norva::jpeg
