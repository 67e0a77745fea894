// PNG and APNG decoder.
//
// The signature and IHDR are parsed at creation; each decode call walks the remaining
// chunks from where the previous call stopped, inflates the gathered image data, undoes
// the scanline filters and the Adam7 interlace, and expands the samples into one of five
// pixel formats. An animated file yields one frame per call, composited over what the
// earlier frames left (after the previous frame's dispose operation), and loops at IEND.

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include <norva/core/byte_reader.hpp>
#include <norva/image/decoder.hpp>

#include "format_guard.hpp"
#include "png_core.hpp"
#include "png_expand.hpp"
#include "png_kernels.hpp"

namespace norva
{
    namespace
    {
        using namespace png;

        // --------------------------------------------------------------------
        // layout
        // --------------------------------------------------------------------

        constexpr u64 pngSignature = 0x89504E470D0A1A0Aull;

        // Sizes above this are refused before anything is allocated.
        constexpr u32 maxImageSize = 32768;

        constexpr u32 CHUNK_IHDR = makeChunkType('I', 'H', 'D', 'R');
        constexpr u32 CHUNK_PLTE = makeChunkType('P', 'L', 'T', 'E');
        constexpr u32 CHUNK_tRNS = makeChunkType('t', 'R', 'N', 'S');
        constexpr u32 CHUNK_gAMA = makeChunkType('g', 'A', 'M', 'A');
        constexpr u32 CHUNK_sBIT = makeChunkType('s', 'B', 'I', 'T');
        constexpr u32 CHUNK_sRGB = makeChunkType('s', 'R', 'G', 'B');
        constexpr u32 CHUNK_cHRM = makeChunkType('c', 'H', 'R', 'M');
        constexpr u32 CHUNK_acTL = makeChunkType('a', 'c', 'T', 'L');
        constexpr u32 CHUNK_fcTL = makeChunkType('f', 'c', 'T', 'L');
        constexpr u32 CHUNK_IDAT = makeChunkType('I', 'D', 'A', 'T');
        constexpr u32 CHUNK_fdAT = makeChunkType('f', 'd', 'A', 'T');
        constexpr u32 CHUNK_IEND = makeChunkType('I', 'E', 'N', 'D');

        // Adam7 passes, pass p in nibble p from the right: y shift, x shift / y start, x start.
        constexpr u32 adam7Shifts = 0x1122333;
        constexpr u32 adam7Starts = 0x1020400;

        struct Adam7Pass
        {
            int xshift, yshift, xstart, ystart;
            u32 width, height;
        };

        Adam7Pass adam7Pass(int pass, u32 width, u32 height)
        {
            Adam7Pass p;
            p.yshift = (adam7Shifts >> (pass * 4)) & 0xF;
            p.xshift = (adam7Shifts >> (pass * 4 + 4)) & 0xF;
            p.ystart = (adam7Starts >> (pass * 4)) & 0xF;
            p.xstart = (adam7Starts >> (pass * 4 + 4)) & 0xF;
            p.width = u32((u64(width) + (1u << p.xshift) - p.xstart - 1) >> p.xshift);
            p.height = u32((u64(height) + (1u << p.yshift) - p.ystart - 1) >> p.yshift);
            return p;
        }

        struct FrameControl
        {
            u32 sequence = 0;
            u32 width = 0;
            u32 height = 0;
            u32 x = 0;
            u32 y = 0;
            u16 delayNumerator = 0;
            u16 delayDenominator = 0;
            u8 dispose = 0;
            u8 blend = 0;
        };

        // One pixel of `colors` colour samples and an alpha, source over destination.
        // Over an opaque destination this is d = s + (d - s) x (max - a) / max, truncated;
        // the alpha is the union of both, so that a transparent frame pixel leaves the
        // canvas as it was instead of punching a hole into it.
        inline void blendOver(const u16* s, u16* d, int colors, s64 max)
        {
            const s64 as = s[colors];
            const s64 ad = d[colors];
            if (as == 0)
            {
                return;
            }
            if (as == max || ad == 0)
            {
                for (int c = 0; c <= colors; ++c)
                {
                    d[c] = s[c];
                }
                return;
            }
            if (ad == max)
            {
                for (int c = 0; c < colors; ++c)
                {
                    d[c] = u16(s[c] + (s64(d[c]) - s[c]) * (max - as) / max);
                }
                return;
            }
            // both partly transparent: weight each colour by its share of the result
            const s64 below = ad * (max - as);
            const s64 alpha = as * max + below;
            for (int c = 0; c < colors; ++c)
            {
                d[c] = u16((s64(s[c]) * as * max + s64(d[c]) * below + alpha / 2) / alpha);
            }
            d[colors] = u16((alpha + max / 2) / max);
        }

        // --------------------------------------------------------------------
        // parser
        // --------------------------------------------------------------------

        class ParserPNG
        {
        public:
            explicit ParserPNG(ConstMemory memory);

            ImageHeader getHeader();

            // One decode call into a surface of the header's format (or 8-bit indices when
            // indexed), at least as large as the image.
            ImageDecodeStatus decode(Surface& target, Palette* palette);

            bool isAnimated() const { return m_frameCount > 0; }

            // known from the look-ahead, before the first decode has read acTL
            bool hasAnimation() const { return m_frameTotal > 0; }

        private:
            void read_IHDR(const u8* p, u32 size);
            void read_PLTE(const u8* p, u32 size);
            void read_tRNS(const u8* p, u32 size);
            void read_cHRM(const u8* p, u32 size);
            void read_fcTL(const u8* p, u32 size);
            void prescan(const u8* p);
            void parse();
            const u8* takeFrameData(const Chunk& first, u32 type, u32 skip);
            const u8* gatherData(const Chunk& first, u32 type, u32 skip, bool keep);
            void appendCompressed(const u8* data, u32 size);
            bool joinCompressed(ByteBuffer& storage, ConstMemory& joined) const;

            u64 inflatedSize(u32 width, u32 height) const;
            u64 rowBytes(u32 width) const;
            bool process(const Surface& dest, u8* data, u32 width, u32 height, bool indexed);
            SampleFormat sampleFormat(bool indexed) const;
            void blendFrame(Surface& target, const Surface& frame, bool indexed) const;
            void disposeFrame(const Surface& target);
            void keepForDisposal(const Surface& area);

            ConstMemory m_memory;
            const u8* m_end = nullptr;
            ImageHeader m_header;
            const u8* m_cursor = nullptr;
            // the first chunk behind IHDR: every decode of a still image starts there
            const u8* m_chunks = nullptr;
            // the image data chunks of the current image or frame, in file order
            std::vector<ConstMemory> m_compressed;
            u64 m_compressedSize = 0;

            u32 m_paletteCount = 0;
            u32 m_palette[256] = {};

            bool m_transparent = false;
            u16 m_greyKey = 0;
            u16 m_redKey = 0;
            u16 m_greenKey = 0;
            u16 m_blueKey = 0;

            float m_chromaticity[8] = {};
            float m_gamma = 0.0f;
            u8 m_significantBits[4] = {};
            s8 m_renderingIntent = -1;

            // animation: honoured only when the file holds acTL and at least one fcTL with
            // frame data behind it. The frames are counted in the file, never taken from
            // acTL, so that the frame index wraps exactly when the walk loops.
            s32 m_frameTotal = 0;
            s32 m_frameCount = 0;
            s32 m_playCount = 0;
            s32 m_currentFrame = 0;
            s32 m_nextFrame = 0;
            const u8* m_firstFrameControl = nullptr;
            bool m_frameControlSeen = false;
            // an fcTL waits for its data: data without one of its own is no frame
            bool m_frameControlPending = false;
            FrameControl m_frame;

            // The shown frame's dispose operation, done before the next frame is drawn: its
            // rectangle, and for operation 2 the canvas bytes it covered.
            struct Disposal
            {
                u8 operation = 0;
                u32 x = 0;
                u32 y = 0;
                int width = 0;
                int height = 0;
                int bytesPerPixel = 0;
            };
            Disposal m_disposal;
            std::vector<u8> m_covered;

            s32 m_width = 0;
            s32 m_height = 0;
            s32 m_depth = 0;
            s32 m_colorType = 0;
            s32 m_compression = 0;
            s32 m_filter = 0;
            s32 m_interlace = 0;
            s32 m_channels = 0;
        };

        ParserPNG::ParserPNG(ConstMemory memory)
            : m_memory(memory)
            , m_end(memory.address + memory.size)
        {
            ByteReader reader(memory);
            if (reader.be64() != pngSignature || reader.isShort())
            {
                m_header.setError("[ImageDecoder.PNG] Incorrect header magic.");
                return;
            }
            // signature, length, type, 13 bytes of IHDR and its CRC
            if (memory.size < 33)
            {
                m_header.setError("[ImageDecoder.PNG] Incorrect file; too small for the IHDR chunk.");
                return;
            }
            const u32 size = reader.be32();
            if (reader.be32() != CHUNK_IHDR)
            {
                m_header.setError("[ImageDecoder.PNG] Incorrect file; the IHDR chunk must come first.");
                return;
            }
            if (size != 13)
            {
                m_header.setError("[ImageDecoder.PNG] Incorrect IHDR chunk size.");
                return;
            }
            const u8* ihdr = reader.position();
            m_cursor = ihdr + size + 4;
            m_chunks = m_cursor;
            read_IHDR(ihdr, size);
        }

        void ParserPNG::read_IHDR(const u8* p, u32 size)
        {
            if (size != 13)
            {
                m_header.setError("[ImageDecoder.PNG] Incorrect IHDR chunk size.");
                return;
            }
            ByteReader reader(p, size);
            const u32 width = reader.be32();
            const u32 height = reader.be32();
            m_depth = reader.byte();
            m_colorType = reader.byte();
            m_compression = reader.byte();
            m_filter = reader.byte();
            m_interlace = reader.byte();

            if (width > maxImageSize || height > maxImageSize)
            {
                m_header.setError("[ImageDecoder.PNG] Too large image.");
                return;
            }
            if (width == 0 || height == 0)
            {
                m_header.setError("[ImageDecoder.PNG] Incorrect image size (%u x %u).", width, height);
                return;
            }
            m_width = s32(width);
            m_height = s32(height);

            if (m_depth == 0 || (m_depth & (m_depth - 1)) != 0)
            {
                m_header.setError("[ImageDecoder.PNG] Incorrect bit depth.");
                return;
            }

            prescan(m_cursor);

            int minLog = 0;
            int maxLog = 0;
            switch (m_colorType)
            {
                case COLOR_GREY: m_channels = 1; minLog = 0; maxLog = 4; break;
                case COLOR_RGB: m_channels = 3; minLog = 3; maxLog = 4; break;
                case COLOR_PALETTE: m_channels = 1; minLog = 0; maxLog = 3; break;
                case COLOR_GREY_ALPHA: m_channels = 2; minLog = 3; maxLog = 4; break;
                case COLOR_RGB_ALPHA: m_channels = 4; minLog = 3; maxLog = 4; break;
                default:
                    m_header.setError("[ImageDecoder.PNG] Incorrect color type.");
                    return;
            }

            int log = 0;
            while ((1 << (log + 1)) <= m_depth)
            {
                ++log;
            }
            if (log < minLog || log > maxLog)
            {
                m_header.setError("[ImageDecoder.PNG] Unsupported bit depth for color type.");
                return;
            }
            for (int i = 0; i < m_channels; ++i)
            {
                m_significantBits[i] = u8(m_depth);
            }
        }

        // Looks ahead so that header() can report the alpha format, and whether the file
        // is animated, before the walk reads those chunks. A frame is an fcTL followed by
        // its data (a run of IDAT or fdAT chunks), counted as the walk will meet them.
        void ParserPNG::prescan(const u8* p)
        {
            bool actl = false;
            bool pending = false;
            s32 frames = 0;
            Chunk chunk;
            while (readChunk(p, m_end, chunk) == ChunkRead::OK)
            {
                if (chunk.type == CHUNK_tRNS)
                {
                    m_transparent = true;
                }
                actl |= chunk.type == CHUNK_acTL;
                if (chunk.type == CHUNK_fcTL)
                {
                    pending = true;
                }
                if ((chunk.type == CHUNK_IDAT || chunk.type == CHUNK_fdAT) && pending)
                {
                    pending = false;
                    if (frames < INT_MAX)
                    {
                        ++frames;
                    }
                }
                if (chunk.type == CHUNK_IEND)
                {
                    break;
                }
                p = chunk.next;
            }
            m_frameTotal = actl ? frames : 0;
        }

        void ParserPNG::read_PLTE(const u8* p, u32 size)
        {
            if (size % 3)
            {
                m_header.setError("[ImageDecoder.PNG] Incorrect palette size.");
                return;
            }
            if (size > 768)
            {
                m_header.setError("[ImageDecoder.PNG] Too large palette.");
                return;
            }
            // entries beyond the count read as transparent black, even after an earlier PLTE
            std::fill(std::begin(m_palette), std::end(m_palette), 0u);
            m_paletteCount = size / 3;
            ByteReader reader(p, size);
            for (u32 i = 0; i < m_paletteCount; ++i)
            {
                const u32 r = reader.byte();
                const u32 g = reader.byte();
                const u32 b = reader.byte();
                m_palette[i] = packBGRA(r, g, b, 0xFF);
            }
        }

        void ParserPNG::read_tRNS(const u8* p, u32 size)
        {
            ByteReader reader(p, size);
            switch (m_colorType)
            {
                case COLOR_GREY:
                    if (size != 2)
                    {
                        m_header.setError("[ImageDecoder.PNG] Incorrect tRNS chunk size.");
                        return;
                    }
                    m_greyKey = reader.be16();
                    m_transparent = true;
                    break;
                case COLOR_RGB:
                    if (size != 6)
                    {
                        m_header.setError("[ImageDecoder.PNG] Incorrect tRNS chunk size.");
                        return;
                    }
                    m_redKey = reader.be16();
                    m_greenKey = reader.be16();
                    m_blueKey = reader.be16();
                    m_transparent = true;
                    break;
                case COLOR_PALETTE:
                    if (size > m_paletteCount)
                    {
                        m_header.setError("[ImageDecoder.PNG] Incorrect alpha palette size.");
                        return;
                    }
                    for (u32 i = 0; i < size; ++i)
                    {
                        m_palette[i] = (m_palette[i] & 0x00FFFFFF) | (u32(reader.byte()) << 24);
                    }
                    break;
                default:
                    m_header.setError("[ImageDecoder.PNG] Incorrect color type for alpha palette.");
                    break;
            }
        }

        void ParserPNG::read_cHRM(const u8* p, u32 size)
        {
            if (size != 32)
            {
                m_header.setError("[ImageDecoder.PNG] Incorrect cHRM chunk size.");
                return;
            }
            ByteReader reader(p, size);
            for (int i = 0; i < 8; ++i)
            {
                m_chromaticity[i] = float(reader.be32()) * 1e-5f;
            }
        }

        void ParserPNG::read_fcTL(const u8* p, u32 size)
        {
            if (size != 26)
            {
                m_header.setError("[ImageDecoder.PNG] Incorrect fcTL chunk size.");
                return;
            }
            ByteReader reader(p, size);
            FrameControl frame;
            frame.sequence = reader.be32();
            frame.width = reader.be32();
            frame.height = reader.be32();
            frame.x = reader.be32();
            frame.y = reader.be32();
            frame.delayNumerator = reader.be16();
            frame.delayDenominator = reader.be16();
            frame.dispose = reader.byte();
            frame.blend = reader.byte();

            // the frame is allocated and drawn from these: it must lie inside the canvas
            if (frame.width == 0 || frame.height == 0 ||
                u64(frame.x) + frame.width > u64(m_width) || u64(frame.y) + frame.height > u64(m_height))
            {
                m_header.setError("[ImageDecoder.PNG] Incorrect fcTL frame (%u x %u at %u, %u).",
                                  frame.width, frame.height, frame.x, frame.y);
                return;
            }
            m_frame = frame;
            m_frameControlSeen = true;
        }

        // The data run at `first` is the pending frame's, or no frame at all when no fcTL
        // came since the last frame (the default image ahead of the first fcTL, or a stray
        // run): such data is stepped over. Returns where the walk goes on, or null when it
        // stops here with a frame.
        const u8* ParserPNG::takeFrameData(const Chunk& first, u32 type, u32 skip)
        {
            if (!m_frameControlPending)
            {
                return gatherData(first, type, skip, false);
            }
            m_frameControlPending = false;
            m_cursor = gatherData(first, type, skip, true);
            return nullptr;
        }

        // Appends the payload of `first` and of every chunk of the same type right behind
        // it (less `skip` leading bytes each), or only steps over them when not `keep`;
        // returns where the walk goes on.
        const u8* ParserPNG::gatherData(const Chunk& first, u32 type, u32 skip, bool keep)
        {
            Chunk chunk = first;
            for (;;)
            {
                if (chunk.size < skip)
                {
                    m_header.setError("[ImageDecoder.PNG] Incorrect fdAT chunk size.");
                }
                else if (keep)
                {
                    appendCompressed(chunk.data + skip, chunk.size - skip);
                }
                Chunk next;
                if (readChunk(chunk.next, m_end, next) != ChunkRead::OK || next.type != type)
                {
                    return chunk.next;
                }
                chunk = next;
            }
        }

        void ParserPNG::appendCompressed(const u8* data, u32 size)
        {
            if (size)
            {
                m_compressed.push_back(ConstMemory(data, size));
                m_compressedSize += size;
            }
        }

        // The stream in one piece: the chunk itself when there is one, else a copy of all,
        // made in one allocation.
        bool ParserPNG::joinCompressed(ByteBuffer& storage, ConstMemory& joined) const
        {
            if (m_compressed.size() == 1)
            {
                joined = m_compressed[0];
                return true;
            }
            storage = allocateBuffer(m_compressedSize, false);
            if (!storage)
            {
                return false;
            }
            u8* p = storage.get();
            for (const ConstMemory& piece : m_compressed)
            {
                std::memcpy(p, piece.address, size_t(piece.size));
                p += piece.size;
            }
            joined = ConstMemory(storage.get(), m_compressedSize);
            return true;
        }

        void ParserPNG::parse()
        {
            const u8* p = m_cursor;
            bool looped = false;

            while (p)
            {
                Chunk chunk;
                const ChunkRead r = readChunk(p, m_end, chunk);
                if (r == ChunkRead::END)
                {
                    if (m_frameCount && m_firstFrameControl && !looped)
                    {
                        // an animation without IEND loops all the same
                        looped = true;
                        p = m_firstFrameControl;
                        continue;
                    }
                    p = m_end;
                    break;
                }
                if (r == ChunkRead::OVERRUN)
                {
                    m_header.setError("[ImageDecoder.PNG] Corrupted file.\n");
                    p = m_end;
                    break;
                }

                const u8* next = chunk.next;
                switch (chunk.type)
                {
                    case CHUNK_IHDR:
                        m_header.setError("[ImageDecoder.PNG] File can only have one IHDR chunk.");
                        break;
                    case CHUNK_PLTE:
                        read_PLTE(chunk.data, chunk.size);
                        break;
                    case CHUNK_tRNS:
                        read_tRNS(chunk.data, chunk.size);
                        break;
                    case CHUNK_gAMA:
                        if (chunk.size != 4)
                        {
                            m_header.setError("[ImageDecoder.PNG] Incorrect gAMA chunk size.");
                            break;
                        }
                        m_gamma = float(ByteReader(chunk.data, chunk.size).be32()) * 1e-5f;
                        break;
                    case CHUNK_sBIT:
                        if (chunk.size > 4)
                        {
                            m_header.setError("[ImageDecoder.PNG] Incorrect sBIT chunk size.");
                            break;
                        }
                        std::memcpy(m_significantBits, chunk.data, chunk.size);
                        break;
                    case CHUNK_sRGB:
                        if (chunk.size != 1)
                        {
                            m_header.setError("[ImageDecoder.PNG] Incorrect sRGB chunk size.");
                            break;
                        }
                        m_renderingIntent = s8(chunk.data[0]);
                        break;
                    case CHUNK_cHRM:
                        read_cHRM(chunk.data, chunk.size);
                        break;
                    case CHUNK_acTL:
                        if (chunk.size != 8)
                        {
                            m_header.setError("[ImageDecoder.PNG] Incorrect acTL chunk size.");
                            break;
                        }
                        if (m_frameTotal > 0)
                        {
                            ByteReader reader(chunk.data, chunk.size);
                            // a declared count of 0 leaves a still image
                            m_frameCount = reader.be32() ? m_frameTotal : 0;
                            m_playCount = s32(std::min(reader.be32(), u32(INT_MAX)));
                        }
                        break;
                    case CHUNK_fcTL:
                        if (!m_firstFrameControl)
                        {
                            m_firstFrameControl = p;
                        }
                        // counted as a frame even when refused, so that the error shows
                        m_frameControlPending = true;
                        read_fcTL(chunk.data, chunk.size);
                        break;
                    case CHUNK_IDAT:
                        if (m_frameCount == 0)
                        {
                            appendCompressed(chunk.data, chunk.size);
                            break;
                        }
                        next = takeFrameData(chunk, CHUNK_IDAT, 0);
                        if (!next)
                        {
                            return;
                        }
                        break;
                    case CHUNK_fdAT:
                        if (m_frameCount == 0)
                        {
                            break;
                        }
                        next = takeFrameData(chunk, CHUNK_fdAT, 4);
                        if (!next)
                        {
                            return;
                        }
                        break;
                    case CHUNK_IEND:
                        if (m_frameCount == 0 || !m_firstFrameControl || looped)
                        {
                            // looped: a second IEND in one walk means no frame data at all
                            next = m_end;
                            break;
                        }
                        looped = true;
                        next = m_firstFrameControl;
                        break;
                    default:
                        break;
                }
                p = next;
                if (p == m_end)
                {
                    break;
                }
            }
            m_cursor = m_end;
        }

        ImageHeader ParserPNG::getHeader()
        {
            if (m_header.success)
            {
                m_header.width = m_width;
                m_header.height = m_height;
                m_header.palette = m_colorType == COLOR_PALETTE;

                int type = m_colorType;
                if (m_transparent && type == COLOR_GREY)
                {
                    type = COLOR_GREY_ALPHA;
                }
                if (m_transparent && type == COLOR_RGB)
                {
                    type = COLOR_RGB_ALPHA;
                }
                const bool wide = m_depth == 16;
                switch (type)
                {
                    case COLOR_GREY: m_header.format = wide ? Format::L16 : Format::L8; break;
                    case COLOR_GREY_ALPHA: m_header.format = wide ? Format::LA1616 : Format::LA88; break;
                    case COLOR_RGB:
                    case COLOR_RGB_ALPHA: m_header.format = wide ? Format::RGBA16 : Format::BGRA8888; break;
                    default: m_header.format = Format::BGRA8888; break;
                }
            }
            return m_header;
        }

        u64 ParserPNG::rowBytes(u32 width) const
        {
            return ((u64(width) * u64(m_depth) + 7) / 8) * u64(m_channels);
        }

        u64 ParserPNG::inflatedSize(u32 width, u32 height) const
        {
            if (!m_interlace)
            {
                return (rowBytes(width) + 1) * height;
            }
            u64 total = 0;
            for (int pass = 0; pass < 7; ++pass)
            {
                const Adam7Pass ap = adam7Pass(pass, width, height);
                if (ap.width && ap.height)
                {
                    total += (rowBytes(ap.width) + 1) * ap.height;
                }
            }
            return total;
        }

        SampleFormat ParserPNG::sampleFormat(bool indexed) const
        {
            SampleFormat format;
            format.colorType = m_colorType;
            format.depth = m_depth;
            format.transparent = m_transparent;
            format.indexed = indexed;
            format.greyKey = m_greyKey;
            format.redKey = m_redKey;
            format.greenKey = m_greenKey;
            format.blueKey = m_blueKey;
            format.palette = m_palette;
            return format;
        }

        bool ParserPNG::process(const Surface& dest, u8* data, u32 width, u32 height, bool indexed)
        {
            const u64 bytes = rowBytes(width);
            const int bpp = m_depth >= 8 ? m_channels * m_depth / 8 : 1;
            const Kernels& table = kernels();
            const UnfilterKernels& unfilter = table.forPixelSize(bpp);
            const RowExpander expand(sampleFormat(indexed), table);

            if (!m_interlace)
            {
                const u8* prior = nullptr;
                for (u32 y = 0; y < height; ++y)
                {
                    u8* row = data + y * (bytes + 1);
                    unfilterRow(row, prior, size_t(bytes), unfilter);
                    expand(dest.address(0, int(y)), row + 1, width);
                    prior = row + 1;
                }
                return true;
            }

            // samples below 8 bits are ORed in; whole bytes cover every byte of a row
            ByteBuffer full = allocateBuffer((bytes + 1) * height, m_depth < 8);
            if (!full)
            {
                return false;
            }

            const u32 pixelBits = u32(m_depth * m_channels);
            u8* pass = data;
            for (int p = 0; p < 7; ++p)
            {
                const Adam7Pass ap = adam7Pass(p, width, height);
                if (!ap.width || !ap.height)
                {
                    continue;
                }
                const u64 passBytes = rowBytes(ap.width);
                unfilterScanlines(pass, size_t(passBytes), ap.height, unfilter);

                for (u32 y = 0; y < ap.height; ++y)
                {
                    const u8* src = pass + y * (passBytes + 1) + 1;
                    const u64 fy = (u64(y) << ap.yshift) + ap.ystart;
                    u8* row = full.get() + fy * (bytes + 1) + 1;
                    if (m_depth >= 8)
                    {
                        const u32 pixel = pixelBits / 8;
                        for (u32 x = 0; x < ap.width; ++x)
                        {
                            const u64 fx = (u64(x) << ap.xshift) + ap.xstart;
                            std::memcpy(row + fx * pixel, src + u64(x) * pixel, pixel);
                        }
                    }
                    else
                    {
                        // one channel below 8 bits: OR each sample in at its bit position
                        const u32 mask = (1u << m_depth) - 1;
                        for (u32 x = 0; x < ap.width; ++x)
                        {
                            const u64 sbit = u64(x) * pixelBits;
                            const u32 s = (src[sbit >> 3] >> (8 - m_depth - (sbit & 7))) & mask;
                            const u64 dbit = ((u64(x) << ap.xshift) + ap.xstart) * pixelBits;
                            row[dbit >> 3] |= u8(s << (8 - m_depth - (dbit & 7)));
                        }
                    }
                }
                pass += (passBytes + 1) * ap.height;
            }

            for (u32 y = 0; y < height; ++y)
            {
                expand(dest.address(0, int(y)), full.get() + y * (bytes + 1) + 1, width);
            }
            return true;
        }

        // Operation 1 clears the frame's rectangle to transparent black (index 0 in indices),
        // 2 puts back what it covered; 0 and unknown operations keep it.
        void ParserPNG::disposeFrame(const Surface& target)
        {
            const Disposal d = m_disposal;
            m_disposal = Disposal();
            if ((d.operation != 1 && d.operation != 2) || d.bytesPerPixel != target.format.bytes())
            {
                return;
            }
            const Surface area(target, int(d.x), int(d.y), d.width, d.height);
            const size_t row = size_t(area.width) * size_t(d.bytesPerPixel);
            for (int y = 0; y < area.height; ++y)
            {
                if (d.operation == 1)
                {
                    std::memset(area.address(0, y), 0, row);
                }
                else
                {
                    std::memcpy(area.address(0, y), m_covered.data() + row * size_t(y), row);
                }
            }
        }

        void ParserPNG::keepForDisposal(const Surface& area)
        {
            m_disposal.operation = m_frame.dispose;
            m_disposal.x = m_frame.x;
            m_disposal.y = m_frame.y;
            m_disposal.width = area.width;
            m_disposal.height = area.height;
            m_disposal.bytesPerPixel = area.format.bytes();
            if (m_frame.dispose == 2)
            {
                const size_t row = size_t(area.width) * size_t(m_disposal.bytesPerPixel);
                m_covered.resize(row * size_t(area.height));
                for (int y = 0; y < area.height; ++y)
                {
                    std::memcpy(m_covered.data() + row * size_t(y), area.address(0, y), row);
                }
            }
        }

        void ParserPNG::blendFrame(Surface& target, const Surface& frame, bool indexed) const
        {
            const int w = std::min(target.width, frame.width);
            const int h = std::min(target.height, frame.height);
            const size_t rowSize = size_t(w) * size_t(frame.format.bytes());

            if (m_frame.blend == 0 || (!indexed && !frame.format.isAlpha()))
            {
                for (int y = 0; y < h; ++y)
                {
                    std::memcpy(target.address(0, y), frame.address(0, y), rowSize);
                }
                return;
            }
            if (m_frame.blend != 1)
            {
                return;
            }

            if (indexed)
            {
                for (int y = 0; y < h; ++y)
                {
                    u8* d = target.address(0, y);
                    const u8* s = frame.address(0, y);
                    for (int x = 0; x < w; ++x)
                    {
                        if (m_palette[s[x]] >> 24)
                        {
                            d[x] = s[x];
                        }
                    }
                }
                return;
            }

            // source over destination, both with straight alpha
            const bool wide = frame.format.size[0] == 16;
            const int colors = frame.format.isLuminance() ? 1 : 3;
            const int step = colors + 1;
            for (int y = 0; y < h; ++y)
            {
                if (wide)
                {
                    u16* d = reinterpret_cast<u16*>(target.address(0, y));
                    const u16* s = reinterpret_cast<const u16*>(frame.address(0, y));
                    for (int x = 0; x < w * step; x += step)
                    {
                        u16 sv[4];
                        u16 dv[4];
                        std::memcpy(sv, s + x, size_t(step) * 2);
                        std::memcpy(dv, d + x, size_t(step) * 2);
                        blendOver(sv, dv, colors, 65535);
                        std::memcpy(d + x, dv, size_t(step) * 2);
                    }
                }
                else
                {
                    u8* d = target.address(0, y);
                    const u8* s = frame.address(0, y);
                    for (int x = 0; x < w * step; x += step)
                    {
                        u16 sv[4];
                        u16 dv[4];
                        for (int c = 0; c < step; ++c)
                        {
                            sv[c] = s[x + c];
                            dv[c] = d[x + c];
                        }
                        blendOver(sv, dv, colors, 255);
                        for (int c = 0; c < step; ++c)
                        {
                            d[x + c] = u8(dv[c]);
                        }
                    }
                }
            }
        }

        ImageDecodeStatus ParserPNG::decode(Surface& target, Palette* palette)
        {
            ImageDecodeStatus status;
            const bool indexed = palette != nullptr;

            m_compressed.clear();
            m_compressedSize = 0;
            if (!isAnimated())
            {
                // a still image is read whole by every call
                m_cursor = m_chunks;
            }
            parse();

            if (!m_compressedSize)
            {
                status.setError("[ImageDecoder.PNG] No compressed data.");
                return status;
            }
            if (!m_header.success)
            {
                status.setError("%s", m_header.info.c_str());
                return status;
            }

            u32 width = u32(m_width);
            u32 height = u32(m_height);
            if (isAnimated())
            {
                if (!m_frameControlSeen)
                {
                    status.setError("[ImageDecoder.PNG] Frame data without fcTL chunk.");
                    return status;
                }
                width = m_frame.width;
                height = m_frame.height;
                m_currentFrame = m_nextFrame;
                m_nextFrame = m_nextFrame + 1 >= m_frameCount ? 0 : m_nextFrame + 1;
                status.current_frame_index = m_currentFrame;
                status.next_frame_index = m_nextFrame;
                status.frame_delay_numerator = m_frame.delayNumerator;
                status.frame_delay_denominator = m_frame.delayDenominator ? m_frame.delayDenominator : 100;
            }

            ByteBuffer joinedStorage;
            ConstMemory compressed;
            if (!joinCompressed(joinedStorage, compressed))
            {
                status.setError("[ImageDecoder.PNG] Out of memory.");
                return status;
            }

            const u64 expected = inflatedSize(width, height);
            ByteBuffer inflated;
            switch (inflateZlib(compressed, expected, inflated))
            {
                case InflateResult::OK:
                    break;
                case InflateResult::FAILED:
                    status.setError("[ImageDecoder.PNG] Inflate failed.");
                    return status;
                case InflateResult::BAD_CHECKSUM:
                    status.setError("[ImageDecoder.PNG] Incorrect data check (Adler-32).");
                    return status;
                case InflateResult::OUT_OF_MEMORY:
                    status.setError("[ImageDecoder.PNG] Out of memory.");
                    return status;
            }
            joinedStorage.reset();

            if (!isAnimated())
            {
                if (!process(target, inflated.get(), width, height, indexed))
                {
                    status.setError("[ImageDecoder.PNG] Out of memory.");
                }
            }
            else
            {
                const Format format = indexed ? Format::INDEX8 : getHeader().format;
                const u64 stride = u64(format.bytes()) * width;
                ByteBuffer pixels = allocateZeroed(stride * height);
                if (!pixels)
                {
                    status.setError("[ImageDecoder.PNG] Out of memory.");
                    return status;
                }
                Surface frame(int(width), int(height), format, int(stride), pixels.get());
                if (!process(frame, inflated.get(), width, height, indexed))
                {
                    status.setError("[ImageDecoder.PNG] Out of memory.");
                    return status;
                }
                if (m_currentFrame == 0)
                {
                    // every play starts from transparent black
                    const Surface canvas(target, 0, 0, m_width, m_height);
                    const size_t row = size_t(canvas.width) * size_t(canvas.format.bytes());
                    for (int y = 0; y < canvas.height; ++y)
                    {
                        std::memset(canvas.address(0, y), 0, row);
                    }
                    m_disposal = Disposal();
                }
                disposeFrame(target);
                Surface area(target, int(m_frame.x), int(m_frame.y), int(width), int(height));
                keepForDisposal(area);
                blendFrame(area, frame, indexed);
            }

            if (indexed)
            {
                palette->size = m_paletteCount;
                std::memcpy(palette->color, m_palette, sizeof(m_palette));
            }
            return status;
        }

        // --------------------------------------------------------------------
        // decoder interface
        // --------------------------------------------------------------------

        class Interface : public ImageDecoderInterface
        {
        public:
            explicit Interface(ConstMemory memory)
                : m_parser(memory)
            {
            }

            ImageHeader header() override
            {
                return m_parser.getHeader();
            }

            ImageDecodeStatus decode(Surface& dest, Palette* palette, int level, int depth, int face) override
            {
                (void)level;
                (void)depth;
                (void)face;
                return guardStatus<ImageDecodeStatus>("[ImageDecoder.PNG] ",
                                                      [&] { return decodeImage(dest, palette); });
            }

        private:
            ImageDecodeStatus decodeImage(Surface& dest, Palette* palette);

            ParserPNG m_parser;
            // animations decoded through a conversion keep their composite here
            std::unique_ptr<Bitmap> m_canvas;
        };

        ImageDecodeStatus Interface::decodeImage(Surface& dest, Palette* palette)
        {
            ImageHeader header = m_parser.getHeader();
            ImageDecodeStatus status;
            if (!header.success)
            {
                status.setError("%s", header.info.c_str());
                return status;
            }

            const bool fits = dest.width >= header.width && dest.height >= header.height;

            if (palette && header.palette)
            {
                if (dest.format.bytes() != 1)
                {
                    status.setError("[ImageDecoder.PNG] Palette indices need an 8-bit destination.");
                    return status;
                }
                if (fits)
                {
                    status = m_parser.decode(dest, palette);
                    status.direct = status.success;
                    return status;
                }
                // a smaller destination gets the indices that fit
                Bitmap temp(header.width, header.height, Format::INDEX8);
                status = m_parser.decode(temp, palette);
                const int w = std::min(dest.width, temp.width);
                for (int y = 0; y < std::min(dest.height, temp.height); ++y)
                {
                    std::memcpy(dest.address(0, y), temp.address(0, y), size_t(std::max(w, 0)));
                }
                return status;
            }

            if (dest.format == header.format && fits)
            {
                status = m_parser.decode(dest, nullptr);
                status.direct = status.success;
                return status;
            }

            Bitmap* canvas = nullptr;
            std::unique_ptr<Bitmap> temp;
            if (m_parser.hasAnimation())
            {
                if (!m_canvas)
                {
                    m_canvas = std::make_unique<Bitmap>(header.width, header.height, header.format);
                }
                canvas = m_canvas.get();
            }
            else
            {
                temp = std::make_unique<Bitmap>(header.width, header.height, header.format);
                canvas = temp.get();
            }

            status = m_parser.decode(*canvas, nullptr);
            if (status.success && !dest.blit(0, 0, *canvas))
            {
                status.setError("[ImageDecoder.PNG] No conversion to the destination format.");
            }
            return status;
        }

        ImageDecoderInterface* createDecoderPNG(ConstMemory memory)
        {
            return new Interface(memory);
        }

    } // namespace

    void registerImageCodecPNG()
    {
        registerImageDecoder(createDecoderPNG, ".png");
        registerImageEncoder(png::encodePNG, ".png");
    }

} // namespace norva
