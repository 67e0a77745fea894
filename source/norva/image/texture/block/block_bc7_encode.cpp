// BC7 block encoder. Every mode is tried in turn (with each rotation and index selection
// of modes 4 and 5); within a mode a cheap fit of unquantised endpoints ranks the partition
// shapes, and the best quarter of them gets the full treatment: endpoints quantised to the
// mode's precision, indices assigned, then each endpoint channel moved by halving steps and
// finally searched exhaustively in a small window. The block with the smallest squared
// error wins; ties keep the earlier candidate, so the result depends only on the texels.

#include <climits>
#include <cstring>
#include <utility>

#include "block_bptc.hpp"
#include "block_codecs.hpp"
#include "block_region.hpp"

namespace norva
{
    namespace
    {
        using bptc::BC7Mode;

        constexpr int noError = INT_MAX;

        struct Palette
        {
            int color[16][4]; // RGBA, or RGB when alpha has its own entries
            int alpha[8];
        };

        // The search state of one mode, rotation and index selection.
        struct Context
        {
            const BC7Mode* mode;
            int modeIndex;
            int colorBits;        // index width of the colour (RGBA without a second field)
            int alphaBits;        // index width of alpha, 0 when alpha shares the colour index
            int precision[4];     // per channel, p-bit included; 0 for no alpha
            const u8 (*texels)[4];      // 8-bit working texels, rotated
            const float (*input)[4];    // float texels, rotated
        };

        struct Region
        {
            u8 list[16];
            int count = 0;
        };

        // A region's endpoints A and B: quantised with the p-bit as the lowest bit, or 8-bit
        // during the rough stage.
        struct Endpoints
        {
            int a[4];
            int b[4];

            int* end(int which) { return which ? b : a; }
        };

        struct Attempt
        {
            Endpoints endpoints[3];
            u8 colorIndex[16];
            u8 alphaIndex[16];
            int regionError[3];
        };

        int& channelRef(Endpoints& e, int which, int channel)
        {
            return e.end(which)[channel];
        }

        void interpolateRGB8(Palette& palette, const int* a, const int* b, int colorBits, int alphaBits)
        {
            const int* weights = bptc::weightsFor(colorBits);
            const int colorChannels = alphaBits ? 3 : 4;
            for (int j = 0; j < (1 << colorBits); ++j)
                for (int c = 0; c < colorChannels; ++c)
                    palette.color[j][c] = bptc::interpolate(a[c], b[c], weights[j]);
            if (alphaBits)
            {
                const int* alphaWeights = bptc::weightsFor(alphaBits);
                for (int j = 0; j < (1 << alphaBits); ++j)
                    palette.alpha[j] = bptc::interpolate(a[3], b[3], alphaWeights[j]);
            }
        }

        int unquantizeBC7(int value, int precision)
        {
            return precision ? bptc::expandBC7(value, precision) : 255;
        }

        void paletteBC7(Palette& palette, const Context& ctx, const Endpoints& e)
        {
            int a[4];
            int b[4];
            for (int c = 0; c < 4; ++c)
            {
                a[c] = unquantizeBC7(e.a[c], ctx.precision[c]);
                b[c] = unquantizeBC7(e.b[c], ctx.precision[c]);
            }
            interpolateRGB8(palette, a, b, ctx.colorBits, ctx.alphaBits);
        }

        // The endpoints as the block stores them: the p-bit of each endpoint (of each
        // region's pair in mode 1) is the majority of the lowest bits its channels hold,
        // ties giving 0. Every error is measured on these, so the search sees what the
        // decoder will see.
        Endpoints withPBits(const Context& ctx, const Endpoints& e)
        {
            if (!ctx.mode->pbits)
                return e;
            int votes[2] = {};
            int counts[2] = {};
            for (int c = 0; c < 4; ++c)
            {
                if (!ctx.precision[c])
                    continue;
                votes[0] += e.a[c] & 1;
                votes[1] += e.b[c] & 1;
                counts[0] += 1;
                counts[1] += 1;
            }
            if (ctx.mode->sharedPBit)
            {
                votes[0] = votes[1] = votes[0] + votes[1];
                counts[0] = counts[1] = counts[0] + counts[1];
            }
            Endpoints out = e;
            for (int c = 0; c < 4; ++c)
            {
                if (!ctx.precision[c])
                    continue;
                out.a[c] = (e.a[c] & ~1) | (votes[0] * 2 > counts[0] ? 1 : 0);
                out.b[c] = (e.b[c] & ~1) | (votes[1] * 2 > counts[1] ? 1 : 0);
            }
            return out;
        }

        // The palette entries lie on a line, so the distance falls and then rises along
        // them: the search stops at the first entry that is worse than the best so far.
        int paletteErrorBC7(const u8* texel, const Palette& palette, int colorBits, int alphaBits,
                            int& colorIndex, int& alphaIndex)
        {
            const int channels = alphaBits ? 3 : 4;
            int best = noError;
            colorIndex = 0;
            for (int j = 0; j < (1 << colorBits) && best > 0; ++j)
            {
                int error = 0;
                for (int c = 0; c < channels; ++c)
                {
                    const int d = int(texel[c]) - palette.color[j][c];
                    error += d * d;
                }
                if (error > best)
                    break;
                if (error < best)
                {
                    best = error;
                    colorIndex = j;
                }
            }
            alphaIndex = 0;
            if (!alphaBits)
                return best;
            int bestAlpha = noError;
            for (int j = 0; j < (1 << alphaBits) && bestAlpha > 0; ++j)
            {
                const int d = int(texel[3]) - palette.alpha[j];
                const int error = d * d;
                if (error > bestAlpha)
                    break;
                if (error < bestAlpha)
                {
                    bestAlpha = error;
                    alphaIndex = j;
                }
            }
            return best + bestAlpha;
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
            if (region == 0)
                return 0;
            if (regions == 2)
                return bptcAnchor2[shape];
            return region == 1 ? bptcAnchor3a[shape] : bptcAnchor3b[shape];
        }

        u8 toByte(float value)
        {
            value = value > 0.0f ? value : 0.0f; // NaN too
            value = value < 1.0f ? value : 1.0f;
            return u8(int(value * 255.0f + 0.01f));
        }

        // Unquantised 8-bit endpoints of each region: the texel itself for one texel, the two
        // texels for two, else the float fit.
        void roughEndpointsBC7(const Context& ctx, const Region* regions, Endpoints* endpoints)
        {
            for (int r = 0; r < ctx.mode->regions; ++r)
            {
                const Region& region = regions[r];
                Endpoints& e = endpoints[r];
                if (region.count <= 2)
                {
                    const u8* first = ctx.texels[region.list[0]];
                    const u8* last = ctx.texels[region.list[region.count - 1]];
                    for (int c = 0; c < 4; ++c)
                    {
                        e.a[c] = first[c];
                        e.b[c] = last[c];
                    }
                    continue;
                }
                float x[4] = {};
                float y[4] = {};
                if (!ctx.alphaBits)
                {
                    optimizeRGBARegion(ctx.input, region.list, region.count, 4, x, y);
                }
                else
                {
                    optimizeRGBRegion(ctx.input, region.list, region.count, 4, x, y);
                }
                for (int c = 0; c < 4; ++c)
                {
                    e.a[c] = toByte(x[c]);
                    e.b[c] = toByte(y[c]);
                }
                if (ctx.alphaBits)
                {
                    // alpha has its own indices: its range is the region's smallest and largest
                    e.a[3] = 255;
                    e.b[3] = 0;
                    for (int i = 0; i < region.count; ++i)
                    {
                        const int alpha = ctx.texels[region.list[i]][3];
                        e.a[3] = alpha < e.a[3] ? alpha : e.a[3];
                        e.b[3] = alpha > e.b[3] ? alpha : e.b[3];
                    }
                }
            }
        }

        int roughErrorBC7(const Context& ctx, int shape)
        {
            Region regions[3];
            makeRegions(regions, ctx.mode->regions, shape);
            Endpoints endpoints[3];
            roughEndpointsBC7(ctx, regions, endpoints);
            int sum = 0;
            for (int r = 0; r < ctx.mode->regions; ++r)
            {
                Palette palette;
                interpolateRGB8(palette, endpoints[r].a, endpoints[r].b, ctx.colorBits, ctx.alphaBits);
                for (int i = 0; i < regions[r].count; ++i)
                {
                    int ci;
                    int ai;
                    sum += paletteErrorBC7(ctx.texels[regions[r].list[i]], palette, ctx.colorBits, ctx.alphaBits, ci, ai);
                }
            }
            return sum;
        }

        // Indices of every texel for the attempt's endpoints, then the anchor rule: an anchor
        // index is stored without its top bit, so a region whose anchor needs it is flipped
        // (endpoints swapped, indices mirrored; the symmetric weights keep every colour).
        void assignIndicesBC7(const Context& ctx, const Region* regions, int shape, Attempt& attempt)
        {
            const int regionCount = ctx.mode->regions;
            for (int r = 0; r < regionCount; ++r)
            {
                attempt.endpoints[r] = withPBits(ctx, attempt.endpoints[r]);
                Palette palette;
                paletteBC7(palette, ctx, attempt.endpoints[r]);
                int sum = 0;
                for (int i = 0; i < regions[r].count; ++i)
                {
                    const int t = regions[r].list[i];
                    int ci;
                    int ai;
                    sum += paletteErrorBC7(ctx.texels[t], palette, ctx.colorBits, ctx.alphaBits, ci, ai);
                    attempt.colorIndex[t] = u8(ci);
                    attempt.alphaIndex[t] = u8(ai);
                }
                attempt.regionError[r] = sum;

                const int colorMax = (1 << ctx.colorBits) - 1;
                const int anchor = anchorOf(regionCount, shape, r);
                if (attempt.colorIndex[anchor] >> (ctx.colorBits - 1))
                {
                    Endpoints& e = attempt.endpoints[r];
                    const int channels = ctx.alphaBits ? 3 : 4;
                    for (int c = 0; c < channels; ++c)
                        std::swap(e.a[c], e.b[c]);
                    for (int i = 0; i < regions[r].count; ++i)
                    {
                        const int t = regions[r].list[i];
                        attempt.colorIndex[t] = u8(colorMax - attempt.colorIndex[t]);
                    }
                }
            }
            if (ctx.alphaBits && attempt.alphaIndex[0] >> (ctx.alphaBits - 1))
            {
                const int alphaMax = (1 << ctx.alphaBits) - 1;
                std::swap(attempt.endpoints[0].a[3], attempt.endpoints[0].b[3]);
                for (int i = 0; i < 16; ++i)
                    attempt.alphaIndex[i] = u8(alphaMax - attempt.alphaIndex[i]);
            }
        }

        // The region's errors while one channel's endpoints vary and the others stay: per
        // texel the part of its error the channel does not touch (for each p-bit the vote
        // may give the fixed channels), so a candidate pair costs one channel's palette.
        // measure() is the region's error for a candidate pair, or noError once it passes
        // the bound.
        class ChannelErrors
        {
        public:
            ChannelErrors(const Context& ctx, const Region& region, const Endpoints& e, int channel)
                : ctx(ctx), region(region), channel(channel)
            {
                const bool ownAlpha = ctx.alphaBits != 0;
                const bool inColor = channel < 3 || !ownAlpha;
                entries = 1 << (inColor ? ctx.colorBits : ctx.alphaBits);
                weights = bptc::weightsFor(inColor ? ctx.colorBits : ctx.alphaBits);
                pbits = ctx.mode->pbits != 0;
                shared = ctx.mode->sharedPBit;

                for (int c = 0; c < 4; ++c)
                {
                    if (!ctx.precision[c])
                        continue;
                    voters += 1;
                    if (c != channel)
                    {
                        votesA += e.a[c] & 1;
                        votesB += e.b[c] & 1;
                    }
                }

                // the other group's best error (modes 4 and 5, which have no p-bits)
                int constant[16] = {};
                if (ownAlpha)
                {
                    Palette palette;
                    paletteBC7(palette, ctx, e);
                    for (int i = 0; i < region.count; ++i)
                    {
                        const u8* texel = ctx.texels[region.list[i]];
                        int best = noError;
                        if (inColor)
                        {
                            for (int j = 0; j < (1 << ctx.alphaBits) && best > 0; ++j)
                            {
                                const int d = int(texel[3]) - palette.alpha[j];
                                if (d * d > best)
                                    break;
                                best = d * d < best ? d * d : best;
                            }
                        }
                        else
                        {
                            for (int j = 0; j < (1 << ctx.colorBits) && best > 0; ++j)
                            {
                                int error = 0;
                                for (int c = 0; c < 3; ++c)
                                {
                                    const int d = int(texel[c]) - palette.color[j][c];
                                    error += d * d;
                                }
                                if (error > best)
                                    break;
                                best = error < best ? error : best;
                            }
                        }
                        constant[i] = best;
                    }
                }

                const int first = ownAlpha && inColor ? 0 : ownAlpha ? 3 : 0;
                const int last = ownAlpha && inColor ? 3 : 4;
                for (int combo = 0; combo < 4; ++combo)
                {
                    if (!pbits && combo)
                        break;
                    int palette[16][4] = {};
                    for (int c = first; c < last; ++c)
                    {
                        if (c == channel)
                            continue;
                        const int a = unquantizeBC7(withBit(e.a[c], c, combo >> 1), ctx.precision[c]);
                        const int b = unquantizeBC7(withBit(e.b[c], c, combo & 1), ctx.precision[c]);
                        for (int j = 0; j < entries; ++j)
                            palette[j][c] = bptc::interpolate(a, b, weights[j]);
                    }
                    for (int i = 0; i < region.count; ++i)
                    {
                        const u8* texel = ctx.texels[region.list[i]];
                        for (int j = 0; j < entries; ++j)
                        {
                            int error = 0;
                            for (int c = first; c < last; ++c)
                            {
                                if (c == channel)
                                    continue;
                                const int d = int(texel[c]) - palette[j][c];
                                error += d * d;
                            }
                            other[combo][i][j] = error;
                        }
                    }
                }
                for (int i = 0; i < region.count; ++i)
                {
                    value[i] = ctx.texels[region.list[i]][channel];
                    this->constant[i] = constant[i];
                }
            }

            int measure(int a, int b, int bound) const
            {
                int pa = 0;
                int pb = 0;
                if (pbits)
                {
                    if (shared)
                        pa = pb = (votesA + votesB + (a & 1) + (b & 1)) > voters ? 1 : 0;
                    else
                    {
                        pa = (votesA + (a & 1)) * 2 > voters ? 1 : 0;
                        pb = (votesB + (b & 1)) * 2 > voters ? 1 : 0;
                    }
                    a = (a & ~1) | pa;
                    b = (b & ~1) | pb;
                }
                const int (*base)[16] = other[pa * 2 + pb];
                const int ua = unquantizeBC7(a, ctx.precision[channel]);
                const int ub = unquantizeBC7(b, ctx.precision[channel]);
                int palette[16];
                for (int j = 0; j < entries; ++j)
                    palette[j] = bptc::interpolate(ua, ub, weights[j]);

                int sum = 0;
                for (int i = 0; i < region.count; ++i)
                {
                    int best = noError;
                    for (int j = 0; j < entries && best > 0; ++j)
                    {
                        const int d = value[i] - palette[j];
                        const int error = base[i][j] + d * d;
                        if (error > best)
                            break;
                        best = error < best ? error : best;
                    }
                    sum += best + constant[i];
                    if (sum > bound)
                        return noError;
                }
                return sum;
            }

        private:
            int withBit(int v, int c, int bit) const
            {
                return pbits && ctx.precision[c] ? (v & ~1) | bit : v;
            }

            const Context& ctx;
            const Region& region;
            int channel;
            int entries = 0;
            const int* weights = nullptr;
            bool pbits = false;
            bool shared = false;
            int voters = 0;
            int votesA = 0;
            int votesB = 0;
            int value[16] = {};
            int constant[16] = {};
            int other[4][16][16];
        };

        int exhaustiveSearchBC7(const Context& ctx, const Region& region, Endpoints& e, int channel, int error)
        {
            const int precision = ctx.precision[channel];
            if (error == 0 || precision == 0)
                return error;
            const int top = (1 << precision) - 1;
            const int a0 = e.a[channel];
            const int b0 = e.b[channel];
            const int alow = a0 - 5 < 0 ? 0 : a0 - 5;
            const int ahigh = a0 + 5 > top ? top : a0 + 5;
            const int blow = b0 - 5 < 0 ? 0 : b0 - 5;
            const int bhigh = b0 + 5 > top ? top : b0 + 5;

            const ChannelErrors errors(ctx, region, e, channel);
            int best = error;
            int bestA = a0;
            int bestB = b0;
            auto measure = [&](int a, int b) {
                const int trial = errors.measure(a, b, best);
                if (trial < best)
                {
                    best = trial;
                    bestA = a;
                    bestB = b;
                }
            };
            // Both orders keep B below bhigh: the window's top value of B is not tried.
            if (a0 <= b0)
            {
                for (int a = alow; a <= ahigh; ++a)
                    for (int b = a > blow ? a : blow; b < bhigh; ++b)
                        measure(a, b);
            }
            else
            {
                for (int b = blow; b < bhigh; ++b)
                    for (int a = b > alow ? b : alow; a <= ahigh; ++a)
                        measure(a, b);
            }
            e.a[channel] = bestA;
            e.b[channel] = bestB;
            return best;
        }

        // Moves one endpoint channel by halving steps while that lowers the error.
        int perturbEndpointBC7(const Context& ctx, const ChannelErrors& errors, Endpoints& e, int which, int channel,
                               int error)
        {
            const int precision = ctx.precision[channel];
            const int top = (1 << precision) - 1;
            int& value = channelRef(e, which, channel);
            for (int step = 1 << (precision - 1); step > 0; step >>= 1)
            {
                const int start = value;
                int bestValue = start;
                for (const int candidate : { start - step, start + step })
                {
                    if (candidate < 0 || candidate > top)
                        continue;
                    value = candidate;
                    const int trial = errors.measure(e.a[channel], e.b[channel], error);
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

        int optimizeRegionBC7(const Context& ctx, const Region& region, Endpoints& e, int error)
        {
            for (int channel = 0; channel < 4; ++channel)
            {
                if (!ctx.precision[channel])
                    continue;
                // only this channel moves below: the others' errors are computed once
                const ChannelErrors errors(ctx, region, e, channel);
                Endpoints tryA = e;
                Endpoints tryB = e;
                const int errorA = perturbEndpointBC7(ctx, errors, tryA, 0, channel, error);
                const int errorB = perturbEndpointBC7(ctx, errors, tryB, 1, channel, error);
                if (errorA >= error && errorB >= error)
                    continue;
                int which = errorB < errorA ? 1 : 0;
                e = which ? tryB : tryA;
                error = which ? errorB : errorA;
                // alternate: the other end, then this one, while either still helps
                for (;;)
                {
                    which ^= 1;
                    const int trial = perturbEndpointBC7(ctx, errors, e, which, channel, error);
                    if (trial >= error)
                        break;
                    error = trial;
                }
            }
            for (int channel = 0; channel < 4; ++channel)
                error = exhaustiveSearchBC7(ctx, region, e, channel, error);
            return error;
        }

        void optimizeEndpointsBC7(const Context& ctx, const Region* regions, Attempt& attempt)
        {
            for (int r = 0; r < ctx.mode->regions; ++r)
                optimizeRegionBC7(ctx, regions[r], attempt.endpoints[r], attempt.regionError[r]);
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

            // With a second field, the field of the colour indices depends on the selection.
            const u8* primary = attempt.colorIndex;
            const u8* secondary = attempt.alphaIndex;
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

        // The full attempt at one shape: returns its error and leaves its block in output.
        int refineBC7(const Context& ctx, int shape, int rotation, int selection, u8* output)
        {
            Region regions[3];
            makeRegions(regions, ctx.mode->regions, shape);

            Attempt first;
            roughEndpointsBC7(ctx, regions, first.endpoints);
            for (int r = 0; r < ctx.mode->regions; ++r)
                for (int c = 0; c < 4; ++c)
                {
                    const int p = ctx.precision[c];
                    for (int* v : { &first.endpoints[r].a[c], &first.endpoints[r].b[c] })
                    {
                        if (!p)
                            *v = 255;
                        else if (p < 8)
                            *v = (*v + (1 << (7 - p)) > 255 ? 255 : *v + (1 << (7 - p))) >> (8 - p);
                    }
                }
            assignIndicesBC7(ctx, regions, shape, first);

            Attempt second = first;
            optimizeEndpointsBC7(ctx, regions, second);
            assignIndicesBC7(ctx, regions, shape, second);

            int firstSum = 0;
            int secondSum = 0;
            for (int r = 0; r < ctx.mode->regions; ++r)
            {
                firstSum += first.regionError[r];
                secondSum += second.regionError[r];
            }
            if (secondSum < firstSum)
            {
                emitBlockBC7(ctx, second, shape, rotation, selection, output);
                return secondSum;
            }
            emitBlockBC7(ctx, first, shape, rotation, selection, output);
            return firstSum;
        }

        // The count smallest errors to the front, in order; equal errors keep shape order.
        void selectShapes(int* shapes, int* errors, int total, int count)
        {
            for (int k = 0; k < count; ++k)
                for (int j = k + 1; j < total; ++j)
                    if (errors[j] < errors[k])
                    {
                        std::swap(errors[j], errors[k]);
                        std::swap(shapes[j], shapes[k]);
                    }
        }

        void rotate(u8 (*texels)[4], float (*input)[4], int rotation)
        {
            if (!rotation)
                return;
            for (int i = 0; i < 16; ++i)
            {
                std::swap(texels[i][rotation - 1], texels[i][3]);
                std::swap(input[i][rotation - 1], input[i][3]);
            }
        }

        void encodeBC7Block(u8* output, const float (*source)[4])
        {
            u8 texels[16][4];
            float input[16][4];
            for (int i = 0; i < 16; ++i)
                for (int c = 0; c < 4; ++c)
                {
                    // NaN becomes 0, and the float copy keeps to [0, 1] like the 8-bit one
                    const float v = source[i][c] > 0.0f ? source[i][c] : 0.0f;
                    input[i][c] = v < 1.0f ? v : 1.0f;
                    texels[i][c] = u8(int(input[i][c] * 255.0f + 0.01f));
                }

            int bestError = noError;
            u8 candidate[16];
            for (int modeIndex = 0; modeIndex < 8 && bestError > 0; ++modeIndex)
            {
                const BC7Mode& m = bptc::bc7Modes[modeIndex];
                for (int rotation = 0; rotation < (1 << m.rotationBits) && bestError > 0; ++rotation)
                {
                    rotate(texels, input, rotation);
                    for (int selection = 0; selection < (1 << m.selectionBits) && bestError > 0; ++selection)
                    {
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
                        ctx.input = input;

                        const int shapeCount = 1 << m.partitionBits;
                        int shapes[64];
                        int errors[64];
                        for (int s = 0; s < shapeCount; ++s)
                        {
                            shapes[s] = s;
                            errors[s] = shapeCount > 1 ? roughErrorBC7(ctx, s) : 0;
                        }
                        const int refined = shapeCount < 4 ? 1 : shapeCount / 4;
                        selectShapes(shapes, errors, shapeCount, refined);
                        for (int k = 0; k < refined && bestError > 0; ++k)
                        {
                            const int error = refineBC7(ctx, shapes[k], rotation, selection, candidate);
                            if (error < bestError)
                            {
                                bestError = error;
                                std::memcpy(output, candidate, 16);
                            }
                        }
                    }
                    rotate(texels, input, rotation);
                }
            }
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
