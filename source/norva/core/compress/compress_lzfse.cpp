// "lzfse": lzfse block streams through the reference coder.

#include <cstddef>
#include <cstdint>

#include <lzfse.h>

#include <norva/core/buffer.hpp>
#include <norva/core/compress.hpp>
#include <norva/core/exception.hpp>

namespace norva::lzfse
{
    u64 bound(u64 size)
    {
        return size + 1024;
    }

    u64 compress(Memory dest, ConstMemory source, int)
    {
        Buffer scratch(lzfse_encode_scratch_size());
        // the encoder copies from its source pointer even for an empty block
        static const u8 nothing = 0;
        const u8* src = source.size ? source.address : &nothing;
        // 0 when the output does not fit
        return lzfse_encode_buffer(dest.address, dest.size, src, source.size, scratch.data());
    }

    void decompress(Memory dest, ConstMemory source)
    {
        Buffer scratch(lzfse_decode_scratch_size());
        // The decoder returns 0 on damage and the shorter count when the stream ends
        // early; a full destination gives dest.size.
        size_t written = lzfse_decode_buffer(dest.address, dest.size, source.address, source.size, scratch.data());
        if (written != dest.size)
        {
            NORVA_THROW("norva::lzfse::decompress", "[lzfse] decompression failed.");
        }
    }

} // namespace norva::lzfse
