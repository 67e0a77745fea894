#pragma once

// The line fits the BC7 encoder ranks its partition shapes by: from a region's sums (texel
// count, the four channels and their ten pairwise products, as 16 ints) its total variance
// and the part of it along the principal axis. fitLines fits many regions over red, green
// and blue, one implementation per instruction set (scalar, SSE2 and AVX2 files, the same
// float operations in the same order, so all give the same fits bit for bit).

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

    // The red-green-blue fits of `count` regions, count a multiple of 4 (0 included): SSE2
    // fits four regions a step, AVX2 eight and then a last four. Exactly fits[0..count) are
    // written, and the padding of each LineFit may be.
    using Fitter = void (*)(const int (*sums)[16], int count, LineFit* fits);

    namespace scalar
    {
        void fitLines(const int (*sums)[16], int count, LineFit* fits);
    }
    namespace sse2
    {
        void fitLines(const int (*sums)[16], int count, LineFit* fits);
    }
    namespace avx2
    {
        void fitLines(const int (*sums)[16], int count, LineFit* fits);
    }

    // The fitter for a CPU with only cpuFlags (0 gives the scalar one): the tests' seam.
    Fitter getFitter(CPUFlags cpuFlags);

    // The fitter for this CPU, chosen once.
    Fitter fitter();

} // namespace norva::bc7lines
