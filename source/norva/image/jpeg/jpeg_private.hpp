#pragma once

// Internals of the JPEG decoder: the parser object, the entropy decoders, the inverse DCTs
// and the colour converters. Only the decoder's own files and its tests include this.

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <norva/core/buffer.hpp>
#include <norva/core/cpu.hpp>
#include <norva/core/endian.hpp>
#include <norva/image/decoder.hpp>
#include <norva/image/jpeg.hpp>
#include <norva/image/surface.hpp>

namespace norva::jpeg
{
    constexpr int JPEG_MAX_COMPONENTS = 4;
    constexpr int JPEG_MAX_BLOCKS_IN_MCU = 10;

    // Natural (row-major) index of each zig-zag position; constexpr, so tables derived
    // from it are built at compile time.
    inline constexpr u8 zigzagTable[64] =
    {
         0,  1,  8, 16,  9,  2,  3, 10,
        17, 24, 32, 25, 18, 11,  4,  5,
        12, 19, 26, 33, 40, 48, 41, 34,
        27, 20, 13,  6,  7, 14, 21, 28,
        35, 42, 49, 56, 57, 50, 43, 36,
        29, 22, 15, 23, 30, 37, 44, 51,
        58, 59, 52, 45, 38, 31, 39, 46,
        53, 60, 61, 54, 47, 55, 62, 63,
    };

    // ----------------------------------------------------------------------
    // Huffman tables
    // ----------------------------------------------------------------------

    constexpr int HUFFMAN_FAST_BITS = 10;
    constexpr s32 HUFFMAN_FAST_END = 0x1000;

    struct HuffmanTable
    {
        u8 counts[17];      // counts[l]: codes of length l (1..16)
        u8 symbols[256];

        // codes of up to 8 bits: the length (9 = longer) and symbol for each 8-bit prefix
        u8 lookupSize[256];
        u8 lookupValue[256];

        // longer codes: the largest code of each length (-1 when none) and the offset
        // from a code of that length to its symbol index
        s32 maxcode[18];
        s32 valueOffset[18];

        // Codes whose symbol and extra bits fit in the next HUFFMAN_FAST_BITS bits, decoded
        // at once: value << 16 | HUFFMAN_FAST_END (symbol 0) | run << 8 | bits consumed;
        // 0 where that does not apply. Serves DC tables too (run 0, size = category).
        s32 fast[1 << HUFFMAN_FAST_BITS];

        // an empty table decodes every code as corrupt
        HuffmanTable();

        // Builds the decode tables from counts and symbols; false when the counts give
        // more than 256 symbols or more codes than a length can hold.
        bool build();
    };

    // ----------------------------------------------------------------------
    // Entropy decoding state
    // ----------------------------------------------------------------------

    struct BlockDescriptor
    {
        u32 offset;         // coefficient offset of the block inside the MCU
        u32 component;      // index of the component in the frame
        const HuffmanTable* dc;
        const HuffmanTable* ac;
        u32 dcTable;        // table numbers, for arithmetic coding
        u32 acTable;
    };

    struct DecodeState;

    using DecodeFunc = void (*)(s16* data, DecodeState* state);
    using LosslessDecodeFunc = void (*)(s32* diff, DecodeState* state);

    struct DecodeState
    {
        // bit reader: the low `bits` bits of cache are valid, oldest highest
        const u8* data = nullptr;
        const u8* end = nullptr;
        const u8* nextFF = nullptr;  // next 0xFF at or after data; end when none is left
        u64 cache = 0;
        int bits = 0;

        // Zero bits supplied past the data (in front of a marker or at the end), below the
        // real bits of the cache: a decoder that takes more bits than bits - padding reads
        // data the file does not have.
        int padding = 0;

        // where setData began and the stuffed zero bytes passed since: with them a reader
        // tells its position in the data without the stuffing (position())
        const u8* start = nullptr;
        size_t stuffed = 0;

        // Huffman: last DC value per component, EOB run of progressive AC scans
        s32 lastDC[JPEG_MAX_COMPONENTS] = {};
        s32 eobrun = 0;

        // arithmetic decoder
        u32 C = 0;
        u32 A = 0;
        s32 CT = 0;
        s32 arithmeticDC[JPEG_MAX_COMPONENTS] = {};
        s32 dcContext[JPEG_MAX_COMPONENTS] = {};
        u8 dcStats[16][64];
        u8 acStats[16][256];
        u8 fixedBin = 113;
        u8 dcL[16];
        u8 dcU[16];
        u8 acK[16];

        // arithmetic lossless: per frame component, the class of the last difference in
        // each column (this row's left of the sample, the row above's from it on: 0 zero,
        // 1 and 2 small, 3 and 4 large); the column of the next sample, and whether the
        // samples left of it and above it lie in its restart interval (else their
        // differences count as zero)
        u8* losslessClass[JPEG_MAX_COMPONENTS] = {};
        u32 column = 0;
        bool leftInInterval = false;
        bool aboveInInterval = false;

        // scan
        BlockDescriptor block[JPEG_MAX_BLOCKS_IN_MCU] = {};
        int blocks = 0;
        const u8* zigzag = zigzagTable;
        int Ss = 0;
        int Se = 63;
        int Ah = 0;
        int Al = 0;

        // set by a decoder that met data it cannot follow; arithmetic decoders then skip
        // the rest of the interval
        bool corrupt = false;

        // set when a decoder needed data past the end of its interval: the rest of the
        // interval is missing, and decodes as zero coefficients (or leaves the coefficients
        // of earlier scans as they are)
        bool ended = false;

        bool pastData() const { return bits < padding; }

        // Bits taken since setData, counting neither stuffed zero bytes nor the cache's
        // unread bits: two readers of one scan at the same point agree on it, whatever they
        // have loaded (the zeros past the data count as bits too).
        u64 position() const
        {
            return (u64(data - start) - stuffed) * 8 + u64(padding) - u64(bits);
        }

        DecodeFunc decode = nullptr;
        LosslessDecodeFunc decodeLossless = nullptr;

        // Points the reader at data..end with an empty cache.
        void setData(const u8* data, const u8* end);
    };

    // bit reader
    const u8* findFF(const u8* p, const u8* end);

    // The first 6 of 8 readable bytes at p as a big-endian number, in one load.
    inline u64 loadBigEndian48(const u8* p)
    {
        return loadBE64(p) >> 16;
    }
    void fillBits(DecodeState& state, int count);

    inline void refillBits(DecodeState& state)
    {
        if (state.bits >= 16)
            return;

        if (state.nextFF - state.data >= 8)
        {
            const u8* p = state.data;
            const u64 v = loadBigEndian48(p);
            state.cache = (state.cache << 48) | v;
            state.bits += 48;
            state.data += 6;
        }
        else
        {
            fillBits(state, 6);
        }
    }

    // s bits (0..16) as an unsigned number; the cache must hold them
    inline u32 getBits(DecodeState& state, int s)
    {
        state.bits -= s;
        return u32(state.cache >> state.bits) & ((1u << s) - 1);
    }

    // T.81 EXTEND
    inline s32 extend(u32 v, int s)
    {
        return s && v < (1u << (s - 1)) ? s32(v) - s32((1u << s) - 1) : s32(v);
    }

    int decodeLongHuffmanSymbol(DecodeState& state, const HuffmanTable& table);

    // The cache must hold 16 bits.
    inline int decodeHuffmanSymbol(DecodeState& state, const HuffmanTable& table)
    {
        const u32 prefix = u32(state.cache >> (state.bits - 8)) & 0xFF;
        const int size = table.lookupSize[prefix];
        if (size <= 8)
        {
            state.bits -= size;
            return table.lookupValue[prefix];
        }
        return decodeLongHuffmanSymbol(state, table);
    }

    void huffmanRestart(DecodeState& state);
    void arithmeticInit(DecodeState& state);
    void arithmeticRestart(DecodeState& state);

    void huffmanDecodeMcu(s16* data, DecodeState* state);
    void huffmanDecodeDcFirst(s16* data, DecodeState* state);
    void huffmanDecodeDcRefine(s16* data, DecodeState* state);
    void huffmanDecodeAcFirst(s16* data, DecodeState* state);
    void huffmanDecodeAcRefine(s16* data, DecodeState* state);
    void huffmanDecodeLossless(s32* diff, DecodeState* state);

    void arithmeticDecodeMcu(s16* data, DecodeState* state);
    void arithmeticDecodeDcFirst(s16* data, DecodeState* state);
    void arithmeticDecodeDcRefine(s16* data, DecodeState* state);
    void arithmeticDecodeAcFirst(s16* data, DecodeState* state);
    void arithmeticDecodeAcRefine(s16* data, DecodeState* state);
    void arithmeticDecodeLossless(s32* diff, DecodeState* state);

    // ----------------------------------------------------------------------
    // Inverse DCT and colour conversion
    // ----------------------------------------------------------------------

    // 64 coefficients (natural order) and 64 quantisers in, 8x8 samples out, row by row
    using IdctFunc = void (*)(u8* dest, const s16* data, const u16* qt);

    void idctInteger(u8* dest, const s16* data, const u16* qt);
    void idctInteger12(u8* dest, const s16* data, const u16* qt);
    void idctInteger12Rounded(u8* dest, const s16* data, const u16* qt);
    void idctSSE2(u8* dest, const s16* data, const u16* qt);

    struct Frame
    {
        u32 id;         // Ci
        u32 hsf;        // Hi
        u32 vsf;        // Vi
        u32 tq;         // Tqi
        u32 offset;     // first block of the component within the MCU
    };

    // What every MCU processor reads: per-block quantisers, the component layout and the iDCT.
    struct ProcessContext
    {
        const u16* qt[JPEG_MAX_BLOCKS_IN_MCU];
        int blocks = 0;
        u32 colorTransform = 0;
        IdctFunc idct = idctInteger;

        // blocks from chromaBlock on go through chromaIdct: 12-bit chroma is rounded to 8
        // bits, where luma keeps the transform's own reduction
        IdctFunc chromaIdct = idctInteger;
        int chromaBlock = JPEG_MAX_BLOCKS_IN_MCU;

        // for the general converters: MCU size in pixels and, per component and pixel
        // column or row of the MCU, where its sample lies in the MCU's sample blocks
        int mcuWidth = 8;
        int mcuHeight = 8;
        u16 sampleX[JPEG_MAX_COMPONENTS][64];
        u16 sampleY[JPEG_MAX_COMPONENTS][64];
    };

    using ProcessFunc = void (*)(u8* dest, ptrdiff_t stride, const s16* data, const ProcessContext* context,
                                 int width, int height);

    // Fills sampleX and sampleY from the frame's components.
    void computeSampleTables(ProcessContext& context, const Frame* frame, int components, int hmax, int vmax);

    // The converter slots and their name for one output layout.
    struct ColorConverters
    {
        ProcessFunc ySource = nullptr;
        ProcessFunc cmyk = nullptr;
        ProcessFunc ycbcr = nullptr;
        ProcessFunc ycbcr8x8 = nullptr;
        ProcessFunc ycbcr8x16 = nullptr;
        ProcessFunc ycbcr16x8 = nullptr;
        ProcessFunc ycbcr16x16 = nullptr;
        ProcessFunc rgb = nullptr;          // three components stored as R, G, B
        ProcessFunc rgb8x8 = nullptr;
        ProcessFunc rgb8x16 = nullptr;
        ProcessFunc rgb16x8 = nullptr;
        ProcessFunc rgb16x16 = nullptr;
        const char* prefix = "";
    };

    ColorConverters getColorConverters(Sample sample, CPUFlags flags);

    // The Format a layout is written in.
    const Format& getSampleFormat(Sample sample);

    // The CPUs this process may run on (its affinity mask), at least 1.
    u32 usableProcessors();

    // Where a scan's decode stands among its restart intervals.
    struct RestartCursor
    {
        u32 interval = 0;   // units (MCUs, blocks or samples) per interval; 0 without restarts
        u32 counter = 0;    // units left in the current interval
        u32 marker = 0;     // the RSTn expected after the current interval
    };

    // A progressive scan the parse leaves for later: decoded once the parse is done, beside
    // the scans of other components and coefficient bands.
    struct ScanJob
    {
        DecodeState state;
        RestartCursor restart;

        // the tables as they stood at the scan: a later DHT may redefine them
        HuffmanTable huffman[2][4];

        int components = 0;
        int component[JPEG_MAX_COMPONENTS] = {};

        // per frame component, bit k: the scan writes (reads) coefficient k, zig-zag order
        u64 writes[JPEG_MAX_COMPONENTS] = {};
        u64 reads[JPEG_MAX_COMPONENTS] = {};

        const u8* data = nullptr;       // its entropy data
        const u8* next = nullptr;       // where the parse went on after it

        // the scans before and after it that write some of the same coefficients; it starts
        // once all before it have started, and decodes an MCU row once they have done it
        std::vector<ScanJob*> predecessors;
        std::vector<ScanJob*> successors;
        std::atomic<u32> pending { 0 };

        // MCU rows fully decoded
        std::atomic<u32> rowsDone { 0 };

        // Returns once every scan before it has decoded MCU row `row`.
        void waitForRow(u32 row) const;

        void publishRows(u32 rows)
        {
            rowsDone.store(rows, std::memory_order_release);
        }
    };

    // ----------------------------------------------------------------------
    // The decoder object
    // ----------------------------------------------------------------------

    class Parser : private NonCopyable
    {
    public:
        // Runs the header pass over memory. flags select the SIMD code (tests pass 0 to
        // force the scalar paths).
        explicit Parser(ConstMemory memory, CPUFlags flags = getCPUFlags());
        ~Parser();

        ImageDecodeStatus decode(const Surface& dest);
        std::string getInfo() const;

        const ImageHeader& header() const { return m_header; }
        ConstMemory exif() const { return m_exif; }
        ConstMemory icc() const { return ConstMemory(m_iccBuffer.data(), m_iccBuffer.size()); }

        // Thread count the drivers plan for; 0 means the pool's. 1 runs every scan on the
        // calling thread (tests compare the two).
        u32 threadOverride = 0;

        // Pieces a sequential scan without restart markers is cut into for speculative
        // decoding; 0 chooses from the threads, the CPUs this process may use and the data
        // size. Tests force many small pieces so that every resynchronisation path runs.
        u32 entropyRangeOverride = 0;

        // for tests: what the speculative decoder did over this object's decodes
        struct SpeculativeCounts
        {
            u32 scans = 0;          // scans it decoded
            u32 joined = 0;         // ranges the true decode met
            u32 passed = 0;         // ranges it passed without meeting them, decoding them itself
            u32 declined = 0;       // scans left to the serial decoder after the ranges ran
        };
        SpeculativeCounts speculative;

        // for tests: decodes whose progressive scans, left for later, had to run again one
        // after another (the parse went on where a scan's data did not end)
        u32 progressiveReplays = 0;

        // for tests
        u32 quantizationPrecision(int slot) const { return m_qtPrecision[slot]; }
        const u16* quantizationTable(int slot) const { return m_qt[slot]; }

    private:
        void parse(ConstMemory memory, bool decode);
        const u8* seekMarker(const u8* p, const u8* end) const;
        const u8* nextMarker(const u8* p, const u8* end, bool passRestarts = false) const;
        bool readSegment(const u8* p, const u8* end, u32 minimum, u32& length);

        void processSOF(const u8* p, u32 length, u16 marker);
        void processDHT(const u8* p, u32 length);
        void processDQT(const u8* p, u32 length);
        void processDAC(const u8* p, u32 length);
        void processDRI(const u8* p, u32 length);
        void processAPP(const u8* p, u32 length, u16 marker, bool decode);
        const u8* processSOS(const u8* p, u32 length, const u8* end);

        bool checkScanHeader(const u8* p, u32 length);
        bool selectScanComponents(const u8* p);
        void decodeScan();

        void decodeSequential();
        void decodeSequentialThreaded();
        u32 speculativeRanges(const u8* begin, const u8* end) const;
        bool decodeSequentialSpeculative();
        void decodeCoefficients();
        void decodeCoefficientScan(DecodeState& state, RestartCursor& restart, int components,
                                   const int* component, ScanJob* job = nullptr) const;
        void decodeNonInterleaved(DecodeState& state, RestartCursor& restart, int component, ScanJob* job) const;
        void decodeProgressive();
        void deferScan();
        bool runScanJobs();
        void decodeLossless();
        void finishProgressive();
        void finishProgressiveThreaded();
        void finishLossless();
        bool handleRestart(DecodeState& state, RestartCursor& restart) const;
        void restartDecoder(DecodeState& state) const;
        const u8* resynchronize(const u8* p, const u8* end, u32 expected, bool& inStep) const;
        void noteInterval(const DecodeState& state) const;
        void decodeRestartIntervals();

        void saveHeaderState();
        void restoreHeaderState();

        void processMcu(const s16* data, u32 mcuX, u32 mcuY) const;
        void processMcuRowsTask(const s16* data, u32 y0, u32 y1) const;
        void decodeRestartIntervalTask(const std::vector<const u8*>& starts, size_t first, size_t last) const;
        void decodeRestartInterval(DecodeState& state, const u8* data, u32 interval, s16* mcu) const;
        bool selectColorConversion(Sample sample);
        bool storedAsRGB() const;
        bool allocateCoefficients();
        u32 threadCount() const;

        ImageHeader m_header;
        Status* m_status = nullptr;     // the header's in the header pass, the decode's after
        CPUFlags m_flags;

        // quantisation tables: four slots of 64 entries in natural order
        u16* m_qtBlock = nullptr;
        u16* m_qt[4];
        u32 m_qtPrecision[4] = { 8, 8, 8, 8 };
        u32 m_qtDefined = 0;            // bit k: a DQT gave table k

        HuffmanTable m_huffman[2][4];   // [DC, AC][Th]

        std::vector<Frame> m_frame;
        ProcessContext m_context;

        s16* m_coefficients = nullptr;
        DecodeState m_state;
        const u8* m_scanData = nullptr;     // first byte of the current scan's entropy data
        int m_scanComponents = 0;
        int m_scanComponent[JPEG_MAX_COMPONENTS] = {};
        bool m_scanSeen = false;

        // process
        u32 m_precision = 0;
        int m_components = 0;
        bool m_progressive = false;
        bool m_multiscan = false;
        bool m_arithmetic = false;
        bool m_lossless = false;
        bool m_frameSeen = false;
        int m_hmax = 0;
        int m_vmax = 0;
        int m_blocksInMcu = 0;
        int m_mcuWidth = 0;
        int m_mcuHeight = 0;
        int m_width = 0;
        int m_height = 0;
        u32 m_mcusPerRow = 0;
        u32 m_mcuRows = 0;
        u32 m_mcus = 0;
        int m_xclip = 0;
        int m_yclip = 0;

        u32 m_restartInterval = 0;
        RestartCursor m_restart;    // the current scan's

        // Progressive scans the parse left for later (with two or more threads): decoded
        // after it, as many at a time as their coefficients allow.
        bool m_deferScans = false;
        std::vector<std::unique_ptr<ScanJob>> m_scanJobs;

        // what a decode met that a caller should hear of, though it still made a picture
        enum Warning : u32
        {
            WARNING_ENDED = 1,      // data ended early: a scan, or the file, was cut short
            WARNING_CORRUPT = 2,    // codes that mean nothing, bytes left over, restart markers out of step
        };
        mutable std::atomic<u32> m_warnings { 0 };
        bool m_endSeen = false;

        std::string m_processName;
        std::string m_entropyName;
        std::string m_idctName;
        std::string m_colorName;

        // what tells the colour space of three components: a JFIF segment, and the
        // transform byte of an Adobe segment (-1 without one); both from the header pass
        bool m_jfif = false;
        int m_adobeTransform = -1;

        ConstMemory m_exif;
        Buffer m_iccBuffer;
        ConstMemory m_remainder;

        // decode target
        u8* m_target = nullptr;
        ptrdiff_t m_targetStride = 0;
        int m_targetBytes = 0;

        ProcessFunc m_processFull = nullptr;
        ProcessFunc m_processEdge = nullptr;

        // lossless: reconstructed samples per component and the point transform; for
        // arithmetic coding the difference classes of a row per component
        std::vector<u16> m_losslessPlane[JPEG_MAX_COMPONENTS];
        std::vector<u8> m_losslessClass[JPEG_MAX_COMPONENTS];
        int m_pointTransform = 0;

        // the tables as the header pass left them
        u16 m_savedQT[256];
        u32 m_savedQTPrecision[4];
        u32 m_savedQTDefined = 0;
        u32 m_headerWarnings = 0;       // what the header pass met, handed to every decode
        HuffmanTable m_savedHuffman[2][4];
        u8 m_savedDAC[3][16];
        u32 m_savedRestartInterval = 0;
        u32 m_savedColorTransform = 0;
    };

    // The marker at or after p with the fill bytes before it passed, so that marker[1] is its
    // code; at or past end - 1 when there is none. passRestarts passes restart markers too.
    // Inline: it runs at the end of every restart interval.
    inline const u8* Parser::nextMarker(const u8* p, const u8* end, bool passRestarts) const
    {
        for (;;)
        {
            const u8* marker = seekMarker(p, end);
            while (marker < end - 1 && marker[1] == 0xFF)
                ++marker;
            const bool restart = marker < end - 1 && marker[1] >= 0xD0 && marker[1] <= 0xD7;
            if (!passRestarts || !restart)
                return marker;
            p = marker + 2;
        }
    }

} // namespace norva::jpeg
