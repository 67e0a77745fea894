// BC7 block encoder. Each mode's candidates (the partition shapes of modes 0-3 and 7, the
// rotations and index selections of modes 4 and 5) are first estimated from the moments of
// their regions: the residual off each region's principal axis and the spread along it
// shared among the palette entries. Only the most promising few of a mode are refined, and
// none whose estimate is well above the best block so far: endpoints at the ends of the
// region's principal axis, quantised with the two p-bit choices that land nearest, then
// rounds of least-squares endpoints for the indices they give while the error falls. The block with the smallest
// squared error wins; equal errors keep the lower mode, so the result depends only on the
// texels.

#include <bit>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <utility>

#include "block_bc7_indices.hpp"
#include "block_bc7_lines.hpp"
#include "block_bptc.hpp"
#include "block_codecs.hpp"

namespace norva
{
    namespace
    {
        using bptc::BC7Mode;
        using bc7lines::fitLine;
        using bc7lines::LineFit;
        using bc7lines::productIndex;

        constexpr int noError = INT_MAX;

        // Least-squares rounds after the first quantisation; most shapes settle in two.
        constexpr int fitRounds = 4;

        // The search state of one mode, rotation and index selection.
        struct Context
        {
            const BC7Mode* mode;
            int modeIndex;
            int colorBits;        // index width of the colour (RGBA without a second field)
            int alphaBits;        // index width of alpha, 0 when alpha shares the colour index
            int precision[4];     // per channel, p-bit included; 0 for no alpha
            const u8 (*texels)[4];      // 8-bit working texels, rotated
            bc7indices::Search search;  // the index search for this CPU
        };

        // Sums over a region: texel count, the four channels and their ten pairwise
        // products. The least-squares line through the region and its residual follow from
        // them without visiting the texels again, which makes every shape cheap to estimate.
        struct Moments
        {
            int v[16]; // set by whoever makes one (the encoder keeps 80 a block)

            Moments operator+(const Moments& other) const
            {
                Moments m;
                for (int k = 0; k < 16; ++k)
                    m.v[k] = v[k] + other.v[k];
                return m;
            }

            Moments operator-(const Moments& other) const
            {
                Moments m;
                for (int k = 0; k < 16; ++k)
                    m.v[k] = v[k] - other.v[k];
                return m;
            }
        };

        struct Region
        {
            u8 list[16];
            int count = 0;
            // its texels as the index search takes them: the colour channels (alpha 0 when
            // alpha has its own indices) and alpha alone in the first channel
            u8 colour[16][4];
            u8 alpha[16][4];
            Moments sums; // of its texels as the search sees them (rotated)
        };

        // A region's endpoints A and B, quantised with the p-bit as the lowest bit.
        struct Endpoints
        {
            int a[4];
            int b[4];
        };

        struct Attempt
        {
            Endpoints endpoints[3];
            // per region, in the order of its texels (Region::list); alpha's only when it
            // has indices of its own
            u8 colorIndex[3][16];
            u8 alphaIndex[3][16];
            int regionError[3];
        };

        // bptc::expandBC7 for every precision (0: no channel, 255) and stored value, looked
        // up in the search's inner loops.
        struct ExpandTable
        {
            u8 value[9][256];
        };

        constexpr ExpandTable makeExpandTable()
        {
            ExpandTable table {};
            for (int value = 0; value < 256; ++value)
            {
                table.value[0][value] = 255;
                for (int precision = 1; precision <= 8; ++precision)
                    table.value[precision][value] = u8(bptc::expandBC7(value & ((1 << precision) - 1), precision));
            }
            return table;
        }

        constexpr ExpandTable expandTable = makeExpandTable();

        int unquantizeBC7(int value, int precision)
        {
            return expandTable.value[precision][value];
        }

        void makeRegions(const Context& ctx, Region* regions, int shape)
        {
            const u8* partition = bptcPartitions[ctx.mode->regions - 1][shape].data();
            for (int r = 0; r < ctx.mode->regions; ++r)
            {
                std::memset(regions[r].colour, 0, sizeof regions[r].colour);
                std::memset(regions[r].alpha, 0, sizeof regions[r].alpha);
            }
            for (int i = 0; i < 16; ++i)
            {
                Region& r = regions[partition[i]];
                std::memcpy(r.colour[r.count], ctx.texels[i], 4);
                if (ctx.alphaBits)
                {
                    r.alpha[r.count][0] = ctx.texels[i][3];
                    r.colour[r.count][3] = 0;
                }
                r.list[r.count++] = u8(i);
            }
        }

        int anchorOf(int regions, int shape, int region)
        {
            if (region == 0)
                return 0;
            if (regions == 2)
                return bptcAnchor2[shape];
            return region == 1 ? bptcAnchor3a[shape] : bptcAnchor3b[shape];
        }

        // One region's indices and error for its endpoints. Every endpoint the search makes
        // carries its p-bit in each channel's lowest bit (one bit for the pair in mode 1),
        // so the error is measured on what the block stores. With alpha on indices of its
        // own, colour and alpha are searched apart.
        void regionIndicesBC7(const Context& ctx, const Region& region, Attempt& attempt, int r)
        {
            const Endpoints& e = attempt.endpoints[r];
            int a[4];
            int b[4];
            for (int c = 0; c < 4; ++c)
            {
                a[c] = unquantizeBC7(e.a[c], ctx.precision[c]);
                b[c] = unquantizeBC7(e.b[c], ctx.precision[c]);
            }
            const int* weights = bptc::weightsFor(ctx.colorBits);
            if (!ctx.alphaBits)
            {
                attempt.regionError[r] = ctx.search(region.colour, region.count, a, b, weights, 1 << ctx.colorBits,
                                                    attempt.colorIndex[r]);
                return;
            }
            const int alphaA[4] = { a[3], 0, 0, 0 };
            const int alphaB[4] = { b[3], 0, 0, 0 };
            a[3] = b[3] = 0;
            int error = ctx.search(region.colour, region.count, a, b, weights, 1 << ctx.colorBits, attempt.colorIndex[r]);
            error += ctx.search(region.alpha, region.count, alphaA, alphaB, bptc::weightsFor(ctx.alphaBits),
                                1 << ctx.alphaBits, attempt.alphaIndex[r]);
            attempt.regionError[r] = error;
        }

        void anchorRuleBC7(const Context& ctx, const Region* regions, int shape, Attempt& attempt)
        {
            const int regionCount = ctx.mode->regions;
            for (int r = 0; r < regionCount; ++r)
            {
                const int colorMax = (1 << ctx.colorBits) - 1;
                const int anchor = anchorOf(regionCount, shape, r);
                int at = 0;
                while (regions[r].list[at] != anchor)
                    ++at;
                u8* index = attempt.colorIndex[r];
                if (index[at] >> (ctx.colorBits - 1))
                {
                    Endpoints& e = attempt.endpoints[r];
                    const int channels = ctx.alphaBits ? 3 : 4;
                    for (int c = 0; c < channels; ++c)
                        std::swap(e.a[c], e.b[c]);
                    for (int i = 0; i < regions[r].count; ++i)
                        index[i] = u8(colorMax - index[i]);
                }
            }
            // alpha has indices of its own in one-region modes only; texel 0 is its anchor
            if (ctx.alphaBits && attempt.alphaIndex[0][0] >> (ctx.alphaBits - 1))
            {
                const int alphaMax = (1 << ctx.alphaBits) - 1;
                std::swap(attempt.endpoints[0].a[3], attempt.endpoints[0].b[3]);
                for (int i = 0; i < 16; ++i)
                    attempt.alphaIndex[0][i] = u8(alphaMax - attempt.alphaIndex[0][i]);
            }
        }

        // The p-bit of each endpoint (or of each region's pair in mode 1) is the majority of
        // the lowest bits the search left in its channels; ties give 0.
        void votePBits(const Context& ctx, const Attempt& attempt, int* pbits)
        {
            const BC7Mode& m = *ctx.mode;
            int votes[6] = {};
            int counts[6] = {};
            for (int c = 0; c < 4; ++c)
            {
                if (!ctx.precision[c])
                    continue;
                for (int r = 0; r < m.regions; ++r)
                    for (int end = 0; end < 2; ++end)
                    {
                        const int p = m.sharedPBit ? r : r * 2 + end;
                        const Endpoints& e = attempt.endpoints[r];
                        votes[p] += (end ? e.b[c] : e.a[c]) & 1;
                        ++counts[p];
                    }
            }
            for (int p = 0; p < m.pbits; ++p)
                pbits[p] = votes[p] * 2 > counts[p] ? 1 : 0;
        }

        void emitBlockBC7(const Context& ctx, const Attempt& attempt, int shape, int rotation, int selection,
                          u8* output)
        {
            const BC7Mode& m = *ctx.mode;
            u8 block[16] = {};
            int position = 0;
            bptc::setBlockBits(block, position, ctx.modeIndex + 1, 1u << ctx.modeIndex);
            bptc::setBlockBits(block, position, m.partitionBits, u32(shape));
            bptc::setBlockBits(block, position, m.rotationBits, u32(rotation));
            bptc::setBlockBits(block, position, m.selectionBits, u32(selection));

            const int shift = m.pbits ? 1 : 0;
            for (int c = 0; c < 4; ++c)
            {
                const int bits = c < 3 ? m.colorBits : m.alphaBits;
                for (int r = 0; r < m.regions && bits; ++r)
                {
                    bptc::setBlockBits(block, position, bits, u32(attempt.endpoints[r].a[c] >> shift));
                    bptc::setBlockBits(block, position, bits, u32(attempt.endpoints[r].b[c] >> shift));
                }
            }
            int pbits[6] = {};
            votePBits(ctx, attempt, pbits);
            for (int p = 0; p < m.pbits; ++p)
                bptc::setBlockBits(block, position, 1, u32(pbits[p]));

            // the indices in texel order
            u8 colorIndex[16];
            u8 alphaIndex[16] = {};
            const u8* partition = bptcPartitions[m.regions - 1][shape].data();
            int next[3] = {};
            for (int i = 0; i < 16; ++i)
            {
                const int r = partition[i];
                colorIndex[i] = attempt.colorIndex[r][next[r]];
                if (m.secondIndexBits)
                    alphaIndex[i] = attempt.alphaIndex[r][next[r]];
                ++next[r];
            }
            // With a second field, the field of the colour indices depends on the selection.
            const u8* primary = colorIndex;
            const u8* secondary = alphaIndex;
            if (selection)
                std::swap(primary, secondary);
            for (int i = 0; i < 16; ++i)
            {
                const bool anchor = bptcIsAnchor(m.regions, shape, i);
                bptc::setBlockBits(block, position, m.indexBits - (anchor ? 1 : 0), primary[i]);
            }
            if (m.secondIndexBits)
                for (int i = 0; i < 16; ++i)
                    bptc::setBlockBits(block, position, m.secondIndexBits - (i == 0 ? 1 : 0), secondary[i]);
            std::memcpy(output, block, 16);
        }

        // For every precision, p-bit choice (0: no p-bit, 1: p-bit 0, 2: p-bit 1) and
        // integer part of a target: the stored value nearest it (ties to the lower) and the
        // target above which the next stored value is nearer. Expanded values are distinct
        // integers, so two such bounds are at least 1 apart and one lookup and one compare
        // find the nearest for any target.
        struct Nearest
        {
            float above;
            u8 value[2];    // below and above that bound
            u8 expanded[2]; // the same, expanded
        };

        struct NearestTable
        {
            Nearest entry[9][3][256];
        };

        constexpr NearestTable makeNearestTable()
        {
            NearestTable table {};
            for (int precision = 1; precision <= 8; ++precision)
                for (int choice = 0; choice < 3; ++choice)
                {
                    const int top = (1 << precision) - 1;
                    const int step = choice ? 2 : 1;
                    int k = choice ? choice - 1 : 0;
                    auto distance = [&](int value, int target) {
                        const int d = bptc::expandBC7(value, precision) - target;
                        return d < 0 ? -d : d;
                    };
                    for (int target = 0; target < 256; ++target)
                    {
                        while (k + step <= top && distance(k + step, target) < distance(k, target))
                            k += step;
                        const int next = k + step <= top ? k + step : k;
                        Nearest& e = table.entry[precision][choice][target];
                        e.above = next != k ? float(bptc::expandBC7(k, precision) + bptc::expandBC7(next, precision)) * 0.5f
                                            : 256.0f;
                        e.value[0] = u8(k);
                        e.value[1] = u8(next);
                        e.expanded[0] = u8(bptc::expandBC7(k, precision));
                        e.expanded[1] = u8(bptc::expandBC7(next, precision));
                    }
                }
            return table;
        }

        constexpr NearestTable nearestTable = makeNearestTable();

        // A target clamped to the 8-bit range; NaN becomes 0.
        float clampTarget(float target)
        {
            return target > 0.0f ? (target < 255.0f ? target : 255.0f) : 0.0f;
        }

        // The stored value nearest a clamped target under a p-bit choice, and its squared
        // distance once expanded.
        int nearestStored(int precision, int choice, float v, float& distance)
        {
            const Nearest& e = nearestTable.entry[precision][choice][int(v)];
            const int side = v > e.above ? 1 : 0;
            const float d = float(e.expanded[side]) - v;
            distance = d * d;
            return e.value[side];
        }

        // One endpoint's channels at the mode's precision with its p-bit (when it has one)
        // fixed to `pbit`: the stored value nearest each target once expanded to 8 bits.
        // Returns the squared distance of the expanded colour to the targets.
        float quantizeEnd(const Context& ctx, const float* target, int* out, int pbit, int first, int last)
        {
            const int choice = ctx.mode->pbits ? 1 + pbit : 0;
            float distance = 0.0f;
            for (int c = first; c < last; ++c)
            {
                const int precision = ctx.precision[c];
                if (!precision)
                {
                    out[c] = 255;
                    continue;
                }
                float d;
                out[c] = nearestStored(precision, choice, clampTarget(target[c]), d);
                distance += d;
            }
            return distance;
        }

        int pbitCombos(const Context& ctx)
        {
            return !ctx.mode->pbits ? 1 : ctx.mode->sharedPBit ? 2 : 4;
        }

        // Both endpoints of a region from 8-bit float targets under every p-bit choice (combo
        // bit 1 for A, bit 0 for B; a shared p-bit uses bit 0 for both), with the squared
        // distance of each pair to the targets. Each end is quantised once per p-bit value.
        void quantizeCombos(const Context& ctx, const float* lo, const float* hi, Endpoints* out, float* distance)
        {
            const int choices = ctx.mode->pbits ? 2 : 1;
            Endpoints ends[2];
            float toA[2] = {};
            float toB[2] = {};
            for (int c = 0; c < 4; ++c)
            {
                const int precision = ctx.precision[c];
                if (!precision)
                {
                    ends[0].a[c] = ends[0].b[c] = ends[1].a[c] = ends[1].b[c] = 255;
                    continue;
                }
                const float a = clampTarget(lo[c]);
                const float b = clampTarget(hi[c]);
                for (int p = 0; p < choices; ++p)
                {
                    const int choice = choices == 2 ? 1 + p : 0;
                    float d;
                    ends[p].a[c] = nearestStored(precision, choice, a, d);
                    toA[p] += d;
                    ends[p].b[c] = nearestStored(precision, choice, b, d);
                    toB[p] += d;
                }
            }
            if (choices == 1)
            {
                out[0] = ends[0];
                distance[0] = toA[0] + toB[0];
                return;
            }
            for (int combo = 0; combo < pbitCombos(ctx); ++combo)
            {
                const int pa = ctx.mode->sharedPBit ? combo & 1 : combo >> 1;
                const int pb = combo & 1;
                std::memcpy(out[combo].a, ends[pa].a, sizeof out[combo].a);
                std::memcpy(out[combo].b, ends[pb].b, sizeof out[combo].b);
                distance[combo] = toA[pa] + toB[pb];
            }
        }

        // The least-squares endpoints of a region for its current indices (colour channels
        // on the colour indices, alpha on its own when it has them). A channel group whose
        // texels all share one index keeps its current endpoints. The sums are integers
        // (weights in 64ths), so the system is exact until the last division.
        void fitToIndices(const Context& ctx, const Region& region, const Attempt& attempt, int r, float* lo, float* hi)
        {
            const Moments& sums = region.sums;
            const Endpoints& current = attempt.endpoints[r];
            for (int c = 0; c < 4; ++c)
            {
                lo[c] = float(unquantizeBC7(current.a[c], ctx.precision[c]));
                hi[c] = float(unquantizeBC7(current.b[c], ctx.precision[c]));
            }
            const int groups = ctx.alphaBits ? 2 : 1;
            for (int g = 0; g < groups; ++g)
            {
                const int bits = g ? ctx.alphaBits : ctx.colorBits;
                const u8* index = g ? attempt.alphaIndex[r] : attempt.colorIndex[r];
                const int first = g ? 3 : 0;
                const int last = g ? 4 : ctx.alphaBits ? 3 : 4;
                const int* weights = bptc::weightsFor(bits);
                int weightSum = 0;
                int squareSum = 0;
                int products[4] = {}; // weight times texel, per channel
                for (int i = 0; i < region.count; ++i)
                {
                    const int w = weights[index[i]];
                    weightSum += w;
                    squareSum += w * w;
                    if (g)
                        products[3] += w * region.alpha[i][0];
                    else
                        for (int c = 0; c < 4; ++c)
                            products[c] += w * region.colour[i][c];
                }
                // with u = 64 - w: sums of u*u, u*w and w*w
                const s64 uu = s64(4096) * sums.v[0] - 128 * weightSum + squareSum;
                const s64 uw = s64(64) * weightSum - squareSum;
                const s64 ww = squareSum;
                const s64 det = uu * ww - uw * uw; // 4096^2 times the float determinant
                if (det <= 16777)                  // below 1e-3: one index, or nearly
                    continue;
                const double scale = 64.0 / double(det);
                for (int c = first; c < last; ++c)
                {
                    const s64 towardB = products[c];
                    const s64 towardA = s64(64) * sums.v[1 + c] - towardB;
                    lo[c] = float(double(ww * towardA - uw * towardB) * scale);
                    hi[c] = float(double(uu * towardB - uw * towardA) * scale);
                }
            }
        }

        // Endpoints of a region along its principal axis, the texels' extent along it (colour
        // channels; alpha with its own indices spans its smallest to largest value). The
        // mean and covariance come from the region's sums, exact in integers (the
        // covariance times the texel count: the axis does not depend on its scale).
        void axisEndpoints(const Context& ctx, const Region& region, float* lo, float* hi)
        {
            const Moments& sums = region.sums;
            const int channels = ctx.alphaBits || !ctx.precision[3] ? 3 : 4;
            const int count = sums.v[0];
            const float inverse = 1.0f / float(count);
            float mean[4];
            for (int c = 0; c < 4; ++c)
                mean[c] = float(sums.v[1 + c]) * inverse;
            // (channels left out stay zero, which changes no sum)
            float cov[4][4] = {};
            for (int c = 0; c < channels; ++c)
                for (int k = c; k < channels; ++k)
                    cov[c][k] = cov[k][c] =
                        float(count * sums.v[productIndex[c][k]] - sums.v[1 + c] * sums.v[1 + k]);
            int widest = 0;
            for (int c = 1; c < channels; ++c)
                widest = cov[c][c] > cov[widest][widest] ? c : widest;
            // Power iteration from the widest channel's row, on the covariance scaled to at
            // most 1 so that four passes need no division between them (the length of the
            // result does not matter).
            float axis[4] = {};
            if (cov[widest][widest] > 0.0f)
            {
                const float unit = 1.0f / cov[widest][widest];
                float scaled[4][4];
                for (int i = 0; i < 4; ++i)
                    for (int j = 0; j < 4; ++j)
                        scaled[i][j] = cov[i][j] * unit;
                for (int c = 0; c < 4; ++c)
                    axis[c] = scaled[widest][c];
                for (int pass = 0; pass < 4; ++pass)
                {
                    float w[4];
                    for (int c = 0; c < 4; ++c)
                        w[c] = scaled[c][0] * axis[0] + scaled[c][1] * axis[1] + scaled[c][2] * axis[2] +
                               scaled[c][3] * axis[3];
                    for (int c = 0; c < 4; ++c)
                        axis[c] = w[c];
                }
            }
            float length = 0.0f;
            for (int c = 0; c < channels; ++c)
                length += axis[c] * axis[c];
            float tmin = 0.0f;
            float tmax = 0.0f;
            if (length > 0.0f)
            {
                const float scale = 1.0f / length;
                tmin = FLT_MAX;
                tmax = -FLT_MAX;
                for (int i = 0; i < region.count; ++i)
                {
                    float t = 0.0f;
                    for (int c = 0; c < channels; ++c)
                        t += (float(region.colour[i][c]) - mean[c]) * axis[c];
                    t *= scale;
                    tmin = t < tmin ? t : tmin;
                    tmax = t > tmax ? t : tmax;
                }
            }
            for (int c = 0; c < 4; ++c)
            {
                lo[c] = mean[c] + axis[c] * tmin;
                hi[c] = mean[c] + axis[c] * tmax;
            }
            if (channels == 3)
            {
                lo[3] = 255.0f;
                hi[3] = 0.0f;
                for (int i = 0; i < region.count; ++i)
                {
                    const float alpha = float(ctx.texels[region.list[i]][3]);
                    lo[3] = alpha < lo[3] ? alpha : lo[3];
                    hi[3] = alpha > hi[3] ? alpha : hi[3];
                }
            }
        }

        // Endpoints for a region of one colour with p-bit choice `combo` (the channel groups
        // of `groups`: bit 0 the colour index's channels, bit 1 alpha's own): per palette entry
        // (half of them: the mirror entries are the same pairs swapped), each channel's pair
        // of stored values around the colour whose interpolation there comes nearest it;
        // the entry with the smallest sum wins. Interpolation reaches colours that no stored
        // endpoint holds.
        void solidEndpoints(const Context& ctx, const u8* colour, int combo, int groups, Endpoints& e)
        {
            const bool withBit = ctx.mode->pbits != 0;
            const int shift = withBit ? 1 : 0;
            const int pa = ctx.mode->sharedPBit ? combo & 1 : combo >> 1;
            const int pb = combo & 1;
            for (int g = 0; g < 2; ++g)
            {
                if (!((groups >> g) & 1))
                    continue;
                const int bits = g ? ctx.alphaBits : ctx.colorBits;
                const int first = g ? 3 : 0;
                const int last = g ? 4 : ctx.alphaBits ? 3 : 4;
                const int* weights = bptc::weightsFor(bits);
                int nearA[4];
                int nearB[4];
                float target[4];
                for (int c = 0; c < 4; ++c)
                    target[c] = float(colour[c]);
                quantizeEnd(ctx, target, nearA, pa, first, last);
                quantizeEnd(ctx, target, nearB, pb, first, last);
                int bestSum = noError;
                for (int j = 0; j <= (1 << bits) / 2; ++j)
                {
                    int sum = 0;
                    int a[4];
                    int b[4];
                    for (int c = first; c < last; ++c)
                    {
                        const int precision = ctx.precision[c];
                        if (!precision)
                        {
                            a[c] = b[c] = 255;
                            continue;
                        }
                        const int stored = (1 << (precision - shift)) - 1;
                        int best = noError;
                        for (int ka = (nearA[c] >> shift) - 1; ka <= (nearA[c] >> shift) + 1; ++ka)
                            for (int kb = (nearB[c] >> shift) - 1; kb <= (nearB[c] >> shift) + 1; ++kb)
                            {
                                if (ka < 0 || kb < 0 || ka > stored || kb > stored)
                                    continue;
                                const int va = withBit ? (ka << 1) | pa : ka;
                                const int vb = withBit ? (kb << 1) | pb : kb;
                                const int value = bptc::interpolate(unquantizeBC7(va, precision),
                                                                    unquantizeBC7(vb, precision), weights[j]);
                                const int d = value - int(colour[c]);
                                if (d * d < best)
                                {
                                    best = d * d;
                                    a[c] = va;
                                    b[c] = vb;
                                }
                            }
                        sum += best;
                    }
                    if (sum < bestSum)
                    {
                        bestSum = sum;
                        for (int c = first; c < last; ++c)
                        {
                            e.a[c] = a[c];
                            e.b[c] = b[c];
                        }
                    }
                }
            }
        }

        // The channel groups (as solidEndpoints takes them) in which the region is one colour.
        int flatGroups(const Context& ctx, const Region& region)
        {
            const int colourEnd = ctx.alphaBits ? 3 : 4;
            bool colourFlat = true;
            bool alphaFlat = ctx.alphaBits != 0;
            const u8* first = ctx.texels[region.list[0]];
            for (int i = 1; i < region.count; ++i)
            {
                const u8* texel = ctx.texels[region.list[i]];
                colourFlat = colourFlat && std::memcmp(texel, first, colourEnd) == 0;
                alphaFlat = alphaFlat && texel[3] == first[3];
            }
            return (colourFlat ? 1 : 0) | (alphaFlat ? 2 : 0);
        }

        void takeRegion(const Attempt& trial, Attempt& best, int r)
        {
            best.endpoints[r] = trial.endpoints[r];
            best.regionError[r] = trial.regionError[r];
            std::memcpy(best.colorIndex[r], trial.colorIndex[r], sizeof best.colorIndex[r]);
            std::memcpy(best.alphaIndex[r], trial.alphaIndex[r], sizeof best.alphaIndex[r]);
        }

        bool sameEndpoints(const Endpoints& x, const Endpoints& y)
        {
            return std::memcmp(&x, &y, sizeof x) == 0;
        }

        // The attempt at one shape, region by region: the ends of the principal axis
        // quantised, then rounds of least-squares endpoints for the indices they give while
        // that lowers the error. Each quantisation tries the two p-bit choices whose endpoints
        // land nearest their targets (mode 1 has only two) and keeps the one with the
        // smallest error (the first of equal ones): trying all four in the first round as well
        // gained 0.01 dB on the photograph for 5% more time. Returns the attempt's error,
        // the anchor rule applied.
        int refineBC7(const Context& ctx, const Region* regions, int shape, Attempt& best)
        {
            const int combos = pbitCombos(ctx);
            int sum = 0;
            for (int r = 0; r < ctx.mode->regions; ++r)
            {
                best.regionError[r] = noError;
                const u8* colour = ctx.texels[regions[r].list[0]];
                const int flat = flatGroups(ctx, regions[r]);
                if (flat == (ctx.alphaBits ? 3 : 1))
                {
                    for (int combo = 0; combo < combos && best.regionError[r] > 0; ++combo)
                    {
                        Attempt trial;
                        solidEndpoints(ctx, colour, combo, flat, trial.endpoints[r]);
                        regionIndicesBC7(ctx, regions[r], trial, r);
                        if (trial.regionError[r] < best.regionError[r])
                            takeRegion(trial, best, r);
                    }
                    sum += best.regionError[r];
                    continue;
                }
                float lo[4];
                float hi[4];
                axisEndpoints(ctx, regions[r], lo, hi);
                for (int round = 0; round <= fitRounds && best.regionError[r] > 0; ++round)
                {
                    if (round)
                        fitToIndices(ctx, regions[r], best, r, lo, hi);
                    bool improved = false;
                    Attempt trial;
                    int order[4] = { 0, 1, 2, 3 };
                    int tried = combos;
                    constexpr int limit = 2;
                    Endpoints quantized[4];
                    float distance[4];
                    quantizeCombos(ctx, lo, hi, quantized, distance);
                    if (combos > limit)
                    {
                        for (int k = 0; k < limit; ++k)
                            for (int j = k + 1; j < combos; ++j)
                                if (distance[order[j]] < distance[order[k]])
                                    std::swap(order[j], order[k]);
                        tried = limit;
                    }
                    for (int k = 0; k < tried; ++k)
                    {
                        const int combo = order[k];
                        trial.endpoints[r] = quantized[combo];
                        if (flat)
                        {
                            // one group flat (modes 4 and 5: no p-bits), the other on a line
                            solidEndpoints(ctx, colour, combo, flat, trial.endpoints[r]);
                        }
                        if (round && sameEndpoints(trial.endpoints[r], best.endpoints[r]))
                            continue;
                        regionIndicesBC7(ctx, regions[r], trial, r);
                        if (trial.regionError[r] < best.regionError[r])
                        {
                            improved = true;
                            takeRegion(trial, best, r);
                        }
                    }
                    if (!improved)
                        break;
                }
                sum += best.regionError[r];
            }
            anchorRuleBC7(ctx, regions, shape, best);
            return sum;
        }

        void rotate(u8 (*texels)[4], int rotation)
        {
            if (!rotation)
                return;
            for (int i = 0; i < 16; ++i)
                std::swap(texels[i][rotation - 1], texels[i][3]);
        }

        // Estimated squared error of a region coded along a line: the residual off the
        // axis, the spread along it divided among `levels` entries (evenly spread texels
        // leave 1/(levels-1)^2 of it), and the rounding of endpoints of `bits` per channel.
        // The terms that depend on the mode only, worked out once for all its candidates.
        struct LineCost
        {
            float rounding[17]; // by texel count
            float gapsSquared;

            LineCost(int channels, int levels, int bits)
            {
                const float step = 255.0f / float((1 << bits) - 1);
                for (int count = 0; count <= 16; ++count)
                    rounding[count] = float(count * channels) * step * step * (1.0f / 24.0f);
                const float gaps = float(levels - 1);
                gapsSquared = gaps * gaps;
            }
        };

        float estimateLine(const LineFit& fit, const LineCost& cost)
        {
            if (fit.count <= 1)
                return 0.0f;
            if (fit.count == 2)
                return cost.rounding[2]; // the endpoints can sit on the texels
            return (fit.total - fit.major) + fit.major / cost.gapsSquared + cost.rounding[fit.count];
        }

        // Texel masks of the partition shapes: region 1 of the two-region shapes, regions 1
        // and 2 of the three-region ones (region 0 is the rest).
        struct ShapeMasks
        {
            u16 two[64];
            u16 three[64][2];
        };

        constexpr ShapeMasks makeShapeMasks()
        {
            ShapeMasks masks {};
            for (int shape = 0; shape < 64; ++shape)
            {
                masks.two[shape] = detail::bptcShapes2[shape];
                for (int i = 0; i < 16; ++i)
                {
                    const u32 region = (detail::bptcShapes3[shape] >> (2 * i)) & 3;
                    if (region)
                        masks.three[shape][region - 1] = u16(masks.three[shape][region - 1] | (1u << i));
                }
            }
            return masks;
        }

        constexpr ShapeMasks shapeMasks = makeShapeMasks();

        // The search over modes, shapes, rotations and index selections. Mode 6, the usual
        // winner on opaque blocks, is refined first and sets the bar (a small enough error
        // ends the search there); then each other mode's candidates are estimated and the
        // best few refined while their estimate, scaled by the mode's calibration, stays
        // below the best error so far. Candidates compare by
        // error, then by mode number (an equal error keeps the lower mode), so an exact block
        // goes to the first mode that holds it among those refined.
        class SearchBC7
        {
        public:
            SearchBC7(u8* output, const float (*source)[4])
                : output(output)
            {
                // Clamped to [0, 1] on the floats' bits, NaN becoming 0 (integer selects, which
                // vectorise where float compares may not), then converted.
                s32 bits[64];
                std::memcpy(bits, source, sizeof bits);
                for (int k = 0; k < 64; ++k)
                {
                    s32 b = bits[k];
                    b = b > 0x7F800000 ? 0 : b;          // NaN
                    b = b < 0 ? 0 : b;                   // negative
                    b = b > 0x3F800000 ? 0x3F800000 : b; // above 1
                    bits[k] = b;
                }
                u8* out = texels[0];
                for (int k = 0; k < 64; ++k)
                    out[k] = u8(int(std::bit_cast<float>(bits[k]) * 255.0f + 0.01f));
                // the block's sums, channel by channel over all texels
                int plane[4][16];
                for (int i = 0; i < 16; ++i)
                    for (int c = 0; c < 4; ++c)
                        plane[c][i] = texels[i][c];
                whole.v[0] = 16;
                whole.v[15] = 0;
                for (int c = 0; c < 4; ++c)
                {
                    int sum = 0;
                    for (int i = 0; i < 16; ++i)
                        sum += plane[c][i];
                    whole.v[1 + c] = sum;
                    for (int d = c; d < 4; ++d)
                    {
                        int product = 0;
                        for (int i = 0; i < 16; ++i)
                            product += plane[c][i] * plane[d][i];
                        whole.v[productIndex[c][d]] = product;
                    }
                }
                // sum of (255 - alpha)^2
                alphaLoss = 16 * 255 * 255 - 2 * 255 * whole.v[4] + whole.v[productIndex[3][3]];
                opaque = alphaLoss == 0;
                u32 words[16];
                std::memcpy(words, texels, sizeof words);
                for (int i = 0; i < 16 && colours <= fewColours; ++i)
                {
                    int j = 0;
                    while (j < i && words[i] != words[j])
                        ++j;
                    colours += j == i ? 1 : 0;
                }
                flatBlock = colours == 1;
            }

            // The two-region fits, made when a two-region mode first needs them.
            void fitPairs()
            {
                if (pairsReady)
                    return;
                pairsReady = true;
                sumRows();
                fitShapes(rowTable(), whole.v, shapeMasks.two, 2, 64, 3, pairFits[0]);
                if (!opaque)
                    fitShapes(rowTable(), whole.v, shapeMasks.two, 2, 64, 4, pairFitsRGBA[0]);
            }

            void run()
            {
                search();
                // mode 6 always refines, so there is a best block
                emitBlockBC7(best.ctx, best.attempt, best.shape, best.rotation, best.selection, output);
            }

        private:
            void search()
            {
                tryMode(6);
                if (bestError > 0 && bestError <= settledError && colours > fewColours)
                    return;
                for (const int mode : { 1, 3, 0, 2, 5, 4, 7 })
                    tryMode(mode);
            }

            // Candidates refined per mode at most (shapes, or rotation and selection pairs).
            static constexpr int refineLimit[8] = { 1, 2, 1, 1, 1, 1, 1, 1 };

            // The error a refined candidate reaches relative to its estimate, taken low (about
            // 0.7 of the median measured on photographs): the estimate assumes evenly spread
            // texels and ignores how the p-bits and the index rounding fall.
            static constexpr float calibration[8] = { 1.02f, 0.6f, 0.52f, 0.37f, 0.54f, 0.43f, 0.69f, 0.55f };

            // A block mode 6 holds within this error (seven units a texel) is done: smooth
            // areas, where the other modes rarely gain and their estimates would cost more
            // than mode 6 itself (photograph crop: a third fewer instructions than at three
            // units a texel for 0.12 dB).
            static constexpr int settledError = 112;

            // Three regions rarely pay once two leave less than this error; their estimates
            // are then not made at all.
            static constexpr int threeRegionFloor = 300;

            // Blocks of up to this many colours (drawn art) skip neither shortcut: another
            // mode or shape may well hold them exactly.
            static constexpr int fewColours = 6;

            // The moments of a texel mask, from the sums of each row's subsets.
            Moments sumOf(u16 mask) const
            {
                Moments m;
                bc7lines::maskSums(rowTable(), mask, m.v);
                return m;
            }

            // rowSums as the shape fits read them
            const int (*rowTable() const)[16][16]
            {
                static_assert(sizeof(Moments) == sizeof(int[16]));
                return reinterpret_cast<const int(*)[16][16]>(rowSums);
            }

            void sumRows()
            {
                if (rowsReady)
                    return;
                rowsReady = true;
                Moments single[16];
                for (int i = 0; i < 16; ++i)
                {
                    const u8* t = texels[i];
                    Moments& m = single[i];
                    m.v[0] = 1;
                    m.v[15] = 0;
                    for (int c = 0; c < 4; ++c)
                    {
                        m.v[1 + c] = t[c];
                        for (int d = c; d < 4; ++d)
                            m.v[productIndex[c][d]] = int(t[c]) * int(t[d]);
                    }
                }
                for (int row = 0; row < 4; ++row)
                {
                    rowSums[row][0] = Moments {};
                    for (int subset = 1; subset < 16; ++subset)
                    {
                        rowSums[row][subset] =
                            rowSums[row][subset & (subset - 1)] + single[row * 4 + std::countr_zero(u32(subset))];
                    }
                }
            }

            // The three-region fits, made when a three-region mode first needs them.
            void fitTriples()
            {
                if (triplesReady)
                    return;
                triplesReady = true;
                sumRows();
                fitShapes(rowTable(), whole.v, shapeMasks.three[0], 3, 64, 3, tripleFits[0]);
            }

            bool beats(int error, int mode) const
            {
                return error < bestError || (error == bestError && mode < bestMode);
            }

            // An estimate worth refining. The estimate does not bound the error, so this is
            // a judgement; once the best block is exact, only a lower mode can still win.
            // A candidate whose regions are each one colour may well be exact (the rounding
            // the estimate counts is a guess), so it is refined while the best is not.
            bool promising(float estimate, bool flat, int mode) const
            {
                if (bestError == noError)
                    return true;
                if (bestError == 0)
                    return mode < bestMode;
                return flat || estimate * calibration[mode] < float(bestError);
            }

            void tryMode(int modeIndex)
            {
                const BC7Mode& m = bptc::bc7Modes[modeIndex];
                // without an alpha channel the block decodes opaque: alpha's error is certain
                if (!m.alphaBits && !beats(alphaLoss, modeIndex))
                    return;
                // opaque blocks: mode 3 holds mode 7's shapes with finer endpoints
                if (modeIndex == 7 && opaque)
                    return;
                if (m.rotationBits)
                {
                    // opaque photographs: modes 4 and 5 win about one block in 150, for 0.01 dB
                    // and 6% of the time
                    if (opaque && colours > fewColours)
                        return;
                    tryRotations(modeIndex);
                    return;
                }
                if (m.regions == 2)
                    fitPairs();
                if (m.regions == 3)
                {
                    if (bestError > 0 && bestError <= threeRegionFloor && colours > fewColours)
                        return;
                    fitTriples();
                }
                const int levels = 1 << m.indexBits;
                const int bits = m.colorBits + (m.pbits ? 1 : 0);
                const int shapeCount = 1 << m.partitionBits;
                const int channels = opaque || !m.alphaBits ? 3 : 4;
                const LineCost cost(channels, levels, bits);
                const Context ctx = context(modeIndex, 0);
                if (m.regions == 1)
                {
                    // mode 6: refined at once when there is nothing to beat yet
                    if (bestError != noError)
                    {
                        static constexpr int rgba[4] = { 0, 1, 2, 3 };
                        const LineFit fit = opaque ? fitLine<3>(whole.v, rgba) : fitLine<4>(whole.v, rgba);
                        float estimate = estimateLine(fit, cost);
                        if (!m.alphaBits)
                            estimate += float(alphaLoss);
                        if (!promising(estimate, fit.flat, modeIndex))
                            return;
                    }
                    refine(ctx, 0, 0, 0);
                    return;
                }
                const float extra = m.alphaBits ? 0.0f : float(alphaLoss);
                int shapes[64];
                float estimates[64];
                if (m.regions == 2)
                {
                    const LineFit(*fits)[2] = channels == 3 ? pairFits : pairFitsRGBA;
                    for (int s = 0; s < shapeCount; ++s)
                    {
                        shapes[s] = s;
                        estimates[s] = estimateLine(fits[s][0], cost) + estimateLine(fits[s][1], cost) + extra;
                    }
                }
                else
                {
                    for (int s = 0; s < shapeCount; ++s)
                    {
                        shapes[s] = s;
                        estimates[s] = estimateLine(tripleFits[s][0], cost) + estimateLine(tripleFits[s][1], cost) +
                                       estimateLine(tripleFits[s][2], cost) + extra;
                    }
                }
                // every region one colour over the mode's channels
                auto flat = [&](int s) {
                    const LineFit* fits = m.regions == 3 ? tripleFits[s] : channels == 3 ? pairFits[s] : pairFitsRGBA[s];
                    for (int r = 0; r < m.regions; ++r)
                        if (!fits[r].flat)
                            return false;
                    return true;
                };
                const int refined = refineLimit[modeIndex] < shapeCount ? refineLimit[modeIndex] : shapeCount;
                selectBest(shapes, estimates, shapeCount, refined);
                for (int k = 0; k < refined && promising(estimates[k], flat(shapes[k]), modeIndex); ++k)
                    refine(ctx, shapes[k], 0, 0);
            }

            // Modes 4 and 5: a line through three channels (red, green and blue, or two of
            // them and alpha under a rotation) and the remaining channel on its own.
            void tryRotations(int modeIndex)
            {
                const BC7Mode& m = bptc::bc7Modes[modeIndex];
                const int variants = (1 << m.rotationBits) << m.selectionBits;
                int order[8];
                float estimates[8];
                for (int v = 0; v < variants; ++v)
                {
                    const int rotation = v >> m.selectionBits;
                    const int selection = v & ((1 << m.selectionBits) - 1);
                    const int colorBits = selection ? m.secondIndexBits : m.indexBits;
                    const int alphaBits = selection ? m.indexBits : m.secondIndexBits;
                    int colour[3] = { 0, 1, 2 };
                    const int scalar[1] = { rotation ? rotation - 1 : 3 };
                    if (rotation)
                        colour[rotation - 1] = 3;
                    order[v] = v;
                    estimates[v] = estimateLine(fitLine<3>(whole.v, colour), LineCost(3, 1 << colorBits, m.colorBits)) +
                                   estimateChannel(scalar[0], 1 << alphaBits, m.alphaBits);
                }
                const int refined = refineLimit[modeIndex] < variants ? refineLimit[modeIndex] : variants;
                selectBest(order, estimates, variants, refined);
                for (int k = 0; k < refined && promising(estimates[k], flatBlock, modeIndex); ++k)
                {
                    const int rotation = order[k] >> m.selectionBits;
                    const int selection = order[k] & ((1 << m.selectionBits) - 1);
                    rotate(texels, rotation);
                    refine(context(modeIndex, selection), 0, rotation, selection);
                    rotate(texels, rotation);
                }
            }

            // The error of one channel on its own indices: its values snapped to `levels` even
            // steps from the smallest to the largest, and the rounding of the endpoints.
            float estimateChannel(int channel, int levels, int bits) const
            {
                int low = 255;
                int high = 0;
                for (int i = 0; i < 16; ++i)
                {
                    low = texels[i][channel] < low ? texels[i][channel] : low;
                    high = texels[i][channel] > high ? texels[i][channel] : high;
                }
                const float step = 255.0f / float((1 << bits) - 1);
                float error = 16.0f * step * step * (1.0f / 24.0f);
                if (high == low)
                    return error;
                const float spacing = float(high - low) / float(levels - 1);
                const float inverse = 1.0f / spacing;
                for (int i = 0; i < 16; ++i)
                {
                    const float offset = float(texels[i][channel] - low);
                    const float d = offset - std::floor(offset * inverse + 0.5f) * spacing;
                    error += d * d;
                }
                return error;
            }

            // The count smallest estimates to the front, in order; equal ones keep their order.
            static void selectBest(int* candidates, float* estimates, int total, int count)
            {
                for (int k = 0; k < count; ++k)
                {
                    int at = k;
                    float least = estimates[k];
                    for (int j = k + 1; j < total; ++j)
                    {
                        const bool less = estimates[j] < least;
                        least = less ? estimates[j] : least;
                        at = less ? j : at;
                    }
                    const int candidate = candidates[at];
                    for (int j = at; j > k; --j)
                    {
                        estimates[j] = estimates[j - 1];
                        candidates[j] = candidates[j - 1];
                    }
                    estimates[k] = least;
                    candidates[k] = candidate;
                }
            }

            Context context(int modeIndex, int selection) const
            {
                const BC7Mode& m = bptc::bc7Modes[modeIndex];
                Context ctx;
                ctx.mode = &m;
                ctx.modeIndex = modeIndex;
                ctx.colorBits = selection ? m.secondIndexBits : m.indexBits;
                ctx.alphaBits = selection ? m.indexBits : m.secondIndexBits;
                const int pbit = m.pbits ? 1 : 0;
                for (int c = 0; c < 3; ++c)
                    ctx.precision[c] = m.colorBits + pbit;
                ctx.precision[3] = m.alphaBits ? m.alphaBits + pbit : 0;
                ctx.texels = texels;
                ctx.search = indexSearch;
                return ctx;
            }

            // The sums of each region of a shape, from the row sums; under a rotation the
            // block's own, their channels swapped as the texels are.
            void regionSums(int count, int shape, int rotation, Region* regions)
            {
                if (count == 1)
                {
                    int to[4] = { 0, 1, 2, 3 };
                    if (rotation)
                        std::swap(to[rotation - 1], to[3]);
                    Moments& m = regions[0].sums;
                    m = whole;
                    for (int c = 0; c < 4; ++c)
                    {
                        m.v[1 + c] = whole.v[1 + to[c]];
                        for (int d = c; d < 4; ++d)
                            m.v[productIndex[c][d]] = whole.v[productIndex[to[c]][to[d]]];
                    }
                    return;
                }
                sumRows();
                if (count == 2)
                {
                    regions[1].sums = sumOf(shapeMasks.two[shape]);
                    regions[0].sums = whole - regions[1].sums;
                    return;
                }
                regions[1].sums = sumOf(shapeMasks.three[shape][0]);
                regions[2].sums = sumOf(shapeMasks.three[shape][1]);
                regions[0].sums = whole - regions[1].sums - regions[2].sums;
            }

            void refine(const Context& ctx, int shape, int rotation, int selection)
            {
                Region regions[3];
                makeRegions(ctx, regions, shape);
                regionSums(ctx.mode->regions, shape, rotation, regions);
                Attempt attempt;
                const int error = refineBC7(ctx, regions, shape, attempt);
                if (beats(error, ctx.modeIndex))
                {
                    bestError = error;
                    bestMode = ctx.modeIndex;
                    best = { ctx, attempt, shape, rotation, selection };
                }
            }

            struct Candidate
            {
                Context ctx {};
                Attempt attempt {};
                int shape = 0;
                int rotation = 0;
                int selection = 0;
            };

            u8* output;
            Candidate best;
            u8 texels[16][4];
            bc7indices::Search indexSearch = bc7indices::search();
            bc7lines::ShapeFitter fitShapes = bc7lines::shapeFitter();
            int alphaLoss = 0;
            bool opaque = true;
            int colours = 0;        // distinct texels, counted up to one more than fewColours
            bool flatBlock = false; // one colour
            int bestError = noError;
            int bestMode = 8;
            Moments rowSums[4][16]; // the sums of every subset of each row's four texels
            bool rowsReady = false;
            Moments whole {};
            bool triplesReady = false;
            bool pairsReady = false;
            LineFit pairFits[64][2];
            LineFit pairFitsRGBA[64][2];
            LineFit tripleFits[64][3];
        };

        void encodeBC7Block(u8* output, const float (*source)[4])
        {
            SearchBC7 search(output, source);
            search.run();
        }

    } // namespace

    void encodeBlockBC7(const TextureCompressionInfo&, u8* block, const u8* source, s32 stride)
    {
        float texels[16][4];
        for (int y = 0; y < 4; ++y)
            std::memcpy(texels[y * 4], source + std::ptrdiff_t(y) * stride, 64);
        encodeBC7Block(block, texels);
    }

} // namespace norva
