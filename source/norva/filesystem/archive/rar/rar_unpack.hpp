#pragma once

// The RAR 1.5 - 4.x unpacker: one packed member from memory into memory. The frame (data
// I/O, window, input refill, flush, dispatch by version) lives in rar_unpack.cpp, the bit
// reader and filter machine in rar_vm.cpp, the 2.9 decoder in rar_decode29.cpp, the PPMd
// model of its text blocks in rar_ppmd.cpp, the 1.5 and 2.0 decoders in rar_unpack15.cpp and
// rar_unpack20.cpp.

#include <memory>
#include <vector>

#include <norva/core/memory.hpp>

namespace norva::filesystem::rar
{
    // Bits are peeked three bytes at a time and operand decoding looks up to about ten bytes
    // ahead, so every bit buffer keeps this many zero bytes past its data.
    constexpr u32 BIT_SLACK = 64;

    // ------------------------------------------------------------------------------------
    // RarBitReader: a big-endian bit cursor over an owned 32 KiB buffer.
    // ------------------------------------------------------------------------------------

    class RarBitReader
    {
    public:
        static constexpr u32 MAX_SIZE = 0x8000;

        RarBitReader();

        void reset()
        {
            bytePos = 0;
            bitPos = 0;
        }

        // The 16 bits at the cursor.
        u32 peekBits() const
        {
            const u8* p = buffer.get() + bytePos;
            u32 value = (u32(p[0]) << 16) | (u32(p[1]) << 8) | u32(p[2]);
            return (value >> (8 - bitPos)) & 0xFFFF;
        }

        void addBits(u32 count)
        {
            count += bitPos;
            bytePos += count >> 3;
            bitPos = count & 7;
        }

        // Loads up to MAX_SIZE bytes at the start and zeroes the slack after them.
        void load(const u8* data, u32 size);

        // True when `bytes` more bytes would reach the end of the buffer.
        bool overflow(u32 bytes) const { return bytePos + bytes >= MAX_SIZE; }

        u8* data() const { return buffer.get(); }

        u32 bytePos = 0;
        u32 bitPos = 0;

    private:
        std::unique_ptr<u8[]> buffer; // MAX_SIZE + BIT_SLACK bytes
    };

    // The filter machine's variable-length number, read from any bit reader.
    u32 readData(RarBitReader& reader);

    // ------------------------------------------------------------------------------------
    // RarFilterVM
    // ------------------------------------------------------------------------------------

    constexpr u32 VM_MEMSIZE = 0x40000;
    constexpr u32 VM_MEMMASK = VM_MEMSIZE - 1;
    constexpr u32 VM_GLOBALADDR = 0x3C000;
    constexpr u32 VM_GLOBALSIZE = 0x2000;
    constexpr u32 VM_FIXEDGLOBALSIZE = 0x40;
    constexpr u32 VM_BUDGET = 25000000;

    enum RarOpcode : u32
    {
        VM_MOV, VM_CMP, VM_ADD, VM_SUB, VM_JZ, VM_JNZ, VM_INC, VM_DEC, VM_JMP, VM_XOR,
        VM_AND, VM_OR, VM_TEST, VM_JS, VM_JNS, VM_JB, VM_JBE, VM_JA, VM_JAE, VM_PUSH,
        VM_POP, VM_CALL, VM_RET, VM_NOT, VM_SHL, VM_SHR, VM_SAR, VM_NEG, VM_PUSHA, VM_POPA,
        VM_PUSHF, VM_POPF, VM_MOVZX, VM_MOVSX, VM_XCHG, VM_MUL, VM_DIV, VM_ADC, VM_SBB, VM_PRINT,
        VM_MOVB, VM_MOVD, VM_CMPB, VM_CMPD, VM_ADDB, VM_ADDD, VM_SUBB, VM_SUBD, VM_INCB, VM_INCD,
        VM_DECB, VM_DECD, VM_NEGB, VM_NEGD, VM_STANDARD,
    };

    enum RarStandardFilter : u32
    {
        FILTER_NONE, FILTER_E8, FILTER_E8E9, FILTER_ITANIUM, FILTER_RGB, FILTER_AUDIO, FILTER_DELTA, FILTER_UPCASE,
    };

    enum RarOperandType : u32
    {
        OPERAND_REGISTER, OPERAND_IMMEDIATE, OPERAND_MEMORY, OPERAND_NONE,
    };

    struct RarOperand
    {
        u32 type = OPERAND_NONE;
        u32 data = 0;      // register number or immediate value
        u32 base = 0;      // memory operands: the constant part of the address
        bool hasRegister = false; // memory operands: the address adds R[data]
    };

    struct RarCommand
    {
        u32 opcode = VM_RET;
        bool byteMode = false;
        RarOperand op1;
        RarOperand op2;
    };

    struct RarPreparedProgram
    {
        std::vector<RarCommand> commands;
        std::vector<u8> staticData;
        std::vector<u8> globalData;
        u32 initR[7] = {};
        u32 filteredStart = 0; // offset of the output in the machine's memory
        u32 filteredSize = 0;
    };

    class RarFilterVM
    {
    public:
        RarFilterVM();
        ~RarFilterVM();

        // Allocates the memory on first use.
        void init();

        void prepare(const u8* code, u32 codeSize, RarPreparedProgram& program);

        // Runs `commands` (a filter's shared list) with the registers and data of `program`.
        // Returns false when the run was stopped by a budget; the first command then becomes
        // ret so that the program does nothing on later runs.
        bool execute(RarPreparedProgram& program, std::vector<RarCommand>& commands);

        void setMemory(u32 position, const u8* data, u32 size);

        u8* memory() const { return m_memory; }

        // Instructions left for the whole member: a stream can register any number of
        // programs, and each may spend the full per-run budget.
        u64 memberBudget = u64(VM_BUDGET) * 64;

        // Test seams: recognition of the standard programs can be switched off, and the
        // bytecode of every program prepared can be captured.
        bool recogniseStandard = true;
        std::vector<std::vector<u8>>* capturedCode = nullptr;

        // Runs one native filter on the current registers and memory.
        void runStandard(u32 filter);

        u32 R[8] = {};
        u32 flags = 0;

    private:
        bool interpret(std::vector<RarCommand>& commands);
        void decodeOperand(RarOperand& op, bool byteMode);

        RarBitReader m_reader;
        u8* m_memory = nullptr; // VM_MEMSIZE + 4 bytes
    };

    // The standard program of (length, CRC-32), or FILTER_NONE.
    u32 findStandardFilter(const u8* code, u32 size);

    // ------------------------------------------------------------------------------------
    // RarMemoryIO and RarUnpacker
    // ------------------------------------------------------------------------------------

    class RarMemoryIO
    {
    public:
        RarMemoryIO() = default;

        void init();

        // Copies up to `count` packed bytes; returns how many.
        s32 read(u8* buffer, u32 count);

        // Stores as much of `data` as fits; the total counts every byte offered.
        void write(const u8* data, u64 count);

        u64 packedUnconsumed = 0;
        u64 packedReadable = 0;
        const u8* packed = nullptr;
        u64 destinationFree = 0;
        u8* destination = nullptr;
        u64 totalRead = 0;
        u64 totalWritten = 0; // offered to write(), stored or not
        u64 totalStored = 0;  // actually copied into the destination
    };

    struct RarDecodeTable
    {
        u32 maxNum = 0;
        u32 decodeLen[16] = {};
        u32 decodePos[16] = {};
        u32 quickBits = 0;
        u8 quickLen[1024] = {};
        u16 quickNum[1024] = {};
        u16 decodeNum[306] = {};
    };

    void makeDecodeTables(const u8* lengths, RarDecodeTable& table, u32 size);

    // Match lengths and distances of the Huffman-coded decoders (2.0 uses the first 48
    // distance slots of 2.9's 60).
    constexpr u8 lengthBase[28] = { 0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 12, 14, 16, 20,
                                    24, 28, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224 };
    constexpr u8 lengthBits[28] = { 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2,
                                    2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5 };
    constexpr u8 shortBase[8] = { 0, 4, 8, 16, 32, 64, 128, 192 };
    constexpr u8 shortBits[8] = { 2, 2, 3, 4, 5, 6, 6, 6 };

    struct DistanceTable
    {
        u32 base[60];
        u8 bits[60];
    };

    // For each count of extra bits, how many slots use it; a slot's base is the sum of the
    // ranges of the slots before it.
    constexpr DistanceTable makeDistanceTable()
    {
        constexpr u8 counts[19] = { 4, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 14, 0, 12 };
        DistanceTable table {};
        u32 distance = 0;
        u32 slot = 0;
        for (u32 bits = 0; bits < 19; ++bits)
        {
            for (u32 j = 0; j < counts[bits]; ++j, ++slot)
            {
                table.base[slot] = distance;
                table.bits[slot] = u8(bits);
                distance += 1u << bits;
            }
        }
        return table;
    }

    inline constexpr DistanceTable distanceTable = makeDistanceTable();

    // Far matches are coded one byte shorter than they are, the farthest two.
    constexpr u32 farLengthBonus(u32 distance)
    {
        return u32(distance >= 0x2000) + u32(distance >= 0x40000);
    }

    // The adaptive predictor of one channel of a 2.0 audio block.
    struct AudioChannelState
    {
        s32 K[5] = {};       // coefficients K1..K5
        s32 D[4] = {};       // delta history D1..D4
        s32 lastDelta = 0;
        u32 dif[11] = {};    // error sums of the candidate adjustments
        u32 count = 0;
        s32 lastByte = 0;
    };

    struct RarFilter
    {
        u32 blockStart = 0;
        u32 blockLength = 0;
        bool nextWindow = false;
        u32 parentFilter = 0;
        u32 execCount = 0;
        RarPreparedProgram program;
    };

    class RarPpmModel; // PPMd variant H (rar_ppmd.hpp)

    constexpr u32 WINDOW_SIZE = 0x400000;
    constexpr u32 WINDOW_MASK = WINDOW_SIZE - 1;

    // Matches are at most 287 bytes (a PPM match: 255 + 32); the window is flushed before
    // the write position comes this close to unflushed data.
    constexpr u32 FLUSH_MARGIN = 300;

    // Pending filters beyond this many fail the member: real streams keep a handful.
    constexpr u32 MAX_PENDING_FILTERS = 8192;
    constexpr u32 MAX_FILTERS = 1024;

    class RarUnpacker : private NonCopyable
    {
    public:
        explicit RarUnpacker(RarMemoryIO* io);
        ~RarUnpacker();

        // Allocates the window and resets the decoders for a non-solid start.
        void init();

        // Runs the decoder of `version`. Other versions produce nothing.
        void unpack(u32 version, bool solid);

        bool refillInput();
        void writeArea(u32 start, u32 end);

        // The one sink of every flush: at most the bytes still expected reach the I/O.
        void emit(const u8* data, u64 size) { emit(data, size, destUnpSize); }
        void emit(const u8* data, u64 size, s64 expected);

        s64 destUnpSize = 0;
        u64 writtenFileSize = 0;

        // Why decoding stopped early, when it was not simply the end of the data: a
        // "not supported yet" feature, or a limit of the filter machine.
        const char* failure = nullptr;
        bool unsupported = false;

        // Test seams for the filter machine (see RarFilterVM).
        RarFilterVM vm;

        // --- 2.9 decoder (rar_decode29.cpp) ---
        void resetState(bool solid);
        void unpack29(bool solid);
        bool readTables29();
        u32 decodeNumber(const RarDecodeTable& table);
        void copyMatch29(u32 length, u32 distance);
        void pushOldDistance(u32 distance);
        bool readEndOfBlock29();
        bool readFilterCode();
        bool readPpmFilterCode();
        bool addFilter(u32 firstByte, const u8* code, u32 length);
        void runFilter(RarFilter& entry);
        void writeBuffer29();
        void initFilters();
        int decodePpmByte();

        // --- the PPMd model's hooks (rar_ppmd.cpp) ---
        bool initPpm();          // a PPM block header at the input position
        int ppmDecodeByte();     // -1 at the end or on damage
        void resetPpm();         // frees the model after damage or at the end

        // PPMd heaps above this many MiB are refused like a failed allocation (a test seam;
        // streams may ask for up to 256).
        u32 ppmLimitMegabytes = 256;

        // --- 1.5 decoder (rar_unpack15.cpp) ---
        void unpack15(bool solid);
        void initTables15();
        void resetState15();
        bool readFlags15();
        int takeFlag15();
        void decodeLiteral15();
        void decodeLongMatch15();
        void decodeShortMatch15();
        void copyMatch15(u32 distance, u32 length);
        void recordMatch15(u32 distance, u32 length);
        void flushWindow();
        bool startItem(); // wraps, refills and flushes before an item; false at the end

        // --- 2.0 decoder (rar_unpack20.cpp) ---
        void unpack20(bool solid);
        bool readTables20();
        void copyMatch20(u32 length, u32 distance);
        u8 decodeAudio20(u32 delta);

        RarMemoryIO* io;
        RarBitReader input;
        RarBitReader filterCodeReader;
        s32 readTop = 0;
        s32 readBorder = 0;

        u8* window = nullptr; // WINDOW_SIZE + slack
        u32 unpPtr = 0;
        u32 wrPtr = 0;

        u32 oldDist[4] = {};
        u32 lastLength = 0;
        u32 lowDistRepCount = 0;
        u32 prevLowDist = 0;
        bool tablesRead = false;
        enum { BLOCK_LZ, BLOCK_PPM } blockType = BLOCK_LZ;
        int ppmEscChar = 2;
        u8 oldTable29[404] = {};

        RarDecodeTable mainTable29;
        RarDecodeTable distTable29;
        RarDecodeTable lowDistTable29;
        RarDecodeTable repTable29;
        RarDecodeTable bitLenTable29;

        RarPpmModel* ppm = nullptr; // owned; created by initPpm, freed by resetPpm

        std::vector<std::unique_ptr<RarFilter>> filters;
        std::vector<u32> oldFilterLengths;
        u32 lastFilter = 0;
        std::vector<std::unique_ptr<RarFilter>> filterStack;

        // The unpacked size of the member being decoded: the 1.5 and 2.0 decoders count
        // `destUnpSize` down, their flushes stop at this.
        s64 memberSize = 0;

        // 1.5: place tables (value in the high byte, use count in the low byte; the short
        // distance table holds plain values), where the next promoted entry of each count
        // goes, and the running averages that choose among the fixed codes.
        u16 literalTable[256] = {};
        u16 shortDistTable[256] = {};
        u16 longDistTable[256] = {};
        u16 flagTable[256] = {};
        u8 literalNext[256] = {};
        u8 longDistNext[256] = {};
        u8 flagNext[256] = {};
        u32 avgLiteralPlace = 0;
        u32 avgLongDistPlace = 0;
        u32 avgShortLength = 0;
        u32 avgLongLength = 0;
        u32 avgLongZeroLength = 0;
        u32 shortCodeToggle = 0;
        u32 literalRun = 0;
        u32 streamMode = 0;
        u32 repeatCount = 0;
        u32 flagBits = 0;
        s32 flagBitsLeft = 0;
        u32 literalWeight = 0;
        u32 longMatchWeight = 0;
        u32 farMatchThreshold = 0;
        bool flagsDamaged = false;
        u32 lastDist = 0; // 1.5 and 2.0: the distance of a repeat of the last match

        // 2.0: the code lengths of the previous table header, the audio block state and
        // its per-channel tables. The LZ tables are the 2.9 decoder's.
        u8 keptLengths20[1028] = {};
        bool audioBlock = false;
        s32 channels = 1;
        s32 currentChannel = 0;
        s32 channelDelta = 0;
        AudioChannelState audioState[4];
        RarDecodeTable audioTables20[4];
    };

    struct RarDecompressResult
    {
        u64 stored = 0;               // bytes placed in the destination
        const char* failure = nullptr;
        bool unsupported = false;     // the member needs a decoder that is not here yet
    };

    // Unpacks one non-solid member. Success is `stored == unpackedSize` with no failure.
    // `vmSetup`, when given, may configure the filter machine before the run (tests).
    RarDecompressResult rar_decompress(u8* destination, const u8* packed, u64 unpackedSize, u64 packedSize,
                                       u32 version, void (*vmSetup)(RarFilterVM&, void*) = nullptr,
                                       void* context = nullptr);

} // namespace norva::filesystem::rar
