// GIF decoder and encoder.
//
// The decoder keeps an animation canvas of the logical screen's size and draws one image
// per decode call onto it, so successive calls play an animated file and loop: a file of
// N images gives N frames, the last one naming frame 0 as the next. Each frame is drawn
// over what the canvas holds, its transparent pixels leaving the canvas as it is (on the
// first frame they are written as the background colour with alpha 0); before the next
// frame is drawn, a frame with disposal 2 clears its rectangle as the canvas starts and
// one with disposal 3 puts back what lay under it. The encoder writes a single-image
// GIF89a file from an indexed surface with 256 colours, writing a source's own colours
// when it holds 256 or fewer and quantizing any other.

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

#include <norva/core/byte_reader.hpp>
#include <norva/core/endian.hpp>
#include <norva/core/stream.hpp>
#include <norva/image/decoder.hpp>
#include <norva/image/quantize.hpp>

#include "format_guard.hpp"

namespace norva
{
    namespace
    {
        constexpr int maxCodeBits = 12;
        constexpr u32 maxCodes = 1u << maxCodeBits;

        // --------------------------------------------------------------------
        // LZW decoder
        // --------------------------------------------------------------------

        // Every code's string already lies in the output: it is the previous code's
        // string plus the first byte written after it. So a code is just where that
        // string starts and how long it is, and emitting it is a copy from earlier output.
        struct LZWEntry
        {
            const u8* source;
            u32 length;
        };

        // The bytes past `size` let short strings be copied eight bytes at a time.
        constexpr size_t lzwSlack = 16;

        // Literal codes are strings of one byte too, read from here (with room behind for
        // the eight-byte loads).
        constexpr std::array<u8, 256 + lzwSlack> literalBytes = [] {
            std::array<u8, 256 + lzwSlack> bytes {};
            for (int i = 0; i < 256; ++i)
                bytes[i] = u8(i);
            return bytes;
        }();

        enum class LZWResult
        {
            OK,         // the data ended (end code, a full image, or no more sub-blocks)
            ERROR,      // a bad code or a minimum code size above 12
            TRUNCATED,  // the file ends inside the sub-blocks
        };

        // The most bytes k codes can give: the n-th code after a clear is at most n bytes
        // long, and no string is longer than the table. Bounds what a frame that claims
        // a huge size with little data makes us allocate.
        u64 maxLZWOutput(u64 codes)
        {
            return codes <= maxCodes ? codes * (codes + 1) / 2 : codes * maxCodes;
        }

        // A buffer that grows and keeps its bytes as they are: the LZW decoder writes every
        // byte that is read later, so clearing it would only cost time.
        class Scratch
        {
        public:
            u8* reserve(size_t size)
            {
                if (size > m_size)
                {
                    m_data.reset(new u8[size]);
                    m_size = size;
                }
                return m_data.get();
            }

            u8* data() const { return m_data.get(); }

        private:
            std::unique_ptr<u8[]> m_data;
            size_t m_size = 0;
        };

        // Decodes the image data at the reader (minimum code size, then the sub-blocks)
        // into output, for the pixels or fewer when the data cannot fill them, with lzwSlack
        // bytes behind. Leaves the reader behind the sub-blocks' terminator and the count of
        // decoded pixels in `decoded`, which keeps what came before an error.
        LZWResult decodeLZW(Scratch& output, Scratch& stream, u64 pixels, ByteReader& reader, u64& decoded)
        {
            decoded = 0;
            const u32 minCodeSize = reader.byte();
            if (reader.isShort())
                return LZWResult::TRUNCATED;
            if (minCodeSize > maxCodeBits)
                return LZWResult::ERROR;

            // the sub-blocks' bytes as one stream, with zero padding for the eight-byte
            // loads of the bit reader: their total first, then one copy
            u64 total = 0;
            {
                ByteReader scan = reader;
                for (;;)
                {
                    const u32 blockSize = scan.byte();
                    if (!blockSize)
                        break;
                    total += std::min<u64>(blockSize, scan.remaining());
                    if (!scan.skip(blockSize))
                        break;
                }
            }
            u8* data = stream.reserve(size_t(total) + 8);
            u64 gathered = 0;
            bool truncated = false;
            for (;;)
            {
                const u32 blockSize = reader.byte();
                if (reader.isShort())
                {
                    truncated = true;
                    break;
                }
                if (!blockSize)
                    break;
                const u64 available = std::min<u64>(blockSize, reader.remaining());
                std::memcpy(data + gathered, reader.position(), size_t(available));
                gathered += available;
                if (!reader.skip(blockSize))
                {
                    truncated = true;
                    break;
                }
            }
            std::memset(data + gathered, 0, 8);
            const u64 totalBits = gathered * 8;
            const u8* bits = data;

            const size_t size = size_t(std::min(pixels, maxLZWOutput(totalBits / (minCodeSize + 1))));
            u8* out = output.reserve(size + lzwSlack);

            const u32 clearCode = 1u << minCodeSize;
            const u32 endCode = clearCode + 1;
            u32 codeSize = minCodeSize + 1;
            u32 codeMask = (1u << codeSize) - 1;
            u32 nextCode = clearCode + 2;
            bool hasPrevious = false;
            u32 previousOffset = 0;
            u32 previousLength = 0;

            LZWEntry table[maxCodes];
            // past 8 bits a literal is its low byte
            for (u32 i = 0; i < clearCode; ++i)
                table[i] = { literalBytes.data() + (i & 255), 1 };
            size_t pos = 0;
            u64 bitPosition = 0;

            while (pos < size && bitPosition + codeSize <= totalBits)
            {
                const u32 code = u32(loadLE64(bits + (bitPosition >> 3)) >> (bitPosition & 7)) & codeMask;
                bitPosition += codeSize;

                u32 length;
                if (code < nextCode && (code < clearCode || code > endCode))
                {
                    // a literal or a defined string
                    const LZWEntry entry = table[code];
                    length = entry.length;
                    if (length <= lzwSlack)
                    {
                        // the string ends at or before pos and both words are loaded
                        // before either is stored; bytes past the string (up to the
                        // slack behind the image) are overwritten by what follows
                        const u64 a = loadLE64(entry.source);
                        const u64 b = loadLE64(entry.source + 8);
                        storeLE64(out + pos, a);
                        storeLE64(out + pos + 8, b);
                    }
                    else
                    {
                        std::memcpy(out + pos, entry.source, std::min<size_t>(length, size - pos));
                    }
                }
                else if (code == clearCode)
                {
                    codeSize = minCodeSize + 1;
                    codeMask = (1u << codeSize) - 1;
                    nextCode = clearCode + 2;
                    hasPrevious = false;
                    continue;
                }
                else if (code == endCode)
                {
                    break;
                }
                else if (code == nextCode && hasPrevious)
                {
                    // the code being defined: the previous string and its own first byte
                    length = previousLength + 1;
                    const size_t n = std::min<size_t>(length, size - pos);
                    for (size_t i = 0; i < n; ++i)
                        out[pos + i] = out[previousOffset + i];
                }
                else
                {
                    decoded = pos;
                    return LZWResult::ERROR;
                }

                if (hasPrevious && nextCode < maxCodes)
                {
                    table[nextCode] = { out + previousOffset, previousLength + 1 };
                    ++nextCode;
                    if (nextCode > codeMask && codeSize < maxCodeBits)
                    {
                        ++codeSize;
                        codeMask = (1u << codeSize) - 1;
                    }
                }
                hasPrevious = true;
                previousOffset = u32(pos);
                previousLength = length;
                pos += length;
            }
            decoded = std::min<u64>(pos, size);
            return truncated ? LZWResult::TRUNCATED : LZWResult::OK;
        }

        // --------------------------------------------------------------------
        // line copiers
        // --------------------------------------------------------------------

        void copyLine(u32* dest, const u8* indices, int width, const u32* palette)
        {
            for (int x = 0; x < width; ++x)
                dest[x] = palette[indices[x]];
        }

        void copyLineTransparent(u32* dest, const u8* indices, int width, const u32* palette, u8 transparent)
        {
            for (int x = 0; x < width; ++x)
            {
                const u8 index = indices[x];
                if (index != transparent)
                    dest[x] = palette[index];
            }
        }

        void copyLineIndexed(u8* dest, const u8* indices, int width, u8 transparent)
        {
            for (int x = 0; x < width; ++x)
            {
                const u8 index = indices[x];
                if (index != transparent)
                    dest[x] = index;
            }
        }

        // --------------------------------------------------------------------
        // decoder
        // --------------------------------------------------------------------

        // Interlaced rows are stored by four passes: rows 0, 8, 16 ..., then 4, 12 ...,
        // then 2, 6 ..., then 1, 3, 5 .... The position in the data of image row y:
        int interlacedRow(int y, int height)
        {
            const int pass0 = (height + 7) / 8;
            const int pass1 = (height + 3) / 8;
            const int pass2 = (height + 1) / 4;
            if (y % 8 == 0)
                return y / 8;
            if (y % 8 == 4)
                return pass0 + y / 8;
            if (y % 4 == 2)
                return pass0 + pass1 + y / 4;
            return pass0 + pass1 + pass2 + y / 2;
        }

        struct ColorTable
        {
            const u8* rgb = nullptr;
            u32 count = 0;
        };

        // A table of packed size s holds 2^(s+1) entries of R, G, B.
        u32 tableCount(u8 packed)
        {
            return 2u << (packed & 7);
        }

        class Interface : public ImageDecoderInterface
        {
        public:
            explicit Interface(ConstMemory memory);

            ImageHeader header() override { return m_header; }
            ImageDecodeStatus decode(Surface& dest, Palette* palette, int, int, int) override
            {
                return guardDecode("[ImageDecoder.GIF] ", m_header, [&] { return decodeImage(dest, palette); });
            }

        private:
            // How a block walk ended.
            enum class Walk
            {
                IMAGE,      // an image was drawn; the cursor is behind it
                END,        // the trailer or the end of the data at a block boundary
                ERROR,      // bad image data: the frame keeps what was decoded
                TRUNCATED,  // the file ends inside a block
            };

            ImageDecodeStatus decodeImage(Surface& dest, Palette* palette);
            Walk walkBlocks(const Surface& canvas, Palette* palette, bool& image);
            bool hasAnotherImage(u64 offset) const;
            static bool skipSubBlocks(ByteReader& reader);
            Walk decodeFrame(ByteReader& reader, const Surface& canvas, Palette* palette);
            void dispose(const Surface& canvas);

            ConstMemory m_memory;
            ImageHeader m_header;

            // logical screen
            u16 m_width = 0;
            u16 m_height = 0;
            u8 m_packed = 0;
            u8 m_background = 0;
            ColorTable m_global;

            // graphic control
            bool m_firstFrame = true;
            u16 m_delay = 2;
            u8 m_disposal = 0;
            u8 m_userInput = 0;
            u8 m_transparentFlag = 0;
            u8 m_transparentIndex = 0;

            // The canvas is allocated, zeroed, by the first decode: a header-only look at a
            // file that claims a huge screen allocates nothing. calloc: large zeroed blocks
            // come from the system already cleared.
            std::unique_ptr<u8, decltype(&std::free)> m_canvas { nullptr, &std::free };

            // The last frame's disposal, done before the next frame is drawn: its rectangle
            // (clipped to the canvas), and for disposal 3 the canvas bytes it covered.
            struct Disposal
            {
                u8 method = 0;
                int left = 0;
                int top = 0;
                int width = 0;
                int height = 0;
                int bytesPerPixel = 0;
                int fill = 0;       // the byte a cleared index canvas gets
            };
            Disposal m_pending;
            Scratch m_saved;

            int m_frameCounter = 0;     // images drawn in this loop of the animation
            int m_shown = 0;            // the index of the frame the canvas shows
            bool m_restart = false;     // the next image is frame 0 of a new loop
            u64 m_firstBlock = 0;
            u64 m_cursor = 0;
            bool m_hasCursor = false;

            // the frame's indices as the data gives them, and its data sub-blocks joined
            Scratch m_indices;
            Scratch m_stream;
        };

        Interface::Interface(ConstMemory memory)
            : m_memory(memory)
        {
            ByteReader reader(memory);
            if (memory.size < 7)
            {
                m_header.setError("[ImageDecoder.GIF] Incorrect header.");
                return;
            }
            const ConstMemory signature = reader.bytes(6);
            if (std::memcmp(signature.address, "GIF87a", 6) && std::memcmp(signature.address, "GIF89a", 6))
            {
                m_header.setError("[ImageDecoder.GIF] Header is missing GIF87a or GIF89a identifier.");
                return;
            }

            m_width = reader.le16();
            m_height = reader.le16();
            m_packed = reader.byte();
            m_background = reader.byte();
            reader.byte(); // aspect ratio
            if (m_packed & 0x80)
            {
                m_global.count = tableCount(m_packed);
                m_global.rgb = reader.bytes(u64(m_global.count) * 3).address;
            }
            if (reader.isShort())
            {
                m_header.setError("[ImageDecoder.GIF] Incorrect header.");
                return;
            }

            m_firstBlock = reader.offset();
            m_cursor = m_firstBlock;
            m_hasCursor = true;

            m_header.width = m_width;
            m_header.height = m_height;
            m_header.palette = true;
            m_header.format = Format::BGRA8888;
        }

        ImageDecodeStatus Interface::decodeImage(Surface& dest, Palette* palette)
        {
            ImageDecodeStatus status;

            // at most 65535 x 65535 x 4 bytes: the product fits 64 bits
            const u64 canvasBytes = u64(m_width) * u64(m_height) * 4;
            if (!m_canvas)
            {
                m_canvas.reset(static_cast<u8*>(std::calloc(size_t(canvasBytes) + 1, 1)));
                if (!m_canvas)
                {
                    status.setError("[ImageDecoder.GIF] Out of memory (canvas of %u x %u).", m_width, m_height);
                    return status;
                }
            }

            // one allocation, seen as indices when a palette is requested
            const Surface canvas = palette
                ? Surface(m_width, m_height, Format::INDEX8, m_width, m_canvas.get())
                : Surface(m_width, m_height, Format::BGRA8888, m_width * 4, m_canvas.get());

            bool more = false;
            if (m_hasCursor)
            {
                if (m_restart)
                {
                    // every loop starts from the canvas and the graphic control the first one had
                    std::memset(m_canvas.get(), 0, size_t(canvasBytes));
                    m_pending = Disposal();
                    m_restart = false;
                    m_delay = 2;
                    m_disposal = 0;
                    m_userInput = 0;
                    m_transparentFlag = 0;
                    m_transparentIndex = 0;
                }
                m_firstFrame = m_frameCounter == 0;
                bool image = false;
                const Walk walk = walkBlocks(canvas, palette, image);
                if (image)
                    m_shown = m_frameCounter++;
                if (walk == Walk::TRUNCATED)
                    status.info = "[ImageDecoder.GIF] Data ended early";

                // The frame after this one: the next image when the file holds one, else
                // frame 0, where an animation of two or more images loops.
                more = walk == Walk::IMAGE && hasAnotherImage(m_cursor);
                m_hasCursor = more;
                if (!more && m_frameCounter >= 2)
                {
                    m_frameCounter = 0;
                    m_cursor = m_firstBlock;
                    m_hasCursor = true;
                    m_restart = true;
                }
            }

            if (!dest.blit(0, 0, canvas))
            {
                status.setError("[ImageDecoder.GIF] No conversion to the destination format.");
                return status;
            }

            status.current_frame_index = m_shown;
            status.next_frame_index = more ? m_frameCounter : 0;
            status.frame_delay_numerator = m_delay;
            status.frame_delay_denominator = 100;
            return status;
        }

        bool Interface::skipSubBlocks(ByteReader& reader)
        {
            for (;;)
            {
                const u32 size = reader.byte();
                if (reader.isShort())
                    return false;
                if (!size)
                    return true;
                if (!reader.skip(size))
                    return false;
            }
        }

        // Whether an image descriptor follows before the trailer or the end of the data.
        bool Interface::hasAnotherImage(u64 offset) const
        {
            ByteReader reader(m_memory);
            reader.seek(offset);
            while (!reader.atEnd())
            {
                const u8 block = reader.byte();
                if (block == 0x2C)
                    return true;
                if (block == 0x3B)
                    return false;
                if (block == 0x21)
                {
                    reader.byte(); // label
                    if (reader.isShort() || !skipSubBlocks(reader))
                        return false;
                }
            }
            return false;
        }

        // Walks from the cursor to the next image and draws it, leaving the cursor behind it.
        Interface::Walk Interface::walkBlocks(const Surface& canvas, Palette* palette, bool& image)
        {
            ByteReader reader(m_memory);
            reader.seek(m_cursor);
            while (!reader.atEnd())
            {
                const u8 block = reader.byte();
                if (block == 0x21)
                {
                    const u8 label = reader.byte();
                    if (label == 0xF9 && reader.peek() >= 4)
                    {
                        ByteReader control(reader.rest());
                        control.byte(); // sub-block size
                        const u8 p = control.byte();
                        m_disposal = (p >> 2) & 7;
                        m_userInput = (p >> 1) & 1;
                        m_transparentFlag = p & 1;
                        m_delay = control.le16();
                        const u8 index = control.byte();
                        m_transparentIndex = m_transparentFlag ? index : 0;
                    }
                    // application extensions (loop counts) are not used
                    if (reader.isShort() || !skipSubBlocks(reader))
                        return Walk::TRUNCATED;
                }
                else if (block == 0x2C)
                {
                    image = true;
                    const Walk walk = decodeFrame(reader, canvas, palette);
                    m_cursor = reader.offset();
                    return walk;
                }
                else if (block == 0x3B)
                {
                    return Walk::END;
                }
                // anything else is skipped
            }
            return Walk::END;
        }

        // Undoes the previous frame as its disposal method asks: 2 clears its rectangle as
        // the canvas starts (transparent black, or in indices its transparent index), 3 puts
        // back the canvas it covered. 0, 1 and the undefined methods keep it.
        void Interface::dispose(const Surface& canvas)
        {
            const Disposal d = m_pending;
            m_pending = Disposal();
            if ((d.method != 2 && d.method != 3) || d.bytesPerPixel != canvas.format.bytes())
                return;
            const Surface area(canvas, d.left, d.top, d.width, d.height);
            const size_t row = size_t(area.width) * size_t(d.bytesPerPixel);
            for (int y = 0; y < area.height; ++y)
            {
                if (d.method == 2)
                    std::memset(area.address(0, y), d.bytesPerPixel == 1 ? d.fill : 0, row);
                else
                    std::memcpy(area.address(0, y), m_saved.data() + row * size_t(y), row);
            }
        }

        Interface::Walk Interface::decodeFrame(ByteReader& reader, const Surface& canvas, Palette* palette)
        {
            const int left = reader.le16();
            const int top = reader.le16();
            const int width = reader.le16();
            const int height = reader.le16();
            const u8 packed = reader.byte();
            ColorTable table = m_global;
            if (packed & 0x80)
            {
                table.count = tableCount(packed);
                table.rgb = reader.bytes(u64(table.count) * 3).address;
            }
            if (reader.isShort())
                return Walk::TRUNCATED;

            // A frame without any colour table draws its indices as opaque black.
            Palette colors;
            colors.size = table.count ? table.count : 256;
            for (u32 i = 0; i < 256; ++i)
                colors.color[i] = i < table.count || !table.count ? 0xFF000000 : 0;
            for (u32 i = 0; i < table.count; ++i)
            {
                const u8* c = table.rgb + i * 3;
                colors.color[i] = 0xFF000000 | u32(c[0]) << 16 | u32(c[1]) << 8 | c[2];
            }
            if (m_transparentFlag)
                colors.color[m_transparentIndex] = colors.color[m_background] & 0x00FFFFFF;
            const bool keepTransparent = m_transparentFlag && !m_firstFrame;

            const u64 pixels = u64(width) * u64(height);
            u64 decoded = 0;
            const LZWResult result = decodeLZW(m_indices, m_stream, pixels, reader, decoded);

            if (palette)
                *palette = colors;

            // the previous frame goes before this one is drawn; this one's rectangle is
            // kept for its own disposal
            dispose(canvas);
            const Surface target(canvas, left, top, width, height);
            const int bytesPerPixel = canvas.format.bytes();
            // under a loop's first frame lies the cleared canvas, which disposal 3 puts back
            // (as browsers do; ImageMagick puts back the background colour, Pillow keeps it)
            m_pending.method = m_disposal;
            m_pending.left = left;
            m_pending.top = top;
            m_pending.width = target.width;
            m_pending.height = target.height;
            m_pending.bytesPerPixel = bytesPerPixel;
            m_pending.fill = m_transparentFlag ? m_transparentIndex : 0;
            if (m_pending.method == 3)
            {
                const size_t row = size_t(target.width) * size_t(bytesPerPixel);
                u8* saved = m_saved.reserve(row * size_t(target.height) + 1);
                for (int y = 0; y < target.height; ++y)
                    std::memcpy(saved + row * size_t(y), target.address(0, y), row);
            }

            // pixels past what the data gave (or past an error) are not drawn
            const bool interlaced = (packed & 0x40) != 0;
            for (int y = 0; y < target.height; ++y)
            {
                const u64 start = u64(interlaced ? interlacedRow(y, height) : y) * width;
                if (start >= decoded)
                    continue;
                const int count = int(std::min<u64>(target.width, decoded - start));
                const u8* source = m_indices.data() + start;
                u8* dest = target.address(0, y);
                if (palette)
                {
                    if (keepTransparent)
                        copyLineIndexed(dest, source, count, m_transparentIndex);
                    else
                        std::memcpy(dest, source, count);
                }
                else if (keepTransparent)
                {
                    copyLineTransparent(reinterpret_cast<u32*>(dest), source, count, colors.color,
                                        m_transparentIndex);
                }
                else
                {
                    copyLine(reinterpret_cast<u32*>(dest), source, count, colors.color);
                }
            }
            switch (result)
            {
                case LZWResult::OK: return Walk::IMAGE;
                case LZWResult::ERROR: return Walk::ERROR;
                case LZWResult::TRUNCATED: break;
            }
            return Walk::TRUNCATED;
        }

        ImageDecoderInterface* createDecoderGIF(ConstMemory memory)
        {
            return new Interface(memory);
        }

        // --------------------------------------------------------------------
        // encoder
        // --------------------------------------------------------------------

        // Codes LSB first into bytes, 255 bytes to a sub-block.
        class BitWriter
        {
        public:
            explicit BitWriter(std::vector<u8>& out)
                : m_out(out)
            {
            }

            void write(u32 code, u32 bits)
            {
                m_buffer |= u64(code) << m_count;
                m_count += bits;
                while (m_count >= 8)
                {
                    putByte(u8(m_buffer));
                    m_buffer >>= 8;
                    m_count -= 8;
                }
            }

            void finish()
            {
                if (m_count)
                    putByte(u8(m_buffer));
                if (m_blockSize)
                    flushBlock();
                m_out.push_back(0);
            }

        private:
            void putByte(u8 value)
            {
                m_block[m_blockSize++] = value;
                if (m_blockSize == 255)
                    flushBlock();
            }

            void flushBlock()
            {
                m_out.push_back(u8(m_blockSize));
                m_out.insert(m_out.end(), m_block, m_block + m_blockSize);
                m_blockSize = 0;
            }

            std::vector<u8>& m_out;
            u64 m_buffer = 0;
            u32 m_count = 0;
            u8 m_block[255];
            u32 m_blockSize = 0;
        };

        // Minimum code size 8. A code is assigned to every new string until code 4095,
        // where the table is cleared.
        void encodeLZW(std::vector<u8>& out, const Surface& surface)
        {
            constexpr u32 clearCode = 256;
            constexpr u32 endCode = 257;
            out.push_back(8);
            BitWriter writer(out);

            std::vector<u16> table(0x100000, 0);
            u32 width = 9;
            u32 lastCode = endCode;
            writer.write(clearCode, width);

            bool hasPrefix = false;
            u32 prefix = 0;
            for (int y = 0; y < surface.height; ++y)
            {
                const u8* row = surface.address(0, y);
                for (int x = 0; x < surface.width; ++x)
                {
                    const u32 pixel = row[x];
                    if (!hasPrefix)
                    {
                        prefix = pixel;
                        hasPrefix = true;
                        continue;
                    }
                    const u32 slot = (prefix << 8) + pixel;
                    if (table[slot])
                    {
                        prefix = table[slot];
                        continue;
                    }
                    writer.write(prefix, width);
                    const u32 code = ++lastCode;
                    table[slot] = u16(code);
                    if (code == (1u << width))
                        ++width;
                    if (code == maxCodes - 1)
                    {
                        writer.write(clearCode, width);
                        std::fill(table.begin(), table.end(), u16(0));
                        width = 9;
                        lastCode = endCode;
                    }
                    prefix = pixel;
                }
            }

            if (hasPrefix)
            {
                writer.write(prefix, width);
                // The decoder defines one more code on reading that prefix; when that
                // code fills the width, it reads the next code one bit wider.
                if (lastCode > endCode && lastCode + 1 == (1u << width) && width < maxCodeBits)
                    ++width;
            }
            writer.write(clearCode, width);
            writer.write(endCode, 9);
            writer.finish();
        }

        ImageEncodeStatus writeGIF(Stream& output, const Surface& surface, const Palette& palette)
        {
            // signature, screen, 256-entry table, image descriptor
            u8 header[13 + 768 + 10];
            std::memcpy(header, "GIF89a", 6);
            storeLE16(header + 6, u16(surface.width));
            storeLE16(header + 8, u16(surface.height));
            header[10] = 0xF7;  // global table of 256 entries, 8-bit colour resolution
            header[11] = 255;   // background index
            header[12] = 0;     // aspect
            for (int i = 0; i < 256; ++i)
            {
                const u32 color = palette.color[i];
                header[13 + i * 3 + 0] = u8(color >> 16);
                header[13 + i * 3 + 1] = u8(color >> 8);
                header[13 + i * 3 + 2] = u8(color);
            }
            u8* image = header + 13 + 768;
            image[0] = 0x2C;
            storeLE16(image + 1, 0);
            storeLE16(image + 3, 0);
            storeLE16(image + 5, u16(surface.width));
            storeLE16(image + 7, u16(surface.height));
            image[9] = 0;

            std::vector<u8> data;
            data.reserve(size_t(surface.width) * surface.height / 2 + 1024);
            encodeLZW(data, surface);
            data.push_back(0x3B);

            output.write(header, sizeof(header));
            output.write(data.data(), data.size());
            return ImageEncodeStatus();
        }

        // The indices and palette of a source that holds 256 colours or fewer (alpha is not
        // written), in the order they first appear; false for more colours, or a source with
        // no conversion to colours. The quantizer would move such colours, and on small
        // images it learns too little to find them at all.
        bool exactColors(Palette& palette, const Surface& indices, const Surface& surface)
        {
            if (u64(surface.width) * u64(surface.height) * 4 >= (u64(1) << 31))
                return false;
            Bitmap bgra(surface.width, surface.height, Format::BGRA8888);
            if (!bgra.blit(0, 0, surface))
                return false;

            std::unordered_map<u32, u8> lookup;
            lookup.reserve(512);
            palette = Palette();
            u32 count = 0;
            for (int y = 0; y < bgra.height; ++y)
            {
                const u8* row = bgra.address(0, y);
                u8* out = indices.address(0, y);
                u32 last = 0;
                u8 lastIndex = 0;
                bool hasLast = false;
                for (int x = 0; x < bgra.width; ++x)
                {
                    const u32 color = loadLE32(row + x * 4) & 0x00FFFFFF;
                    if (!hasLast || color != last)
                    {
                        const auto [it, added] = lookup.try_emplace(color, u8(count));
                        if (added)
                        {
                            if (count == 256)
                                return false;
                            palette.color[count++] = 0xFF000000 | color;
                        }
                        last = color;
                        lastIndex = it->second;
                        hasLast = true;
                    }
                    out[x] = lastIndex;
                }
            }
            palette.size = 256;
            return true;
        }

        ImageEncodeStatus encodeImage(Stream& output, const Surface& surface, const ImageEncodeOptions& options)
        {
            ImageEncodeStatus status;
            if (options.palette.size != 0 && options.palette.size != 256)
            {
                status.setError("[ImageEncoder.GIF] Incorrect palette size - must be 0 or 256 (size: %d).",
                                int(options.palette.size));
                return status;
            }
            // the screen and image sizes are 16-bit fields
            if (surface.width <= 0 || surface.height <= 0 || surface.width > 0xFFFF || surface.height > 0xFFFF)
            {
                status.setError("[ImageEncoder.GIF] Incorrect image size (%d x %d).", surface.width, surface.height);
                return status;
            }

            if (options.palette.size == 256)
            {
                if (!surface.format.isIndexed() || surface.format.bits != 8)
                {
                    status.setError("[ImageEncoder.GIF] Incorrect format - must be 8 bit INDEXED (bits: %d).",
                                    int(surface.format.bits));
                    return status;
                }
                return writeGIF(output, surface, options.palette);
            }

            Bitmap indices(surface.width, surface.height, Format::INDEX8);
            Palette palette;
            if (exactColors(palette, indices, surface))
                return writeGIF(output, indices, palette);
            image::ColorQuantizer::Options quantize;
            quantize.quality = options.quality;
            quantize.dithering = options.dithering;
            image::ColorQuantizer::quantize(palette, indices, surface, quantize);
            return writeGIF(output, indices, palette);
        }

        ImageEncodeStatus encodeGIF(Stream& output, const Surface& surface, const ImageEncodeOptions& options)
        {
            return guardStatus<ImageEncodeStatus>("[ImageEncoder.GIF] ",
                                                  [&] { return encodeImage(output, surface, options); });
        }

    } // namespace

    void registerImageCodecGIF()
    {
        registerImageDecoder(createDecoderGIF, ".gif");
        registerImageEncoder(encodeGIF, ".gif");
    }

} // namespace norva
