// Sequential Huffman scans without restart markers, entropy-decoded by several threads.
//
// The scan's entropy data is cut into byte ranges. The first range is decoded as usual;
// every other one is decoded speculatively from its first byte, as if an MCU began there.
// Huffman codes resynchronise after a few symbols, so such a decode soon passes the MCU
// boundaries of the true decode, at the same bit positions: from the first shared
// boundary on, both decode the same coefficients. Only the DC predictors differ, since each
// range starts them at zero; a cheap pass adds the true ones. Each range's decode runs a
// little past its end, and the true decode follows the first boundary it shares there
// with the next range's decode; where there is none, the caller decodes on until there
// is one, through a whole range if that range's decode never agrees.
//
// Anything out of the ordinary on the true decode before the image's last MCU (the data
// ends, a marker, a buffer full) leaves the scan to the serial decoder, which has not
// started yet: pixels and status are the serial decoder's for every file and thread count.

#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include <norva/core/exception.hpp>
#include <norva/core/thread.hpp>

#include "jpeg_private.hpp"

namespace norva::jpeg
{
    namespace
    {
        // Less data per range does not repay the extra decode around each range start.
        constexpr size_t MIN_RANGE_BYTES = 48 * 1024;

        // How far each range's decode goes on into the next range, for the true decode to meet
        // that range's own there; where it does not, the caller decodes on.
        constexpr u64 OVERSHOOT_BITS = 4096;

        // All ranges' buffers together (each can hold the whole image; only what is decoded
        // is touched).
        constexpr u64 MAX_RANGE_BYTES = u64(16) << 30;

        // Buffers of finished decodes, kept for the next ones: fresh memory costs a page
        // fault per page and clearing it, about as much as the decode that fills it.
        class ScratchCache
        {
        public:
            ~ScratchCache()
            {
                for (const Item& item : m_items)
                    alignedFree(item.address);
            }

            // A buffer of at least `bytes`; throws when there is no memory.
            void* take(u64 bytes)
            {
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    size_t best = m_items.size();
                    for (size_t i = 0; i < m_items.size(); ++i)
                    {
                        if (m_items[i].size >= bytes && (best == m_items.size() || m_items[i].size < m_items[best].size))
                            best = i;
                    }
                    if (best < m_items.size())
                    {
                        void* address = m_items[best].address;
                        m_total -= m_items[best].size;
                        m_items.erase(m_items.begin() + std::ptrdiff_t(best));
                        return address;
                    }
                }

                // large ones in huge pages where the system offers them: a fault per 2 MiB
                const u64 size = rounded(bytes);
                void* address = alignedMalloc(size, size >= HUGE_PAGE ? u32(HUGE_PAGE) : 64);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
                if (size >= HUGE_PAGE)
                    madvise(address, size, MADV_HUGEPAGE);
#endif
                return address;
            }

            void give(void* address, u64 bytes)
            {
                // small buffers are cheap to get again
                const u64 size = rounded(bytes);
                if (size < HUGE_PAGE)
                {
                    alignedFree(address);
                    return;
                }
                std::lock_guard<std::mutex> lock(m_mutex);
                try
                {
                    m_items.push_back({ address, size });
                    m_total += size;
                }
                catch (const std::exception&)
                {
                    alignedFree(address);
                }
                // the oldest go first
                while ((m_total > LIMIT || m_items.size() > 64) && !m_items.empty())
                {
                    alignedFree(m_items.front().address);
                    m_total -= m_items.front().size;
                    m_items.erase(m_items.begin());
                }
            }

        private:
            // address space kept; only the part decodes wrote is memory
            static constexpr u64 LIMIT = u64(512) << 20;
            static constexpr u64 HUGE_PAGE = u64(2) << 20;

            static u64 rounded(u64 bytes)
            {
                return bytes >= HUGE_PAGE / 2 ? (bytes + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1) : bytes;
            }

            struct Item
            {
                void* address;
                u64 size;
            };

            std::mutex m_mutex;
            std::vector<Item> m_items;
            u64 m_total = 0;
        };

        ScratchCache& scratchCache()
        {
            static ScratchCache cache;
            return cache;
        }

        struct Range
        {
            DecodeState state;
            const u8* begin = nullptr;
            const u8* finish = nullptr;     // the next range's first byte
            u64 origin = 0;                 // position of begin in the scan without stuffing, in bits
            u64 length = 0;                 // bits of the range without stuffing

            // per MCU decoded: its coefficients (DC relative to a zero predictor at begin),
            // where it began (relative to begin; positions[count] is where the next one
            // would), and whether it met codes that mean nothing
            s16* coefficients = nullptr;
            u64* positions = nullptr;
            u8* corrupt = nullptr;
            u32 capacity = 0;
            u32 count = 0;
            bool stopped = false;           // MCU `count` cannot be decoded: data ended, or no room

            // the range's own decode, before it was continued into the next range
            u32 listCount = 0;
            bool listStopped = false;

            Range() = default;
            Range(const Range&) = delete;
            Range& operator=(const Range&) = delete;

            // coefficients, positions and flags in one buffer from the cache
            void* buffer = nullptr;
            u64 bufferSize = 0;

            void allocate(u32 mcus, size_t stride)
            {
                const u64 coefficientBytes = u64(mcus) * stride * sizeof(s16);
                const u64 positionBytes = u64(mcus + 1) * sizeof(u64);
                bufferSize = coefficientBytes + positionBytes + mcus;
                buffer = scratchCache().take(bufferSize);
                capacity = mcus;
                coefficients = static_cast<s16*>(buffer);
                positions = reinterpret_cast<u64*>(static_cast<u8*>(buffer) + coefficientBytes);
                corrupt = static_cast<u8*>(buffer) + coefficientBytes + positionBytes;
            }

            ~Range()
            {
                if (buffer)
                    scratchCache().give(buffer, bufferSize);
            }

            u64 at(u32 m) const { return origin + positions[m]; }
        };

        // Decodes the range's next MCU; false when it cannot.
        bool decodeNext(Range& range, size_t stride)
        {
            if (range.stopped)
                return false;
            if (range.count == range.capacity)
            {
                range.stopped = true;
                return false;
            }
            DecodeState& state = range.state;
            state.decode(range.coefficients + size_t(range.count) * stride, &state);
            if (state.ended)
            {
                range.stopped = true;
                return false;
            }
            range.corrupt[range.count] = u8(state.corrupt);
            state.corrupt = false;
            ++range.count;
            range.positions[range.count] = state.position();
            return true;
        }

        // Continues a's decode until it stands at the start of one of the MCUs of b's own
        // decode (match: that MCU of b); false when it passes all of them first, or stops.
        bool follow(Range& a, const Range& b, u32& match, size_t stride)
        {
            u32 j = 0;
            for (;;)
            {
                if (a.stopped)
                    return false;
                const u64 p = a.at(a.count);
                while (j <= b.listCount && b.at(j) < p)
                    ++j;
                if (j > b.listCount)
                    return false;
                if (b.at(j) == p && (j < b.listCount || !b.listStopped))
                {
                    match = j;
                    return true;
                }
                if (!decodeNext(a, stride))
                    return false;
            }
        }

        // The byte at which `bytes` bytes of unstuffed data from p end.
        const u8* locate(const u8* p, const u8* end, u64 bytes)
        {
            while (bytes && p < end)
            {
                const u8* limit = p + std::min<u64>(bytes, u64(end - p));
                const u8* q = findFF(p, limit);
                bytes -= u64(q - p);
                p = q;
                if (q == limit)
                    break;
                p = (q + 1 < end && q[1] == 0) ? q + 2 : q + 1;
                --bytes;
            }
            return p;
        }

        // A run of one range's MCUs that the true decode shares, and where they go.
        struct Segment
        {
            u32 range;
            u32 first;      // first MCU of the range in the run
            u32 end;
            u32 base;       // index of the first in the image
            u16 offset[JPEG_MAX_COMPONENTS];    // added to each DC
        };

    } // namespace

    u32 Parser::speculativeRanges(const u8* begin, const u8* end) const
    {
        if (m_arithmetic || m_state.decode != huffmanDecodeMcu || end <= begin)
            return 0;

        const size_t bytes = size_t(end - begin);
        if (entropyRangeOverride)
            return u32(std::min<size_t>(entropyRangeOverride, bytes));

        u32 ranges = threadCount();
        if (ranges < 2)
            return 0;
        ranges = u32(std::min<size_t>(ranges, bytes / MIN_RANGE_BYTES));
        return ranges >= 2 ? ranges : 0;
    }

    bool Parser::decodeSequentialSpeculative()
    {
        const u8* scanBegin = m_scanData;
        const u8* scanEnd = m_state.end;
        if (!scanBegin || scanBegin >= scanEnd)
            return false;

        // the entropy data ends at the first marker
        const u8* dataEnd = std::min(seekMarker(scanBegin, scanEnd), scanEnd);
        const u32 requested = speculativeRanges(scanBegin, dataEnd);
        if (requested < 2)
            return false;

        // Range boundaries: never just after a 0xFF, so no stuffed pair is split.
        std::vector<const u8*> cuts;
        try
        {
            cuts.reserve(requested + 1);
        }
        catch (const std::exception&)
        {
            return false;
        }
        const size_t bytes = size_t(dataEnd - scanBegin);
        cuts.push_back(scanBegin);
        for (u32 i = 1; i < requested; ++i)
        {
            const u8* p = scanBegin + bytes * i / requested;
            while (p < dataEnd && p[-1] == 0xFF)
                ++p;
            if (p > cuts.back() && p < dataEnd)
                cuts.push_back(p);
        }
        const u32 count = u32(cuts.size());
        if (count < 2)
            return false;
        cuts.push_back(dataEnd);

        const size_t stride = size_t(m_blocksInMcu) * 64;
        const u32 capacity = m_mcus + 2;
        const u64 perRange = u64(capacity) * (stride * sizeof(s16) + sizeof(u64) + 1) + sizeof(u64);
        if (perRange * count > MAX_RANGE_BYTES)
            return false;

        std::unique_ptr<Range[]> ranges;
        try
        {
            ranges.reset(new Range[count]);
            for (u32 i = 0; i < count; ++i)
            {
                Range& range = ranges[i];
                range.begin = cuts[i];
                range.finish = cuts[i + 1];
                range.allocate(capacity, stride);
            }
        }
        catch (const std::exception&)
        {
            return false;
        }

        TaskQueue queue("jpeg.sequential", 0);

        // Each range decoded from its start, the last one up to the end of the data.
        for (u32 i = 0; i < count; ++i)
        {
            queue.enqueue([this, &ranges, i, count, stride] {
                Range& range = ranges[i];
                size_t stuffed = 0;
                for (const u8* p = findFF(range.begin, range.finish); p < range.finish; p = findFF(p + 1, range.finish))
                    ++stuffed;
                range.length = (u64(range.finish - range.begin) - stuffed) * 8;

                DecodeState& state = range.state;
                state = m_state;
                state.setData(range.begin, m_state.end);
                state.eobrun = 0;
                state.corrupt = false;
                state.ended = false;
                huffmanRestart(state);

                range.positions[0] = 0;
                const bool last = i == count - 1;
                while (last || range.positions[range.count] < range.length)
                {
                    if (!decodeNext(range, stride))
                        break;
                }
                range.listCount = range.count;
                range.listStopped = range.stopped;

                // on into the next range, where the true decode usually meets that range's
                // own within a few hundred bits
                while (!last && range.positions[range.count] < range.length + OVERSHOOT_BITS)
                {
                    if (!decodeNext(range, stride))
                        break;
                }
            });
        }
        queue.wait();

        for (u32 i = 1; i < count; ++i)
            ranges[i].origin = ranges[i - 1].origin + ranges[i - 1].length;

        // The true decode through the ranges: range 0 is true from its start; a range's
        // decode is true from where the true decode met it. A range the true decode passed
        // without meeting it is not: the true decode goes on to the one after.
        std::vector<Segment> segments;
        try
        {
            segments.reserve(count);
        }
        catch (const std::exception&)
        {
            return false;
        }

        u32 owner = 0;
        u32 first = 0;
        u32 base = 0;
        for (u32 i = 1; i < count && base + (ranges[owner].count - first) < m_mcus; ++i)
        {
            Range& a = ranges[owner];
            const Range& b = ranges[i];
            u32 j = 0;
            u32 end = a.count;
            bool joined = false;
            if (owner == i - 1)
            {
                // among the MCUs the previous range decoded past its end
                for (u32 m = a.listCount; m <= a.count && j <= b.listCount; ++m)
                {
                    const u64 p = a.at(m);
                    while (j <= b.listCount && b.at(j) < p)
                        ++j;
                    if (j <= b.listCount && b.at(j) == p && (j < b.listCount || !b.listStopped))
                    {
                        joined = true;
                        end = m;
                        break;
                    }
                }
            }
            if (!joined)
            {
                // decoded on here, on this thread
                j = 0;
                joined = follow(a, b, j, stride);
                end = a.count;
            }
            if (!joined)
                ++speculative.passed;
            if (joined)
            {
                segments.push_back({ owner, first, end, base, {} });
                base += end - first;
                ++speculative.joined;
                owner = i;
                first = j;
            }
        }
        if (base < m_mcus)
        {
            while (ranges[owner].count - first < m_mcus - base)
            {
                if (!decodeNext(ranges[owner], stride))
                {
                    // the data ends before the image does: the serial decoder says how
                    ++speculative.declined;
                    return false;
                }
            }
            segments.push_back({ owner, first, ranges[owner].count, base, {} });
        }

        // Only the image's MCUs count; and the DC predictors, as the true decode had them.
        int lastBlock[JPEG_MAX_COMPONENTS] = {};
        bool inScan[JPEG_MAX_COMPONENTS] = {};
        for (int b = 0; b < m_state.blocks; ++b)
        {
            const u32 c = m_state.block[b].component;
            lastBlock[c] = int(m_state.block[b].offset);
            inScan[c] = true;
        }

        u16 predictor[JPEG_MAX_COMPONENTS] = {};
        bool corrupt = false;
        size_t used = 0;
        for (Segment& segment : segments)
        {
            if (segment.base >= m_mcus)
                break;
            segment.end = std::min(segment.end, segment.first + (m_mcus - segment.base));
            ++used;

            const Range& range = ranges[segment.range];
            for (int c = 0; c < JPEG_MAX_COMPONENTS; ++c)
            {
                if (!inScan[c])
                    continue;
                const u16 before = segment.first ? u16(range.coefficients[(segment.first - 1) * stride + lastBlock[c]]) : 0;
                segment.offset[c] = u16(predictor[c] - before);
                if (segment.end > segment.first)
                    predictor[c] = u16(range.coefficients[(segment.end - 1) * stride + lastBlock[c]] + segment.offset[c]);
            }
            if (std::memchr(range.corrupt + segment.first, 1, segment.end - segment.first))
                corrupt = true;
        }
        segments.resize(used);

        // iDCT and colour conversion, in pieces of about four per thread
        const u32 piece = std::max(1u, m_mcus / (4 * std::max(1u, threadCount())));
        for (const Segment& segment : segments)
        {
            for (u32 m = segment.first; m < segment.end; m += piece)
            {
                const u32 m1 = std::min(segment.end, m + piece);
                queue.enqueue([this, &ranges, &segment, m, m1, stride] {
                    s16* data = ranges[segment.range].coefficients + size_t(m) * stride;
                    u32 index = segment.base + (m - segment.first);
                    u32 x = index % m_mcusPerRow;
                    u32 y = index / m_mcusPerRow;
                    for (u32 i = m; i < m1; ++i)
                    {
                        // the coefficients come from memory: ask for those two MCUs ahead
                        for (size_t k = 0; k < stride; k += 32)
                            __builtin_prefetch(data + 2 * stride + k);
                        for (int b = 0; b < m_state.blocks; ++b)
                        {
                            const BlockDescriptor& block = m_state.block[b];
                            s16& dc = data[block.offset];
                            dc = s16(u16(dc) + segment.offset[block.component]);
                        }
                        processMcu(data, x, y);
                        data += stride;
                        if (++x == m_mcusPerRow)
                        {
                            x = 0;
                            ++y;
                        }
                    }
                });
            }
        }
        queue.wait();

        // The reader as the serial decode leaves it after the last MCU: the marker loop goes
        // on from there, and data left over before the marker is reported.
        const Segment& tail = segments.back();
        const Range& range = ranges[tail.range];
        const u64 position = range.positions[tail.end];
        m_state.setData(locate(range.begin, m_state.end, position / 8), m_state.end);
        refillBits(m_state);
        getBits(m_state, int(position % 8));
        if (corrupt)
            m_warnings.fetch_or(WARNING_CORRUPT, std::memory_order_relaxed);
        noteInterval(m_state);
        ++speculative.scans;
        return true;
    }

} // namespace norva::jpeg
