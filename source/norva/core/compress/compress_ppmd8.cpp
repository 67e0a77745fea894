// "ppmd8": PPMd variant I revision 1 (LZMA SDK), framed as in ZIP method 98.

#include <algorithm>

#include <Ppmd8.h>

#include <norva/core/compress.hpp>
#include <norva/core/exception.hpp>

#include "sdk.hpp"

namespace
{
    using namespace norva;

    constexpr u64 HEADER_SIZE = 2;

    // Reads the source; past its end the range decoder gets zeros.
    struct ByteReader
    {
        IByteIn vt;
        const u8* current;
        const u8* end;

        explicit ByteReader(ConstMemory source)
            : vt { read }, current(source.address), end(source.address + source.size)
        {
        }

        static Byte read(IByteInPtr p)
        {
            ByteReader* self = Z7_CONTAINER_FROM_VTBL(p, ByteReader, vt);
            return self->current < self->end ? *self->current++ : 0;
        }
    };

    // Stores while there is room and remembers whether anything was dropped.
    struct ByteWriter
    {
        IByteOut vt;
        u8* current;
        u8* end;
        bool overflow = false;

        explicit ByteWriter(Memory dest)
            : vt { write }, current(dest.address), end(dest.address + dest.size)
        {
        }

        static void write(IByteOutPtr p, Byte value)
        {
            ByteWriter* self = Z7_CONTAINER_FROM_VTBL(p, ByteWriter, vt);
            if (self->current < self->end)
            {
                *self->current++ = value;
            }
            else
            {
                self->overflow = true;
            }
        }
    };

    // The model's memory, freed on every way out.
    class Model : private NonCopyable
    {
    public:
        Model() { Ppmd8_Construct(&m_ppmd); }
        ~Model() { Ppmd8_Free(&m_ppmd, detail::sdkAllocator()); }

        bool allocate(u32 bytes) { return Ppmd8_Alloc(&m_ppmd, bytes, detail::sdkAllocator()); }
        CPpmd8* operator->() { return &m_ppmd; }
        CPpmd8* get() { return &m_ppmd; }

    private:
        CPpmd8 m_ppmd;
    };

} // namespace

namespace norva::ppmd8
{
    u64 bound(u64 size)
    {
        return size * 3 / 2 + 16384;
    }

    u64 compress(Memory dest, ConstMemory source, int level)
    {
        if (dest.size < HEADER_SIZE)
        {
            NORVA_THROW("norva::ppmd8::compress", "[PPMd] compression failed.");
        }

        level = std::clamp(level, 0, 10);
        const u32 order = u32(level) + 2;
        const u32 memoryMiB = 12 * u32(level) + 8;
        const u32 restoreMethod = PPMD8_RESTORE_METHOD_RESTART;

        Model model;
        if (!model.allocate(memoryMiB << 20))
        {
            NORVA_THROW("norva::ppmd8::compress", "[PPMd] not enough memory.");
        }

        const u32 header = (order - 1) | ((memoryMiB - 1) << 4) | (restoreMethod << 12);
        dest.address[0] = u8(header);
        dest.address[1] = u8(header >> 8);

        ByteWriter writer(Memory(dest.address + HEADER_SIZE, dest.size - HEADER_SIZE));
        model->Stream.Out = &writer.vt;
        Ppmd8_Init_RangeEnc(model.get());
        Ppmd8_Init(model.get(), order, restoreMethod);

        for (u64 i = 0; i < source.size; ++i)
        {
            Ppmd8_EncodeSymbol(model.get(), source.address[i]);
        }
        Ppmd8_EncodeSymbol(model.get(), PPMD8_SYM_END);
        Ppmd8_Flush_RangeEnc(model.get());

        // a cut stream would decode as damage: report it here instead
        if (writer.overflow)
        {
            NORVA_THROW("norva::ppmd8::compress", "[PPMd] compression failed.");
        }
        return u64(writer.current - dest.address);
    }

    void decompress(Memory dest, ConstMemory source)
    {
        if (source.size < HEADER_SIZE)
        {
            NORVA_THROW("norva::ppmd8::decompress", "[PPMd] decoding error.");
        }

        const u32 header = source.address[0] | (source.address[1] << 8);
        const u32 order = (header & 15) + 1;
        const u32 memoryMiB = ((header >> 4) & 255) + 1;
        const u32 restoreMethod = header >> 12;
        if (order < PPMD8_MIN_ORDER || restoreMethod > PPMD8_RESTORE_METHOD_CUT_OFF)
        {
            NORVA_THROW("norva::ppmd8::decompress", "[PPMd] decoding error.");
        }

        Model model;
        if (!model.allocate(memoryMiB << 20))
        {
            NORVA_THROW("norva::ppmd8::decompress", "[PPMd] not enough memory.");
        }

        ByteReader reader(source.slice(HEADER_SIZE));
        model->Stream.In = &reader.vt;
        if (!Ppmd8_Init_RangeDec(model.get()))
        {
            NORVA_THROW("norva::ppmd8::decompress", "[PPMd] decoding error.");
        }
        Ppmd8_Init(model.get(), order, restoreMethod);

        for (u64 i = 0; i < dest.size; ++i)
        {
            // the end marker (-1) before the destination is full, or damage (-2)
            int symbol = Ppmd8_DecodeSymbol(model.get());
            if (symbol < 0)
            {
                NORVA_THROW("norva::ppmd8::decompress", "[PPMd] decoding error.");
            }
            dest.address[i] = u8(symbol);
        }

        // The range decoder's code reaches 0 only after the end marker: decode it and
        // check. A byte instead means more content than destination, which (as with
        // LZMA) fills the destination with its prefix.
        int symbol = Ppmd8_DecodeSymbol(model.get());
        if (symbol == PPMD8_SYM_ERROR || (symbol == PPMD8_SYM_END && !Ppmd8_RangeDec_IsFinishedOK(model.get())))
        {
            NORVA_THROW("norva::ppmd8::decompress", "[PPMd] decoding error.");
        }
    }

} // namespace norva::ppmd8
