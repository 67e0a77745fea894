// The RAR 2.9 filter machine: bytecode is prepared into a command list and run over a
// 256 KiB memory with eight registers. The seven programs packers actually emit are
// recognised by length and CRC-32 and run natively; anything else is interpreted under the
// bounds below, since in practice only hostile streams carry other programs.

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <norva/core/crc32.hpp>
#include <norva/core/endian.hpp>

#include "archive/rar/rar_unpack.hpp"

namespace norva::filesystem::rar
{
    namespace
    {
        constexpr u32 FLAG_CARRY = 1;
        constexpr u32 FLAG_ZERO = 2;
        constexpr u32 FLAG_SIGN = 0x80000000;

        // Per opcode: operand count in bits 0-1, then the properties below.
        enum : u8
        {
            CF_OPMASK = 3,
            CF_BYTEMODE = 4,
            CF_JUMP = 8,
            CF_PROC = 16,
            CF_USEFLAGS = 32,
            CF_CHFLAGS = 64,
        };

        constexpr u8 commandFlags[40] = {
            /* mov   */ 2 | CF_BYTEMODE,
            /* cmp   */ 2 | CF_BYTEMODE | CF_CHFLAGS,
            /* add   */ 2 | CF_BYTEMODE | CF_CHFLAGS,
            /* sub   */ 2 | CF_BYTEMODE | CF_CHFLAGS,
            /* jz    */ 1 | CF_JUMP | CF_USEFLAGS,
            /* jnz   */ 1 | CF_JUMP | CF_USEFLAGS,
            /* inc   */ 1 | CF_BYTEMODE | CF_CHFLAGS,
            /* dec   */ 1 | CF_BYTEMODE | CF_CHFLAGS,
            /* jmp   */ 1 | CF_JUMP,
            /* xor   */ 2 | CF_BYTEMODE | CF_CHFLAGS,
            /* and   */ 2 | CF_BYTEMODE | CF_CHFLAGS,
            /* or    */ 2 | CF_BYTEMODE | CF_CHFLAGS,
            /* test  */ 2 | CF_BYTEMODE | CF_CHFLAGS,
            /* js    */ 1 | CF_JUMP | CF_USEFLAGS,
            /* jns   */ 1 | CF_JUMP | CF_USEFLAGS,
            /* jb    */ 1 | CF_JUMP | CF_USEFLAGS,
            /* jbe   */ 1 | CF_JUMP | CF_USEFLAGS,
            /* ja    */ 1 | CF_JUMP | CF_USEFLAGS,
            /* jae   */ 1 | CF_JUMP | CF_USEFLAGS,
            /* push  */ 1,
            /* pop   */ 1,
            /* call  */ 1 | CF_PROC,
            /* ret   */ 0 | CF_PROC,
            /* not   */ 1 | CF_BYTEMODE,
            /* shl   */ 2 | CF_BYTEMODE | CF_CHFLAGS,
            /* shr   */ 2 | CF_BYTEMODE | CF_CHFLAGS,
            /* sar   */ 2 | CF_BYTEMODE | CF_CHFLAGS,
            /* neg   */ 1 | CF_BYTEMODE | CF_CHFLAGS,
            /* pusha */ 0,
            /* popa  */ 0,
            /* pushf */ 0 | CF_USEFLAGS,
            /* popf  */ 0 | CF_CHFLAGS,
            /* movzx */ 2,
            /* movsx */ 2,
            /* xchg  */ 2 | CF_BYTEMODE,
            /* mul   */ 2 | CF_BYTEMODE,
            /* div   */ 2 | CF_BYTEMODE,
            /* adc   */ 2 | CF_BYTEMODE | CF_USEFLAGS | CF_CHFLAGS,
            /* sbb   */ 2 | CF_BYTEMODE | CF_USEFLAGS | CF_CHFLAGS,
            /* print */ 0,
        };

        u8 flagsOf(u32 opcode)
        {
            return opcode < 40 ? commandFlags[opcode] : 0;
        }

        struct StandardProgram
        {
            u32 length;
            u32 crc;
            u32 filter;
        };

        constexpr StandardProgram standardPrograms[] = {
            { 53, 0xAD576887, FILTER_E8 },
            { 57, 0x3CD7E57E, FILTER_E8E9 },
            { 120, 0x3769893F, FILTER_ITANIUM },
            { 29, 0x0E06077D, FILTER_DELTA },
            { 149, 0x1C2C5DC8, FILTER_RGB },
            { 216, 0xBC85E701, FILTER_AUDIO },
            { 40, 0x46B9C560, FILTER_UPCASE },
        };

        u32 itaniumBits(const u8* data, u32 bitPos, u32 bitCount)
        {
            const u8* p = data + bitPos / 8;
            u32 field = loadLE32(p) >> (bitPos & 7);
            return field & (0xFFFFFFFFu >> (32 - bitCount));
        }

        void setItaniumBits(u8* data, u32 field, u32 bitPos, u32 bitCount)
        {
            u8* p = data + bitPos / 8;
            u32 inBit = bitPos & 7;
            u32 andMask = ~((0xFFFFFFFFu >> (32 - bitCount)) << inBit);
            field <<= inBit;
            for (int i = 0; i < 4; ++i)
            {
                p[i] = u8((p[i] & andMask) | field);
                andMask = (andMask >> 8) | 0xFF000000;
                field >>= 8;
            }
        }

    } // namespace

    // --------------------------------------------------------------------------------------
    // RarBitReader
    // --------------------------------------------------------------------------------------

    RarBitReader::RarBitReader()
        : buffer(new u8[MAX_SIZE + BIT_SLACK]())
    {
    }

    void RarBitReader::load(const u8* data, u32 size)
    {
        size = std::min(size, MAX_SIZE);
        std::memcpy(buffer.get(), data, size);
        std::memset(buffer.get() + size, 0, std::min<u32>(BIT_SLACK, MAX_SIZE + BIT_SLACK - size));
        reset();
    }

    u32 readData(RarBitReader& reader)
    {
        u32 data = reader.peekBits();
        switch (data & 0xC000)
        {
            case 0:
                reader.addBits(6);
                return (data >> 10) & 0xF;
            case 0x4000:
                if ((data & 0x3C00) == 0)
                {
                    reader.addBits(14);
                    return 0xFFFFFF00 | ((data >> 2) & 0xFF);
                }
                reader.addBits(10);
                return (data >> 6) & 0xFF;
            case 0x8000:
                reader.addBits(2);
                data = reader.peekBits();
                reader.addBits(16);
                return data;
            default:
                reader.addBits(2);
                data = reader.peekBits() << 16;
                reader.addBits(16);
                data |= reader.peekBits();
                reader.addBits(16);
                return data;
        }
    }

    u32 findStandardFilter(const u8* code, u32 size)
    {
        const u32 crc = crc32(0, ConstMemory(code, size));
        for (const StandardProgram& program : standardPrograms)
        {
            if (program.length == size && program.crc == crc)
                return program.filter;
        }
        return FILTER_NONE;
    }

    // --------------------------------------------------------------------------------------
    // Preparation
    // --------------------------------------------------------------------------------------

    RarFilterVM::RarFilterVM() = default;

    RarFilterVM::~RarFilterVM()
    {
        delete[] m_memory;
    }

    void RarFilterVM::init()
    {
        if (!m_memory)
        {
            // 4 spare bytes: a 32-bit access at the last address stays inside.
            m_memory = new u8[VM_MEMSIZE + 4]();
        }
    }

    void RarFilterVM::setMemory(u32 position, const u8* data, u32 size)
    {
        if (position < VM_MEMSIZE && data != m_memory + position)
        {
            std::memmove(m_memory + position, data, std::min(size, VM_MEMSIZE - position));
        }
    }

    void RarFilterVM::decodeOperand(RarOperand& op, bool byteMode)
    {
        const u32 data = m_reader.peekBits();
        if (data & 0x8000)
        {
            op.type = OPERAND_REGISTER;
            op.data = (data >> 12) & 7;
            m_reader.addBits(4);
        }
        else if ((data & 0xC000) == 0)
        {
            op.type = OPERAND_IMMEDIATE;
            if (byteMode)
            {
                op.data = (data >> 6) & 0xFF;
                m_reader.addBits(10);
            }
            else
            {
                m_reader.addBits(2);
                op.data = readData(m_reader);
            }
        }
        else
        {
            op.type = OPERAND_MEMORY;
            if ((data & 0x2000) == 0)
            {
                op.data = (data >> 10) & 7;
                op.hasRegister = true;
                op.base = 0;
                m_reader.addBits(6);
            }
            else
            {
                if ((data & 0x1000) == 0)
                {
                    op.data = (data >> 9) & 7;
                    op.hasRegister = true;
                    m_reader.addBits(7);
                }
                else
                {
                    op.data = 0;
                    op.hasRegister = false;
                    m_reader.addBits(4);
                }
                op.base = readData(m_reader);
            }
        }
    }

    void RarFilterVM::prepare(const u8* code, u32 codeSize, RarPreparedProgram& program)
    {
        if (capturedCode)
        {
            capturedCode->emplace_back(code, code + codeSize);
        }

        m_reader.load(code, codeSize);
        // Commands are decoded only from the bytes the reader holds.
        const u32 parseSize = std::min(codeSize, RarBitReader::MAX_SIZE);
        program.commands.clear();
        program.staticData.clear();

        u8 xorSum = 0;
        for (u32 i = 1; i < codeSize; ++i)
        {
            xorSum ^= code[i];
        }

        if (codeSize > 0 && xorSum == code[0])
        {
            m_reader.addBits(8);

            const u32 filter = recogniseStandard ? findStandardFilter(code, codeSize) : u32(FILTER_NONE);
            if (filter != FILTER_NONE)
            {
                RarCommand command;
                command.opcode = VM_STANDARD;
                command.op1.data = filter;
                program.commands.push_back(command);
            }
            else
            {
                if (m_reader.peekBits() & 0x8000)
                {
                    m_reader.addBits(1);
                    // readData + 1 wraps to 0 at 0xFFFFFFFF; the code left bounds it anyway.
                    const u32 dataSize = readData(m_reader) + 1;
                    for (u32 i = 0; m_reader.bytePos < parseSize && i < dataSize; ++i)
                    {
                        program.staticData.push_back(u8(m_reader.peekBits() >> 8));
                        m_reader.addBits(8);
                    }
                }
                else
                {
                    m_reader.addBits(1);
                }

                while (m_reader.bytePos < parseSize)
                {
                    RarCommand command;
                    const u32 data = m_reader.peekBits();
                    if ((data & 0x8000) == 0)
                    {
                        command.opcode = data >> 12;
                        m_reader.addBits(4);
                    }
                    else
                    {
                        command.opcode = (data >> 10) - 24;
                        m_reader.addBits(6);
                    }
                    const u8 flags = flagsOf(command.opcode);
                    if (flags & CF_BYTEMODE)
                    {
                        command.byteMode = (m_reader.peekBits() >> 15) != 0;
                        m_reader.addBits(1);
                    }
                    const int count = flags & CF_OPMASK;
                    if (count > 0)
                    {
                        decodeOperand(command.op1, command.byteMode);
                        if (count == 2)
                        {
                            decodeOperand(command.op2, command.byteMode);
                        }
                        else if (command.op1.type == OPERAND_IMMEDIATE && (flags & (CF_JUMP | CF_PROC)))
                        {
                            // Jump targets are coded relative to the command.
                            const u32 index = u32(program.commands.size());
                            u32 distance = command.op1.data;
                            if (distance >= 256)
                                distance -= 256;
                            else
                            {
                                if (distance >= 136)
                                    distance -= 264;
                                else if (distance >= 16)
                                    distance -= 8;
                                else if (distance >= 8)
                                    distance -= 16;
                                distance += index;
                            }
                            command.op1.data = distance;
                        }
                    }
                    program.commands.push_back(command);
                }
            }
        }

        program.commands.push_back(RarCommand()); // the closing ret

        // Flagless forms where no later command can observe the flags.
        std::vector<RarCommand>& list = program.commands;
        for (std::size_t i = 0; i < list.size(); ++i)
        {
            RarCommand& command = list[i];
            switch (command.opcode)
            {
                case VM_MOV:
                    command.opcode = command.byteMode ? VM_MOVB : VM_MOVD;
                    continue;
                case VM_CMP:
                    command.opcode = command.byteMode ? VM_CMPB : VM_CMPD;
                    continue;
                default:
                    break;
            }
            if (!(flagsOf(command.opcode) & CF_CHFLAGS))
                continue;

            bool flagsRequired = false;
            for (std::size_t j = i + 1; j < list.size(); ++j)
            {
                const u8 flags = flagsOf(list[j].opcode);
                if (list[j].opcode == VM_STANDARD || (flags & (CF_JUMP | CF_PROC | CF_USEFLAGS)))
                {
                    flagsRequired = true;
                    break;
                }
                if (flags & CF_CHFLAGS)
                    break;
            }
            if (flagsRequired)
                continue;

            switch (command.opcode)
            {
                case VM_ADD: command.opcode = command.byteMode ? VM_ADDB : VM_ADDD; break;
                case VM_SUB: command.opcode = command.byteMode ? VM_SUBB : VM_SUBD; break;
                case VM_INC: command.opcode = command.byteMode ? VM_INCB : VM_INCD; break;
                case VM_DEC: command.opcode = command.byteMode ? VM_DECB : VM_DECD; break;
                case VM_NEG: command.opcode = command.byteMode ? VM_NEGB : VM_NEGD; break;
                default: break;
            }
        }
    }

    // --------------------------------------------------------------------------------------
    // Execution
    // --------------------------------------------------------------------------------------

    bool RarFilterVM::execute(RarPreparedProgram& program, std::vector<RarCommand>& commands)
    {
        init();
        std::memcpy(R, program.initR, sizeof(program.initR));
        R[7] = VM_MEMSIZE;
        flags = 0;

        const u32 globalSize = u32(std::min<std::size_t>(program.globalData.size(), VM_GLOBALSIZE));
        if (globalSize)
            std::memcpy(m_memory + VM_GLOBALADDR, program.globalData.data(), globalSize);
        const u32 staticSize = u32(std::min<std::size_t>(program.staticData.size(), VM_GLOBALSIZE - globalSize));
        if (staticSize)
            std::memcpy(m_memory + VM_GLOBALADDR + globalSize, program.staticData.data(), staticSize);

        bool completed = true;
        if (!commands.empty() && !interpret(commands))
        {
            commands[0] = RarCommand(); // a program that overran does nothing from now on
            completed = false;
        }

        u32 start = loadLE32(m_memory + VM_GLOBALADDR + 0x20) & VM_MEMMASK;
        u32 size = loadLE32(m_memory + VM_GLOBALADDR + 0x1C) & VM_MEMMASK;
        if (start + size >= VM_MEMSIZE)
        {
            start = 0;
            size = 0;
        }
        program.filteredStart = start;
        program.filteredSize = size;

        program.globalData.clear();
        const u32 keep = std::min(loadLE32(m_memory + VM_GLOBALADDR + 0x30), VM_GLOBALSIZE - VM_FIXEDGLOBALSIZE);
        if (keep)
        {
            program.globalData.assign(m_memory + VM_GLOBALADDR, m_memory + VM_GLOBALADDR + VM_FIXEDGLOBALSIZE + keep);
        }
        return completed;
    }

    bool RarFilterVM::interpret(std::vector<RarCommand>& commands)
    {
        const u32 count = u32(commands.size());
        u8* const mem = m_memory;
        // Checked only at taken jumps, as the format's own machine does; straight-line code
        // cannot run long since the list is finite.
        s64 budget = VM_BUDGET;

        // An operand is a register or immediate (host u32) or a little-endian memory cell;
        // memory addresses follow the registers, so they are resolved when used.
        struct Ref
        {
            u32* value;
            u8* memory;
        };
        u32 immediate1 = 0;
        u32 immediate2 = 0;
        auto resolve = [&](const RarOperand& op, u32& immediate) -> Ref {
            switch (op.type)
            {
                case OPERAND_REGISTER:
                    return Ref { &R[op.data], nullptr };
                case OPERAND_MEMORY:
                    return Ref { nullptr, mem + ((op.base + (op.hasRegister ? R[op.data] : 0)) & VM_MEMMASK) };
                default:
                    immediate = op.data;
                    return Ref { &immediate, nullptr };
            }
        };
        auto get = [](bool byteMode, const Ref& ref) -> u32 {
            if (ref.memory)
                return byteMode ? ref.memory[0] : loadLE32(ref.memory);
            return byteMode ? (*ref.value & 0xFF) : *ref.value;
        };
        auto set = [](bool byteMode, const Ref& ref, u32 value) {
            if (ref.memory)
            {
                if (byteMode)
                    ref.memory[0] = u8(value);
                else
                    storeLE32(ref.memory, value);
            }
            else if (byteMode)
                *ref.value = (*ref.value & ~0xFFu) | (value & 0xFF);
            else
                *ref.value = value;
        };
        auto stack = [&](u32 address) { return mem + (address & VM_MEMMASK); };

        u32 ip = 0;
        // A taken jump: a target past the list ends the run normally, an exhausted budget
        // stops it.
        enum Step { NEXT, JUMPED, FINISHED, EXHAUSTED };
        auto jump = [&](u32 target) -> Step {
            if (target >= count)
                return FINISHED;
            if (--budget <= 0 || memberBudget == 0)
                return EXHAUSTED;
            ip = target;
            return JUMPED;
        };

        for (;;)
        {
            RarCommand& cmd = commands[ip];
            const Ref op1 = resolve(cmd.op1, immediate1);
            const Ref op2 = resolve(cmd.op2, immediate2);
            const bool bm = cmd.byteMode;
            Step step = NEXT;

            switch (cmd.opcode)
            {
                case VM_MOV: set(bm, op1, get(bm, op2)); break;
                case VM_MOVB: set(true, op1, get(true, op2)); break;
                case VM_MOVD: set(false, op1, get(false, op2)); break;
                case VM_CMP:
                case VM_CMPB:
                case VM_CMPD:
                {
                    const bool b = cmd.opcode == VM_CMP ? bm : cmd.opcode == VM_CMPB;
                    const u32 v1 = get(b, op1);
                    const u32 r = v1 - get(b, op2);
                    flags = r == 0 ? FLAG_ZERO : (u32(r > v1) | (r & FLAG_SIGN));
                    break;
                }
                case VM_ADD:
                {
                    const u32 v1 = get(bm, op1);
                    u32 r = v1 + get(bm, op2);
                    if (bm)
                    {
                        r &= 0xFF;
                        flags = u32(r < v1) | (r == 0 ? FLAG_ZERO : ((r & 0x80) ? FLAG_SIGN : 0));
                    }
                    else
                        flags = u32(r < v1) | (r == 0 ? FLAG_ZERO : (r & FLAG_SIGN));
                    set(bm, op1, r);
                    break;
                }
                case VM_ADDB: set(true, op1, get(true, op1) + get(true, op2)); break;
                case VM_ADDD: set(false, op1, get(false, op1) + get(false, op2)); break;
                case VM_SUB:
                {
                    const u32 v1 = get(bm, op1);
                    const u32 r = v1 - get(bm, op2);
                    flags = r == 0 ? FLAG_ZERO : (u32(r > v1) | (r & FLAG_SIGN));
                    set(bm, op1, r);
                    break;
                }
                case VM_SUBB: set(true, op1, get(true, op1) - get(true, op2)); break;
                case VM_SUBD: set(false, op1, get(false, op1) - get(false, op2)); break;
                case VM_JZ: if (flags & FLAG_ZERO) step = jump(get(false, op1)); break;
                case VM_JNZ: if (!(flags & FLAG_ZERO)) step = jump(get(false, op1)); break;
                case VM_INC:
                {
                    u32 r = get(bm, op1) + 1;
                    if (bm)
                        r &= 0xFF;
                    set(bm, op1, r);
                    flags = r == 0 ? FLAG_ZERO : (r & FLAG_SIGN);
                    break;
                }
                case VM_INCB: set(true, op1, get(true, op1) + 1); break;
                case VM_INCD: set(false, op1, get(false, op1) + 1); break;
                case VM_DEC:
                {
                    u32 r = get(bm, op1) - 1;
                    if (bm)
                        r &= 0xFF;
                    set(bm, op1, r);
                    flags = r == 0 ? FLAG_ZERO : (r & FLAG_SIGN);
                    break;
                }
                case VM_DECB: set(true, op1, get(true, op1) - 1); break;
                case VM_DECD: set(false, op1, get(false, op1) - 1); break;
                case VM_JMP: step = jump(get(false, op1)); break;
                case VM_XOR:
                case VM_AND:
                case VM_OR:
                {
                    const u32 a = get(bm, op1);
                    const u32 b = get(bm, op2);
                    const u32 r = cmd.opcode == VM_XOR ? (a ^ b) : cmd.opcode == VM_AND ? (a & b) : (a | b);
                    flags = r == 0 ? FLAG_ZERO : (r & FLAG_SIGN);
                    set(bm, op1, r);
                    break;
                }
                case VM_TEST:
                {
                    const u32 r = get(bm, op1) & get(bm, op2);
                    flags = r == 0 ? FLAG_ZERO : (r & FLAG_SIGN);
                    break;
                }
                case VM_JS: if (flags & FLAG_SIGN) step = jump(get(false, op1)); break;
                case VM_JNS: if (!(flags & FLAG_SIGN)) step = jump(get(false, op1)); break;
                case VM_JB: if (flags & FLAG_CARRY) step = jump(get(false, op1)); break;
                case VM_JBE: if (flags & (FLAG_CARRY | FLAG_ZERO)) step = jump(get(false, op1)); break;
                case VM_JA: if (!(flags & (FLAG_CARRY | FLAG_ZERO))) step = jump(get(false, op1)); break;
                case VM_JAE: if (!(flags & FLAG_CARRY)) step = jump(get(false, op1)); break;
                case VM_PUSH:
                    R[7] -= 4;
                    storeLE32(stack(R[7]), get(false, op1));
                    break;
                case VM_POP:
                    set(false, op1, loadLE32(stack(R[7])));
                    R[7] += 4;
                    break;
                case VM_CALL:
                    R[7] -= 4;
                    storeLE32(stack(R[7]), ip + 1);
                    step = jump(get(false, op1));
                    break;
                case VM_RET:
                    if (R[7] >= VM_MEMSIZE)
                        return true;
                    step = jump(loadLE32(stack(R[7])));
                    R[7] += 4;
                    break;
                case VM_NOT: set(bm, op1, ~get(bm, op1)); break;
                case VM_SHL:
                {
                    const u32 v1 = get(bm, op1);
                    const u32 v2 = get(bm, op2);
                    const u32 r = v1 << (v2 & 31);
                    flags = (r == 0 ? FLAG_ZERO : (r & FLAG_SIGN)) | (((v1 << ((v2 - 1) & 31)) & 0x80000000) ? FLAG_CARRY : 0);
                    set(bm, op1, r);
                    break;
                }
                case VM_SHR:
                {
                    const u32 v1 = get(bm, op1);
                    const u32 v2 = get(bm, op2);
                    const u32 r = v1 >> (v2 & 31);
                    flags = (r == 0 ? FLAG_ZERO : (r & FLAG_SIGN)) | ((v1 >> ((v2 - 1) & 31)) & FLAG_CARRY);
                    set(bm, op1, r);
                    break;
                }
                case VM_SAR:
                {
                    const u32 v1 = get(bm, op1);
                    const u32 v2 = get(bm, op2);
                    const u32 r = u32(s32(v1) >> (v2 & 31));
                    flags = (r == 0 ? FLAG_ZERO : (r & FLAG_SIGN)) | ((v1 >> ((v2 - 1) & 31)) & FLAG_CARRY);
                    set(bm, op1, r);
                    break;
                }
                case VM_NEG:
                {
                    const u32 r = 0u - get(bm, op1);
                    flags = r == 0 ? FLAG_ZERO : (FLAG_CARRY | (r & FLAG_SIGN));
                    set(bm, op1, r);
                    break;
                }
                case VM_NEGB: set(true, op1, 0u - get(true, op1)); break;
                case VM_NEGD: set(false, op1, 0u - get(false, op1)); break;
                case VM_PUSHA:
                {
                    u32 sp = R[7] - 4;
                    for (int i = 0; i < 8; ++i, sp -= 4)
                        storeLE32(stack(sp), R[i]);
                    R[7] -= 32;
                    break;
                }
                case VM_POPA:
                {
                    u32 sp = R[7];
                    u32 values[8];
                    for (int i = 0; i < 8; ++i, sp += 4)
                        values[7 - i] = loadLE32(stack(sp));
                    std::memcpy(R, values, sizeof(values));
                    break;
                }
                case VM_PUSHF:
                    R[7] -= 4;
                    storeLE32(stack(R[7]), flags);
                    break;
                case VM_POPF:
                    flags = loadLE32(stack(R[7]));
                    R[7] += 4;
                    break;
                case VM_MOVZX: set(false, op1, get(true, op2)); break;
                case VM_MOVSX: set(false, op1, u32(s32(s8(u8(get(true, op2)))))); break;
                case VM_XCHG:
                {
                    const u32 v1 = get(bm, op1);
                    set(bm, op1, get(bm, op2));
                    set(bm, op2, v1);
                    break;
                }
                case VM_MUL: set(bm, op1, get(bm, op1) * get(bm, op2)); break;
                case VM_DIV:
                {
                    const u32 divisor = get(bm, op2);
                    if (divisor != 0)
                        set(bm, op1, get(bm, op1) / divisor);
                    break;
                }
                case VM_ADC:
                {
                    const u32 v1 = get(bm, op1);
                    const u32 carry = flags & FLAG_CARRY;
                    u32 r = v1 + get(bm, op2) + carry;
                    if (bm)
                        r &= 0xFF;
                    flags = u32(r < v1 || (r == v1 && carry)) | (r == 0 ? FLAG_ZERO : (r & FLAG_SIGN));
                    set(bm, op1, r);
                    break;
                }
                case VM_SBB:
                {
                    const u32 v1 = get(bm, op1);
                    const u32 carry = flags & FLAG_CARRY;
                    u32 r = v1 - get(bm, op2) - carry;
                    if (bm)
                        r &= 0xFF;
                    flags = u32(r > v1 || (r == v1 && carry)) | (r == 0 ? FLAG_ZERO : (r & FLAG_SIGN));
                    set(bm, op1, r);
                    break;
                }
                case VM_STANDARD:
                    runStandard(cmd.op1.data);
                    break;
                default: // print and unknown opcodes do nothing
                    break;
            }

            if (memberBudget)
                --memberBudget;
            if (step == FINISHED)
                return true;
            if (step == EXHAUSTED)
                return false;
            if (step == JUMPED)
                continue;
            --budget;
            if (++ip >= count)
                return true;
        }
    }

    // --------------------------------------------------------------------------------------
    // Native filters
    // --------------------------------------------------------------------------------------

    void RarFilterVM::runStandard(u32 filter)
    {
        init();
        u8* mem = m_memory;
        const u32 length = R[4];

        switch (filter)
        {
            case FILTER_E8:
            case FILTER_E8E9:
            {
                if (length >= VM_GLOBALADDR || length <= 4)
                    break;
                const u8 second = filter == FILTER_E8E9 ? 0xE9 : 0xE8;
                const u32 fileSize = 0x1000000;
                const u32 fileOffset = R[6];
                for (u32 pos = 0; pos < length - 4;)
                {
                    const u8 byte = mem[pos++];
                    if (byte == 0xE8 || byte == second)
                    {
                        const u32 offset = pos + fileOffset;
                        const u32 address = loadLE32(mem + pos);
                        if (address & 0x80000000)
                        {
                            if (!((address + offset) & 0x80000000))
                                storeLE32(mem + pos, address + fileSize);
                        }
                        else if (address < fileSize)
                            storeLE32(mem + pos, address - offset);
                        pos += 4;
                    }
                }
                break;
            }
            case FILTER_ITANIUM:
            {
                if (length >= VM_GLOBALADDR || length <= 21)
                    break;
                static constexpr u8 masks[16] = { 4, 4, 6, 6, 0, 0, 7, 7, 4, 4, 0, 0, 4, 4, 0, 0 };
                u32 fileOffset = R[6] >> 4;
                for (u32 pos = 0; pos < length - 21; pos += 16, ++fileOffset)
                {
                    u8* data = mem + pos;
                    const int t = (data[0] & 0x1F) - 0x10;
                    if (t < 0)
                        continue;
                    const u8 mask = masks[t];
                    for (u32 slot = 0; slot < 3; ++slot)
                    {
                        if (!(mask & (1 << slot)))
                            continue;
                        const u32 start = slot * 41 + 5;
                        if (itaniumBits(data, start + 37, 4) == 5)
                        {
                            const u32 offset = itaniumBits(data, start + 13, 20);
                            setItaniumBits(data, (offset - fileOffset) & 0xFFFFF, start + 13, 20);
                        }
                    }
                }
                break;
            }
            case FILTER_DELTA:
            {
                storeLE32(mem + VM_GLOBALADDR + 0x20, length);
                const s32 channels = s32(R[0]);
                if (length >= VM_GLOBALADDR / 2 || channels < 1)
                    break;
                // Channels beyond the length would write nothing: bound the loop by both.
                const u32 lastChannel = std::min(u32(channels), length);
                u32 source = 0;
                for (u32 c = 0; c < lastChannel; ++c)
                {
                    u8 prev = 0;
                    for (u64 dest = u64(length) + c; dest < 2 * u64(length); dest += u32(channels))
                    {
                        prev = u8(prev - mem[source++]);
                        mem[dest] = prev;
                    }
                }
                break;
            }
            case FILTER_RGB:
            {
                storeLE32(mem + VM_GLOBALADDR + 0x20, length);
                const s32 r0 = s32(R[0]);
                const s32 posR = s32(R[1]);
                // A width below 3 would predict from above the output, and posR is 0..2.
                if (length >= VM_GLOBALADDR / 2 || r0 < 3 || posR < 0 || posR > 2)
                    break;
                const u32 width = u32(r0 - 3);
                const u8* src = mem;
                u8* dest = mem + length;
                for (u32 c = 0; c < 3; ++c)
                {
                    u32 prev = 0;
                    for (u32 i = c; i < length; i += 3)
                    {
                        u32 predicted = prev;
                        if (i >= width && i - width >= 3)
                        {
                            const u8* upper = dest + (i - width);
                            const int upperByte = upper[0];
                            const int upperLeft = upper[-3];
                            const int p = int(prev) + upperByte - upperLeft;
                            const int pa = std::abs(p - int(prev));
                            const int pb = std::abs(p - upperByte);
                            const int pc = std::abs(p - upperLeft);
                            if (pa <= pb && pa <= pc)
                                predicted = prev;
                            else if (pb <= pc)
                                predicted = u32(upperByte);
                            else
                                predicted = u32(upperLeft);
                        }
                        prev = u8(predicted - *src++);
                        dest[i] = u8(prev);
                    }
                }
                for (u32 i = u32(posR); i + 2 < length; i += 3)
                {
                    const u8 g = dest[i + 1];
                    dest[i] = u8(dest[i] + g);
                    dest[i + 2] = u8(dest[i + 2] + g);
                }
                break;
            }
            case FILTER_AUDIO:
            {
                storeLE32(mem + VM_GLOBALADDR + 0x20, length);
                const s32 channels = s32(R[0]);
                if (length >= VM_GLOBALADDR / 2 || channels < 1)
                    break;
                const u32 lastChannel = std::min(u32(channels), length);
                const u8* src = mem;
                u8* dest = mem + length;
                for (u32 c = 0; c < lastChannel; ++c)
                {
                    u32 prevByte = 0;
                    int prevDelta = 0;
                    u32 dif[7] = {};
                    int d1 = 0, d2 = 0, d3 = 0;
                    int k1 = 0, k2 = 0, k3 = 0;
                    u32 byteCount = 0;
                    for (u64 i = c; i < length; i += u32(channels), ++byteCount)
                    {
                        d3 = d2;
                        d2 = prevDelta - d1;
                        d1 = prevDelta;
                        u32 predicted = 8 * prevByte + u32(k1 * d1) + u32(k2 * d2) + u32(k3 * d3);
                        predicted = (predicted >> 3) & 0xFF;
                        const u32 cur = *src++;
                        const u8 out = u8(predicted - cur);
                        dest[i] = out;
                        prevDelta = s8(u8(out - prevByte));
                        prevByte = out;

                        const int d = int(s8(u8(cur))) * 8;
                        dif[0] += u32(std::abs(d));
                        dif[1] += u32(std::abs(d - d1));
                        dif[2] += u32(std::abs(d + d1));
                        dif[3] += u32(std::abs(d - d2));
                        dif[4] += u32(std::abs(d + d2));
                        dif[5] += u32(std::abs(d - d3));
                        dif[6] += u32(std::abs(d + d3));

                        if ((byteCount & 0x1F) == 0)
                        {
                            u32 minDif = dif[0];
                            u32 best = 0;
                            dif[0] = 0;
                            for (u32 j = 1; j < 7; ++j)
                            {
                                if (dif[j] < minDif)
                                {
                                    minDif = dif[j];
                                    best = j;
                                }
                                dif[j] = 0;
                            }
                            switch (best)
                            {
                                case 1: if (k1 >= -16) --k1; break;
                                case 2: if (k1 < 16) ++k1; break;
                                case 3: if (k2 >= -16) --k2; break;
                                case 4: if (k2 < 16) ++k2; break;
                                case 5: if (k3 >= -16) --k3; break;
                                case 6: if (k3 < 16) ++k3; break;
                                default: break;
                            }
                        }
                    }
                }
                break;
            }
            case FILTER_UPCASE:
            {
                if (length >= VM_GLOBALADDR / 2)
                    break;
                u32 src = 0;
                u32 dest = length;
                while (src < length)
                {
                    u8 byte = mem[src++];
                    if (byte == 2)
                    {
                        byte = mem[src++];
                        if (byte != 2)
                            byte = u8(byte - 32);
                    }
                    mem[dest++] = byte;
                }
                storeLE32(mem + VM_GLOBALADDR + 0x1C, dest - length);
                storeLE32(mem + VM_GLOBALADDR + 0x20, length);
                break;
            }
            default:
                break;
        }
    }

} // namespace norva::filesystem::rar
