// The filter machine: hand-assembled programs through the interpreter, the native filters
// on hand-computed cases and their guards, and the interpreter against the natives on the
// standard programs captured from real archives.

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <vector>

#include <norva/core/crc32.hpp>
#include <norva/core/endian.hpp>

#include "archive/rar/rar_unpack.hpp"
#include "rar/rar_test_helpers.hpp"

using namespace norva;
using namespace norva::filesystem::rar;

namespace
{
    // A test-side assembler for the machine's bytecode: opcodes, operands and numbers are
    // written MSB first, the XOR checksum goes in front.
    class Assembler
    {
    public:
        struct Op
        {
            int kind; // 0 register, 1 immediate, 2 [reg], 3 [reg + base], 4 [base], 5 none
            u32 value;
            u32 base;
        };

        static Op reg(u32 r) { return Op { 0, r, 0 }; }
        static Op imm(u32 v) { return Op { 1, v, 0 }; }
        static Op mem(u32 r) { return Op { 2, r, 0 }; }
        static Op mem(u32 r, u32 base) { return Op { 3, r, base }; }
        static Op abs(u32 base) { return Op { 4, 0, base }; }
        static Op target(u32 index) { return Op { 1, index + 256, 0 }; } // absolute command index

        Assembler& emit(u32 opcode, bool byteMode = false, Op a = Op { 5, 0, 0 }, Op b = Op { 5, 0, 0 })
        {
            if (opcode < 8)
                bits(opcode, 4);
            else
                bits(opcode + 24, 6);
            if (hasByteMode(opcode))
                bits(byteMode ? 1 : 0, 1);
            operand(a, byteMode);
            operand(b, byteMode);
            return *this;
        }

        Assembler& op(u32 opcode, Op a = Op { 5, 0, 0 }, Op b = Op { 5, 0, 0 }) { return emit(opcode, false, a, b); }
        Assembler& opb(u32 opcode, Op a = Op { 5, 0, 0 }, Op b = Op { 5, 0, 0 }) { return emit(opcode, true, a, b); }

        // The program: checksum byte, no static data, the commands, an explicit ret (what
        // the spare bits of the last byte decode to then never runs).
        std::vector<u8> finish()
        {
            op(VM_RET);
            std::vector<u8> out(1, 0);
            std::vector<u8> body = m_bits;
            while (body.size() % 8)
                body.push_back(0);
            // first bit after the checksum byte: the static-data flag (0)
            std::vector<u8> all;
            all.push_back(0);
            all.insert(all.end(), body.begin(), body.end());
            while (all.size() % 8)
                all.push_back(0);
            for (std::size_t i = 0; i < all.size(); i += 8)
            {
                u8 byte = 0;
                for (int j = 0; j < 8; ++j)
                    byte = u8(byte << 1 | all[i + j]);
                out.push_back(byte);
            }
            u8 sum = 0;
            for (std::size_t i = 1; i < out.size(); ++i)
                sum ^= out[i];
            out[0] = sum;
            return out;
        }

    private:
        static bool hasByteMode(u32 opcode)
        {
            switch (opcode)
            {
                case VM_MOV: case VM_CMP: case VM_ADD: case VM_SUB: case VM_INC: case VM_DEC: case VM_XOR:
                case VM_AND: case VM_OR: case VM_TEST: case VM_NOT: case VM_SHL: case VM_SHR: case VM_SAR:
                case VM_NEG: case VM_XCHG: case VM_MUL: case VM_DIV: case VM_ADC: case VM_SBB:
                    return true;
                default:
                    return false;
            }
        }

        void bits(u32 value, int count)
        {
            for (int i = count - 1; i >= 0; --i)
                m_bits.push_back(u8((value >> i) & 1));
        }

        void number(u32 v)
        {
            if (v < 16)
            {
                bits(0, 2);
                bits(v, 4);
            }
            else if (v < 256)
            {
                bits(1, 2);
                bits(v, 8);
            }
            else if (v >= 0xFFFFFF00)
            {
                bits(1, 2);
                bits(0, 4);
                bits(v & 0xFF, 8);
            }
            else if (v < 65536)
            {
                bits(2, 2);
                bits(v, 16);
            }
            else
            {
                bits(3, 2);
                bits(v, 32);
            }
        }

        void operand(const Op& o, bool byteMode)
        {
            switch (o.kind)
            {
                case 0: bits(1, 1); bits(o.value, 3); break;
                case 1:
                    bits(0, 2);
                    if (byteMode)
                        bits(o.value & 0xFF, 8);
                    else
                        number(o.value);
                    break;
                case 2: bits(0b010, 3); bits(o.value, 3); break;
                case 3: bits(0b0110, 4); bits(o.value, 3); number(o.base); break;
                case 4: bits(0b0111, 4); number(o.base); break;
                default: break;
            }
        }

        std::vector<u8> m_bits;
    };

    using A = Assembler;

    struct Program
    {
        RarFilterVM vm;
        RarPreparedProgram program;
        bool completed = false;

        explicit Program(const std::vector<u8>& code, bool recognise = true)
        {
            vm.recogniseStandard = recognise;
            vm.init();
            vm.prepare(code.data(), u32(code.size()), program);
            program.globalData.assign(VM_FIXEDGLOBALSIZE, 0);
        }

        Program& go()
        {
            completed = vm.execute(program, program.commands);
            return *this;
        }

        u32 mem32(u32 address) const { return loadLE32(vm.memory() + address); }
    };

    constexpr u32 CARRY = 1, ZERO = 2, SIGN = 0x80000000;

} // namespace

TEST(RarFilterVM, ArithmeticAndFlags)
{
    // r0 = a OP b, then the flags are pushed and popped into r2.
    struct Case
    {
        const char* what;
        u32 opcode;
        bool byteMode;
        u32 a, b;
        u32 result;
        u32 flags;
        u32 carryIn = 0;
    };
    const Case cases[] = {
        { "add", VM_ADD, false, 5, 7, 12, 0 },
        { "add carry", VM_ADD, false, 0xFFFFFFFF, 2, 1, CARRY },
        { "add zero", VM_ADD, false, 0xFFFFFFFF, 1, 0, CARRY | ZERO },
        { "add sign", VM_ADD, false, 0x7FFFFFFF, 1, 0x80000000, SIGN },
        { "addb keeps the upper bytes", VM_ADD, true, 0x12345678, 0x90, 0x12345608, CARRY },
        { "addb sign from bit 7", VM_ADD, true, 0x10, 0x70, 0x80, SIGN },
        { "sub borrow", VM_SUB, false, 5, 7, 0xFFFFFFFE, CARRY | SIGN },
        { "sub zero", VM_SUB, false, 7, 7, 0, ZERO },
        { "cmp stores nothing", VM_CMP, false, 5, 7, 5, CARRY | SIGN },
        { "and", VM_AND, false, 0xF0F0, 0x0F0F, 0, ZERO },
        { "or", VM_OR, false, 0x80000000, 1, 0x80000001, SIGN },
        { "xor", VM_XOR, false, 0xFF, 0x0F, 0xF0, 0 },
        { "test stores nothing", VM_TEST, false, 6, 1, 6, ZERO },
        { "shl carry", VM_SHL, false, 0xC0000000, 1, 0x80000000, SIGN | CARRY },
        { "shl by 0: carry from bit 31 of a << 31", VM_SHL, false, 3, 0, 3, CARRY },
        { "shr carry", VM_SHR, false, 3, 1, 1, CARRY },
        { "sar keeps the sign", VM_SAR, false, 0x80000000, 4, 0xF8000000, SIGN },
        { "mul low 32 bits", VM_MUL, false, 0x10000, 0x10001, 0x00010000, 0 },
        { "div", VM_DIV, false, 100, 7, 14, 0 },
        { "div by zero leaves the operand", VM_DIV, false, 100, 0, 100, 0 },
        { "adc with carry in", VM_ADC, false, 5, 7, 13, 0, CARRY },
        { "adc wraps to equal with carry", VM_ADC, false, 5, 0xFFFFFFFF, 5, CARRY, CARRY },
        { "sbb with carry in", VM_SBB, false, 5, 3, 1, 0, CARRY },
        { "sbb borrow", VM_SBB, false, 0, 0, 0xFFFFFFFF, CARRY | SIGN, CARRY },
        { "xchg", VM_XCHG, false, 1, 2, 2, 0 },
        { "movsx", VM_MOVSX, false, 0, 0x80, 0xFFFFFF80, 0 },
        { "movzx", VM_MOVZX, false, 0, 0x1FF, 0xFF, 0 },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        A a;
        a.op(VM_MOV, A::reg(0), A::imm(c.a));
        a.op(VM_MOV, A::reg(1), A::imm(c.b));
        a.op(VM_PUSH, A::imm(c.carryIn)).op(VM_POPF); // the flags going in
        a.emit(c.opcode, c.byteMode, A::reg(0), A::reg(1));
        a.op(VM_PUSHF).op(VM_POP, A::reg(2));
        Program run(a.finish());
        run.go();
        EXPECT_TRUE(run.completed);
        EXPECT_EQ(run.vm.R[0], c.result);
        EXPECT_EQ(run.vm.R[2], c.flags);
    }

    // One-operand commands.
    struct Unary
    {
        const char* what;
        u32 opcode;
        bool byteMode;
        u32 a, result, flags;
    };
    const Unary unary[] = {
        { "inc", VM_INC, false, 0xFFFFFFFF, 0, ZERO },
        { "incb", VM_INC, true, 0x1FF, 0x100, ZERO },
        { "dec", VM_DEC, false, 0, 0xFFFFFFFF, SIGN },
        { "neg", VM_NEG, false, 1, 0xFFFFFFFF, CARRY | SIGN },
        { "neg 0", VM_NEG, false, 0, 0, ZERO },
        { "not", VM_NOT, false, 0x0F0F0F0F, 0xF0F0F0F0, CARRY }, // not leaves the flags
    };
    for (const Unary& c : unary)
    {
        SCOPED_TRACE(c.what);
        A a;
        a.op(VM_MOV, A::reg(0), A::imm(c.a));
        a.op(VM_PUSH, A::imm(CARRY)).op(VM_POPF);
        a.emit(c.opcode, c.byteMode, A::reg(0));
        a.op(VM_PUSHF).op(VM_POP, A::reg(2));
        Program run(a.finish());
        run.go();
        EXPECT_EQ(run.vm.R[0], c.result);
        EXPECT_EQ(run.vm.R[2], c.flags);
    }
}

TEST(RarFilterVM, FlaglessFormsWhereNothingReadsTheFlags)
{
    // add then cmp: the add's flags are dead, so it becomes the flagless form; the
    // results are the same either way.
    A a;
    a.op(VM_MOV, A::reg(0), A::imm(0xFFFFFFFF));
    a.op(VM_ADD, A::reg(0), A::imm(2));
    a.op(VM_CMP, A::reg(0), A::imm(1));
    a.op(VM_PUSHF).op(VM_POP, A::reg(2));
    Program run(a.finish());
    EXPECT_EQ(run.program.commands[0].opcode, u32(VM_MOVD));
    EXPECT_EQ(run.program.commands[1].opcode, u32(VM_ADDD));
    EXPECT_EQ(run.program.commands[2].opcode, u32(VM_CMPD));
    run.go();
    EXPECT_EQ(run.vm.R[0], 1u);
    EXPECT_EQ(run.vm.R[2], ZERO);
}

TEST(RarFilterVM, JumpsCallsAndConditions)
{
    // a counted loop: r0 counts to 10
    {
        A a;
        a.op(VM_MOV, A::reg(0), A::imm(0));
        a.op(VM_MOV, A::reg(1), A::imm(10));
        a.op(VM_INC, A::reg(0));        // 2
        a.op(VM_DEC, A::reg(1));
        a.op(VM_JNZ, A::target(2));
        Program run(a.finish());
        run.go();
        EXPECT_EQ(run.vm.R[0], 10u);
    }
    // call and ret through the stack
    {
        A a;
        a.op(VM_CALL, A::target(3));    // 0
        a.op(VM_MOV, A::reg(2), A::imm(7));
        a.op(VM_RET);                   // 2: returns to the caller's caller: the end
        a.op(VM_MOV, A::reg(3), A::imm(9)); // 3
        a.op(VM_RET);
        Program run(a.finish());
        run.go();
        EXPECT_TRUE(run.completed);
        EXPECT_EQ(run.vm.R[3], 9u);
        EXPECT_EQ(run.vm.R[2], 7u);
        EXPECT_EQ(run.vm.R[7], VM_MEMSIZE);
    }
    // each conditional jump, taken or not, from flags set by popf
    struct Case
    {
        u32 opcode;
        u32 flags;
        bool taken;
    };
    const Case cases[] = {
        { VM_JZ, ZERO, true }, { VM_JZ, 0, false }, { VM_JNZ, 0, true }, { VM_JNZ, ZERO, false },
        { VM_JS, SIGN, true }, { VM_JS, 0, false }, { VM_JNS, 0, true }, { VM_JNS, SIGN, false },
        { VM_JB, CARRY, true }, { VM_JB, 0, false }, { VM_JBE, ZERO, true }, { VM_JBE, CARRY, true },
        { VM_JBE, 0, false }, { VM_JA, 0, true }, { VM_JA, CARRY, false }, { VM_JA, ZERO, false },
        { VM_JAE, 0, true }, { VM_JAE, CARRY, false },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "opcode " << c.opcode << " flags " << c.flags);
        A a;
        a.op(VM_PUSH, A::imm(c.flags)).op(VM_POPF);         // 0, 1
        a.op(c.opcode, A::target(4));                       // 2
        a.op(VM_MOV, A::reg(0), A::imm(1));                 // 3: not taken
        a.op(VM_MOV, A::reg(1), A::imm(1));                 // 4
        Program run(a.finish());
        run.go();
        EXPECT_EQ(run.vm.R[0], c.taken ? 0u : 1u);
        EXPECT_EQ(run.vm.R[1], 1u);
    }
    // a jump past the list ends the run normally
    {
        A a;
        a.op(VM_JMP, A::target(1000));
        a.op(VM_MOV, A::reg(0), A::imm(5));
        Program run(a.finish());
        run.go();
        EXPECT_TRUE(run.completed);
        EXPECT_EQ(run.vm.R[0], 0u);
    }
}

TEST(RarFilterVM, StackAndAddressesWrapInsideTheMemory)
{
    A a;
    a.op(VM_MOV, A::reg(7), A::imm(0));                     // stack pointer at 0
    a.op(VM_PUSH, A::imm(0x11223344));                      // goes to 0x3FFFC
    a.op(VM_MOV, A::reg(0), A::abs(0x3FFFC));
    a.op(VM_MOV, A::reg(7), A::imm(8));
    a.op(VM_PUSHA);                                         // R[0] at 4, ..., R[7] at -24
    a.op(VM_MOV, A::reg(6), A::imm(0x7FFFF));               // base + register wraps
    a.op(VM_MOV, A::mem(6, 0x11), A::imm(0xAABBCCDD));      // (0x7FFFF + 0x11) & 0x3FFFF = 0x10
    a.op(VM_MOV, A::abs(0x3FFFF), A::imm(0x55667788));      // the last address: spare bytes
    a.op(VM_MOV, A::reg(7), A::imm(0x3FFE8));
    a.op(VM_POPA);                                          // R[7] from 0x3FFE8, R[0] from 4
    a.op(VM_MOV, A::abs(0x100), A::reg(7));
    a.op(VM_MOV, A::abs(0x104), A::reg(0));
    a.op(VM_MOV, A::reg(7), A::imm(VM_MEMSIZE));            // so that the closing ret ends the run
    Program run(a.finish());
    run.go();
    EXPECT_TRUE(run.completed);
    EXPECT_EQ(run.mem32(4), 0x11223344u); // pusha's R[0] slot: 8 - 4
    EXPECT_EQ(run.mem32(0x10), 0xAABBCCDDu);
    EXPECT_EQ(run.vm.memory()[0x3FFFF], 0x88);
    EXPECT_EQ(run.vm.memory()[0x40002], 0x55);
    EXPECT_EQ(run.mem32(0x104), 0x11223344u);
    EXPECT_EQ(run.mem32(0x100), 8u);
}

TEST(RarFilterVM, BudgetExhaustionDisablesTheProgram)
{
    A a;
    a.op(VM_INC, A::reg(0));        // 0
    a.op(VM_JMP, A::target(0));     // 1
    Program run(a.finish());
    run.go();
    EXPECT_FALSE(run.completed);
    EXPECT_GE(run.vm.R[0], VM_BUDGET / 2 - 1);
    EXPECT_EQ(run.program.commands[0].opcode, u32(VM_RET));
    // from now on it does nothing
    run.vm.R[0] = 0;
    run.go();
    EXPECT_TRUE(run.completed);
    EXPECT_EQ(run.vm.R[0], 0u);

    // A member's budget across programs: once spent, runs stop at their first jump.
    Program limited(a.finish());
    limited.vm.memberBudget = 1000;
    limited.go();
    EXPECT_FALSE(limited.completed);
    EXPECT_EQ(limited.vm.memberBudget, 0u);
}

TEST(RarFilterVM, OutputRegionAndKeptGlobals)
{
    struct Case
    {
        u32 start, size;
        u32 outStart, outSize;
    };
    const Case cases[] = {
        { 0x100, 0x10, 0x100, 0x10 },
        { 0x3FFF0, 0x20, 0, 0 },        // would pass the end of memory
        { 0x7FF00, 0x40010, 0x3FF00, 0x10 }, // both masked first
        { 0x3FFFF, 0xFFFFFFFF, 0, 0 },  // no overflow in start + size
    };
    for (const Case& c : cases)
    {
        A a;
        a.op(VM_MOV, A::abs(VM_GLOBALADDR + 0x20), A::imm(c.start));
        a.op(VM_MOV, A::abs(VM_GLOBALADDR + 0x1C), A::imm(c.size));
        a.op(VM_MOV, A::abs(VM_GLOBALADDR + 0x30), A::imm(0xFFFF)); // keep: capped at 8128
        Program run(a.finish());
        run.go();
        EXPECT_EQ(run.program.filteredStart, c.outStart);
        EXPECT_EQ(run.program.filteredSize, c.outSize);
        EXPECT_EQ(run.program.globalData.size(), VM_GLOBALSIZE);
    }
}

TEST(RarFilterVM, ChecksumAndStaticData)
{
    std::vector<u8> code = A().op(VM_MOV, A::reg(0), A::imm(3)).finish();
    code[0] ^= 1;
    Program bad(code);
    ASSERT_EQ(bad.program.commands.size(), 1u); // a single ret
    bad.go();
    EXPECT_EQ(bad.vm.R[0], 0u);

    // Static data with a length of 0xFFFFFFFF + 1 = 0 (wraps) or past the code: bounded
    // by the code that is there.
    const std::vector<u8> staticFlood = { 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF };
    std::vector<u8> flood = staticFlood;
    u8 sum = 0;
    for (std::size_t i = 1; i < flood.size(); ++i)
        sum ^= flood[i];
    flood[0] = sum;
    Program staticRun(flood);
    EXPECT_LE(staticRun.program.staticData.size(), flood.size());
    staticRun.go();
}

TEST(RarFilterVM, NativeFilters)
{
    RarFilterVM vm;
    vm.init();
    u8* mem = vm.memory();

    // Delta, 2 channels, 1 2 3 4: channel 0 takes 1 and 2 into positions 0 and 2.
    {
        const u8 input[] = { 1, 2, 3, 4 };
        std::memcpy(mem, input, 4);
        vm.R[0] = 2;
        vm.R[4] = 4;
        vm.runStandard(FILTER_DELTA);
        const u8 expected[] = { 255, 253, 253, 249 };
        EXPECT_EQ(0, std::memcmp(mem + 4, expected, 4));
        EXPECT_EQ(loadLE32(mem + VM_GLOBALADDR + 0x20), 4u);
    }
    // Upcase: 2 'a' is 'A', 2 2 is one 2
    {
        const u8 input[] = { 'x', 2, 'a', 2, 2, 'y' };
        std::memcpy(mem, input, sizeof(input));
        vm.R[4] = sizeof(input);
        vm.runStandard(FILTER_UPCASE);
        EXPECT_EQ(loadLE32(mem + VM_GLOBALADDR + 0x1C), 4u);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(mem + 6), 4), std::string("xA\002y"));
    }
    // RGB, one pixel: each byte predicted from the previous (none), then G added to R and B
    {
        const u8 input[] = { 1, 2, 3 };
        std::memcpy(mem, input, 3);
        vm.R[0] = 6;
        vm.R[1] = 0;
        vm.R[4] = 3;
        vm.runStandard(FILTER_RGB);
        const u8 expected[] = { 0xFD, 0xFE, 0xFB };
        EXPECT_EQ(0, std::memcmp(mem + 3, expected, 3));
    }
    // Audio, one channel: the first two bytes from a zero predictor, then the previous byte
    {
        const u8 input[] = { 5, 3 };
        std::memcpy(mem, input, 2);
        vm.R[0] = 1;
        vm.R[4] = 2;
        vm.runStandard(FILTER_AUDIO);
        EXPECT_EQ(mem[2], 251);
        EXPECT_EQ(mem[3], 248);
    }
    // E8: a relative call target becomes absolute and back
    {
        u8 block[16] = { 0x90, 0xE8, 0x10, 0, 0, 0, 0x90, 0xE8, 0xF0, 0xFF, 0xFF, 0xFF, 0x90, 0x90, 0x90, 0x90 };
        std::memcpy(mem, block, 16);
        vm.R[4] = 16;
        vm.R[6] = 0x1000;
        vm.runStandard(FILTER_E8);
        EXPECT_EQ(loadLE32(mem + 2), 0x10u - (2 + 0x1000));              // positive, below 16M
        EXPECT_EQ(loadLE32(mem + 8), 0xFFFFFFF0u + 0x1000000u);           // negative, x + p >= 0
    }

    // Guards: lengths out of range and channel counts near 2^32 do nothing (and return).
    struct Guard
    {
        u32 filter;
        u32 r0;
        u32 length;
    };
    const Guard guards[] = {
        { FILTER_DELTA, 0xFFFFFFFF, 16 }, { FILTER_DELTA, 2, 0x1E000 }, { FILTER_AUDIO, 0x80000000, 16 },
        { FILTER_RGB, 2, 16 }, { FILTER_RGB, 0x80000003, 16 }, { FILTER_UPCASE, 0, 0x1E000 },
        { FILTER_E8, 0, 0x3C000 }, { FILTER_E8E9, 0, 4 }, { FILTER_ITANIUM, 0, 21 },
    };
    for (const Guard& g : guards)
    {
        std::memset(mem, 0x5A, 0x40000);
        vm.R[0] = g.r0;
        vm.R[1] = 0;
        vm.R[4] = g.length;
        vm.runStandard(g.filter);
        for (u32 i = 0; i < VM_GLOBALADDR; i += 97)
            ASSERT_EQ(mem[i], 0x5A) << "filter " << g.filter << " at " << i;
    }
    // RGB's posR beyond 2 is refused too
    std::memset(mem, 0x5A, 64);
    vm.R[0] = 6;
    vm.R[1] = 3;
    vm.R[4] = 12;
    vm.runStandard(FILTER_RGB);
    EXPECT_EQ(mem[12], 0x5A);

    // Many channels, more than the length: bounded by the length, done at once.
    vm.R[0] = 0x7FFFFFFF;
    vm.R[4] = 8;
    vm.runStandard(FILTER_DELTA);
    vm.runStandard(FILTER_AUDIO);
}

namespace
{
    // The standard programs of the corpus's members, captured while decoding them.
    std::vector<std::vector<u8>> capturePrograms()
    {
        struct Member
        {
            const char* archive;
            u64 offset, packed, unpacked;
        };
        const Member members[] = {
            { "junrar/audio/BoatModernEnglish-audio-text-unpack30.rar", 78, 24298, 56464 },
            { "libarchive/test_read_format_rar_filter.rar", 62, 94232, 204288 },
        };
        std::vector<std::vector<u8>> programs;
        for (const Member& m : members)
        {
            std::ifstream file(rartest::corpusRoot() + m.archive, std::ios::binary);
            std::vector<u8> archive((std::istreambuf_iterator<char>(file)), {});
            if (archive.size() < m.offset + m.packed)
                continue;
            std::vector<u8> out(m.unpacked);
            rar_decompress(out.data(), archive.data() + m.offset, m.unpacked, m.packed, 29,
                           [](RarFilterVM& vm, void* context) {
                               vm.capturedCode = static_cast<std::vector<std::vector<u8>>*>(context);
                           },
                           &programs);
        }
        return programs;
    }

} // namespace

TEST(RarFilterVM, InterpreterMatchesTheNativeFiltersOnCapturedPrograms)
{
    if (!rartest::corpusPresent())
        GTEST_SKIP() << "the shared corpus (" << rartest::corpusRoot() << ") is absent";

    const std::vector<std::vector<u8>> programs = capturePrograms();
    std::set<u32> seen;
    for (const auto& code : programs)
        seen.insert(findStandardFilter(code.data(), u32(code.size())));
    // E8E9, Delta and Audio occur in these members
    EXPECT_TRUE(seen.count(FILTER_E8E9));
    EXPECT_TRUE(seen.count(FILTER_DELTA));
    EXPECT_TRUE(seen.count(FILTER_AUDIO));

    std::mt19937 random(1234);
    for (const auto& code : programs)
    {
        const u32 filter = findStandardFilter(code.data(), u32(code.size()));
        if (filter == FILTER_NONE || !seen.count(filter))
            continue;
        seen.erase(filter); // one run per kind
        SCOPED_TRACE(testing::Message() << "filter " << filter);

        Program native(code, true);
        Program interpreted(code, false);
        ASSERT_EQ(native.program.commands[0].opcode, u32(VM_STANDARD));
        ASSERT_GT(interpreted.program.commands.size(), 10u);

        for (int trial = 0; trial < 6; ++trial)
        {
            const u32 length = trial == 0 ? 5 : 1000 + random() % 60000;
            std::vector<u8> block(length);
            for (u8& b : block)
                b = u8(random() % 4 == 0 ? 0xE8 : random());
            u32 initR[7] = {};
            initR[0] = 1 + random() % 4; // channels
            initR[3] = VM_GLOBALADDR;
            initR[4] = length;
            initR[6] = random() % 0x2000000; // file offset
            for (Program* run : { &native, &interpreted })
            {
                std::memcpy(run->program.initR, initR, sizeof(initR));
                run->program.globalData.assign(VM_FIXEDGLOBALSIZE, 0);
                for (u32 i = 0; i < 7; ++i)
                    storeLE32(run->program.globalData.data() + i * 4, initR[i]);
                storeLE32(run->program.globalData.data() + 0x1C, length);
                run->vm.setMemory(0, block.data(), length);
                run->go();
                EXPECT_TRUE(run->completed);
            }
            ASSERT_EQ(native.program.filteredSize, interpreted.program.filteredSize);
            ASSERT_EQ(native.program.filteredStart, interpreted.program.filteredStart);
            EXPECT_EQ(0, std::memcmp(native.vm.memory() + native.program.filteredStart,
                                     interpreted.vm.memory() + interpreted.program.filteredStart,
                                     native.program.filteredSize));
        }
    }
    EXPECT_TRUE(seen.empty());
}
