// "lzma2": 1 LZMA2 dictionary byte, then an LZMA2 stream (LZMA SDK).

#include <Lzma2Dec.h>
#include <Lzma2Enc.h>

#include <norva/core/compress.hpp>
#include <norva/core/exception.hpp>

#include "sdk.hpp"

namespace norva::lzma2
{
    u64 bound(u64 size)
    {
        return size * 3 / 2 + 16384;
    }

    u64 compress(Memory dest, ConstMemory source, int)
    {
        if (!dest.size)
        {
            NORVA_THROW("norva::lzma2::compress", "[lzma2] %s", detail::sdkErrorText(SZ_ERROR_OUTPUT_EOF));
        }

        CLzma2EncProps props;
        Lzma2EncProps_Init(&props);
        // The default 32 MiB dictionary costs hundreds of MiB of match finder per call;
        // telling the encoder the source size shrinks it to what the block can use.
        props.lzmaProps.reduceSize = source.size;
        props.lzmaProps.numThreads = 1;
        props.numBlockThreads_Max = 1;
        props.numTotalThreads = 1;
        Lzma2EncProps_Normalize(&props);

        CLzma2EncHandle encoder = Lzma2Enc_Create(detail::sdkAllocator(), detail::sdkAllocator());
        if (!encoder)
        {
            NORVA_THROW("norva::lzma2::compress", "[lzma2] %s", detail::sdkErrorText(SZ_ERROR_MEM));
        }

        size_t written = dest.size - 1;
        SRes result = Lzma2Enc_SetProps(encoder, &props);
        if (result == SZ_OK)
        {
            dest.address[0] = Lzma2Enc_WriteProperties(encoder);
            result = Lzma2Enc_Encode2(encoder, nullptr, dest.address + 1, &written,
                nullptr, source.address, source.size, nullptr);
        }
        Lzma2Enc_Destroy(encoder);

        if (result != SZ_OK)
        {
            NORVA_THROW("norva::lzma2::compress", "[lzma2] %s", detail::sdkErrorText(result));
        }
        return 1 + written;
    }

    void decompress(Memory dest, ConstMemory source)
    {
        if (!source.size)
        {
            NORVA_THROW("norva::lzma2::decompress", "[lzma2] %s", detail::sdkErrorText(SZ_ERROR_INPUT_EOF));
        }

        // the one-shot decoder uses the destination as its window (nothing sized by the
        // dictionary byte is allocated)
        SizeT written = dest.size;
        SizeT consumed = source.size - 1;
        ELzmaStatus status;
        SRes result = Lzma2Decode(dest.address, &written, source.address + 1, &consumed,
            source.address[0], LZMA_FINISH_ANY, &status, detail::sdkAllocator());
        if (result != SZ_OK)
        {
            NORVA_THROW("norva::lzma2::decompress", "[lzma2] %s", detail::sdkErrorText(result));
        }

        // the stream's end marker stops a short content without an error; a destination
        // smaller than the content takes its prefix
        if (written != dest.size)
        {
            NORVA_THROW("norva::lzma2::decompress", "[lzma2] %s", detail::sdkErrorText(SZ_ERROR_INPUT_EOF));
        }
    }

} // namespace norva::lzma2
