// PPMd variant H as RAR 2.9 blocks use it: the block header that starts or continues the
// model, the range decoder over the unpacker's input, and the one-byte decode with its
// model update. The unpacker's hooks (initPpm, ppmDecodeByte, resetPpm) live here too.
//
// Every rounding and order below mirrors the encoder's model. The model's invariants (a
// suffix holds every symbol of its children, state arrays and contexts lie in the units
// area) hold for any input, but each walk is still bounded, so that a broken invariant
// ends the member instead of running off an array.

#include <algorithm>
#include <cstring>
#include <memory>

#include "archive/rar/rar_ppmd.hpp"
#include "archive/rar/rar_unpack.hpp"

namespace norva::filesystem::rar
{
    namespace
    {
        constexpr u32 MAX_FREQUENCY = 124;
        constexpr u32 BINARY_SCALE = 1u << 14;
        constexpr u32 INTERVAL = 128;

        constexpr u8 escapeSeed[16] = { 25, 14, 9, 7, 5, 5, 4, 4, 4, 3, 3, 3, 2, 2, 2, 2 };
        constexpr u16 binarySeed[8] = { 0x3CDD, 0x1F3F, 0x59BF, 0x48F3, 0x64A1, 0x5ABC, 0x6632, 0x6051 };

        // Input bytes come from the unpacker's buffer; one refill is tried near its end,
        // and past the data the stream reads as zeros.
        constexpr u32 INPUT_REFILL_AT = RarBitReader::MAX_SIZE - 30;

        void swapStates(RarPpmState* a, RarPpmState* b)
        {
            std::swap(*a, *b);
        }

        // The state of `symbol` in an array of `count` states, or null.
        RarPpmState* findSymbol(RarPpmState* states, u32 count, u32 symbol)
        {
            for (RarPpmState* p = states, *end = states + count; p != end; ++p)
            {
                if (p->symbol == symbol)
                    return p;
            }
            return nullptr;
        }

    } // namespace

    // --------------------------------------------------------------------------------------
    // Range decoder
    // --------------------------------------------------------------------------------------

    void RarRangeDecoder::start(RarUnpacker* unpacker)
    {
        input = unpacker;
        low = 0;
        code = 0;
        range = 0xFFFFFFFF;
        for (int i = 0; i < 4; ++i)
            code = (code << 8) | nextByte();
    }

    u32 RarRangeDecoder::nextByte()
    {
        RarBitReader& in = input->input;
        if (in.bytePos > INPUT_REFILL_AT && !input->refillInput())
            return 0;
        return in.data()[in.bytePos++];
    }

    // --------------------------------------------------------------------------------------
    // Model start
    // --------------------------------------------------------------------------------------

    RarPpmModel::RarPpmModel()
    {
        std::memset(charMask, 0, sizeof(charMask));
    }

    bool RarPpmModel::initFromStream(RarUnpacker* unpacker, int& escapeChar)
    {
        RarBitReader& in = unpacker->input;
        auto next = [&]() -> u32 {
            if (in.bytePos > INPUT_REFILL_AT && !unpacker->refillInput())
                return 0;
            return in.data()[in.bytePos++];
        };

        const u32 flags = next();
        const bool reset = (flags & 0x20) != 0;
        u32 megabytes = 0;
        if (reset)
            megabytes = next() + 1;
        else if (allocator.memorySize == 0)
            return false;
        if (flags & 0x40)
            escapeChar = int(next());
        decoder.start(unpacker);

        if (reset)
        {
            s32 order = s32(flags & 0x1F) + 1;
            if (order > 16)
                order = 16 + (order - 16) * 3;
            if (order == 1)
            {
                allocator.stop();
                minContext = nullptr;
                return false;
            }
            // A heap that cannot be had ends the member: the model is never built over none.
            if (!allocator.start(megabytes))
            {
                minContext = nullptr;
                return false;
            }
            startModel(order);
        }
        return minContext != nullptr;
    }

    void RarPpmModel::startModel(s32 order)
    {
        escapeCount = 1;
        maxOrder = order;
        restarts = 0;
        restartModel();

        binaryCountIndex[0] = 0;
        binaryCountIndex[1] = 2;
        std::memset(binaryCountIndex + 2, 4, 9);
        std::memset(binaryCountIndex + 11, 6, 256 - 11);

        // 0, 1, 2, then 3, 4, 5, ... repeated 1, 2, 3, ... times
        u32 i = 0;
        for (; i < 3; ++i)
            seeIndex[i] = u8(i);
        for (u32 value = i, left = 1, step = 1; i < 256; ++i)
        {
            seeIndex[i] = u8(value);
            if (--left == 0)
            {
                left = ++step;
                ++value;
            }
        }

        std::memset(symbolHighFlag, 0, 0x40);
        std::memset(symbolHighFlag + 0x40, 0x08, 0x100 - 0x40);
        dummySee.shift = 7;
    }

    void RarPpmModel::restartModel()
    {
        std::memset(charMask, 0, sizeof(charMask));
        allocator.carve();

        initRunLength = -std::min(maxOrder, 12) - 1;
        minContext = maxContext = context(allocator.allocContext());
        minContext->setSuffix(0);
        orderFall = maxOrder;
        minContext->setSymbolCount(256);
        minContext->setTotalFrequency(257);
        const u32 states = allocator.allocUnits(256 / 2);
        minContext->setStates(states);
        foundState = state(states);
        runLength = initRunLength;
        prevSuccess = 0;
        for (u32 i = 0; i < 256; ++i)
        {
            RarPpmState* s = foundState + i;
            s->symbol = u8(i);
            s->frequency = 1;
            s->setSuccessor(0);
        }

        for (u32 i = 0; i < 128; ++i)
        {
            for (u32 k = 0; k < 8; ++k)
            {
                for (u32 m = 0; m < 64; m += 8)
                    binaryProbability[i][k + m] = u16(BINARY_SCALE - binarySeed[k] / (i + 2));
            }
        }
        for (u32 i = 0; i < 25; ++i)
        {
            for (u32 k = 0; k < 16; ++k)
                seeContexts[i][k].init(5 * i + 10);
        }
    }

    void RarPpmModel::clearMask()
    {
        escapeCount = 1;
        std::memset(charMask, 0, sizeof(charMask));
    }

    // --------------------------------------------------------------------------------------
    // Symbol decoding
    // --------------------------------------------------------------------------------------

    bool RarPpmModel::decodeBinary(RarPpmContext* ctx)
    {
        // Only the root lacks a suffix, and it never shrinks to one state in a sound model.
        const u32 suffix = ctx->suffix();
        if (!inUnits(suffix) || !foundState)
            return false;
        RarPpmState* s = ctx->oneState();
        lastHighFlag = symbolHighFlag[foundState->symbol];
        u16& b = binaryProbability[(s->frequency - 1) & 127]
                                  [prevSuccess + binaryCountIndex[context(suffix)->symbolCount() - 1] + lastHighFlag +
                                   2 * symbolHighFlag[s->symbol] + ((u32(runLength) >> 26) & 0x20)];
        if (decoder.binaryCount() < b)
        {
            foundState = s;
            s->frequency = u8(s->frequency + (s->frequency < 128));
            decoder.lowCount = 0;
            decoder.highCount = b;
            b = u16(b + INTERVAL - ((b + 32) >> 7));
            prevSuccess = 1;
            runLength = s32(u32(runLength) + 1);
        }
        else
        {
            decoder.lowCount = b;
            b = u16(b - ((b + 32) >> 7));
            decoder.highCount = BINARY_SCALE;
            initEscape = escapeSeed[b >> 10];
            maskedCount = 1;
            charMask[s->symbol] = escapeCount;
            prevSuccess = 0;
            foundState = nullptr;
        }
        return true;
    }

    bool RarPpmContext::decodeUnmasked(RarPpmModel& model)
    {
        RarRangeDecoder& rc = model.decoder;
        rc.scale = totalFrequency();
        RarPpmState* p = model.state(states());
        const u32 count = rc.count(rc.scale);
        if (count >= rc.scale)
            return false;
        u32 hi = p->frequency;
        if (count < hi)
        {
            rc.highCount = hi;
            model.prevSuccess = 2 * hi > rc.scale;
            model.runLength = s32(u32(model.runLength) + model.prevSuccess);
            model.foundState = p;
            hi += 4;
            p->frequency = u8(hi);
            setTotalFrequency(totalFrequency() + 4);
            if (hi > MAX_FREQUENCY)
                halveFrequencies(model);
            rc.lowCount = 0;
            return true;
        }
        if (!model.foundState)
            return false;
        model.prevSuccess = 0;
        const u32 n = symbolCount();
        for (u32 i = 1; i < n; ++i)
        {
            ++p;
            hi += p->frequency;
            if (hi > count)
            {
                rc.lowCount = hi - p->frequency;
                rc.highCount = hi;
                model.foundState = p;
                p->frequency = u8(p->frequency + 4);
                setTotalFrequency(totalFrequency() + 4);
                if (p[0].frequency > p[-1].frequency)
                {
                    swapStates(p, p - 1);
                    model.foundState = --p;
                    if (p->frequency > MAX_FREQUENCY)
                        halveFrequencies(model);
                }
                return true;
            }
        }
        // escape: every symbol here is masked below
        model.lastHighFlag = model.symbolHighFlag[model.foundState->symbol];
        rc.lowCount = hi;
        rc.highCount = rc.scale;
        model.maskedCount = s32(n);
        RarPpmState* first = model.state(states());
        for (u32 i = 0; i < n; ++i)
            model.charMask[first[i].symbol] = model.escapeCount;
        model.foundState = nullptr;
        return true;
    }

    bool RarPpmContext::decodeMasked(RarPpmModel& model)
    {
        RarRangeDecoder& rc = model.decoder;
        const u32 n = symbolCount();
        const s32 unmasked = s32(n) - model.maskedCount;
        if (unmasked <= 0 || unmasked > 255)
            return false;
        const u32 d = u32(unmasked);

        RarSeeContext* see;
        if (n != 256)
        {
            const u32 suffixOffset = suffix();
            if (!model.inUnits(suffixOffset))
                return false;
            const s32 suffixCount = s32(model.context(suffixOffset)->symbolCount());
            see = &model.seeContexts[model.seeIndex[d - 1]]
                                    [(s32(d) < suffixCount - s32(n) ? 1 : 0) + (totalFrequency() < 11 * n ? 2 : 0) +
                                     (model.maskedCount > s32(d) ? 4 : 0) + model.lastHighFlag];
            rc.scale = see->mean();
        }
        else
        {
            see = &model.dummySee;
            rc.scale = 1;
        }

        RarPpmState* list[256];
        RarPpmState* p = model.state(states());
        RarPpmState* const end = p + n;
        u32 hi = 0;
        for (u32 i = 0; i < d; ++i, ++p)
        {
            for (;; ++p)
            {
                if (p == end)
                    return false;
                if (model.charMask[p->symbol] != model.escapeCount)
                    break;
            }
            hi += p->frequency;
            list[i] = p;
        }
        rc.scale += hi;
        const u32 count = rc.count(rc.scale);
        if (count >= rc.scale)
            return false;

        if (count < hi)
        {
            u32 sum = 0;
            u32 i = 0;
            for (;; ++i)
            {
                sum += list[i]->frequency;
                if (sum > count)
                    break;
            }
            p = list[i];
            rc.lowCount = sum - p->frequency;
            rc.highCount = sum;
            see->update();
            model.foundState = p;
            p->frequency = u8(p->frequency + 4);
            setTotalFrequency(totalFrequency() + 4);
            if (p->frequency > MAX_FREQUENCY)
                halveFrequencies(model);
            ++model.escapeCount;
            model.runLength = model.initRunLength;
        }
        else
        {
            rc.lowCount = hi;
            rc.highCount = rc.scale;
            for (u32 i = 0; i < d; ++i)
                model.charMask[list[i]->symbol] = model.escapeCount;
            see->sum = u16(see->sum + rc.scale);
            model.maskedCount = s32(n);
        }
        return true;
    }

    void RarPpmContext::halveFrequencies(RarPpmModel& model)
    {
        const u32 oldCount = symbolCount();
        RarPpmState* const first = model.state(states());

        for (RarPpmState* p = model.foundState; p != first; --p)
            swapStates(p, p - 1);
        first->frequency = u8(first->frequency + 4);
        setTotalFrequency(totalFrequency() + 4);
        s32 escape = s32(totalFrequency()) - first->frequency;
        const u32 adder = model.orderFall != 0;
        first->frequency = u8((first->frequency + adder) >> 1);
        u32 total = first->frequency;

        RarPpmState* p = first;
        for (u32 i = 1; i < oldCount; ++i)
        {
            ++p;
            escape -= p->frequency;
            p->frequency = u8((p->frequency + adder) >> 1);
            total += p->frequency;
            if (p[0].frequency > p[-1].frequency)
            {
                const RarPpmState moving = *p;
                RarPpmState* q = p;
                do
                {
                    q[0] = q[-1];
                } while (--q != first && moving.frequency > q[-1].frequency);
                *q = moving;
            }
        }

        u32 count = oldCount;
        if (p->frequency == 0)
        {
            u32 zeros = 0;
            do
            {
                ++zeros;
                --p;
            } while (p->frequency == 0 && p != first);
            escape += s32(zeros);
            count -= zeros;
            setSymbolCount(count);
            if (count == 1)
            {
                RarPpmState last = *first;
                do
                {
                    last.frequency = u8(last.frequency - (last.frequency >> 1));
                    escape >>= 1;
                } while (escape > 1);
                model.allocator.freeUnits(model.offsetOf(first), model.allocator.unitsToIndex[((oldCount + 1) >> 1) - 1]);
                *oneState() = last;
                model.foundState = oneState();
                return;
            }
        }

        escape -= escape >> 1;
        setTotalFrequency(total + u32(escape));
        const u32 n0 = (oldCount + 1) >> 1;
        const u32 n1 = (count + 1) >> 1;
        u32 statesOffset = states();
        if (n0 != n1)
        {
            statesOffset = model.allocator.shrinkUnits(statesOffset, n0, n1);
            setStates(statesOffset);
        }
        model.foundState = model.state(statesOffset);
    }

    // --------------------------------------------------------------------------------------
    // Model update
    // --------------------------------------------------------------------------------------

    u32 RarPpmModel::buildSuccessors(bool skip, RarPpmState* p1)
    {
        RarPpmContext* pc = minContext;
        const u32 up = foundState->successor();
        RarPpmState* list[PPM_MAX_ORDER];
        u32 listed = 0;
        const u32 symbol = foundState->symbol;

        bool walk = true;
        if (!skip)
        {
            list[listed++] = foundState;
            walk = pc->suffix() != 0;
        }
        if (walk)
        {
            RarPpmState* p = p1;
            if (p)
                pc = context(pc->suffix());
            for (;;)
            {
                if (!p)
                {
                    const u32 suffix = pc->suffix();
                    if (!inUnits(suffix))
                        return 0;
                    pc = context(suffix);
                    if (pc->symbolCount() != 1)
                    {
                        if (!inUnits(pc->states()))
                            return 0;
                        p = findSymbol(state(pc->states()), pc->symbolCount(), symbol);
                        if (!p)
                            return 0;
                    }
                    else
                        p = pc->oneState();
                }
                if (p->successor() != up)
                {
                    if (!inUnits(p->successor()))
                        return 0;
                    pc = context(p->successor());
                    break;
                }
                // A full list restarts the model rather than overrun it.
                if (listed == PPM_MAX_ORDER)
                    return 0;
                list[listed++] = p;
                p = nullptr;
                if (!pc->suffix())
                    break;
            }
        }

        if (listed == 0)
            return offsetOf(pc);

        RarPpmState upState;
        upState.symbol = allocator.heap[up];
        upState.setSuccessor(up + 1);
        if (pc->symbolCount() != 1)
        {
            if (offsetOf(pc) <= allocator.textPointer || !inUnits(pc->states()))
                return 0;
            RarPpmState* s = findSymbol(state(pc->states()), pc->symbolCount(), upState.symbol);
            if (!s)
                return 0;
            const u32 cf = s->frequency - 1u;
            const u32 s0 = pc->totalFrequency() - pc->symbolCount() - cf;
            if (s0 == 0 || s0 > 0xFFFF)
                return 0;
            upState.frequency = u8(1 + ((2 * cf <= s0) ? (5 * cf > s0) : ((2 * cf + 3 * s0 - 1) / (2 * s0))));
        }
        else
            upState.frequency = pc->oneState()->frequency;

        do
        {
            const u32 child = allocator.allocContext();
            if (!child)
                return 0;
            RarPpmContext* c = context(child);
            c->setSymbolCount(1);
            *c->oneState() = upState;
            c->setSuffix(offsetOf(pc));
            list[--listed]->setSuccessor(child);
            pc = c;
        } while (listed != 0);
        return offsetOf(pc);
    }

    void RarPpmModel::update()
    {
        const RarPpmState fs = *foundState;
        RarPpmState* p = nullptr;
        const u32 fsFrequency = fs.frequency;
        u32 fsSuccessor = fs.successor();

        if (fsFrequency < MAX_FREQUENCY / 4 && minContext->suffix() != 0)
        {
            RarPpmContext* pc = context(minContext->suffix());
            if (pc->symbolCount() != 1)
            {
                RarPpmState* first = state(pc->states());
                p = findSymbol(first, pc->symbolCount(), fs.symbol);
                if (!p)
                    goto restart;
                if (p != first && p[0].frequency >= p[-1].frequency)
                {
                    swapStates(p, p - 1);
                    --p;
                }
                if (p->frequency < MAX_FREQUENCY - 9)
                {
                    p->frequency = u8(p->frequency + 2);
                    pc->setTotalFrequency(pc->totalFrequency() + 2);
                }
            }
            else
            {
                p = pc->oneState();
                p->frequency = u8(p->frequency + (p->frequency < 32));
            }
        }

        if (orderFall == 0)
        {
            const u32 c = buildSuccessors(true, p);
            foundState->setSuccessor(c);
            if (!c)
                goto restart;
            minContext = maxContext = context(c);
            return;
        }

        {
            allocator.heap[allocator.textPointer++] = fs.symbol;
            u32 successor = allocator.textPointer;
            if (allocator.textPointer >= allocator.textLimit)
                goto restart;

            if (fsSuccessor)
            {
                if (fsSuccessor <= allocator.textPointer)
                {
                    fsSuccessor = buildSuccessors(false, p);
                    if (!fsSuccessor)
                        goto restart;
                }
                if (--orderFall == 0)
                {
                    successor = fsSuccessor;
                    allocator.textPointer -= (maxContext != minContext);
                }
            }
            else
            {
                foundState->setSuccessor(successor);
                fsSuccessor = offsetOf(minContext);
            }

            const u32 ns = minContext->symbolCount();
            const u32 s0 = minContext->totalFrequency() - ns - (fsFrequency - 1);
            for (RarPpmContext* pc = maxContext; pc != minContext; pc = context(pc->suffix()))
            {
                u32 m = pc->symbolCount();
                if (m != 1)
                {
                    if (m >= 256)
                        goto restart;
                    if ((m & 1) == 0)
                    {
                        const u32 grown = allocator.expandUnits(pc->states(), m >> 1);
                        if (!grown)
                            goto restart;
                        pc->setStates(grown);
                    }
                    const u32 total = pc->totalFrequency();
                    pc->setTotalFrequency(total + (2 * m < ns) + 2 * ((4 * m <= ns) & (total <= 8 * m)));
                }
                else
                {
                    const u32 a = allocator.allocUnits(1);
                    if (!a)
                        goto restart;
                    RarPpmState* s = state(a);
                    *s = *pc->oneState();
                    pc->setStates(a);
                    if (s->frequency < MAX_FREQUENCY / 4 - 1)
                        s->frequency = u8(s->frequency * 2);
                    else
                        s->frequency = u8(MAX_FREQUENCY - 4);
                    pc->setTotalFrequency(s->frequency + u32(initEscape) + (ns > 3));
                }

                u32 cf = 2 * fsFrequency * (pc->totalFrequency() + 6);
                const u32 sf = s0 + pc->totalFrequency();
                if (cf < 6 * sf)
                {
                    cf = 1 + (cf > sf) + (cf >= 4 * sf);
                    pc->setTotalFrequency(pc->totalFrequency() + 3);
                }
                else
                {
                    cf = 4 + (cf >= 9 * sf) + (cf >= 12 * sf) + (cf >= 15 * sf);
                    pc->setTotalFrequency(pc->totalFrequency() + cf);
                }
                RarPpmState* added = state(pc->states()) + m;
                added->setSuccessor(successor);
                added->symbol = fs.symbol;
                added->frequency = u8(cf);
                pc->setSymbolCount(m + 1);

                if (!inUnits(pc->suffix()))
                    goto restart;
            }
            maxContext = minContext = context(fsSuccessor);
            return;
        }

    restart:
        restartModel();
        ++restarts;
        escapeCount = 0;
    }

    int RarPpmModel::decodeByte()
    {
        if (!minContext || !inUnits(offsetOf(minContext)))
            return -1;
        if (minContext->symbolCount() != 1)
        {
            if (!inUnits(minContext->states()) || !minContext->decodeUnmasked(*this))
                return -1;
        }
        else if (!decodeBinary(minContext))
            return -1;
        decoder.consume();

        while (!foundState)
        {
            decoder.normalise();
            do
            {
                ++orderFall;
                const u32 suffix = minContext->suffix();
                if (!inUnits(suffix))
                    return -1;
                minContext = context(suffix);
            } while (s32(minContext->symbolCount()) == maskedCount);
            if (!minContext->decodeMasked(*this))
                return -1;
            decoder.consume();
        }

        const int symbol = foundState->symbol;
        if (orderFall == 0 && foundState->successor() > allocator.textPointer)
        {
            const u32 next = foundState->successor();
            if (!inUnits(next))
                return -1;
            minContext = maxContext = context(next);
        }
        else
        {
            update();
            if (escapeCount == 0)
                clearMask();
        }
        decoder.normalise();
        return symbol;
    }

    // --------------------------------------------------------------------------------------
    // The unpacker's hooks
    // --------------------------------------------------------------------------------------

    bool RarUnpacker::initPpm()
    {
        if (!ppm)
        {
            ppm = new RarPpmModel;
            ppm->allocator.limitMegabytes = ppmLimitMegabytes;
        }
        return ppm->initFromStream(this, ppmEscChar);
    }

    int RarUnpacker::ppmDecodeByte()
    {
        return ppm ? ppm->decodeByte() : -1;
    }

    void RarUnpacker::resetPpm()
    {
        // The member ends after damage: the model and its heap go at once.
        delete ppm;
        ppm = nullptr;
    }

} // namespace norva::filesystem::rar
