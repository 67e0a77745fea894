// "none": a plain copy.

#include <cstring>

#include <norva/core/compress.hpp>
#include <norva/core/exception.hpp>

namespace norva::none
{
    u64 bound(u64 size)
    {
        return size;
    }

    u64 compress(Memory dest, ConstMemory source, int)
    {
        if (dest.size < source.size)
        {
            NORVA_THROW("norva::none::compress", "[none] Destination too small.");
        }
        if (source.size)
        {
            std::memcpy(dest.address, source.address, source.size);
        }
        return source.size;
    }

    void decompress(Memory dest, ConstMemory source)
    {
        // a stored block is its own content: any other size is damage
        if (dest.size != source.size)
        {
            NORVA_THROW("norva::none::decompress", "[none] Source size does not match the destination.");
        }
        if (source.size)
        {
            std::memcpy(dest.address, source.address, source.size);
        }
    }

} // namespace norva::none
