// SGI images with 8-bit channels, verbatim or run-length encoded, one to four channels.
// Channels are stored as planes and rows bottom-up; the decoder interleaves them into the
// destination rows.
//
// Every table entry, RLE packet and verbatim row is read against the size of the memory,
// and an RLE row never writes past the image's width.

#include <algorithm>
#include <cstring>
#include <vector>

#include <norva/core/byte_reader.hpp>
#include <norva/image/decoder.hpp>

#include "direct_decode.hpp"
#include "format_guard.hpp"
#include "image_sgi_private.hpp"

namespace norva
{
    namespace sgi
    {
        void swapTableScalar(u32* dest, const u8* src, size_t count)
        {
            for (size_t i = 0; i < count; ++i)
                dest[i] = loadBE32(src + i * 4);
        }

        SwapTableFunc getSwapTable(CPUFlags cpuFlags)
        {
            return (cpuFlags & CPU_SSSE3) ? swapTableSSSE3 : swapTableScalar;
        }
    } // namespace sgi

    namespace
    {
        // --------------------------------------------------------------------
        // layout
        // --------------------------------------------------------------------

        constexpr u64 headerSize = 512;
        constexpr u16 magicNumber = 474;

        struct HeaderSGI
        {
            u8 storage = 0;     // 0 verbatim, 1 RLE
            u32 xsize = 0;
            u32 ysize = 0;
            u32 zsize = 0;

            ImageHeader header;

            void read(ConstMemory memory)
            {
                ByteReader r(memory);
                const u16 magic = r.be16();
                storage = r.byte();
                const u8 bytesPerChannel = r.byte();
                r.skip(2); // dimension
                xsize = r.be16();
                ysize = r.be16();
                zsize = r.be16();
                r.seek(104);
                const u32 colormap = r.be32();

                if (magic != magicNumber)
                {
                    header.setError("[ImageDecoder.SGI] Incorrect header magic.");
                    return;
                }
                if (r.isShort())
                {
                    header.setError("[ImageDecoder.SGI] Not enough data.");
                    return;
                }
                if (storage > 1)
                {
                    header.setError("[ImageDecoder.SGI] Incorrect storage format (%d).", storage);
                    return;
                }
                if (bytesPerChannel != 1 || colormap != 0)
                {
                    header.setError("[ImageDecoder.SGI] Incorrect channel/colormap.");
                    return;
                }
                static const Format formats[] = { Format::L8, Format::LA88, Format::RGB888, Format::RGBA8888 };
                if (zsize < 1 || zsize > 4)
                {
                    header.setError("[ImageDecoder.SGI] Incorrect color format.");
                    return;
                }
                if (xsize == 0 || ysize == 0)
                {
                    header.setError("[ImageDecoder.SGI] Incorrect image size (%u x %u).", xsize, ysize);
                    return;
                }
                header.width = s32(xsize);
                header.height = s32(ysize);
                header.format = formats[zsize - 1];
            }
        };

        // --------------------------------------------------------------------
        // rows
        // --------------------------------------------------------------------

        // One channel's packets into every zsize-th byte of out, until a count of 0, the
        // end of in, or width pixels: a packet longer than the row is cut at its end.
        void expandRow(u8* out, int zsize, u32 width, const u8* in, const u8* end)
        {
            u32 x = 0;
            while (in < end && x < width)
            {
                const u8 b = *in++;
                const u32 n = b & 0x7F;
                if (!n)
                    break;
                u32 count = std::min(n, width - x);
                if (b & 0x80)
                {
                    count = std::min<u32>(count, u32(end - in));
                    for (u32 i = 0; i < count; ++i)
                        out[size_t(x + i) * zsize] = in[i];
                    in += std::min<u64>(n, u64(end - in));
                }
                else
                {
                    if (in == end)
                        break;
                    const u8 value = *in++;
                    for (u32 i = 0; i < count; ++i)
                        out[size_t(x + i) * zsize] = value;
                }
                x += count;
            }
        }

        class Interface : public ImageDecoderInterface
        {
        public:
            explicit Interface(ConstMemory memory)
                : m_memory(memory)
            {
                m_sgi.read(memory);
            }

            ImageHeader header() override
            {
                return m_sgi.header;
            }

            ImageDecodeStatus decode(Surface& dest, Palette* palette, int level, int depth, int face) override
            {
                (void)palette;
                (void)level;
                (void)depth;
                (void)face;
                ImageDecodeStatus status;
                if (!m_sgi.header.success)
                {
                    status.setError("%s", m_sgi.header.info.c_str());
                    return status;
                }
                // a verbatim file holds every row, an RLE file its two tables: a file too
                // short for either is refused before anything is allocated
                const u64 rows = u64(m_sgi.ysize) * m_sgi.zsize;
                const u64 needed = m_sgi.storage ? rows * 8 : rows * m_sgi.xsize;
                if (headerSize + needed > m_memory.size)
                {
                    status.setError("[ImageDecoder.SGI] Not enough data.");
                    return status;
                }
                return guardStatus<ImageDecodeStatus>("[ImageDecoder.SGI] ", [&] {
                    return decodeDirectOrBlit(dest, m_sgi.header, "[ImageDecoder.SGI] ", [&](Surface& target) {
                        return m_sgi.storage ? drawRLE(target) : drawVerbatim(target);
                    });
                });
            }

        private:
            ConstMemory m_memory;
            HeaderSGI m_sgi;

            u8* rowAddress(const Surface& target, u32 y, u32 c) const
            {
                return target.address(0, int(m_sgi.ysize - 1 - y)) + c;
            }

            ImageDecodeStatus drawVerbatim(const Surface& target)
            {
                const u32 z = m_sgi.zsize;
                const u32 w = m_sgi.xsize;
                const u8* data = m_memory.address + headerSize;
                for (u32 c = 0; c < z; ++c)
                {
                    for (u32 y = 0; y < m_sgi.ysize; ++y)
                    {
                        const u8* in = data + (u64(c) * m_sgi.ysize + y) * w;
                        u8* out = rowAddress(target, y, c);
                        if (z == 1)
                        {
                            std::memcpy(out, in, w);
                            continue;
                        }
                        for (u32 x = 0; x < w; ++x)
                            out[size_t(x) * z] = in[x];
                    }
                }
                return ImageDecodeStatus();
            }

            ImageDecodeStatus drawRLE(const Surface& target)
            {
                ImageDecodeStatus status;
                const size_t rows = size_t(m_sgi.ysize) * m_sgi.zsize;
                std::vector<u32> table(rows * 2);
                sgi::getSwapTable(getCPUFlags())(table.data(), m_memory.address + headerSize, rows * 2);
                const u32* starts = table.data();
                const u32* lengths = table.data() + rows;

                // rows that lie outside the file are left empty and make the decode fail
                bool outside = false;
                for (u32 c = 0; c < m_sgi.zsize; ++c)
                {
                    for (u32 y = 0; y < m_sgi.ysize; ++y)
                    {
                        const size_t k = size_t(c) * m_sgi.ysize + y;
                        const u64 start = starts[k];
                        const u64 end = start + lengths[k];
                        if (end > m_memory.size)
                        {
                            outside = true;
                            continue;
                        }
                        expandRow(rowAddress(target, y, c), int(m_sgi.zsize), m_sgi.xsize, m_memory.address + start,
                                  m_memory.address + end);
                    }
                }
                if (outside)
                    status.setError("[ImageDecoder.SGI] Not enough data.");
                return status;
            }
        };

        ImageDecoderInterface* createDecoderSGI(ConstMemory memory)
        {
            return new Interface(memory);
        }

    } // namespace

    void registerImageDecoderSGI()
    {
        registerImageDecoder(createDecoderSGI, ".rgb");
        registerImageDecoder(createDecoderSGI, ".rgba");
        registerImageDecoder(createDecoderSGI, ".bw");
        registerImageDecoder(createDecoderSGI, ".sgi");
    }

} // namespace norva
