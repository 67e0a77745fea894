#pragma once

// The line fits the BC7 encoder ranks its partition shapes by: from a region's sums (texel
// count, the four channels and their ten pairwise products, as 16 ints) its total variance
// and the part of it along the principal axis. fitLines fits many regions over red, green
// and blue, fitShapes every region of the partition shapes of a block from its row sums
// (over red, green and blue or all four channels);
// one implementation per instruction set (scalar, SSE2 and AVX2 files, the same float
// operations in the same order on the same integer sums, so all give the same fits bit for
// bit). The AVX2 one adds up the region sums in its lanes, one lane per shape, instead of
// writing them out and transposing them.

#include <cstring>

#include <norva/core/configure.hpp>
#include <norva/core/cpu.hpp>

namespace norva::bc7lines
{
    // position of the product of channels c and d in a region's sums
    constexpr int productIndex[4][4] = {
        { 5, 6, 7, 8 },
        { 6, 9, 10, 11 },
        { 7, 10, 12, 13 },
        { 8, 11, 13, 14 },
    };

    // A region's spread over some channels: its total variance (times the count) and
    // the part of it along the principal axis. (No member initialisers: the encoder keeps
    // hundreds of these a block and fills the ones it reads.)
    struct LineFit
    {
        int count;
        float total;
        float major;
        bool flat; // every texel the same colour over these channels
    };

    // The line fit over the channels of `channels` of one region's sums.
    template <int N>
    inline LineFit fitLine(const int* sums, const int* channels)
    {
        LineFit fit { sums[0], 0.0f, 0.0f, true };
        if (fit.count <= 1)
            return fit;
        const float inverse = 1.0f / float(fit.count);
        float cov[N][N];
        for (int i = 0; i < N; ++i)
            for (int j = i; j < N; ++j)
            {
                const int ci = channels[i];
                const int cj = channels[j];
                cov[i][j] = cov[j][i] =
                    float(sums[productIndex[ci][cj]]) - float(sums[1 + ci]) * float(sums[1 + cj]) * inverse;
            }
        int widest = 0;
        for (int i = 0; i < N; ++i)
        {
            fit.total += cov[i][i];
            widest = cov[i][i] > cov[widest][widest] ? i : widest;
        }
        for (int i = 0; i < N; ++i)
        {
            // integer sums: a channel is flat exactly when count * sum of squares = sum^2
            const int c = channels[i];
            fit.flat = fit.flat && s64(sums[productIndex[c][c]]) * fit.count == s64(sums[1 + c]) * sums[1 + c];
        }
        if (fit.count == 2 || !(fit.total > 0.0f))
        {
            // two texels: the endpoints can sit on them
            fit.total = fit.total > 0.0f ? fit.total : 0.0f;
            fit.major = fit.total;
            return fit;
        }
        // The spread along the principal axis, taken as the Rayleigh quotient of the
        // widest channel's covariance row: never above the true one and close enough to
        // rank shapes (power-iteration steps gained nothing measurable on photographs).
        float v[N];
        for (int i = 0; i < N; ++i)
            v[i] = cov[widest][i];
        float vv = 0.0f;
        float vcv = 0.0f;
        for (int i = 0; i < N; ++i)
        {
            float w = 0.0f;
            for (int j = 0; j < N; ++j)
                w += cov[i][j] * v[j];
            vv += v[i] * v[i];
            vcv += v[i] * w;
        }
        const float major = vv > 0.0f ? vcv / vv : 0.0f;
        fit.major = major < fit.total ? major : fit.total;
        return fit;
    }

    // The red-green-blue fits of `count` regions, count a multiple of 4 (0 included; SSE2
    // fits four regions a step). Exactly fits[0..count) are written, and the padding of each
    // LineFit may be.
    using Fitter = void (*)(const int (*sums)[16], int count, LineFit* fits);

    // The fits over red, green and blue (channels 3) or over all four (channels 4) of every
    // region of `shapes` partition shapes of one block (shapes a multiple of 8), from the
    // block's sums: rows[r][subset] those of the texels 4r + i of row r whose bit i is set in
    // subset (rows[r][0] all zeros), whole those of all sixteen. masks holds for each shape
    // the texel masks of its regions 1 to regions - 1 (regions 2 or 3; region 0 is the rest),
    // and the fits go to fits[shape * regions + region]: those fitLine<channels> gives on each
    // region's sums, bit for bit.
    using ShapeFitter = void (*)(const int (*rows)[16][16], const int* whole, const u16* masks, int regions, int shapes,
                                 int channels, LineFit* fits);

    // The sums of the texels of `mask` from the row subset sums (as a ShapeFitter takes them).
    inline void maskSums(const int (*rows)[16][16], unsigned mask, int* sums)
    {
        const int* r0 = rows[0][mask & 15];
        const int* r1 = rows[1][(mask >> 4) & 15];
        const int* r2 = rows[2][(mask >> 8) & 15];
        const int* r3 = rows[3][(mask >> 12) & 15];
        for (int k = 0; k < 16; ++k)
            sums[k] = r0[k] + r1[k] + r2[k] + r3[k];
    }

    // A ShapeFitter through a Fitter (fitLine<4> for four channels): each region's sums
    // written out, up to 64 shapes a call.
    inline void fitShapesThrough(Fitter fitter, const int (*rows)[16][16], const int* whole, const u16* masks,
                                 int regions, int shapes, int channels, LineFit* fits)
    {
        int all[16];
        std::memcpy(all, whole, sizeof all);
        for (int first = 0; first < shapes; first += 64)
        {
            const int count = shapes - first < 64 ? shapes - first : 64;
            int sums[64 * 3][16];
            for (int s = 0; s < count; ++s)
            {
                int zero[16];
                std::memcpy(zero, all, sizeof zero);
                for (int j = 1; j < regions; ++j)
                {
                    int region[16];
                    maskSums(rows, masks[(first + s) * (regions - 1) + j - 1], region);
                    for (int k = 0; k < 16; ++k)
                        zero[k] -= region[k];
                    std::memcpy(sums[s * regions + j], region, sizeof region);
                }
                std::memcpy(sums[s * regions], zero, sizeof zero);
            }
            if (channels == 3)
            {
                fitter(sums, count * regions, fits + first * regions);
                continue;
            }
            static constexpr int rgba[4] = { 0, 1, 2, 3 };
            for (int n = 0; n < count * regions; ++n)
                fits[first * regions + n] = fitLine<4>(sums[n], rgba);
        }
    }

    namespace scalar
    {
        void fitLines(const int (*sums)[16], int count, LineFit* fits);
        void fitShapes(const int (*rows)[16][16], const int* whole, const u16* masks, int regions, int shapes,
                       int channels, LineFit* fits);
    }
    namespace sse2
    {
        void fitLines(const int (*sums)[16], int count, LineFit* fits);
        void fitShapes(const int (*rows)[16][16], const int* whole, const u16* masks, int regions, int shapes,
                       int channels, LineFit* fits);
    }
    namespace avx2
    {
        void fitShapes(const int (*rows)[16][16], const int* whole, const u16* masks, int regions, int shapes,
                       int channels, LineFit* fits);
    }

    // The fitters for a CPU with only cpuFlags (0 gives the scalar ones): the tests' seam.
    Fitter getFitter(CPUFlags cpuFlags);
    ShapeFitter getShapeFitter(CPUFlags cpuFlags);

    // The shape fitter for this CPU, chosen once (the encoder fits its regions through it;
    // the Fitters serve the scalar and SSE2 shape fitters and the tests).
    ShapeFitter shapeFitter();

} // namespace norva::bc7lines
