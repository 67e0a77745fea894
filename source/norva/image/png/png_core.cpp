#include "png_core.hpp"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>

#include <libdeflate.h>

#include <norva/core/cpu.hpp>

#if defined(__SSE2__)
#include <emmintrin.h>
#include <tmmintrin.h>
#endif

// Only stb_image's zlib decoder is compiled here, with internal linkage, so that a program
// which also builds the whole of stb_image (the tests do) gets no duplicate symbols.
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#define STBI_ONLY_ZLIB
#define STBI_SUPPORT_ZLIB
#define STBI_NO_STDIO
#define STBI_NO_LINEAR
#define STBI_NO_HDR
#define STBI_NO_THREAD_LOCALS
#define STBI_ASSERT(x)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#include <stb/stb_image.h>
#pragma GCC diagnostic pop

namespace norva::png
{

    // ------------------------------------------------------------------------
    // chunks and buffers
    // ------------------------------------------------------------------------

    ChunkRead readChunk(const u8* p, const u8* end, Chunk& chunk)
    {
        if (p > end || size_t(end - p) < 12)
        {
            return ChunkRead::END;
        }
        const u32 size = readBE32(p);
        if (u64(size) > u64(end - p) - 12)
        {
            return ChunkRead::OVERRUN;
        }
        chunk.size = size;
        chunk.type = readBE32(p + 4);
        chunk.data = p + 8;
        chunk.next = p + 12 + size;
        return ChunkRead::OK;
    }

    void FreeDeleter::operator()(u8* p) const
    {
        std::free(p);
    }

    ByteBuffer allocateBuffer(u64 bytes, bool zeroed)
    {
        // the largest image (32768 x 32768 x 8 bytes and its filter bytes) stays below this
        constexpr u64 limit = u64(1) << 34;
        if (bytes > limit || bytes > u64(SIZE_MAX) / 2)
        {
            return nullptr;
        }
        // Large buffers are written once, front to back, right after allocation: on huge
        // pages that costs a few page faults instead of one every 4 KiB.
        constexpr u64 hugePage = u64(1) << 21;
        if (bytes >= 2 * hugePage)
        {
            const size_t size = size_t((bytes + hugePage - 1) & ~(hugePage - 1));
            void* p = nullptr;
            if (posix_memalign(&p, size_t(hugePage), size) != 0)
            {
                return nullptr;
            }
#if defined(MADV_HUGEPAGE)
            madvise(p, size, MADV_HUGEPAGE);
#endif
            if (zeroed)
            {
                std::memset(p, 0, size_t(bytes));
            }
            return ByteBuffer(static_cast<u8*>(p));
        }
        // 0 bytes may give null; one byte keeps "null" meaning "no memory"
        const size_t size = bytes ? size_t(bytes) : 1;
        return ByteBuffer(static_cast<u8*>(zeroed ? std::calloc(size, 1) : std::malloc(size)));
    }

    ByteBuffer allocateZeroed(u64 bytes)
    {
        return allocateBuffer(bytes, true);
    }

    // ------------------------------------------------------------------------
    // inflate
    // ------------------------------------------------------------------------

    namespace
    {
        InflateResult inflateSmall(ConstMemory compressed, u64 expected, ByteBuffer& output)
        {
            // stb takes int sizes; data of this length cannot inflate past INT_MAX anyway
            if (expected > u64(INT_MAX) || compressed.size > u64(INT_MAX))
            {
                return InflateResult::FAILED;
            }
            int length = 0;
            char* data = stbi_zlib_decode_malloc_guesssize_headerflag(
                reinterpret_cast<const char*>(compressed.address), int(compressed.size),
                expected ? int(expected) : 1, &length, 1);
            if (!data)
            {
                return InflateResult::FAILED;
            }
            if (u64(length) != expected)
            {
                STBI_FREE(data);
                return InflateResult::FAILED;
            }
            // stb allocates with malloc, which FreeDeleter releases
            output.reset(reinterpret_cast<u8*>(data));
            return InflateResult::OK;
        }

        InflateResult inflateLarge(ConstMemory compressed, u64 expected, ByteBuffer& output)
        {
            // a successful inflate of exactly `expected` bytes writes every byte
            ByteBuffer buffer = allocateBuffer(expected, false);
            if (!buffer)
            {
                return InflateResult::OUT_OF_MEMORY;
            }
            libdeflate_decompressor* d = libdeflate_alloc_decompressor();
            if (!d)
            {
                return InflateResult::OUT_OF_MEMORY;
            }
            size_t actual = 0;
            libdeflate_result r = libdeflate_zlib_decompress(d, compressed.address, size_t(compressed.size),
                                                             buffer.get(), size_t(expected), &actual);
            libdeflate_free_decompressor(d);
            if (r != LIBDEFLATE_SUCCESS || actual != expected)
            {
                return InflateResult::FAILED;
            }
            output = std::move(buffer);
            return InflateResult::OK;
        }

    } // namespace

    InflateResult inflateZlib(ConstMemory compressed, u64 expected, ByteBuffer& output)
    {
        if (compressed.size <= smallInflateLimit)
        {
            return inflateSmall(compressed, expected, output);
        }
        return inflateLarge(compressed, expected, output);
    }

    // ------------------------------------------------------------------------
    // unfilter: scalar
    // ------------------------------------------------------------------------

    namespace
    {
        enum : u8
        {
            FILTER_NONE = 0,
            FILTER_SUB = 1,
            FILTER_UP = 2,
            FILTER_AVERAGE = 3,
            FILTER_PAETH = 4,
        };

        inline int paethPredictor(int a, int b, int c)
        {
            const int pa = std::abs(b - c);
            const int pb = std::abs(a - c);
            const int pc = std::abs(a + b - 2 * c);
            if (pa <= pb && pa <= pc)
            {
                return a;
            }
            return pb <= pc ? b : c;
        }

        void subGeneric(u8* x, size_t bytes, int bpp)
        {
            for (size_t i = size_t(bpp); i < bytes; ++i)
            {
                x[i] = u8(x[i] + x[i - bpp]);
            }
        }

        // The pixel size is a constant, so the compiler keeps the previous pixel in registers.
        template <int BPP>
        void subFixed(u8* x, size_t bytes)
        {
            for (size_t i = BPP; i + BPP <= bytes; i += BPP)
            {
                for (int k = 0; k < BPP; ++k)
                {
                    x[i + k] = u8(x[i + k] + x[i + k - BPP]);
                }
            }
        }

        void upScalar(u8* x, const u8* prior, size_t bytes)
        {
            for (size_t i = 0; i < bytes; ++i)
            {
                x[i] = u8(x[i] + prior[i]);
            }
        }

        void averageGeneric(u8* x, const u8* prior, size_t bytes, int bpp)
        {
            const size_t n = std::min(size_t(bpp), bytes);
            for (size_t i = 0; i < n; ++i)
            {
                x[i] = u8(x[i] + (prior[i] >> 1));
            }
            for (size_t i = n; i < bytes; ++i)
            {
                x[i] = u8(x[i] + ((x[i - bpp] + prior[i]) >> 1));
            }
        }

        void averageFirstRow(u8* x, size_t bytes, int bpp)
        {
            for (size_t i = size_t(bpp); i < bytes; ++i)
            {
                x[i] = u8(x[i] + (x[i - bpp] >> 1));
            }
        }

        void paethGeneric(u8* x, const u8* prior, size_t bytes, int bpp)
        {
            const size_t n = std::min(size_t(bpp), bytes);
            for (size_t i = 0; i < n; ++i)
            {
                x[i] = u8(x[i] + prior[i]);
            }
            for (size_t i = n; i < bytes; ++i)
            {
                x[i] = u8(x[i] + paethPredictor(x[i - bpp], prior[i], prior[i - bpp]));
            }
        }

        // One byte per pixel: the left and upper-left values stay in registers.
        void paeth1(u8* x, const u8* prior, size_t bytes)
        {
            if (!bytes)
            {
                return;
            }
            int a = x[0] = u8(x[0] + prior[0]);
            int c = prior[0];
            for (size_t i = 1; i < bytes; ++i)
            {
                const int b = prior[i];
                a = x[i] = u8(x[i] + paethPredictor(a, b, c));
                c = b;
            }
        }

        // ------------------------------------------------------------------------
        // unfilter: SSE2
        // ------------------------------------------------------------------------

#if defined(__SSE2__)

        void upSSE2(u8* x, const u8* prior, size_t bytes)
        {
            size_t i = 0;
            for (; i + 64 <= bytes; i += 64)
            {
                for (int k = 0; k < 64; k += 16)
                {
                    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x + i + k));
                    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(prior + i + k));
                    _mm_storeu_si128(reinterpret_cast<__m128i*>(x + i + k), _mm_add_epi8(a, b));
                }
            }
            for (; i + 16 <= bytes; i += 16)
            {
                __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x + i));
                __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(prior + i));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(x + i), _mm_add_epi8(a, b));
            }
            upScalar(x + i, prior + i, bytes - i);
        }

        // Pixels of 3 to 8 bytes travel in the low half of a register. Pixels of 3 and 6
        // bytes are loaded as 4 and 8 (the extra bytes, of the next pixel, are masked off)
        // and stored as exactly 3 and 6: a wide store would overlap the next pixel's load
        // and defeat store forwarding. The last pixel of a row loads exactly BPP bytes, so
        // nothing past the row is read.
        template <int BPP>
        struct Wide
        {
            static constexpr int bytes = BPP == 3 ? 4 : (BPP == 6 ? 8 : BPP);
        };

        template <int N>
        inline __m128i loadBytes(const u8* p)
        {
            if constexpr (N == 4)
            {
                u32 v;
                std::memcpy(&v, p, 4);
                return _mm_cvtsi32_si128(int(v));
            }
            else if constexpr (N == 8)
            {
                return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
            }
            else
            {
                u64 v = 0;
                std::memcpy(&v, p, N);
                return _mm_cvtsi64_si128(s64(v));
            }
        }

        template <int N>
        inline void storeBytes(u8* p, __m128i v)
        {
            if constexpr (N == 4)
            {
                const u32 w = u32(_mm_cvtsi128_si32(v));
                std::memcpy(p, &w, 4);
            }
            else if constexpr (N == 8)
            {
                _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v);
            }
            else
            {
                const u64 w = u64(_mm_cvtsi128_si64(v));
                std::memcpy(p, &w, N);
            }
        }

        // the bytes of one pixel set, the rest clear
        template <int BPP>
        inline __m128i pixelMask()
        {
            return _mm_cvtsi64_si128(s64(BPP == 8 ? ~0ull : (1ull << (BPP * 8)) - 1));
        }

        template <int BPP>
        inline __m128i averagePredictor(__m128i a, __m128i b)
        {
            // (a + b) >> 1 from the rounding-up average
            const __m128i one = _mm_set1_epi8(1);
            return _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), one));
        }

        template <int BPP>
        void subSSE2(u8* x, size_t bytes)
        {
            constexpr int W = Wide<BPP>::bytes;
            const __m128i mask = pixelMask<BPP>();
            __m128i a = _mm_setzero_si128();
            size_t i = 0;
            for (; i + W <= bytes; i += BPP)
            {
                a = _mm_and_si128(_mm_add_epi8(loadBytes<W>(x + i), a), mask);
                storeBytes<BPP>(x + i, a);
            }
            for (; i + BPP <= bytes; i += BPP)
            {
                a = _mm_add_epi8(loadBytes<BPP>(x + i), a);
                storeBytes<BPP>(x + i, a);
            }
            for (; i < bytes; ++i)
            {
                x[i] = u8(x[i] + (i >= BPP ? x[i - BPP] : 0));
            }
        }

        template <int BPP>
        void averageSSE2(u8* x, const u8* prior, size_t bytes)
        {
            constexpr int W = Wide<BPP>::bytes;
            const __m128i mask = pixelMask<BPP>();
            __m128i a = _mm_setzero_si128();
            size_t i = 0;
            for (; i + W <= bytes; i += BPP)
            {
                const __m128i pred = _mm_and_si128(averagePredictor<BPP>(a, loadBytes<W>(prior + i)), mask);
                a = _mm_and_si128(_mm_add_epi8(loadBytes<W>(x + i), pred), mask);
                storeBytes<BPP>(x + i, a);
            }
            for (; i + BPP <= bytes; i += BPP)
            {
                a = _mm_add_epi8(loadBytes<BPP>(x + i), averagePredictor<BPP>(a, loadBytes<BPP>(prior + i)));
                storeBytes<BPP>(x + i, a);
            }
            // a row is a whole number of pixels; this only guards a malformed row length
            for (; i < bytes; ++i)
            {
                x[i] = u8(x[i] + (((i >= BPP ? x[i - BPP] : 0) + prior[i]) >> 1));
            }
        }

        inline __m128i abs16(__m128i v)
        {
            return _mm_max_epi16(v, _mm_sub_epi16(_mm_setzero_si128(), v));
        }

        // a when pa <= pb and pa <= pc; else b when pb <= pc; else c (16-bit lanes)
        inline __m128i paethPredictor16(__m128i a, __m128i b, __m128i c)
        {
            const __m128i bc = _mm_sub_epi16(b, c);
            const __m128i ac = _mm_sub_epi16(a, c);
            const __m128i pa = abs16(bc);
            const __m128i pb = abs16(ac);
            const __m128i pc = abs16(_mm_add_epi16(bc, ac));
            const __m128i notA = _mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc));
            const __m128i notB = _mm_cmpgt_epi16(pb, pc);
            const __m128i bOrC = _mm_or_si128(_mm_andnot_si128(notB, b), _mm_and_si128(notB, c));
            return _mm_or_si128(_mm_andnot_si128(notA, a), _mm_and_si128(notA, bOrC));
        }

        template <int BPP>
        void paethSSE2(u8* x, const u8* prior, size_t bytes)
        {
            constexpr int W = Wide<BPP>::bytes;
            const __m128i zero = _mm_setzero_si128();
            const __m128i mask = pixelMask<BPP>();
            __m128i a = zero;    // left, 16-bit lanes
            __m128i c = zero;    // upper left
            size_t i = 0;
            for (; i + W <= bytes; i += BPP)
            {
                const __m128i b = _mm_unpacklo_epi8(_mm_and_si128(loadBytes<W>(prior + i), mask), zero);
                const __m128i pred = paethPredictor16(a, b, c);
                const __m128i value = _mm_and_si128(_mm_add_epi8(loadBytes<W>(x + i), _mm_packus_epi16(pred, zero)), mask);
                storeBytes<BPP>(x + i, value);
                a = _mm_unpacklo_epi8(value, zero);
                c = b;
            }
            for (; i + BPP <= bytes; i += BPP)
            {
                const __m128i b = _mm_unpacklo_epi8(loadBytes<BPP>(prior + i), zero);
                const __m128i pred = paethPredictor16(a, b, c);
                const __m128i value = _mm_add_epi8(loadBytes<BPP>(x + i), _mm_packus_epi16(pred, zero));
                storeBytes<BPP>(x + i, value);
                a = _mm_unpacklo_epi8(value, zero);
                c = b;
            }
            for (; i < bytes; ++i)
            {
                x[i] = u8(x[i] + (i >= BPP ? paethPredictor(x[i - BPP], prior[i], prior[i - BPP]) : prior[i]));
            }
        }

#endif

        bool useSSSE3(Kernels kernels)
        {
#if defined(__SSE2__)
            if (kernels == Kernels::SIMD)
            {
                return true;
            }
            if (kernels == Kernels::BEST)
            {
                static const bool ssse3 = (getCPUFlags() & CPU_SSSE3) != 0;
                return ssse3;
            }
#else
            (void)kernels;
#endif
            return false;
        }

#if defined(__SSE2__)
        __attribute__((target("ssse3"))) size_t expandRGB8SSSE3(u8* dest, const u8* src, size_t width)
        {
            // 4 pixels from 12 bytes; the load reads 16, so stop while 4 bytes remain behind
            const __m128i shuffle = _mm_setr_epi8(2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1);
            const __m128i alpha = _mm_set1_epi32(int(0xFF000000u));
            size_t x = 0;
            for (; x + 6 <= width; x += 4)
            {
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + x * 3));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(dest + x * 4), _mm_or_si128(_mm_shuffle_epi8(v, shuffle), alpha));
            }
            return x;
        }

        __attribute__((target("ssse3"))) size_t expandRGBA8SSSE3(u8* dest, const u8* src, size_t width)
        {
            const __m128i shuffle = _mm_setr_epi8(2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15);
            size_t x = 0;
            for (; x + 4 <= width; x += 4)
            {
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + x * 4));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(dest + x * 4), _mm_shuffle_epi8(v, shuffle));
            }
            return x;
        }
#endif

        bool useSIMD(Kernels kernels)
        {
#if defined(__SSE2__)
            if (kernels == Kernels::SIMD)
            {
                return true;
            }
            if (kernels == Kernels::BEST)
            {
                static const bool sse2 = (getCPUFlags() & CPU_SSE2) != 0;
                return sse2;
            }
#else
            (void)kernels;
#endif
            return false;
        }

        void sub(u8* x, size_t bytes, int bpp, bool simd)
        {
#if defined(__SSE2__)
            if (simd)
            {
                switch (bpp)
                {
                    case 3: subSSE2<3>(x, bytes); return;
                    case 4: subSSE2<4>(x, bytes); return;
                    case 6: subSSE2<6>(x, bytes); return;
                    case 8: subSSE2<8>(x, bytes); return;
                    default: break;
                }
            }
#endif
            (void)simd;
            switch (bpp)
            {
                case 3: subFixed<3>(x, bytes); break;
                case 4: subFixed<4>(x, bytes); break;
                case 6: subFixed<6>(x, bytes); break;
                case 8: subFixed<8>(x, bytes); break;
                default: subGeneric(x, bytes, bpp); break;
            }
            // a malformed row length leaves a partial pixel that the fixed forms skip
            if (bpp > 1 && bytes > size_t(bpp) && bytes % size_t(bpp))
            {
                const size_t start = bytes - bytes % size_t(bpp);
                for (size_t i = start; i < bytes; ++i)
                {
                    x[i] = u8(x[i] + x[i - bpp]);
                }
            }
        }

        void up(u8* x, const u8* prior, size_t bytes, bool simd)
        {
#if defined(__SSE2__)
            if (simd)
            {
                upSSE2(x, prior, bytes);
                return;
            }
#endif
            (void)simd;
            upScalar(x, prior, bytes);
        }

        void average(u8* x, const u8* prior, size_t bytes, int bpp, bool simd)
        {
#if defined(__SSE2__)
            if (simd)
            {
                switch (bpp)
                {
                    case 3: averageSSE2<3>(x, prior, bytes); return;
                    case 4: averageSSE2<4>(x, prior, bytes); return;
                    case 6: averageSSE2<6>(x, prior, bytes); return;
                    case 8: averageSSE2<8>(x, prior, bytes); return;
                    default: break;
                }
            }
#endif
            (void)simd;
            averageGeneric(x, prior, bytes, bpp);
        }

        void paeth(u8* x, const u8* prior, size_t bytes, int bpp, bool simd)
        {
#if defined(__SSE2__)
            if (simd)
            {
                switch (bpp)
                {
                    case 3: paethSSE2<3>(x, prior, bytes); return;
                    case 4: paethSSE2<4>(x, prior, bytes); return;
                    case 6: paethSSE2<6>(x, prior, bytes); return;
                    case 8: paethSSE2<8>(x, prior, bytes); return;
                    default: break;
                }
            }
#endif
            (void)simd;
            if (bpp == 1)
            {
                paeth1(x, prior, bytes);
            }
            else
            {
                paethGeneric(x, prior, bytes, bpp);
            }
        }

    } // namespace

    void unfilterRow(u8* row, const u8* prior, size_t bytes, int bpp, Kernels kernels)
    {
        if (bpp < 1 || bpp > 8)
        {
            return;
        }
        u8* x = row + 1;
        const bool simd = useSIMD(kernels);
        switch (row[0])
        {
            case FILTER_SUB:
                sub(x, bytes, bpp, simd);
                break;
            case FILTER_UP:
                if (prior)
                {
                    up(x, prior, bytes, simd);
                }
                break;
            case FILTER_AVERAGE:
                if (prior)
                {
                    average(x, prior, bytes, bpp, simd);
                }
                else
                {
                    averageFirstRow(x, bytes, bpp);
                }
                break;
            case FILTER_PAETH:
                // above a zero row the predictor is always the left pixel
                if (prior)
                {
                    paeth(x, prior, bytes, bpp, simd);
                }
                else
                {
                    sub(x, bytes, bpp, simd);
                }
                break;
            default:
                break;
        }
    }

    void expandRGB8(u8* dest, const u8* src, size_t width, Kernels kernels)
    {
        size_t x = 0;
#if defined(__SSE2__)
        if (useSSSE3(kernels))
        {
            x = expandRGB8SSSE3(dest, src, width);
        }
#endif
        for (; x < width; ++x)
        {
            const u32 c = 0xFF000000u | (u32(src[x * 3]) << 16) | (u32(src[x * 3 + 1]) << 8) | src[x * 3 + 2];
            std::memcpy(dest + x * 4, &c, 4);
        }
    }

    void expandRGBA8(u8* dest, const u8* src, size_t width, Kernels kernels)
    {
        size_t x = 0;
#if defined(__SSE2__)
        if (useSSSE3(kernels))
        {
            x = expandRGBA8SSSE3(dest, src, width);
        }
#endif
        for (; x < width; ++x)
        {
            const u32 c = (u32(src[x * 4 + 3]) << 24) | (u32(src[x * 4]) << 16) | (u32(src[x * 4 + 1]) << 8) | src[x * 4 + 2];
            std::memcpy(dest + x * 4, &c, 4);
        }
    }

    void unfilterScanlines(u8* data, size_t bytes, size_t rows, int bpp, Kernels kernels)
    {
        const u8* prior = nullptr;
        for (size_t y = 0; y < rows; ++y)
        {
            u8* row = data + y * (bytes + 1);
            unfilterRow(row, prior, bytes, bpp, kernels);
            prior = row + 1;
        }
    }

} // namespace norva::png
