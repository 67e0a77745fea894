// JPEG decode: the output target, the scan drivers, restart handling and threading.

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

#if defined(__linux__)
#include <sched.h>
#endif

#include <norva/core/exception.hpp>
#include <norva/core/string.hpp>
#include <norva/core/thread.hpp>

#include "jpeg_color.hpp"

namespace norva::jpeg
{
    namespace
    {
        // The largest coefficient buffer a progressive or multi-scan image may ask for.
        constexpr u64 MAX_COEFFICIENT_BYTES = u64(8) << 30;

        // Bands of MCU rows for the pool: at least T rows, about four bands per thread.
        inline u32 bandHeight(u32 rows, u32 threads)
        {
            const u32 divisor = threads < 2 ? 1 : 4 * threads;
            return std::max(rows / divisor, threads);
        }

    } // namespace

    // ----------------------------------------------------------------------
    // decode
    // ----------------------------------------------------------------------

    ImageDecodeStatus Parser::decode(const Surface& dest)
    {
        ImageDecodeStatus status;

        if (!m_header.success)
        {
            status.setError("%s", m_header.info.c_str());
            return status;
        }
        if (!m_remainder.address)
        {
            status.success = false;
            return status;
        }

        // errors of this decode go to its status, not to the header
        struct StatusScope
        {
            Parser& parser;
            StatusScope(Parser& p, Status& s) : parser(p) { parser.m_status = &s; }
            ~StatusScope() { parser.m_status = &parser.m_header; }
        } scope(*this, status);

        restoreHeaderState();
        m_multiscan = false;
        m_scanSeen = false;
        m_endSeen = false;
        for (auto& plane : m_losslessPlane)
            plane.clear();

        // lossless frames are written as grey or BGRA, CMYK always as BGRA
        Sample sample = getSampleFormat(dest.format).sample;
        if (m_lossless)
            sample = m_components == 1 ? JPEG_U8_Y : JPEG_U8_BGRA;
        else if (m_components == 4)
            sample = JPEG_U8_BGRA;

        if (!m_lossless && !selectColorConversion(sample))
            return status;

        const Format& format = getSampleFormat(sample);
        const bool direct = dest.image && dest.width == m_width && dest.height == m_height && dest.format == format;

        std::unique_ptr<Bitmap> temporary;
        if (direct)
        {
            m_target = dest.image;
            m_targetStride = dest.stride;
        }
        else
        {
            const int width = int(m_mcusPerRow) * m_mcuWidth;
            const int height = int(m_mcuRows) * m_mcuHeight;
            if (u64(width) * u64(height) * u64(format.bytes()) > Bitmap::maxBytes)
            {
                status.setError("Out of memory");
                return status;
            }
            try
            {
                temporary = std::make_unique<Bitmap>(width, height, format);
            }
            catch (const std::exception&)
            {
                status.setError("Out of memory");
                return status;
            }
            m_target = temporary->image;
            m_targetStride = temporary->stride;
        }
        m_targetBytes = color::bytesPerPixel(sample);

        try
        {
            m_deferScans = m_progressive && threadCount() >= 2;
            parse(m_remainder, true);

            // A scan's data that ended before the marker the parse went on at, or a parse that
            // failed after scans were left for later (it may have failed only for going on
            // there): one scan after another, as the damage decides.
            if (!m_scanJobs.empty() && (!status.success || !runScanJobs()))
            {
                ++progressiveReplays;
                status = ImageDecodeStatus();
                m_scanJobs.clear();
                m_deferScans = false;
                restoreHeaderState();
                m_scanSeen = false;
                m_endSeen = false;
                alignedFree(m_coefficients);
                m_coefficients = nullptr;
                parse(m_remainder, true);
            }
            m_scanJobs.clear();

            if (status.success)
            {
                if (m_lossless)
                    finishLossless();
                else if (m_progressive || m_multiscan)
                    finishProgressive();
            }
        }
        catch (const std::exception& e)
        {
            // the pool rethrows what a task threw; tasks themselves do not allocate
            if (status.success)
                status.setError("%s", e.what());
        }

        m_scanJobs.clear();
        alignedFree(m_coefficients);
        m_coefficients = nullptr;
        m_target = nullptr;

        if (status.success && !m_scanSeen)
            status.setError("No scan data");
        if (!m_endSeen)
            m_warnings |= WARNING_ENDED;

        if (status.success && temporary)
        {
            Surface target = dest;
            const Surface source(*temporary, 0, 0, m_width, m_height);
            if (!target.blit(0, 0, source))
                status.setError("Unsupported destination format");
        }

        if (status.success)
        {
            status.info = getInfo();
            status.direct = direct;
        }
        return status;
    }

    std::string Parser::getInfo() const
    {
        std::string info = m_processName + ", " + m_entropyName;
        // lossless frames are never transformed
        if (!m_idctName.empty() && !m_lossless)
            info += ", " + m_idctName;
        if (!m_colorName.empty())
            info += ", " + m_colorName;

        // what went wrong on the way to a picture, as libjpeg's warnings do
        const u32 warnings = m_warnings.load(std::memory_order_relaxed);
        if (warnings & WARNING_ENDED)
            info += "; Data ended early";
        if (warnings & WARNING_CORRUPT)
            info += "; Corrupt data";
        return info;
    }

    bool Parser::selectColorConversion(Sample sample)
    {
        const ColorConverters c = getColorConverters(sample, m_flags);
        m_colorName.clear();
        m_context.chromaIdct = m_context.idct;
        m_context.chromaBlock = JPEG_MAX_BLOCKS_IN_MCU;

        switch (m_components)
        {
            case 1:
                m_processFull = c.ySource;
                m_processEdge = c.ySource;
                m_colorName.append("Y");
                return true;

            case 3:
            case 4:
                break;

            default:
                m_status->setError("Unsupported number of components (%d)", m_components);
                return false;
        }

        // converters upsample by whole factors only
        for (int i = 0; i < m_components; ++i)
        {
            if (m_hmax % int(m_frame[i].hsf) || m_vmax % int(m_frame[i].vsf))
            {
                m_status->setError("Unsupported sampling factors");
                return false;
            }
        }

        if (m_components == 4)
        {
            m_processFull = c.cmyk;
            m_processEdge = c.cmyk;
            m_colorName.append("CMYK");
            return true;
        }

        const bool rgb = storedAsRGB();
        if (m_precision == 12 && !rgb)
        {
            // The 12-bit transform keeps the top 8 bits of each sample (a truncation, about
            // half a level low). The colour factors of up to 1.772 would carry that from the
            // chroma into R and B as a steady bias of over a level, so chroma is rounded.
            m_context.chromaIdct = idctInteger12Rounded;
            m_context.chromaBlock = int(m_frame[1].offset);
        }
        m_processFull = rgb ? c.rgb : c.ycbcr;
        m_processEdge = m_processFull;
        m_colorName.append(rgb ? "RGB" : "YCbCr");

        // the fixed shapes: a full-resolution first component and one block per chroma
        const bool shapes = m_frame[0].hsf == u32(m_hmax) && m_frame[0].vsf == u32(m_vmax) &&
                            m_frame[1].hsf == 1 && m_frame[1].vsf == 1 &&
                            m_frame[2].hsf == 1 && m_frame[2].vsf == 1 && m_blocksInMcu < 7;
        if (shapes)
        {
            struct Shape { int w, h; ProcessFunc func; const char* name; };
            const Shape ycbcrShapes[] =
            {
                { 8, 8, c.ycbcr8x8, "%s YCbCr 8x8" },
                { 8, 16, c.ycbcr8x16, "%s YCbCr 8x16" },
                { 16, 8, c.ycbcr16x8, "%s YCbCr 16x8" },
                { 16, 16, c.ycbcr16x16, "%s YCbCr 16x16" },
            };
            const Shape rgbShapes[] =
            {
                { 8, 8, c.rgb8x8, "%s RGB 8x8" },
                { 8, 16, c.rgb8x16, "%s RGB 8x16" },
                { 16, 8, c.rgb16x8, "%s RGB 16x8" },
                { 16, 16, c.rgb16x16, "%s RGB 16x16" },
            };
            for (const Shape& shape : rgb ? rgbShapes : ycbcrShapes)
            {
                if (shape.func && m_mcuWidth == shape.w && m_mcuHeight == shape.h)
                {
                    m_processFull = shape.func;
                    m_colorName = makeString(shape.name, c.prefix);
                }
            }
        }
        return true;
    }

    // Three components are YCbCr unless the file says otherwise, decided the way libjpeg
    // does: a JFIF segment means YCbCr; else an Adobe segment's transform 0 means RGB (any
    // other value YCbCr); else the identifiers 'R', 'G', 'B' mean RGB.
    bool Parser::storedAsRGB() const
    {
        if (m_jfif)
            return false;
        if (m_adobeTransform >= 0)
            return m_adobeTransform == 0;
        return m_frame[0].id == 'R' && m_frame[1].id == 'G' && m_frame[2].id == 'B';
    }

    bool Parser::allocateCoefficients()
    {
        if (m_coefficients)
            return true;

        const u64 bytes = u64(m_mcus) * u64(m_blocksInMcu) * 64 * sizeof(s16);
        if (bytes > MAX_COEFFICIENT_BYTES)
        {
            m_status->setError("Out of memory");
            return false;
        }
        try
        {
            m_coefficients = static_cast<s16*>(alignedMalloc(bytes, Alignment().value));
        }
        catch (const Exception&)
        {
            m_status->setError("Out of memory");
            return false;
        }
        std::memset(m_coefficients, 0, bytes);
        return true;
    }

    u32 usableProcessors()
    {
#if defined(__linux__)
        cpu_set_t set;
        CPU_ZERO(&set);
        if (sched_getaffinity(0, sizeof(set), &set) == 0)
            return u32(std::max(CPU_COUNT(&set), 1));
#endif
        return ThreadPool::getHardwareConcurrency();
    }

    // The pool keeps its size under an affinity mask; more tasks than CPUs only queue up.
    u32 Parser::threadCount() const
    {
        if (threadOverride)
            return threadOverride;
        return std::min(ThreadPool::getHardwareConcurrency(), usableProcessors());
    }

    // ----------------------------------------------------------------------
    // MCU processing
    // ----------------------------------------------------------------------

    void Parser::processMcu(const s16* data, u32 mcuX, u32 mcuY) const
    {
        u8* dest = m_target + ptrdiff_t(mcuY) * m_targetStride * m_mcuHeight +
                   ptrdiff_t(mcuX) * m_targetBytes * m_mcuWidth;

        int width = m_mcuWidth;
        int height = m_mcuHeight;
        if (mcuX == m_mcusPerRow - 1 && m_xclip)
            width = m_xclip;
        if (mcuY == m_mcuRows - 1 && m_yclip)
            height = m_yclip;

        const ProcessFunc process = (width == m_mcuWidth && height == m_mcuHeight) ? m_processFull : m_processEdge;
        process(dest, m_targetStride, data, &m_context, width, height);
    }

    void Parser::processMcuRowsTask(const s16* data, u32 y0, u32 y1) const
    {
        const size_t stride = size_t(m_blocksInMcu) * 64;
        for (u32 y = y0; y < y1; ++y)
        {
            for (u32 x = 0; x < m_mcusPerRow; ++x)
            {
                processMcu(data, x, y);
                data += stride;
            }
        }
    }

    // ----------------------------------------------------------------------
    // restarts
    // ----------------------------------------------------------------------

    void Parser::restartDecoder(DecodeState& state) const
    {
        state.cache = 0;
        state.bits = 0;
        state.eobrun = 0;
        state.corrupt = false;
        state.ended = false;
        if (m_arithmetic)
            arithmeticRestart(state);
        else
            huffmanRestart(state);
    }

    // Where the data after a restart interval begins, found from p (in the interval, or at
    // the marker that ends it) the way libjpeg resynchronises: marker codes no writer uses are
    // passed over, so is a restart marker of an interval already done; a marker of one of the
    // next two intervals means this interval's own was lost, and stays for them (they are
    // missing, as are the scan's remaining intervals when another marker ends the scan).
    // inStep is false unless the first marker is the expected one.
    const u8* Parser::resynchronize(const u8* p, const u8* end, u32 expected, bool& inStep) const
    {
        inStep = true;
        for (;;)
        {
            const u8* marker = nextMarker(p, end);
            if (marker >= end - 1)
            {
                inStep = false;
                return end;
            }

            const u32 code = marker[1];
            if (code >= 0xD0 && code <= 0xD7 && code - 0xD0 == expected)
                return marker + 2;
            inStep = false;

            if (code < 0xC0)
            {
                p = marker + 2;
                continue;
            }
            if (code < 0xD0 || code > 0xD7)
                return marker;

            const u32 n = code - 0xD0;
            if (n == ((expected + 1) & 7) || n == ((expected + 2) & 7))
                return marker;
            if (n == ((expected + 7) & 7) || n == ((expected + 6) & 7))
            {
                p = marker + 2;
                continue;
            }
            // too far from the expected number to tell: taken for it
            return marker + 2;
        }
    }

    // What one interval (or a scan without restarts) met: data that ran out, codes that mean
    // nothing, or more data than its MCUs use (a whole interval leaves fewer than 8 bits of
    // padding before its marker, and an arithmetic coder reads up to the marker).
    void Parser::noteInterval(const DecodeState& state) const
    {
        u32 warnings = 0;
        if (state.ended)
            warnings |= WARNING_ENDED;
        if (state.corrupt)
            warnings |= WARNING_CORRUPT;
        else if (!state.ended)
        {
            const u8* marker = std::min(seekMarker(state.data, state.end), state.end);
            if (state.data < marker || state.bits - state.padding >= 8)
                warnings |= WARNING_CORRUPT;
        }
        if (warnings)
            m_warnings.fetch_or(warnings, std::memory_order_relaxed);
    }

    // Called before every unit (MCU, block or lossless sample) of a scan but its first:
    // restarts the decoder when an interval has ended.
    bool Parser::handleRestart(DecodeState& state, RestartCursor& restart) const
    {
        if (!restart.interval || --restart.counter)
            return false;
        restart.counter = restart.interval;

        noteInterval(state);
        bool inStep = true;
        const u8* next = resynchronize(state.data, state.end, restart.marker, inStep);
        if (!inStep)
            m_warnings.fetch_or(WARNING_CORRUPT, std::memory_order_relaxed);
        restart.marker = (restart.marker + 1) & 7;

        state.setData(next, state.end);
        restartDecoder(state);
        return true;
    }

    // ----------------------------------------------------------------------
    // sequential
    // ----------------------------------------------------------------------

    void Parser::decodeSequential()
    {
        m_scanSeen = true;

        if (m_restartInterval)
        {
            decodeRestartIntervals();
            return;
        }

        if (decodeSequentialSpeculative())
            return;

        const u32 threads = threadCount();
        if (threads >= 2 && m_mcuRows >= 2)
        {
            decodeSequentialThreaded();
            return;
        }

        alignas(64) s16 mcu[JPEG_MAX_BLOCKS_IN_MCU * 64];

        for (u32 y = 0; y < m_mcuRows; ++y)
        {
            for (u32 x = 0; x < m_mcusPerRow; ++x)
            {
                m_state.decode(mcu, &m_state);
                processMcu(mcu, x, y);
            }
        }
        noteInterval(m_state);
    }

    // One restart interval from its first byte, with a decoder state of its own.
    void Parser::decodeRestartInterval(DecodeState& state, const u8* data, u32 interval, s16* mcu) const
    {
        state.setData(data, m_state.end);
        restartDecoder(state);

        const u32 begin = interval * m_restartInterval;
        const u32 count = std::min(m_restartInterval, m_mcus - begin);
        for (u32 j = 0; j < count; ++j)
        {
            const u32 index = begin + j;
            state.decode(mcu, &state);
            processMcu(mcu, index % m_mcusPerRow, index / m_mcusPerRow);
        }
        noteInterval(state);
    }

    void Parser::decodeRestartIntervalTask(const std::vector<const u8*>& starts, size_t first, size_t last) const
    {
        DecodeState local(m_state);
        alignas(64) s16 mcu[JPEG_MAX_BLOCKS_IN_MCU * 64];
        for (size_t i = first; i < last; ++i)
            decodeRestartInterval(local, starts[i], u32(i), mcu);
    }

    // A sequential scan with restart intervals. Where each interval starts is found from the
    // previous interval's first byte by its markers alone, as libjpeg resynchronises after
    // damage; no interval's decode decides where the next begins, so one thread and many
    // give the same picture, damaged or not.
    void Parser::decodeRestartIntervals()
    {
        std::vector<const u8*> starts;
        try
        {
            starts.reserve((m_mcus + m_restartInterval - 1) / m_restartInterval);
        }
        catch (const std::exception&)
        {
            m_status->setError("Out of memory");
            return;
        }

        const u8* p = m_scanData;
        const u8* end = m_state.end;
        u32 marker = 0;
        for (u32 i = 0; ; marker = (marker + 1) & 7)
        {
            starts.push_back(p);
            i += m_restartInterval;
            if (i >= m_mcus)
                break;
            bool inStep = true;
            p = resynchronize(p, end, marker, inStep);
            if (!inStep)
                m_warnings.fetch_or(WARNING_CORRUPT, std::memory_order_relaxed);
        }
        // the marker loop goes on from the last interval
        m_state.setData(p, end);

        const u32 threads = threadCount();
        if (threads < 2 || starts.size() < 2)
        {
            decodeRestartIntervalTask(starts, 0, starts.size());
            return;
        }

        // several short intervals per task keep the queue overhead small
        TaskQueue queue("jpeg.sequential", 0);
        const size_t perTask = std::max<size_t>(1, 256 / m_restartInterval);
        for (size_t first = 0; first < starts.size(); first += perTask)
        {
            const size_t last = std::min(starts.size(), first + perTask);
            queue.enqueue([this, &starts, first, last] {
                decodeRestartIntervalTask(starts, first, last);
            });
        }
        queue.wait();
    }

    void Parser::decodeSequentialThreaded()
    {
        const u32 threads = threadCount();
        TaskQueue queue("jpeg.sequential", 0);

        // Entropy decoding is serial; the iDCT and colour conversion of each band run on the
        // pool. Bands go through a small ring of buffers: the workers keep up with the caller,
        // so a few bands in flight suffice, and the caller helps out when a slot is still busy.
        const u32 band = bandHeight(m_mcuRows, threads);
        const size_t stride = size_t(m_blocksInMcu) * 64;
        const size_t bandSize = size_t(band) * m_mcusPerRow * stride;
        const u32 bands = (m_mcuRows + band - 1) / band;
        const u32 slots = std::min(bands, 4u);

        s16* ring = nullptr;
        try
        {
            ring = static_cast<s16*>(alignedMalloc(u64(bandSize) * slots * sizeof(s16), Alignment().value));
        }
        catch (const Exception&)
        {
            m_status->setError("Out of memory");
            return;
        }
        std::unique_ptr<std::atomic<bool>[]> done(new std::atomic<bool>[slots]);
        for (u32 i = 0; i < slots; ++i)
            done[i] = true;

        for (u32 j = 0; j < bands; ++j)
        {
            const u32 slot = j % slots;
            while (!done[slot].load(std::memory_order_acquire))
            {
                if (!queue.dequeueAndRun())
                    std::this_thread::yield();
            }
            done[slot].store(false, std::memory_order_relaxed);

            const u32 y0 = j * band;
            const u32 y1 = std::min(y0 + band, m_mcuRows);
            s16* data = ring + slot * bandSize;
            s16* p = data;
            for (u32 i = y0 * m_mcusPerRow; i < y1 * m_mcusPerRow; ++i)
            {
                m_state.decode(p, &m_state);
                p += stride;
            }

            std::atomic<bool>* flag = &done[slot];
            queue.enqueue([this, data, y0, y1, flag] {
                processMcuRowsTask(data, y0, y1);
                flag->store(true, std::memory_order_release);
            });
        }
        queue.wait();
        alignedFree(ring);
        noteInterval(m_state);
    }

    // ----------------------------------------------------------------------
    // multi-scan sequential and progressive: coefficients only
    // ----------------------------------------------------------------------

    // One component alone in its scan: its own blocks in raster order.
    // A scan decoded beside others (job set) waits, before each MCU row, for the scans before
    // it to have done that row, and tells the scans after it which rows it has done.
    void Parser::decodeNonInterleaved(DecodeState& state, RestartCursor& restart, int index, ScanJob* job) const
    {
        const Frame& frame = m_frame[index];
        const u32 hsf = frame.hsf;
        const u32 vsf = frame.vsf;

        const u32 width = (u32(m_width) * hsf + m_hmax - 1) / m_hmax;
        const u32 height = (u32(m_height) * vsf + m_vmax - 1) / m_vmax;
        const u32 across = (width + 7) / 8;
        const u32 down = (height + 7) / 8;

        state.blocks = 1;
        state.block[0].offset = 0;

        // Block bx of a row lies in MCU bx / hsf, sub-block bx % hsf: both are stepped rather
        // than divided, for this block and for the one prefetched a few steps ahead.
        struct Step
        {
            u32 mcu = 0;
            u32 sub = 0;

            void next(u32 h)
            {
                if (++sub == h)
                {
                    sub = 0;
                    ++mcu;
                }
            }
        };

        // Refinement scans revisit a coefficient buffer far larger than the caches: the
        // block a few steps ahead is requested while this one decodes.
        constexpr u32 AHEAD = 4;
        const size_t stride = size_t(m_blocksInMcu) * 64;
        for (u32 by = 0; by < down; ++by)
        {
            if (job && by % vsf == 0)
                job->waitForRow(by / vsf);

            s16* row = m_coefficients + size_t(by / vsf) * m_mcusPerRow * stride +
                       (frame.offset + (by % vsf) * hsf) * 64;
            Step current;
            Step ahead;
            for (u32 i = 0; i < AHEAD; ++i)
                ahead.next(hsf);

            for (u32 bx = 0; bx < across; ++bx)
            {
                if (bx + AHEAD < across)
                {
                    const s16* next = row + ahead.mcu * stride + ahead.sub * 64;
                    __builtin_prefetch(next);
                    __builtin_prefetch(next + 32);
                    ahead.next(hsf);
                }
                if (by | bx)
                    handleRestart(state, restart);
                state.decode(row + current.mcu * stride + current.sub * 64, &state);
                current.next(hsf);
            }

            if (job && (by + 1) % vsf == 0)
                job->publishRows((by + 1) / vsf);
        }
        noteInterval(state);
        if (job)
            job->publishRows(m_mcuRows);
    }

    // One scan into the coefficient buffer; touches nothing of the parser but the buffer and
    // the warnings, so scans of other coefficients may run at the same time.
    void Parser::decodeCoefficientScan(DecodeState& state, RestartCursor& restart, int components,
                                       const int* component, ScanJob* job) const
    {
        if (components == 1)
        {
            decodeNonInterleaved(state, restart, component[0], job);
            return;
        }

        const size_t stride = size_t(m_blocksInMcu) * 64;
        s16* data = m_coefficients;
        for (u32 y = 0, i = 0; y < m_mcuRows; ++y)
        {
            if (job)
                job->waitForRow(y);
            for (u32 x = 0; x < m_mcusPerRow; ++x, ++i)
            {
                if (i)
                    handleRestart(state, restart);
                state.decode(data, &state);
                data += stride;
            }
            if (job)
                job->publishRows(y + 1);
        }
        noteInterval(state);
    }

    void Parser::decodeCoefficients()
    {
        m_scanSeen = true;
        if (!allocateCoefficients())
            return;
        decodeCoefficientScan(m_state, m_restart, m_scanComponents, m_scanComponent);
    }

    void Parser::decodeProgressive()
    {
        decodeCoefficients();
    }

    void Parser::finishProgressive()
    {
        if (!m_coefficients)
            return;

        if (threadCount() < 2 || m_mcuRows < 2)
            processMcuRowsTask(m_coefficients, 0, m_mcuRows);
        else
            finishProgressiveThreaded();
    }

    void Parser::finishProgressiveThreaded()
    {
        const u32 threads = threadCount();
        TaskQueue queue("jpeg.progressive", 0);
        const u32 band = bandHeight(m_mcuRows, threads);
        for (u32 y0 = 0; y0 < m_mcuRows; y0 += band)
        {
            const u32 y1 = std::min(y0 + band, m_mcuRows);
            const s16* data = m_coefficients + size_t(y0) * m_mcusPerRow * m_blocksInMcu * 64;
            queue.enqueue([this, data, y0, y1] {
                processMcuRowsTask(data, y0, y1);
            });
        }
        queue.wait();
    }

    // ----------------------------------------------------------------------
    // lossless
    // ----------------------------------------------------------------------

    void Parser::decodeLossless()
    {
        m_scanSeen = true;

        for (int i = 0; i < m_components; ++i)
        {
            if (m_frame[i].hsf != 1 || m_frame[i].vsf != 1)
            {
                m_status->setError("Unsupported lossless sampling factors");
                return;
            }
        }

        const size_t width = size_t(m_width);
        const size_t height = size_t(m_height);
        try
        {
            for (int i = 0; i < m_components; ++i)
            {
                if (m_losslessPlane[i].size() != width * height)
                    m_losslessPlane[i].assign(width * height, 0);
            }
            if (m_arithmetic)
            {
                for (int i = 0; i < m_scanComponents; ++i)
                    m_losslessClass[m_scanComponent[i]].resize(width);
            }
        }
        catch (const std::exception&)
        {
            m_status->setError("Out of memory");
            return;
        }

        const int predictor = m_state.Ss;
        const int pt = m_state.Al;
        m_pointTransform = pt;
        const s32 initial = 1 << (m_precision - pt - 1);
        const int ns = m_scanComponents;

        u16* plane[JPEG_MAX_COMPONENTS];
        for (int i = 0; i < ns; ++i)
        {
            plane[i] = m_losslessPlane[m_scanComponent[i]].data();
            m_state.block[i].component = u32(m_scanComponent[i]);
            m_state.losslessClass[m_scanComponent[i]] = m_losslessClass[m_scanComponent[i]].data();
        }
        m_state.blocks = ns;

        bool start = true;      // the next sample uses the initial predictor
        bool firstRow = true;   // one-dimensional prediction along the row
        s32 diff[JPEG_MAX_COMPONENTS];

        for (size_t y = 0; y < height; ++y)
        {
            for (size_t x = 0; x < width; ++x)
            {
                if ((x | y) && handleRestart(m_state, m_restart))
                {
                    start = true;
                    firstRow = true;
                }
                // an interval conditions on its own differences only, as it predicts from its
                // own samples
                m_state.column = u32(x);
                m_state.leftInInterval = x && !start;
                m_state.aboveInInterval = !firstRow;
                m_state.decodeLossless(diff, &m_state);

                for (int i = 0; i < ns; ++i)
                {
                    u16* row = plane[i] + y * width;
                    const u16* above = y ? row - width : nullptr;
                    s32 p;
                    if (start)
                        p = initial;
                    else if (firstRow)
                        p = x ? row[x - 1] : above ? above[0] : initial;
                    else if (x == 0)
                        p = above[0];
                    else
                    {
                        const s32 ra = row[x - 1];
                        const s32 rb = above[x];
                        const s32 rc = above[x - 1];
                        switch (predictor)
                        {
                            case 1: p = ra; break;
                            case 2: p = rb; break;
                            case 3: p = rc; break;
                            case 4: p = ra + rb - rc; break;
                            case 5: p = ra + ((rb - rc) >> 1); break;
                            case 6: p = rb + ((ra - rc) >> 1); break;
                            default: p = (ra + rb) >> 1; break;
                        }
                    }
                    row[x] = u16(p + diff[i]);
                }

                start = false;
            }
            firstRow = false;
        }
        noteInterval(m_state);
    }

    void Parser::finishLossless()
    {
        const int width = m_width;
        const int height = m_height;
        const int pt = m_pointTransform;
        const int precision = int(m_precision);

        auto reduce = [pt, precision](u32 sample) -> u8 {
            const u32 v = sample << pt;
            const u32 r = precision >= 8 ? v >> (precision - 8) : v << (8 - precision);
            return u8(r > 255 ? 255 : r);
        };

        // The first scan made a plane for every component (zero where no scan comes).
        // Components 0, 1 and 2 go to red, green and blue; blue is zero for two components,
        // and a fourth has no place.
        if (m_losslessPlane[0].empty())
            return;
        std::vector<u16> zeros;
        if (m_components == 2)
            zeros.assign(size_t(width), 0);

        for (int y = 0; y < height; ++y)
        {
            u8* dest = m_target + ptrdiff_t(y) * m_targetStride;
            const size_t row = size_t(y) * width;
            const u16* r = m_losslessPlane[0].data() + row;
            if (m_components == 1)
            {
                for (int x = 0; x < width; ++x)
                    dest[x] = reduce(r[x]);
            }
            else
            {
                const u16* g = m_losslessPlane[1].data() + row;
                const u16* b = m_components == 2 ? zeros.data() : m_losslessPlane[2].data() + row;
                for (int x = 0; x < width; ++x)
                {
                    dest[x * 4 + 0] = reduce(b[x]);
                    dest[x * 4 + 1] = reduce(g[x]);
                    dest[x * 4 + 2] = reduce(r[x]);
                    dest[x * 4 + 3] = 0xFF;
                }
            }
        }
    }

} // namespace norva::jpeg
