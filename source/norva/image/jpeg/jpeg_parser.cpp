// JPEG marker parser: the marker loop and every segment handler.

#include <cstring>

#include <norva/core/byte_reader.hpp>
#include <norva/core/exception.hpp>
#include <norva/core/string.hpp>

#include "jpeg_private.hpp"

namespace norva::jpeg
{
    namespace
    {
        const char* processName(u16 marker)
        {
            switch (marker)
            {
                case 0xFFC0: return "Baseline DCT";
                case 0xFFC1: case 0xFFC9: return "Extended sequential DCT";
                case 0xFFC2: case 0xFFCA: return "Progressive DCT";
                case 0xFFC3: case 0xFFCB: return "Lossless";
                case 0xFFC5: case 0xFFCD: return "Differential sequential DCT";
                case 0xFFC6: case 0xFFCE: return "Differential progressive DCT";
                default: return "Differential lossless";
            }
        }

        inline bool isFrameMarker(u16 m)
        {
            return m >= 0xFFC0 && m <= 0xFFCF && m != 0xFFC4 && m != 0xFFC8 && m != 0xFFCC;
        }

    } // namespace

    Parser::Parser(ConstMemory memory, CPUFlags flags)
        : m_flags(flags)
    {
        m_status = &m_header;

        try
        {
            m_qtBlock = static_cast<u16*>(alignedMalloc(512, Alignment().value));
        }
        catch (const Exception&)
        {
            m_header.setError("Out of memory");
            return;
        }
        std::memset(m_qtBlock, 0, 512);
        for (int i = 0; i < 4; ++i)
            m_qt[i] = m_qtBlock + 64 * i;

        arithmeticInit(m_state);

        m_context.idct = idctInteger;
        if (m_flags & CPU_SSE2)
        {
            m_context.idct = idctSSE2;
            m_idctName = "SSE2 iDCT";
        }

        const bool start = memory.address && memory.size >= 2 && memory.address[0] == 0xFF && memory.address[1] == 0xD8;
        if (start && memory.size >= 4)
            parse(memory, false);
        if (m_header.success && !m_frameSeen)
            m_header.setError(start ? "No frame header" : "Not a JPEG file");

        if (m_precision == 12)
        {
            m_context.idct = idctInteger12;
            m_idctName = "12 bit iDCT";
        }

        saveHeaderState();
    }

    Parser::~Parser()
    {
        alignedFree(m_coefficients);
        alignedFree(m_qtBlock);
    }

    // The tables as the header pass left them; every decode starts from here so that
    // tables redefined between scans do not leak into the next decode.
    void Parser::saveHeaderState()
    {
        if (m_qtBlock)
            std::memcpy(m_savedQT, m_qtBlock, 512);
        std::memcpy(m_savedQTPrecision, m_qtPrecision, sizeof(m_qtPrecision));
        m_savedQTDefined = m_qtDefined;
        m_headerWarnings = m_warnings.load(std::memory_order_relaxed);
        for (int c = 0; c < 2; ++c)
        {
            for (int t = 0; t < 4; ++t)
                m_savedHuffman[c][t] = m_huffman[c][t];
        }
        std::memcpy(m_savedDAC[0], m_state.dcL, 16);
        std::memcpy(m_savedDAC[1], m_state.dcU, 16);
        std::memcpy(m_savedDAC[2], m_state.acK, 16);
        m_savedRestartInterval = m_restartInterval;
        m_savedColorTransform = m_context.colorTransform;
    }

    void Parser::restoreHeaderState()
    {
        if (m_qtBlock)
            std::memcpy(m_qtBlock, m_savedQT, 512);
        std::memcpy(m_qtPrecision, m_savedQTPrecision, sizeof(m_qtPrecision));
        m_qtDefined = m_savedQTDefined;
        m_warnings = m_headerWarnings;
        for (int c = 0; c < 2; ++c)
        {
            for (int t = 0; t < 4; ++t)
                m_huffman[c][t] = m_savedHuffman[c][t];
        }
        std::memcpy(m_state.dcL, m_savedDAC[0], 16);
        std::memcpy(m_state.dcU, m_savedDAC[1], 16);
        std::memcpy(m_state.acK, m_savedDAC[2], 16);
        m_restartInterval = m_savedRestartInterval;
        m_context.colorTransform = m_savedColorTransform;
    }

    const u8* Parser::seekMarker(const u8* p, const u8* end) const
    {
        if (p >= end - 1)
            return p + 1;

        for (;;)
        {
            p = findFF(p, end - 1);
            if (p >= end - 1)
                return end - 1;
            if (p[1] != 0)
                return p;
            p += 2;
        }
    }

    // The length of the segment at p: at least 2 and `minimum`, inside the data.
    bool Parser::readSegment(const u8* p, const u8* end, u32 minimum, u32& length)
    {
        ByteReader reader(p, u64(end - p));
        length = reader.be16();
        if (reader.isShort() || length < 2 || length < minimum || reader.size() < length)
        {
            m_status->setError("Incorrect segment length");
            return false;
        }
        return true;
    }

    void Parser::parse(ConstMemory memory, bool decode)
    {
        const u8* p = memory.address;
        const u8* end = memory.address + memory.size;

        while (p < end && m_status->success)
        {
            if (end - p < 2)
                break;

            const u16 marker = loadBE16(p);
            p += 2;

            if (marker == 0xFFFF)
            {
                // a fill byte: the marker starts one byte later
                p -= 1;
                continue;
            }

            if (marker < 0xFF01)
            {
                // bytes where a marker should be: passed over, as libjpeg does with a warning
                m_warnings.fetch_or(WARNING_CORRUPT, std::memory_order_relaxed);
                p = seekMarker(p - 1, end);
                continue;
            }

            u32 length = 0;

            if (isFrameMarker(marker))
            {
                if (decode)
                {
                    // a second frame: the image is the first one
                    m_endSeen = true;
                    break;
                }
                if (!readSegment(p, end, 8, length))
                    break;
                processSOF(p, length, marker);
                p += length;
                m_remainder = ConstMemory(p, u64(end - p));
                break;
            }

            switch (marker)
            {
                case 0xFFD8: // SOI
                    m_restartInterval = 0;
                    continue;

                case 0xFFD9: // EOI
                    m_endSeen = true;
                    return;

                case 0xFFD0: case 0xFFD1: case 0xFFD2: case 0xFFD3:
                case 0xFFD4: case 0xFFD5: case 0xFFD6: case 0xFFD7:
                case 0xFF01: // TEM stands alone
                    continue;

                case 0xFFDA: // SOS
                    if (!decode)
                        continue;
                    if (!readSegment(p, end, 6, length))
                        return;
                    // the scan judged its own data: what its decoder left goes unremarked
                    p = nextMarker(processSOS(p, length, end), end);
                    continue;

                default:
                    break;
            }

            const bool segment = marker == 0xFFC4 || marker == 0xFFCC || marker == 0xFFDB || marker == 0xFFDD ||
                                 (marker >= 0xFFE0 && marker <= 0xFFEF) || marker == 0xFF02 ||
                                 marker == 0xFFC8 || marker == 0xFFDC || marker == 0xFFDE || marker == 0xFFDF ||
                                 (marker >= 0xFFF0 && marker <= 0xFFFE);
            if (!segment)
            {
                // a marker no writer uses
                m_warnings.fetch_or(WARNING_CORRUPT, std::memory_order_relaxed);
                p = seekMarker(p, end);
                continue;
            }

            if (!readSegment(p, end, 2, length))
                break;

            switch (marker)
            {
                case 0xFFC4: processDHT(p, length); break;
                case 0xFFCC: processDAC(p, length); break;
                case 0xFFDB: processDQT(p, length); break;
                case 0xFFDD: processDRI(p, length); break;
                default:
                    if (marker >= 0xFFE0 && marker <= 0xFFEF)
                        processAPP(p, length, marker, decode);
                    break;
            }

            p += length;
            if (end - p >= 2 && p[1] == 0xFF)
            {
                // one fill byte before the next marker
                p += 1;
            }
        }
    }

    void Parser::processSOF(const u8* p, u32 length, u16 marker)
    {
        m_progressive = false;
        m_multiscan = false;
        m_lossless = false;

        // the length covers the fixed fields (readSegment asked for 8 bytes)
        ByteReader reader(p, length);
        reader.skip(2);
        const u32 precision = reader.byte();
        const int height = reader.be16();
        const int width = reader.be16();
        const int components = reader.byte();

        if (width == 0 || height == 0)
        {
            m_status->setError("Incorrect dimensions (%d x %d)", width, height);
            return;
        }
        if (components == 0 || components > JPEG_MAX_COMPONENTS)
        {
            m_status->setError("Incorrect number of components (%d)", components);
            return;
        }
        struct Component
        {
            u8 id;
            u8 sampling;
            u8 tq;
        };
        Component component[JPEG_MAX_COMPONENTS];
        for (int i = 0; i < components; ++i)
        {
            component[i].id = reader.byte();
            component[i].sampling = reader.byte();
            component[i].tq = reader.byte();
        }
        if (reader.isShort())
        {
            m_status->setError("Incorrect segment length");
            return;
        }
        if (length != 8u + 3u * u32(components))
            m_warnings.fetch_or(WARNING_CORRUPT, std::memory_order_relaxed);

        m_arithmetic = marker >= 0xFFC8;
        m_entropyName = m_arithmetic ? "Arithmetic" : "Huffman";
        m_processName = processName(marker);

        switch (marker & 0xFF)
        {
            case 0xC2: case 0xC6: case 0xCA: case 0xCE: m_progressive = true; break;
            case 0xC3: case 0xC7: case 0xCB: case 0xCF: m_lossless = true; break;
            default: break;
        }

        const bool precisionValid = m_lossless ? (precision >= 2 && precision <= 16) : (precision == 8 || precision == 12);
        if (!precisionValid)
        {
            m_status->setError("Incorrect precision (%d)", int(precision));
            return;
        }

        // validate every component before any table is written
        int blocks = 0;
        int hmax = 0;
        int vmax = 0;
        for (int i = 0; i < components; ++i)
        {
            const Component& c = component[i];
            int hsf = c.sampling >> 4;
            int vsf = c.sampling & 15;
            const u32 tq = c.tq;

            if (components == 1)
            {
                hsf = 1;
                vsf = 1;
            }
            if (hsf > 8 || vsf > 8)
            {
                m_status->setError("Incorrect frame sampling rate (%d x %d)", hsf, vsf);
                return;
            }
            if (hsf == 0 || vsf == 0)
            {
                m_status->setError("Incorrect sampling factors (%d x %d)", hsf, vsf);
                return;
            }
            if (tq > 3 && !m_lossless)
            {
                m_status->setError("Incorrect quantization table selector (%d)", int(tq));
                return;
            }
            blocks += hsf * vsf;
            hmax = std::max(hmax, hsf);
            vmax = std::max(vmax, vsf);
        }
        if (blocks > JPEG_MAX_BLOCKS_IN_MCU)
        {
            m_status->setError("Incorrect number of blocks per MCU (%d)", blocks);
            return;
        }

        m_precision = precision;
        m_width = width;
        m_height = height;
        m_components = components;
        m_hmax = hmax;
        m_vmax = vmax;
        m_blocksInMcu = blocks;
        m_frame.clear();

        int offset = 0;
        for (int i = 0; i < components; ++i)
        {
            const Component& c = component[i];
            Frame frame;
            frame.id = c.id;
            frame.hsf = components == 1 ? 1 : c.sampling >> 4;
            frame.vsf = components == 1 ? 1 : c.sampling & 15;
            frame.tq = c.tq & 3;
            frame.offset = u32(offset);

            for (u32 k = 0; k < frame.hsf * frame.vsf; ++k)
                m_context.qt[offset++] = m_qt[frame.tq];

            m_frame.push_back(frame);
        }

        m_context.blocks = blocks;
        computeSampleTables(m_context, m_frame.data(), components, hmax, vmax);

        m_mcuWidth = 8 * hmax;
        m_mcuHeight = 8 * vmax;
        m_mcusPerRow = u32((width + m_mcuWidth - 1) / m_mcuWidth);
        m_mcuRows = u32((height + m_mcuHeight - 1) / m_mcuHeight);
        m_mcus = m_mcusPerRow * m_mcuRows;
        m_xclip = width % m_mcuWidth;
        m_yclip = height % m_mcuHeight;
        m_frameSeen = true;

        m_header.width = width;
        m_header.height = height;
        m_header.depth = 0;
        m_header.levels = 0;
        m_header.faces = 0;
        m_header.palette = false;
        m_header.format = components == 1 ? Format::L8 : Format::BGRA8888;
        m_header.compression = 0;
    }

    void Parser::processDHT(const u8* p, u32 length)
    {
        ByteReader reader(p + 2, length - 2);

        while (!reader.atEnd())
        {
            if (!reader.has(17))
            {
                m_status->setError("Incorrect segment length");
                return;
            }

            const u8 tcth = reader.byte();
            const int tc = tcth >> 4;
            const int th = tcth & 15;
            if (tc >= 2)
            {
                m_status->setError("Incorrect huffman table class (%d)", tc);
                return;
            }
            if (th >= 4)
            {
                m_status->setError("Incorrect huffman table identifier (%d)", th);
                return;
            }

            const ConstMemory counts = reader.bytes(16);
            u32 total = 0;
            for (int l = 0; l < 16; ++l)
                total += counts.address[l];
            if (total > 256)
            {
                m_status->setError("Incorrect huffman table symbol count (%d)", int(total));
                return;
            }
            if (!reader.has(total))
            {
                m_status->setError("Incorrect segment length");
                return;
            }

            HuffmanTable& table = m_huffman[tc][th];
            table.counts[0] = 0;
            std::memcpy(table.counts + 1, counts.address, 16);
            reader.read(table.symbols, total);
            if (!table.build())
            {
                table = HuffmanTable();
                m_status->setError("Incorrect huffman table code lengths");
                return;
            }
        }
    }

    void Parser::processDQT(const u8* p, u32 length)
    {
        ByteReader reader(p + 2, length - 2);

        while (!reader.atEnd())
        {
            const u8 pqtq = reader.byte();
            const int pq = pqtq >> 4;
            const int tq = pqtq & 15;
            if (tq > 3)
            {
                m_status->setError("Incorrect quantization table (Tq: %d >= %d)", tq, 4);
                return;
            }
            if (pq > 1)
            {
                m_status->setError("Incorrect quantization table element precision (%d)", pq);
                return;
            }

            if (!reader.has(64 * u32(pq + 1)))
            {
                m_status->setError("Incorrect segment length");
                return;
            }

            u16* table = m_qt[tq];
            m_qtPrecision[tq] = 8 * pq + 8;
            m_qtDefined |= 1u << tq;
            for (int k = 0; k < 64; ++k)
                table[zigzagTable[k]] = pq ? reader.be16() : reader.byte();
        }
    }

    void Parser::processDAC(const u8* p, u32 length)
    {
        ByteReader reader(p + 2, length - 2);
        while (reader.has(2))
        {
            const u8 tctb = reader.byte();
            const int tc = tctb >> 4;
            const int tb = tctb & 15;
            const u8 value = reader.byte();
            if (tc == 0)
            {
                m_state.dcL[tb] = value & 15;
                m_state.dcU[tb] = value >> 4;
                if ((value & 15) > (value >> 4))
                    m_warnings.fetch_or(WARNING_CORRUPT, std::memory_order_relaxed);
            }
            else if (tc == 1)
            {
                m_state.acK[tb] = value;
                if (value < 1 || value > 63)
                    m_warnings.fetch_or(WARNING_CORRUPT, std::memory_order_relaxed);
            }
            else
            {
                m_warnings.fetch_or(WARNING_CORRUPT, std::memory_order_relaxed);
            }
        }
    }

    void Parser::processDRI(const u8* p, u32 length)
    {
        ByteReader reader(p, length);
        reader.skip(2);
        const u16 interval = reader.be16();
        if (reader.isShort())
        {
            m_status->setError("Incorrect segment length");
            return;
        }
        m_restartInterval = interval;
        if (length != 4)
            m_warnings.fetch_or(WARNING_CORRUPT, std::memory_order_relaxed);
    }

    void Parser::processAPP(const u8* p, u32 length, u16 marker, bool decode)
    {
        const u8* payload = p + 2;
        const u32 n = length;

        // metadata is collected once, in the header pass
        switch (marker)
        {
            case 0xFFE0:
                if (!decode && n >= 16 && std::memcmp(payload, "JFIF\0", 5) == 0)
                    m_jfif = true;
                break;

            case 0xFFE1:
                if (!decode && n >= 8 && std::memcmp(payload, "Exif\0", 5) == 0 && (payload[5] == 0 || payload[5] == 0xFF))
                    m_exif = ConstMemory(payload + 6, n - 8);
                break;

            case 0xFFE2:
                if (!decode && n >= 16 && std::memcmp(payload, "ICC_PROFILE\0", 12) == 0)
                {
                    try
                    {
                        m_iccBuffer.append(payload + 14, n - 16);
                    }
                    catch (const Exception&)
                    {
                        m_status->setError("Out of memory");
                    }
                }
                break;

            case 0xFFE3:
                if (!decode && n >= 8 && (std::memcmp(payload, "META\0\0", 6) == 0 || std::memcmp(payload, "Meta\0\0", 6) == 0))
                    m_exif = ConstMemory(payload + 6, n - 8);
                break;

            case 0xFFEE:
                if (n == 14 && std::memcmp(payload, "Adobe", 5) == 0)
                {
                    if (!decode)
                        m_adobeTransform = payload[11];
                    if (payload[11] < 3)
                        m_context.colorTransform = payload[11];
                }
                break;

            default:
                break;
        }
    }

    bool Parser::checkScanHeader(const u8* p, u32 length)
    {
        const int ns = p[2];
        if (ns == 0 || ns > JPEG_MAX_COMPONENTS)
        {
            m_status->setError("Incorrect number of scan components (%d)", ns);
            return false;
        }
        if (length < 6u + 2u * ns)
        {
            m_status->setError("Incorrect segment length");
            return false;
        }
        if (length != 6u + 2u * ns)
            m_warnings.fetch_or(WARNING_CORRUPT, std::memory_order_relaxed);
        if (!m_frameSeen)
        {
            m_status->setError("Scan without frame header");
            return false;
        }

        const u8* s = p + 3 + ns * 2;
        const int ss = s[0];
        const int se = s[1];
        const int ah = s[2] >> 4;
        const int al = s[2] & 15;

        if (m_lossless)
        {
            if (ss < 1 || ss > 7 || al >= int(m_precision))
            {
                m_status->setError("Incorrect lossless scan (predictor %d, point transform %d)", ss, al);
                return false;
            }
        }
        else if (m_progressive)
        {
            // a refinement adds the one bit below the last scan's
            const bool valid = ss <= se && se <= 63 && (ss > 0 || se == 0) && (ss == 0 || ns == 1) && ah <= 13 &&
                               al <= 13 && (ah == 0 || al == ah - 1);
            if (!valid)
            {
                m_status->setError("Incorrect progressive scan (Ss: %d, Se: %d, Ah: %d, Al: %d)", ss, se, ah, al);
                return false;
            }
        }
        return true;
    }

    // The blocks of one MCU of the scan, each with its component and tables.
    bool Parser::selectScanComponents(const u8* p)
    {
        const int ns = p[2];
        DecodeState& state = m_state;
        state.blocks = 0;
        m_scanComponents = ns;

        bool used[JPEG_MAX_COMPONENTS] = {};

        for (int i = 0; i < ns; ++i)
        {
            const u32 cs = p[3 + i * 2];
            const u32 td = p[4 + i * 2] >> 4;
            const u32 ta = p[4 + i * 2] & 15;

            int index = -1;
            for (int c = 0; c < m_components; ++c)
            {
                if (m_frame[c].id == cs)
                    index = c;
            }
            if (index < 0)
            {
                m_status->setError("Incorrect scan component (%d)", int(cs));
                return false;
            }
            if (used[index])
            {
                m_status->setError("Duplicate scan component (%d)", int(cs));
                return false;
            }
            used[index] = true;
            if (td > 3 || ta > 3)
            {
                m_status->setError("Incorrect scan table selector (%d, %d)", int(td), int(ta));
                return false;
            }

            m_scanComponent[i] = index;
            const Frame& frame = m_frame[index];
            if (!m_lossless && !(m_qtDefined & (1u << frame.tq)))
            {
                // no DQT gave its table: every coefficient dequantises to 0
                m_warnings.fetch_or(WARNING_CORRUPT, std::memory_order_relaxed);
            }
            if (!m_lossless && !m_arithmetic && (!m_progressive || (p[3 + ns * 2] == 0 && (p[5 + ns * 2] >> 4) == 0)))
            {
                // a DCT scan's DC categories end at 15
                const HuffmanTable& dc = m_huffman[0][td];
                int symbols = 0;
                for (int l = 1; l <= 16; ++l)
                    symbols += dc.counts[l];
                for (int k = 0; k < symbols; ++k)
                {
                    if (dc.symbols[k] > 15)
                        m_warnings.fetch_or(WARNING_CORRUPT, std::memory_order_relaxed);
                }
            }
            const u32 count = frame.hsf * frame.vsf;
            if (state.blocks + int(count) > JPEG_MAX_BLOCKS_IN_MCU)
            {
                m_status->setError("Incorrect number of blocks per MCU (%d)", state.blocks + int(count));
                return false;
            }
            for (u32 k = 0; k < count; ++k)
            {
                BlockDescriptor& block = state.block[state.blocks++];
                block.offset = 64 * (frame.offset + k);
                block.component = u32(index);
                block.dc = &m_huffman[0][td];
                block.ac = &m_huffman[1][ta];
                block.dcTable = td;
                block.acTable = ta;
            }
        }
        return true;
    }

    namespace
    {
        enum ScanKind
        {
            SCAN_SEQUENTIAL,
            SCAN_DC_FIRST,
            SCAN_DC_REFINE,
            SCAN_AC_FIRST,
            SCAN_AC_REFINE,
            SCAN_KINDS,
        };

        // [arithmetic][kind]
        constexpr DecodeFunc scanDecoders[2][SCAN_KINDS] =
        {
            { huffmanDecodeMcu, huffmanDecodeDcFirst, huffmanDecodeDcRefine, huffmanDecodeAcFirst, huffmanDecodeAcRefine },
            { arithmeticDecodeMcu, arithmeticDecodeDcFirst, arithmeticDecodeDcRefine, arithmeticDecodeAcFirst, arithmeticDecodeAcRefine },
        };

        constexpr LosslessDecodeFunc losslessDecoders[2] = { huffmanDecodeLossless, arithmeticDecodeLossless };

        ScanKind progressiveScanKind(const DecodeState& state)
        {
            if (state.Ss == 0)
                return state.Ah == 0 ? SCAN_DC_FIRST : SCAN_DC_REFINE;
            return state.Ah == 0 ? SCAN_AC_FIRST : SCAN_AC_REFINE;
        }

    } // namespace

    // Decodes the scan whose entropy data the state points at with the decoder of its
    // process, entropy coding and (progressive) pass.
    void Parser::decodeScan()
    {
        DecodeState& state = m_state;
        if (m_lossless)
        {
            state.decodeLossless = losslessDecoders[m_arithmetic];
            decodeLossless();
        }
        else if (m_progressive)
        {
            state.decode = scanDecoders[m_arithmetic][progressiveScanKind(state)];
            if (m_deferScans)
                deferScan();
            else
                decodeProgressive();
        }
        else
        {
            state.decode = scanDecoders[m_arithmetic][SCAN_SEQUENTIAL];
            if (m_multiscan)
                decodeCoefficients();
            else
                decodeSequential();
        }
    }

    const u8* Parser::processSOS(const u8* p, u32 length, const u8* end)
    {
        const u8* segmentEnd = p + length;
        if (!checkScanHeader(p, length))
            return segmentEnd;

        const int ns = p[2];
        if (ns != m_components && !m_progressive && !m_lossless)
            m_multiscan = true;

        if (!selectScanComponents(p))
            return segmentEnd;

        DecodeState& state = m_state;
        const u8* s = p + 3 + ns * 2;
        state.Ss = s[0];
        state.Se = std::min(int(s[1]), 63);
        state.Ah = s[2] >> 4;
        state.Al = s[2] & 15;
        state.zigzag = zigzagTable;

        m_restart = RestartCursor { m_restartInterval, m_restartInterval, 0 };
        state.setData(segmentEnd, end);
        m_scanData = segmentEnd;
        restartDecoder(state);

        decodeScan();

        // continue at the entropy decoder's position (at the marker that ends the data of a
        // scan left for later); the marker search finds what follows
        const u8* resume = m_state.data;
        if (resume < segmentEnd)
            resume = segmentEnd;
        if (resume > end)
            resume = end;
        return resume;
    }

} // namespace norva::jpeg
