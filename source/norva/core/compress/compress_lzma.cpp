// "lzma": 5 LZMA property bytes, then raw LZMA data (LZMA SDK).

#include <algorithm>

#include <LzmaDec.h>
#include <LzmaEnc.h>

#include <norva/core/compress.hpp>
#include <norva/core/exception.hpp>

#include "sdk.hpp"

namespace norva::lzma
{
    u64 bound(u64 size)
    {
        return size * 3 / 2 + 16384;
    }

    u64 compress(Memory dest, ConstMemory source, int level)
    {
        if (dest.size < LZMA_PROPS_SIZE)
        {
            // what the encoder itself reports for a destination that is too small
            NORVA_THROW("norva::lzma::compress", "[lzma] %s", detail::sdkErrorText(SZ_ERROR_OUTPUT_EOF));
        }

        CLzmaEncProps props;
        LzmaEncProps_Init(&props);
        props.level = std::clamp(level - 1, 0, 9);
        props.dictSize = 2048u << props.level;
        props.lc = 3;
        props.pb = 2;
        props.fb = 32;
        props.numThreads = 1;

        SizeT written = dest.size - LZMA_PROPS_SIZE;
        SizeT propsSize = LZMA_PROPS_SIZE;
        SRes result = LzmaEncode(dest.address + LZMA_PROPS_SIZE, &written, source.address, source.size,
            &props, dest.address, &propsSize, 0, nullptr, detail::sdkAllocator(), detail::sdkAllocator());
        if (result != SZ_OK)
        {
            NORVA_THROW("norva::lzma::compress", "[lzma] %s", detail::sdkErrorText(result));
        }
        return LZMA_PROPS_SIZE + written;
    }

    void decompress(Memory dest, ConstMemory source)
    {
        if (source.size < LZMA_PROPS_SIZE)
        {
            NORVA_THROW("norva::lzma::decompress", "[lzma] %s", detail::sdkErrorText(SZ_ERROR_INPUT_EOF));
        }

        // The one-shot decoder uses the destination as its window: the dictionary size
        // in the header allocates nothing, so a hostile header cannot ask for gigabytes.
        SizeT written = dest.size;
        SizeT consumed = source.size - LZMA_PROPS_SIZE;
        ELzmaStatus status;
        SRes result = LzmaDecode(dest.address, &written, source.address + LZMA_PROPS_SIZE, &consumed,
            source.address, LZMA_PROPS_SIZE, LZMA_FINISH_ANY, &status, detail::sdkAllocator());
        if (result != SZ_OK)
        {
            NORVA_THROW("norva::lzma::decompress", "[lzma] %s", detail::sdkErrorText(result));
        }

        // A stream with an end marker stops early without an error; a destination smaller
        // than the content takes its prefix.
        if (written != dest.size)
        {
            NORVA_THROW("norva::lzma::decompress", "[lzma] %s", detail::sdkErrorText(SZ_ERROR_INPUT_EOF));
        }
    }

} // namespace norva::lzma
