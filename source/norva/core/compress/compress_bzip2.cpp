// "bzip2": bzip2 streams through libbz2.

#include <algorithm>

#include <bzlib.h>

#include <norva/core/compress.hpp>
#include <norva/core/exception.hpp>

namespace
{
    using namespace norva;

    // bz_stream counts are 32-bit: blocks are handed over in pieces. Pieces far below that
    // limit cost nothing beside the coding itself and keep the refill path in everyday use
    // (and in the tests), not only in blocks above 4 GiB.
    constexpr u64 CHUNK = u64(1) << 20;

    // Drives one bz_stream over a whole source and destination, topping up whichever
    // side the library has used up.
    class Pump
    {
    public:
        Pump(bz_stream& stream, Memory dest, ConstMemory source)
            : m_stream(stream), m_source(source), m_dest(dest)
        {
        }

        void refill()
        {
            if (!m_stream.avail_in && m_inGiven < m_source.size)
            {
                u32 n = u32(std::min(m_source.size - m_inGiven, CHUNK));
                m_stream.next_in = const_cast<char*>(reinterpret_cast<const char*>(m_source.address + m_inGiven));
                m_stream.avail_in = n;
                m_inGiven += n;
            }
            if (!m_stream.avail_out && m_outGiven < m_dest.size)
            {
                u32 n = u32(std::min(m_dest.size - m_outGiven, CHUNK));
                m_stream.next_out = reinterpret_cast<char*>(m_dest.address + m_outGiven);
                m_stream.avail_out = n;
                m_outGiven += n;
            }
        }

        // Runs one library call; false when it moved nothing, which after a refill means
        // the stream cannot go on.
        template <typename Call>
        bool step(Call call, int& result)
        {
            u32 inBefore = m_stream.avail_in;
            u32 outBefore = m_stream.avail_out;
            result = call();
            return m_stream.avail_in != inBefore || m_stream.avail_out != outBefore;
        }

        bool allInputGiven() const { return m_inGiven == m_source.size; }
        u64 produced() const { return m_outGiven - m_stream.avail_out; }

    private:
        bz_stream& m_stream;
        ConstMemory m_source;
        Memory m_dest;
        u64 m_inGiven = 0;
        u64 m_outGiven = 0;
    };

} // namespace

namespace norva::bzip2
{
    u64 bound(u64 size)
    {
        return size + size / 100 + 600;
    }

    u64 compress(Memory dest, ConstMemory source, int level)
    {
        bz_stream stream {};
        if (BZ2_bzCompressInit(&stream, std::clamp(level, 1, 9), 0, 30) != BZ_OK)
        {
            NORVA_THROW("norva::bzip2::compress", "[bzip2] compression failed.");
        }

        Pump pump(stream, dest, source);
        int result;
        for (;;)
        {
            // BZ_FINISH only once the last piece is handed over: the library then wants
            // no more input
            pump.refill();
            const int action = pump.allInputGiven() ? BZ_FINISH : BZ_RUN;
            bool moved = pump.step([&] { return BZ2_bzCompress(&stream, action); }, result);
            if (result == BZ_STREAM_END)
            {
                break;
            }
            const bool ok = result == (action == BZ_RUN ? BZ_RUN_OK : BZ_FINISH_OK);
            if (!ok || !moved)
            {
                // an output that stays full ends here too
                BZ2_bzCompressEnd(&stream);
                NORVA_THROW("norva::bzip2::compress", "[bzip2] compression failed.");
            }
        }

        BZ2_bzCompressEnd(&stream);
        return pump.produced();
    }

    void decompress(Memory dest, ConstMemory source)
    {
        bz_stream stream {};
        if (BZ2_bzDecompressInit(&stream, 0, 0) != BZ_OK)
        {
            NORVA_THROW("norva::bzip2::decompress", "[bzip2] decompression failed.");
        }

        Pump pump(stream, dest, source);
        int result;
        for (;;)
        {
            pump.refill();
            bool moved = pump.step([&] { return BZ2_bzDecompress(&stream); }, result);
            if (result == BZ_STREAM_END)
            {
                break;
            }
            if (result != BZ_OK || !moved)
            {
                // damaged data, input that ends early, or more content than destination
                BZ2_bzDecompressEnd(&stream);
                NORVA_THROW("norva::bzip2::decompress", "[bzip2] decompression failed.");
            }
        }

        BZ2_bzDecompressEnd(&stream);
        if (pump.produced() != dest.size)
        {
            NORVA_THROW("norva::bzip2::decompress", "[bzip2] decompression failed.");
        }
    }

} // namespace norva::bzip2
