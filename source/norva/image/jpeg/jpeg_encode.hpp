#pragma once

// Internals of the JPEG encoder: the block readers, the forward DCT kernels, the encoder
// object and the settings tests and the benchmark change. Only the encoder's own files and
// its tests include this.

#include <norva/core/cpu.hpp>
#include <norva/core/stream.hpp>
#include <norva/core/thread.hpp>
#include <norva/image/decoder.hpp>
#include <norva/image/jpeg.hpp>
#include <norva/image/surface.hpp>

#include "jpeg_private.hpp"

namespace norva::jpeg
{
    // ----------------------------------------------------------------------
    // Kernels
    // ----------------------------------------------------------------------

    // Fills up to three planes of 64 level-shifted samples (Y, then Cb and Cr for colour,
    // row by row) from the columns x rows pixels at image; a clipped block repeats its
    // last column to the right and its last row downward.
    using ReadBlockFunc = void (*)(s16* planes, const u8* image, ptrdiff_t stride, int columns, int rows);

    void readBlockY(s16* planes, const u8* image, ptrdiff_t stride, int columns, int rows);
    void readBlockBGR(s16* planes, const u8* image, ptrdiff_t stride, int columns, int rows);
    void readBlockRGB(s16* planes, const u8* image, ptrdiff_t stride, int columns, int rows);
    void readBlockBGRA(s16* planes, const u8* image, ptrdiff_t stride, int columns, int rows);
    void readBlockRGBA(s16* planes, const u8* image, ptrdiff_t stride, int columns, int rows);

    // whole 8x8 blocks only
    void readBlockY_SSE2(s16* planes, const u8* image, ptrdiff_t stride, int columns, int rows);
    void readBlockBGRA_SSE2(s16* planes, const u8* image, ptrdiff_t stride, int columns, int rows);
    void readBlockRGBA_SSE2(s16* planes, const u8* image, ptrdiff_t stride, int columns, int rows);

    // Forward DCT and quantisation: 64 level-shifted samples in, 64 quantised coefficients
    // out in natural order, each (c * reciprocal + 16384) >> 15. Returns the mask of the
    // non-zero coefficients, bit i for natural index i. Reciprocals are 32768 / q for
    // quantisers q >= 2, so at most 16384. The scalar twin gives the same coefficients as
    // the SSE2 kernel.
    using ForwardDctFunc = u64 (*)(s16* dest, const s16* samples, const u16* reciprocal);

    u64 fdctInteger(s16* dest, const s16* samples, const u16* reciprocal);
    u64 fdctSSE2(s16* dest, const s16* samples, const u16* reciprocal);

    struct EncoderKernels
    {
        ForwardDctFunc fdct = fdctInteger;
        ReadBlockFunc fast = nullptr;       // whole 8x8 blocks
        ReadBlockFunc generic = nullptr;    // clipped blocks (and whole ones without a SIMD reader)
        const char* dctName = "";
        const char* readerName = "";        // the SIMD reader's name, empty without one
    };

    // The one place where the CPU flags choose the encoder's code; tests pass 0 for the
    // scalar twins.
    EncoderKernels selectEncoderKernels(Sample sample, CPUFlags flags);

    // ----------------------------------------------------------------------
    // The encoder object
    // ----------------------------------------------------------------------

    // The table scale of a quality in 0..1: 8 * t^11 with t = 2 - quality, in single
    // precision (8 for quality 1, 16384 for quality 0).
    int qualityScale(float quality);

    // Where the rows are coded and with which code. Tests and the benchmark change these.
    struct EncodeSettings
    {
        ThreadPool* pool = nullptr;     // null: the library's pool
        bool serial = false;            // every row on the calling thread, no pool
        CPUFlags flags = getCPUFlags();
    };

    class Encoder : private NonCopyable
    {
    public:
        Encoder(Sample sample, int width, int height, ptrdiff_t stride, float quality,
                CPUFlags flags = getCPUFlags());

        // scale: the table scale of qualityScale()
        void setQuality(int scale);

        // Writes the whole file for the pixels at image. Throws what the stream throws and
        // std::bad_alloc; the caller turns them into a status.
        void encode(Stream& stream, const u8* image, const EncodeSettings& settings);

        std::string info() const;

        // the DQT contents, zig-zag order: 0 luminance, 1 chrominance
        const u8* quantizationTable(int table) const { return m_dqt[table]; }

    private:
        struct Row;
        void encodeRow(Row& row, const u8* image, int y) const;
        void writeMarkers(Stream& stream) const;

        int m_width;
        int m_height;
        ptrdiff_t m_stride;
        int m_components;
        int m_mcusPerRow;
        int m_mcuRows;
        int m_lastMcuWidth;
        int m_lastMcuHeight;
        int m_mcuStep;
        EncoderKernels m_kernels;

        u8 m_dqt[2][64];
        alignas(64) u16 m_reciprocal[2][64];
    };

    // encodeImage with the settings given.
    ImageEncodeStatus encodeImage(Stream& stream, const Surface& surface, float quality,
                                  const EncodeSettings& settings);

} // namespace norva::jpeg
