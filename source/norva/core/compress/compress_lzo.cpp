// "lzo": LZO1X blocks, LZO1X-1 compressor.

#include <cstring>

#include <lzo/lzo1x.h>

#include <norva/core/buffer.hpp>
#include <norva/core/compress.hpp>
#include <norva/core/exception.hpp>

namespace
{
    using namespace norva;

    // lzo_init checks the library against its headers; once per process.
    bool ready()
    {
        static const bool ok = lzo_init() == LZO_E_OK;
        return ok;
    }

    // checked at start-up, with the other static initialisers, rather than on the first call
    [[maybe_unused]] const bool initialised = ready();

} // namespace

namespace norva::lzo
{
    u64 bound(u64 size)
    {
        return size + size / 16 + 128;
    }

    u64 compress(Memory dest, ConstMemory source, int)
    {
        if (!ready())
        {
            NORVA_THROW("norva::lzo::compress", "[lzo] compression failed.");
        }

        // LZO1X-1 does not check its output capacity: below the bound it writes into a
        // scratch block of bound size, and the result is copied only when it fits.
        const u64 worst = bound(source.size);
        Buffer scratch;
        u8* out = dest.address;
        if (dest.size < worst)
        {
            scratch.resize(worst);
            out = scratch.data();
        }

        Buffer work(LZO1X_1_MEM_COMPRESS);
        lzo_uint written = 0;
        int result = lzo1x_1_compress(source.address, source.size, out, &written, work.data());
        if (result != LZO_E_OK || written > dest.size)
        {
            NORVA_THROW("norva::lzo::compress", "[lzo] compression failed.");
        }
        if (out != dest.address)
        {
            std::memcpy(dest.address, out, written);
        }
        return written;
    }

    void decompress(Memory dest, ConstMemory source)
    {
        if (!ready())
        {
            NORVA_THROW("norva::lzo::decompress", "[lzo] decompression failed.");
        }
        lzo_uint written = dest.size;
        int result = lzo1x_decompress_safe(source.address, source.size, dest.address, &written, nullptr);
        if (result != LZO_E_OK || written != dest.size)
        {
            NORVA_THROW("norva::lzo::decompress", "[lzo] decompression failed.");
        }
    }

} // namespace norva::lzo
