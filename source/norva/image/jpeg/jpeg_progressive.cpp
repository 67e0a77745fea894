// Progressive scans decoded side by side. The parse records each scan with a copy of its
// decoder state and tables and goes on at the marker that ends the scan's data; once the
// parse is done, every scan runs as soon as the earlier scans that write the same
// coefficients have run. Scans of different components, or of different bands of one
// component, are independent; refinements wait for what they refine.

#include <thread>

#include <norva/core/thread.hpp>

#include "jpeg_private.hpp"

namespace norva::jpeg
{
    namespace
    {
        // A marker position found by nextMarker() in a form two walks can compare: a walk
        // that found no marker stops somewhere at or past the last byte, which is all the end.
        const u8* normalizedEnd(const u8* p, const u8* end)
        {
            return p >= end - 1 ? end : p;
        }

        // Past restart markers left after a scan's last interval, as the parse passes them:
        // each without a word when another marker follows it at once (fill bytes between
        // them passed) or the data ends there. Entropy bytes after one are damage the parse
        // warns about, so the walk stops at that marker.
        const u8* passTrailingRestarts(const u8* marker, const u8* end)
        {
            while (marker < end - 1 && marker[1] >= 0xD0 && marker[1] <= 0xD7)
            {
                const u8* p = marker + 2;
                while (end - p >= 2 && p[0] == 0xFF && p[1] == 0xFF)
                    ++p;
                if (end - p < 2)
                    return end;
                if (p[0] != 0xFF || p[1] == 0x00)
                    return marker;
                marker = p;
            }
            return marker;
        }

        struct ScanRunner
        {
            const Parser* parser;
            TaskQueue* queue;
            void (Parser::*decode)(DecodeState&, RestartCursor&, int, const int*, ScanJob*) const;

            // A scan starts the scans waiting for it before it decodes: they follow it row by
            // row. Every scan a running scan waits for has started, so none waits for a scan
            // still queued behind it.
            void run(ScanJob* job) const
            {
                for (ScanJob* next : job->successors)
                {
                    if (next->pending.fetch_sub(1, std::memory_order_acq_rel) == 1)
                        queue->enqueue([this, next] { run(next); });
                }
                (parser->*decode)(job->state, job->restart, job->components, job->component, job);
            }
        };

    } // namespace

    void ScanJob::waitForRow(u32 row) const
    {
        for (const ScanJob* before : predecessors)
        {
            while (before->rowsDone.load(std::memory_order_acquire) <= row)
                std::this_thread::yield();
        }
    }

    // Records the scan whose header the parse has just read (its state points at its
    // entropy data) and moves the state to the marker that ends the data.
    void Parser::deferScan()
    {
        m_scanSeen = true;
        if (!allocateCoefficients())
            return;

        auto job = std::make_unique<ScanJob>();
        job->state = m_state;
        job->restart = m_restart;
        job->data = m_scanData;
        job->components = m_scanComponents;

        // the blocks decode through the job's own copy of the tables
        const HuffmanTable* base = &m_huffman[0][0];
        for (int c = 0; c < 2; ++c)
        {
            for (int t = 0; t < 4; ++t)
                job->huffman[c][t] = m_huffman[c][t];
        }
        auto rebase = [&](const HuffmanTable* table) -> const HuffmanTable* {
            if (table >= base && table < base + 8)
                return &job->huffman[0][0] + (table - base);
            return table;
        };
        for (int i = 0; i < job->state.blocks; ++i)
        {
            job->state.block[i].dc = rebase(job->state.block[i].dc);
            job->state.block[i].ac = rebase(job->state.block[i].ac);
        }

        // What it writes and reads, and the scans before it that touch any of that. An AC
        // refinement looks at whole blocks (vectors of coefficients) for the non-zero ones,
        // which other bands and the DC scans may be writing.
        const int ss = m_state.Ss;
        const int se = std::max(ss, m_state.Se);
        const u64 band = (se >= 63 ? ~u64(0) : (u64(1) << (se + 1)) - 1) & ~((u64(1) << ss) - 1);
        const bool wholeBlocks = ss != 0 && m_state.Ah != 0;
        for (int i = 0; i < m_scanComponents; ++i)
        {
            const int c = m_scanComponent[i];
            job->component[i] = c;
            job->writes[c] = band;
            job->reads[c] = wholeBlocks ? ~u64(0) : band;
        }

        for (auto& earlier : m_scanJobs)
        {
            bool overlaps = false;
            for (int c = 0; c < JPEG_MAX_COMPONENTS; ++c)
            {
                overlaps |= (earlier->writes[c] & job->reads[c]) != 0;
                overlaps |= (earlier->reads[c] & job->writes[c]) != 0;
            }
            if (overlaps)
            {
                earlier->successors.push_back(job.get());
                job->predecessors.push_back(earlier.get());
                ++job->pending;
            }
        }

        // The parse goes on at the first marker after the data that is not a restart marker
        // of the scan: where an intact scan's decode ends. runScanJobs() checks it.
        const u8* end = m_state.end;
        const u8* marker = nextMarker(m_scanData, end, m_restart.interval != 0);
        job->next = normalizedEnd(marker, end);

        m_scanJobs.push_back(std::move(job));
        m_state.setData(std::min(marker, end), end);
    }

    // Decodes the recorded scans, each after the earlier scans of its coefficients. False
    // when a scan's data ended somewhere else than where the parse went on (damaged data):
    // the parse after it may then differ from a decode one scan after another, which the
    // caller runs instead.
    bool Parser::runScanJobs()
    {
        if (m_scanJobs.size() > 1)
        {
            // the first scans are picked before any runs: a running scan hands on to the
            // scans waiting for it, which must not be started twice
            std::vector<ScanJob*> first;
            for (auto& job : m_scanJobs)
            {
                if (job->pending.load(std::memory_order_relaxed) == 0)
                    first.push_back(job.get());
            }

            TaskQueue queue("jpeg.scans", 0);
            const ScanRunner runner { this, &queue, &Parser::decodeCoefficientScan };
            for (ScanJob* job : first)
                queue.enqueue([&runner, job] { runner.run(job); });
            queue.wait();
        }
        else
        {
            for (auto& job : m_scanJobs)
                decodeCoefficientScan(job->state, job->restart, job->components, job->component, job.get());
        }

        for (auto& job : m_scanJobs)
        {
            const DecodeState& state = job->state;
            const u8* resume = std::min(std::max(state.data, job->data), state.end);
            // The decode has passed the scan's restart markers itself. One left after the
            // last interval is passed here as the parse passes it (it is silent about it), so
            // that a file whose encoder writes one is not decoded twice; one with entropy
            // bytes after it stops the walk short of where the parse went on, and counts.
            const u8* marker = nextMarker(resume, state.end);
            if (job->restart.interval)
                marker = passTrailingRestarts(marker, state.end);
            if (normalizedEnd(marker, state.end) != job->next)
                return false;
        }
        return true;
    }

} // namespace norva::jpeg
