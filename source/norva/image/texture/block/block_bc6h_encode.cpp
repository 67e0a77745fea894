// BC6H block encoder, unsigned and signed. Texels are compared as the integers of their
// half floats (a sign and the 15 bits of exponent and mantissa), the space the format
// interpolates in, so errors weigh every exposure alike. All 14 modes are tried in table
// order; two-region modes rank their 32 shapes by a cheap fit and refine the best quarter:
// endpoints quantised to the mode's base precision, indices assigned, each endpoint channel
// moved by halving steps, and the result kept when its deltas fit the mode's fields. The
// smallest error wins; ties keep the earlier candidate, so the result depends only on the
// texels.

#include <cstdint>
#include <cstring>
#include <utility>

#include "block_bptc.hpp"
#include "block_codecs.hpp"
#include "block_region.hpp"

namespace norva
{
    namespace
    {
        using bptc::BC6HMode;

        constexpr s64 noError = INT64_MAX;

        struct Texels
        {
            float input[16][4]; // finite floats within the half range, for the rough fit
            int value[16][3];   // the half integers the error is measured on
            bool isSigned;
        };

        struct Region
        {
            u8 list[16];
            int count = 0;
        };

        // endpoints[region][A or B][channel], at the mode's base precision, untransformed
        using Endpoints = int[2][2][3];

        struct Attempt
        {
            Endpoints endpoints;
            u8 index[16];
            s64 regionError[2];
        };

        int floatToBC6HInt(float value, bool isSigned)
        {
            u32 bits;
            std::memcpy(&bits, &value, 4);
            const u32 sign = bits & 0x80000000u;
            bits &= 0x7FFFFFFFu;
            u32 half;
            if (bits >= 0x7F800000u)
            {
                half = 0x7C00u | ((bits >> 13) & 0x3FFu);
            }
            else
            {
                // rebias into the half's exponent range, rounding half-up and saturating to
                // infinity; the multiply handles the half's subnormals
                float f;
                const u32 cleared = bits & ~0xFFFu;
                std::memcpy(&f, &cleared, 4);
                f *= 1.92592994e-34f; // 2^-112
                std::memcpy(&bits, &f, 4);
                bits += 0x1000u;
                half = (bits < 0x0F800000u ? bits : 0x0F800000u) >> 13;
            }
            if (isSigned)
            {
                const int magnitude = half < 0x7BFFu ? int(half) : 0x7BFF;
                return sign ? -magnitude : magnitude;
            }
            return sign ? 0 : int(half);
        }

        void makeRegions(Region* regions, int count, int shape)
        {
            const u8* partition = bptcPartitions[count - 1][shape].data();
            for (int i = 0; i < 16; ++i)
            {
                Region& r = regions[partition[i]];
                r.list[r.count++] = u8(i);
            }
        }

        int anchorOf(int regions, int shape, int region)
        {
            return region == 0 ? 0 : regions == 2 ? bptcAnchor2[shape] : 0;
        }

        // Smallest squared distance from the texel to the palette; the entries lie on a
        // line, so the search stops at the first one that is worse than the best so far.
        s64 nearestEntry(const int* texel, const int (*palette)[3], int count, int& index)
        {
            s64 best = noError;
            index = 0;
            for (int j = 0; j < count && best > 0; ++j)
            {
                s64 error = 0;
                for (int c = 0; c < 3; ++c)
                {
                    const s64 d = s64(texel[c]) - palette[j][c];
                    error += d * d;
                }
                if (error > best)
                    break;
                if (error < best)
                {
                    best = error;
                    index = j;
                }
            }
            return best;
        }

        // The decoder's values of a region's palette: unquantised, interpolated, finished.
        void paletteBC6H(int (*palette)[3], const BC6HMode& m, const int (*ends)[3], bool isSigned)
        {
            const int* weights = bptc::weightsFor(m.indexBits);
            for (int c = 0; c < 3; ++c)
            {
                const int precision = m.precision[0][c];
                const int a = bptc::unquantizeBC6H(ends[0][c], precision, isSigned);
                const int b = bptc::unquantizeBC6H(ends[1][c], precision, isSigned);
                for (int j = 0; j < (1 << m.indexBits); ++j)
                    palette[j][c] = bptc::finishBC6H(bptc::interpolate(a, b, weights[j]), isSigned);
            }
        }

        // The rough palette: entries interpolated straight from the half integers.
        s64 mapColorsBC6H(const BC6HMode& m, const Texels& t, const Region& region, const int (*ends)[3])
        {
            const int* weights = bptc::weightsFor(m.indexBits);
            int palette[16][3];
            for (int j = 0; j < (1 << m.indexBits); ++j)
                for (int c = 0; c < 3; ++c)
                    palette[j][c] = bptc::interpolate(ends[0][c], ends[1][c], weights[j]);
            s64 sum = 0;
            for (int i = 0; i < region.count; ++i)
            {
                int index;
                sum += nearestEntry(t.value[region.list[i]], palette, 1 << m.indexBits, index);
            }
            return sum;
        }

        // Half-integer endpoints of each region: the texel itself for one texel, the two
        // texels for two, else the float fit.
        void roughEndpointsBC6H(const BC6HMode& m, const Texels& t, const Region* regions, Endpoints& ends)
        {
            const int low = t.isSigned ? -0x7BFF : 0;
            for (int r = 0; r < m.regions; ++r)
            {
                const Region& region = regions[r];
                if (region.count <= 2)
                {
                    for (int c = 0; c < 3; ++c)
                    {
                        ends[r][0][c] = t.value[region.list[0]][c];
                        ends[r][1][c] = t.value[region.list[region.count - 1]][c];
                    }
                    continue;
                }
                float x[3];
                float y[3];
                optimizeRGBRegion(t.input, region.list, region.count, 4, x, y);
                for (int c = 0; c < 3; ++c)
                {
                    const int a = floatToBC6HInt(x[c], t.isSigned);
                    const int b = floatToBC6HInt(y[c], t.isSigned);
                    ends[r][0][c] = a < low ? low : a > 0x7BFF ? 0x7BFF : a;
                    ends[r][1][c] = b < low ? low : b > 0x7BFF ? 0x7BFF : b;
                }
            }
        }

        s64 roughErrorBC6H(const BC6HMode& m, const Texels& t, int shape)
        {
            Region regions[2];
            makeRegions(regions, m.regions, shape);
            Endpoints ends;
            roughEndpointsBC6H(m, t, regions, ends);
            s64 sum = 0;
            for (int r = 0; r < m.regions; ++r)
                sum += mapColorsBC6H(m, t, regions[r], ends[r]);
            return sum;
        }

        // A half integer to the base precision, the inverse of unquantizeBC6H and the finish
        // for every precision (16-bit endpoints too are stored scaled).
        void quantizeEndpointsBC6H(const BC6HMode& m, bool isSigned, Endpoints& ends)
        {
            for (int r = 0; r < m.regions; ++r)
                for (int e = 0; e < 2; ++e)
                    for (int c = 0; c < 3; ++c)
                    {
                        const int p = m.precision[0][c];
                        int& v = ends[r][e][c];
                        if (!isSigned)
                        {
                            const s64 q = (s64(v) << p) / 31744;
                            v = int(q < (s64(1) << p) - 1 ? q : (s64(1) << p) - 1);
                        }
                        else
                        {
                            const bool negative = v < 0;
                            const s64 q = (s64(negative ? -v : v) << (p - 1)) / 31744;
                            const int magnitude = int(q < (s64(1) << (p - 1)) - 1 ? q : (s64(1) << (p - 1)) - 1);
                            v = negative ? -magnitude : magnitude;
                        }
                    }
        }

        void assignIndicesBC6H(const BC6HMode& m, const Texels& t, const Region* regions, Attempt& attempt)
        {
            for (int r = 0; r < m.regions; ++r)
            {
                int palette[16][3];
                paletteBC6H(palette, m, attempt.endpoints[r], t.isSigned);
                s64 sum = 0;
                for (int i = 0; i < regions[r].count; ++i)
                {
                    const int texel = regions[r].list[i];
                    int index;
                    sum += nearestEntry(t.value[texel], palette, 1 << m.indexBits, index);
                    attempt.index[texel] = u8(index);
                }
                attempt.regionError[r] = sum;
            }
        }

        // An anchor index is stored without its top bit: a region whose anchor needs it swaps
        // its endpoints and mirrors its indices (the weights are symmetric).
        void swapIndicesBC6H(const BC6HMode& m, const Region* regions, int shape, Attempt& attempt)
        {
            const int top = (1 << m.indexBits) - 1;
            for (int r = 0; r < m.regions; ++r)
            {
                if (!(attempt.index[anchorOf(m.regions, shape, r)] >> (m.indexBits - 1)))
                    continue;
                std::swap(attempt.endpoints[r][0], attempt.endpoints[r][1]);
                for (int i = 0; i < regions[r].count; ++i)
                    attempt.index[regions[r].list[i]] = u8(top - attempt.index[regions[r].list[i]]);
            }
        }

        // The four stored endpoints (A0, B0, A1, B1), B0 onward as differences from A0 in the
        // transformed modes.
        void transformForward(const BC6HMode& m, const Endpoints& ends, int (*stored)[3])
        {
            for (int c = 0; c < 3; ++c)
                for (int e = 0; e < m.regions * 2; ++e)
                {
                    const int v = ends[e >> 1][e & 1][c];
                    stored[e][c] = (m.transformed && e) ? v - ends[0][0][c] : v;
                }
        }

        int bitsNeeded(int value, bool isSigned)
        {
            int bits = 0;
            if (value > 0)
            {
                for (int v = value; v; v >>= 1)
                    ++bits;
                return bits + (isSigned ? 1 : 0);
            }
            if (value < 0)
            {
                for (int v = value; v != -1; v >>= 1)
                    ++bits;
                return bits + 1;
            }
            return 0;
        }

        bool endpointsFitBC6H(const BC6HMode& m, bool isSigned, const int (*stored)[3])
        {
            for (int e = 0; e < m.regions * 2; ++e)
                for (int c = 0; c < 3; ++c)
                {
                    const bool signedField = e == 0 ? isSigned : (isSigned || m.transformed);
                    if (bitsNeeded(stored[e][c], signedField) > m.precision[e][c])
                        return false;
                }
            return true;
        }

        // The region's errors while one channel's endpoints move: per texel and palette
        // entry the part the other two channels give, so a candidate costs one channel's
        // palette. measure() is the region's error for a candidate pair, or noError once
        // it passes the bound.
        class ChannelErrorsBC6H
        {
        public:
            ChannelErrorsBC6H(const BC6HMode& m, const Texels& t, const Region& region, const int (*ends)[3],
                              int channel)
                : m(m), t(t), region(region), channel(channel), entries(1 << m.indexBits)
            {
                int palette[16][3];
                paletteBC6H(palette, m, ends, t.isSigned);
                for (int i = 0; i < region.count; ++i)
                {
                    const int* texel = t.value[region.list[i]];
                    value[i] = texel[channel];
                    for (int j = 0; j < entries; ++j)
                    {
                        s64 error = 0;
                        for (int c = 0; c < 3; ++c)
                        {
                            if (c == channel)
                                continue;
                            const s64 d = s64(texel[c]) - palette[j][c];
                            error += d * d;
                        }
                        other[i][j] = error;
                    }
                }
            }

            s64 measure(int a, int b, s64 bound) const
            {
                const int* weights = bptc::weightsFor(m.indexBits);
                const int precision = m.precision[0][channel];
                const int ua = bptc::unquantizeBC6H(a, precision, t.isSigned);
                const int ub = bptc::unquantizeBC6H(b, precision, t.isSigned);
                int palette[16];
                for (int j = 0; j < entries; ++j)
                    palette[j] = bptc::finishBC6H(bptc::interpolate(ua, ub, weights[j]), t.isSigned);
                s64 sum = 0;
                for (int i = 0; i < region.count; ++i)
                {
                    s64 best = noError;
                    for (int j = 0; j < entries && best > 0; ++j)
                    {
                        const s64 d = s64(value[i]) - palette[j];
                        const s64 error = other[i][j] + d * d;
                        if (error > best)
                            break;
                        best = error < best ? error : best;
                    }
                    sum += best;
                    if (sum > bound)
                        return noError;
                }
                return sum;
            }

        private:
            const BC6HMode& m;
            const Texels& t;
            const Region& region;
            int channel;
            int entries;
            int value[16] = {};
            s64 other[16][16];
        };

        s64 perturbEndpointBC6H(const BC6HMode& m, const Texels& t, const ChannelErrorsBC6H& errors, int (*ends)[3],
                                int which, int channel, s64 error)
        {
            const int p = m.precision[0][channel];
            // a signed endpoint keeps its magnitude below the top of its field
            const int low = t.isSigned ? -((1 << (p - 1)) - 1) : 0;
            const int high = t.isSigned ? (1 << (p - 1)) - 1 : (1 << p) - 1;
            int& value = ends[which][channel];
            for (int step = 1 << (p - 1); step > 0; step >>= 1)
            {
                const int start = value;
                int bestValue = start;
                for (const int candidate : { start - step, start + step })
                {
                    if (candidate < low || candidate > high)
                        continue;
                    value = candidate;
                    const s64 trial = errors.measure(ends[0][channel], ends[1][channel], error);
                    if (trial < error)
                    {
                        error = trial;
                        bestValue = candidate;
                    }
                }
                value = bestValue;
            }
            return error;
        }

        s64 optimizeRegionBC6H(const BC6HMode& m, const Texels& t, const Region& region, int (*ends)[3], s64 error)
        {
            for (int channel = 0; channel < 3; ++channel)
            {
                const ChannelErrorsBC6H errors(m, t, region, ends, channel);
                int tryA[2][3];
                int tryB[2][3];
                std::memcpy(tryA, ends, sizeof(tryA));
                std::memcpy(tryB, ends, sizeof(tryB));
                const s64 errorA = perturbEndpointBC6H(m, t, errors, tryA, 0, channel, error);
                const s64 errorB = perturbEndpointBC6H(m, t, errors, tryB, 1, channel, error);
                if (errorA >= error && errorB >= error)
                    continue;
                int which = errorB < errorA ? 1 : 0;
                std::memcpy(ends, which ? tryB : tryA, sizeof(tryA));
                error = which ? errorB : errorA;
                for (;;)
                {
                    which ^= 1;
                    const s64 trial = perturbEndpointBC6H(m, t, errors, ends, which, channel, error);
                    if (trial >= error)
                        break;
                    error = trial;
                }
            }
            return error;
        }

        void emitBlockBC6H(const BC6HMode& m, int shape, const int (*stored)[3], const u8* index, u8* output)
        {
            u8 block[16] = {};
            int position = 0;
            bptc::setBlockBits(block, position, m.value < 2 ? 2 : 5, u32(m.value));
            for (const bptc::BC6HRun& run : m.runs)
            {
                if (run.field == bptc::END)
                    break;
                const int field = run.field - bptc::RW;
                const u32 value = run.field == bptc::D ? u32(shape) : u32(stored[field & 3][field >> 2]);
                const int step = run.from <= run.to ? 1 : -1;
                for (int b = run.from;; b += step)
                {
                    bptc::setBlockBits(block, position, 1, value >> b);
                    if (b == run.to)
                        break;
                }
            }
            for (int i = 0; i < 16; ++i)
            {
                const bool anchor = bptcIsAnchor(m.regions, shape, i);
                bptc::setBlockBits(block, position, m.indexBits - (anchor ? 1 : 0), index[i]);
            }
            std::memcpy(output, block, 16);
        }

        // The full attempt at one shape; writes the block when it beats bestError.
        void refineBC6H(const BC6HMode& m, const Texels& t, int shape, s64& bestError, u8* output)
        {
            Region regions[2];
            makeRegions(regions, m.regions, shape);

            Attempt first;
            roughEndpointsBC6H(m, t, regions, first.endpoints);
            quantizeEndpointsBC6H(m, t.isSigned, first.endpoints);
            assignIndicesBC6H(m, t, regions, first);
            swapIndicesBC6H(m, regions, shape, first);

            int stored[4][3];
            transformForward(m, first.endpoints, stored);
            if (!endpointsFitBC6H(m, t.isSigned, stored))
                return;

            Attempt second = first;
            for (int r = 0; r < m.regions; ++r)
                optimizeRegionBC6H(m, t, regions[r], second.endpoints[r], second.regionError[r]);
            assignIndicesBC6H(m, t, regions, second);
            swapIndicesBC6H(m, regions, shape, second);

            s64 firstSum = 0;
            s64 secondSum = 0;
            for (int r = 0; r < m.regions; ++r)
            {
                firstSum += first.regionError[r];
                secondSum += second.regionError[r];
            }

            int optimized[4][3];
            transformForward(m, second.endpoints, optimized);
            if (endpointsFitBC6H(m, t.isSigned, optimized) && secondSum < firstSum && secondSum < bestError)
            {
                bestError = secondSum;
                emitBlockBC6H(m, shape, optimized, second.index, output);
            }
            else if (firstSum < bestError)
            {
                bestError = firstSum;
                emitBlockBC6H(m, shape, stored, first.index, output);
            }
        }

        void encodeBC6HBlock(u8* output, bool isSigned, const float (*source)[4])
        {
            Texels t;
            t.isSigned = isSigned;
            for (int i = 0; i < 16; ++i)
                for (int c = 0; c < 3; ++c)
                {
                    t.value[i][c] = floatToBC6HInt(source[i][c], isSigned);
                    // the fit works on finite values the format can hold
                    float v = source[i][c] == source[i][c] ? source[i][c] : 0.0f;
                    v = v < 65504.0f ? v : 65504.0f;
                    v = v > (isSigned ? -65504.0f : 0.0f) ? v : (isSigned ? -65504.0f : 0.0f);
                    t.input[i][c] = v;
                }

            // a valid block whatever happens below: mode 10 (one region, plain 10-bit
            // endpoints) always fits, so this is overwritten by the search
            std::memset(output, 0, 16);
            output[0] = 3;

            s64 bestError = noError;
            for (const BC6HMode& m : bptc::bc6hModes)
            {
                if (bestError <= 0)
                    break;
                const int shapeCount = m.regions == 2 ? 32 : 1;
                int shapes[32];
                s64 errors[32];
                for (int s = 0; s < shapeCount; ++s)
                {
                    shapes[s] = s;
                    errors[s] = shapeCount > 1 ? roughErrorBC6H(m, t, s) : 0;
                }
                const int refined = shapeCount < 4 ? 1 : shapeCount / 4;
                for (int k = 0; k < refined; ++k)
                    for (int j = k + 1; j < shapeCount; ++j)
                        if (errors[j] < errors[k])
                        {
                            std::swap(errors[j], errors[k]);
                            std::swap(shapes[j], shapes[k]);
                        }
                for (int k = 0; k < refined && bestError > 0; ++k)
                    refineBC6H(m, t, shapes[k], bestError, output);
            }
        }

        void encodeRow(u8* block, const u8* source, s32 stride, bool isSigned)
        {
            float texels[16][4];
            for (int y = 0; y < 4; ++y)
                std::memcpy(texels[y * 4], source + std::ptrdiff_t(y) * stride, 64);
            encodeBC6HBlock(block, isSigned, texels);
        }

    } // namespace

    void encodeBlockBC6HU(const TextureCompressionInfo&, u8* block, const u8* source, s32 stride)
    {
        encodeRow(block, source, stride, false);
    }

    void encodeBlockBC6HS(const TextureCompressionInfo&, u8* block, const u8* source, s32 stride)
    {
        encodeRow(block, source, stride, true);
    }

} // namespace norva
