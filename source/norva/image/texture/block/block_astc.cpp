// ASTC 2D block decoder (LDR, sRGB and HDR endpoint modes, void extents, dual planes, up to
// four partitions) after the Khronos ASTC block format. A block is read as one 128-bit
// little-endian value; the weights run from bit 127 downward, so they are read from the
// bit-reversed block. Reserved or inconsistent blocks decode to magenta.
//
// Linear rows write the high byte of the 16-bit interpolation, the same rule as the sRGB
// rows: a flat (128, 64, 200) block stays (128, 64, 200) and the output matches Mesa's
// decoder. HDR components saturate to 0..255 there; sRGB rows, like the format's LDR
// profile, give HDR content the error colour. Float destinations of the linear rows take
// decodeBlockASTCFloat, which keeps HDR values above 1.0.

#include <algorithm>
#include <cstring>

#include <norva/core/endian.hpp>
#include <norva/image/blitter.hpp>

#include "block_astc.hpp"
#include "block_astc_tables.hpp"
#include "block_codecs.hpp"

namespace norva
{
    namespace
    {
        using namespace astc;

        constexpr int maxTexels = 144;

        struct Bits128
        {
            u64 lo;
            u64 hi;
        };

        // count bits (0..32) from bit pos; bits at 128 and above read as 0
        inline u32 getBits(const Bits128& v, int pos, int count)
        {
            u64 r;
            if (pos >= 64)
                r = pos >= 128 ? 0 : v.hi >> (pos - 64);
            else if (pos == 0)
                r = v.lo;
            else
                r = (v.lo >> pos) | (v.hi << (64 - pos));
            return u32(r & ((u64(1) << count) - 1));
        }

        // bits [pos, pos + count) moved down to bit 0, everything above them cleared
        inline Bits128 slice(const Bits128& v, int pos, int count)
        {
            Bits128 r;
            if (pos == 0)
                r = v;
            else if (pos < 64)
                r = { (v.lo >> pos) | (v.hi << (64 - pos)), v.hi >> pos };
            else
                r = { v.hi >> (pos - 64), 0 };
            if (count < 64)
                r = { count > 0 ? r.lo & ((u64(1) << count) - 1) : 0, 0 };
            else if (count < 128)
                r.hi &= (u64(1) << (count - 64)) - 1;
            return r;
        }

        inline u64 reverse64(u64 x)
        {
            x = ((x >> 1) & 0x5555555555555555ull) | ((x & 0x5555555555555555ull) << 1);
            x = ((x >> 2) & 0x3333333333333333ull) | ((x & 0x3333333333333333ull) << 2);
            x = ((x >> 4) & 0x0F0F0F0F0F0F0F0Full) | ((x & 0x0F0F0F0F0F0F0F0Full) << 4);
            return __builtin_bswap64(x);
        }

        // Decodes `count` values of range q (the sequence starts at bit 0 of bits; bits past
        // it are zero, which also clears the trit and quint bits of a short last group) and
        // maps each value through table.
        void decodeSequence(const Bits128& bits, int count, int q, const u8* table, u8* out)
        {
            const Range& r = ranges[q];
            const int b = r.bits;
            // a shift register: each read takes the low n bits and shifts them out
            unsigned __int128 stream = (static_cast<unsigned __int128>(bits.hi) << 64) | bits.lo;
            auto read = [&stream](int n) {
                const u32 value = u32(u64(stream) & ((u64(1) << n) - 1));
                stream >>= n;
                return value;
            };
            if (r.trits)
            {
                for (int i = 0; i < count; i += 5)
                {
                    u32 m[5];
                    m[0] = read(b);
                    u32 t = read(2);
                    m[1] = read(b);
                    t |= read(2) << 2;
                    m[2] = read(b);
                    t |= read(1) << 4;
                    m[3] = read(b);
                    t |= read(2) << 5;
                    m[4] = read(b);
                    t |= read(1) << 7;
                    const u32 digits = tritDigits[t];
                    const int n = std::min(5, count - i);
                    for (int k = 0; k < n; ++k)
                        out[i + k] = table[(((digits >> (2 * k)) & 3) << b) | m[k]];
                }
            }
            else if (r.quints)
            {
                for (int i = 0; i < count; i += 3)
                {
                    u32 m[3];
                    m[0] = read(b);
                    u32 t = read(3);
                    m[1] = read(b);
                    t |= read(2) << 3;
                    m[2] = read(b);
                    t |= read(2) << 5;
                    const u32 digits = quintDigits[t];
                    const int n = std::min(3, count - i);
                    for (int k = 0; k < n; ++k)
                        out[i + k] = table[(((digits >> (3 * k)) & 7) << b) | m[k]];
                }
            }
            else
            {
                for (int i = 0; i < count; ++i)
                    out[i] = table[read(b)];
            }
        }

        // ---------------------------------------------------------------------------------
        // partitions

        inline u32 hash52(u32 p)
        {
            p ^= p >> 15;
            p *= 0xEEDE0891u;
            p ^= p >> 5;
            p += p << 16;
            p ^= p >> 7;
            p ^= p >> 3;
            p ^= p << 6;
            p ^= p >> 17;
            return p;
        }

        // The partition hash with z = 0, prepared once per block.
        struct PartitionHash
        {
            int s[8];
            u32 a, b, c, d;
            int count;

            PartitionHash(int seed, int partitions)
            {
                count = partitions;
                seed += (partitions - 1) * 1024;
                const u32 rnum = hash52(u32(seed));
                int sh1, sh2;
                if (seed & 1)
                {
                    sh1 = (seed & 2) ? 4 : 5;
                    sh2 = partitions == 3 ? 6 : 5;
                }
                else
                {
                    sh1 = partitions == 3 ? 6 : 5;
                    sh2 = (seed & 2) ? 4 : 5;
                }
                for (int i = 0; i < 8; ++i)
                {
                    const int v = int((rnum >> (4 * i)) & 0xF);
                    s[i] = (v * v) >> ((i & 1) ? sh2 : sh1);
                }
                a = rnum >> 14;
                b = rnum >> 10;
                c = rnum >> 6;
                d = rnum >> 2;
            }

            int select(int x, int y) const
            {
                const int pa = int((u32(s[0] * x + s[1] * y) + a) & 0x3F);
                const int pb = int((u32(s[2] * x + s[3] * y) + b) & 0x3F);
                const int pc = count < 3 ? 0 : int((u32(s[4] * x + s[5] * y) + c) & 0x3F);
                const int pd = count < 4 ? 0 : int((u32(s[6] * x + s[7] * y) + d) & 0x3F);
                if (pa >= pb && pa >= pc && pa >= pd)
                    return 0;
                if (pb >= pc && pb >= pd)
                    return 1;
                if (pc >= pd)
                    return 2;
                return 3;
            }
        };

        // ---------------------------------------------------------------------------------
        // block decoding

        enum class Kind
        {
            Error,
            VoidLDR,
            VoidHDR,
            Normal,
        };

        struct Decoded
        {
            Kind kind;
            int partitions;
            int seed;
            int planeComponent;     // the second plane's component, -1 with one plane
            u16 color[4];           // void extent
            Endpoints endpoints[4];
            u8 weights[2][maxTexels];
        };

        // The weight grid spread over the texels by the format's bilinear infill.
        void infillWeights(u8 (*texelWeights)[maxTexels], const u8* grid, int width, int height, int gridWidth,
                           int gridHeight, int planes)
        {
            if (gridWidth == width && gridHeight == height)
            {
                const int n = width * height;
                for (int p = 0; p < planes; ++p)
                    for (int i = 0; i < n; ++i)
                        texelWeights[p][i] = grid[i * planes + p];
                return;
            }

            int column[12], columnFraction[12];
            int row[12], rowFraction[12];
            const int ds = (1024 + width / 2) / (width - 1);
            const int dt = (1024 + height / 2) / (height - 1);
            for (int s = 0; s < width; ++s)
            {
                const int g = (ds * s * (gridWidth - 1) + 32) >> 6;
                column[s] = g >> 4;
                columnFraction[s] = g & 15;
            }
            for (int t = 0; t < height; ++t)
            {
                const int g = (dt * t * (gridHeight - 1) + 32) >> 6;
                row[t] = g >> 4;
                rowFraction[t] = g & 15;
            }

            for (int t = 0; t < height; ++t)
            {
                const int ft = rowFraction[t];
                for (int s = 0; s < width; ++s)
                {
                    const int fs = columnFraction[s];
                    const int w11 = (fs * ft + 8) >> 4;
                    const int w10 = ft - w11;
                    const int w01 = fs - w11;
                    const int w00 = 16 - fs - ft + w11;
                    const int index = row[t] * gridWidth + column[s];
                    for (int p = 0; p < planes; ++p)
                    {
                        // a neighbour past the last column or row has factor 0: not read
                        const u8* g = grid + index * planes + p;
                        int sum = g[0] * w00 + 8;
                        if (w01)
                            sum += g[planes] * w01;
                        if (w10)
                            sum += g[gridWidth * planes] * w10;
                        if (w11)
                            sum += g[(gridWidth + 1) * planes] * w11;
                        texelWeights[p][t * width + s] = u8(sum >> 4);
                    }
                }
            }
        }

        void decodeBlock(Decoded& out, const u8* data, int width, int height)
        {
            const Bits128 block { loadLE64(data), loadLE64(data + 8) };
            const int modeBits = int(block.lo & 0x7FF);
            const BlockMode& mode = blockModes[modeBits];
            out.kind = Kind::Error;

            if (mode.flags & MODE_VOID_EXTENT)
            {
                const int minS = int(getBits(block, 12, 13));
                const int maxS = int(getBits(block, 25, 13));
                const int minT = int(getBits(block, 38, 13));
                const int maxT = int(getBits(block, 51, 13));
                const bool all = minS == 0x1FFF && maxS == 0x1FFF && minT == 0x1FFF && maxT == 0x1FFF;
                if (!all && (minS >= maxS || minT >= maxT))
                    return;
                for (int c = 0; c < 4; ++c)
                    out.color[c] = u16(block.hi >> (16 * c));
                out.kind = (modeBits & 0x200) ? Kind::VoidHDR : Kind::VoidLDR;
                return;
            }
            if (mode.flags & MODE_ERROR)
                return;
            if (mode.gridWidth > width || mode.gridHeight > height)
                return;

            const bool dual = mode.flags & MODE_DUAL_PLANE;
            const int partitions = int(getBits(block, 11, 2)) + 1;
            if (dual && partitions == 4)
                return;

            const int weightBits = mode.weightBits;
            int cems[4];
            int extraBits = 0;
            int colorStart;
            if (partitions == 1)
            {
                cems[0] = int(getBits(block, 13, 4));
                colorStart = 17;
                out.seed = 0;
            }
            else
            {
                out.seed = int(getBits(block, 13, 10));
                u32 field = getBits(block, 23, 6);
                const int selector = int(field & 3);
                colorStart = 29;
                if (selector == 0)
                {
                    for (int p = 0; p < partitions; ++p)
                        cems[p] = int(field >> 2);
                }
                else
                {
                    extraBits = 3 * partitions - 4;
                    field |= getBits(block, 128 - weightBits - extraBits, extraBits) << 6;
                    for (int p = 0; p < partitions; ++p)
                    {
                        const int classBit = int((field >> (2 + p)) & 1);
                        const int modeBitsP = int((field >> (2 + partitions + 2 * p)) & 3);
                        cems[p] = ((selector - 1 + classBit) << 2) | modeBitsP;
                    }
                }
            }
            const int componentBits = dual ? 2 : 0;
            out.planeComponent = dual ? int(getBits(block, 128 - weightBits - extraBits - 2, 2)) : -1;
            const int colorBits = 128 - weightBits - extraBits - componentBits - colorStart;

            int valueCount = 0;
            for (int p = 0; p < partitions; ++p)
                valueCount += 2 * (cems[p] >> 2) + 2;
            if (valueCount > 18 || colorBits < (13 * valueCount + 4) / 5)
                return;

            int q = 20;
            while (iseBitCount(q, valueCount) > colorBits)
                --q;

            u8 values[18];
            decodeSequence(slice(block, colorStart, iseBitCount(q, valueCount)), valueCount, q,
                           colorUnquantized.data() + colorTableOffsets[q], values);
            const u8* v = values;
            for (int p = 0; p < partitions; ++p)
            {
                decodeEndpoints(out.endpoints[p], cems[p], v);
                v += 2 * (cems[p] >> 2) + 2;
            }

            const int planes = dual ? 2 : 1;
            const int gridCount = mode.gridWidth * mode.gridHeight * planes;
            const Bits128 reversed { reverse64(block.hi), reverse64(block.lo) };
            u8 grid[64];
            decodeSequence(slice(reversed, 0, weightBits), gridCount, mode.weightRange,
                           weightUnquantized[mode.weightRange].data(), grid);
            infillWeights(out.weights, grid, width, height, mode.gridWidth, mode.gridHeight, planes);

            out.partitions = partitions;
            out.kind = Kind::Normal;
        }

        // 12-bit-per-endpoint HDR interpolation result to the half-float bit pattern
        inline u16 lnsToHalf(int v)
        {
            int mantissa = v & 0x7FF;
            const int exponent = v >> 11;
            if (mantissa < 512)
                mantissa *= 3;
            else if (mantissa < 1536)
                mantissa = 4 * mantissa - 512;
            else
                mantissa = 5 * mantissa - 2048;
            const int half = (exponent << 10) | (mantissa >> 3);
            return u16((half >> 10) == 31 ? 0x7BFF : half);
        }

        // 16-bit LDR values as fractions of 65536 (exact in a float), 0xFFFF as 1.0
        inline float ldrToFloat(int v)
        {
            return v == 0xFFFF ? 1.0f : float(v) * (1.0f / 65536.0f);
        }

        inline u8 floatToByte(float f)
        {
            if (!(f > 0.0f))
                return 0;
            if (f >= 1.0f)
                return 255;
            return u8(f * 255.0f + 0.5f);
        }

        // Expanded endpoints of one partition: 16-bit LDR values or 16-bit HDR (LNS) values.
        struct Expanded
        {
            int e0[4];
            int e1[4];
            int base[4];    // e0 * 64 + 32: the interpolation as base + delta * weight
            int delta[4];   // e1 - e0
            bool hdr[4];
            bool error;
            bool ldr;       // no HDR component and no error: the fast path
        };

        void expand(Expanded* expanded, const Decoded& d, bool srgb, bool ldrOnly)
        {
            for (int p = 0; p < d.partitions; ++p)
            {
                const Endpoints& ep = d.endpoints[p];
                Expanded& x = expanded[p];
                x.error = (srgb || ldrOnly) && (ep.hdrColor || ep.hdrAlpha);
                x.ldr = !ep.hdrColor && !ep.hdrAlpha;
                for (int c = 0; c < 4; ++c)
                {
                    const bool hdr = c < 3 ? ep.hdrColor : ep.hdrAlpha;
                    x.hdr[c] = hdr;
                    if (hdr)
                    {
                        x.e0[c] = ep.e0[c] << 4;
                        x.e1[c] = ep.e1[c] << 4;
                    }
                    else if (srgb)
                    {
                        x.e0[c] = (ep.e0[c] << 8) | 0x80;
                        x.e1[c] = (ep.e1[c] << 8) | 0x80;
                    }
                    else
                    {
                        x.e0[c] = ep.e0[c] * 257;
                        x.e1[c] = ep.e1[c] * 257;
                    }
                    x.base[c] = x.e0[c] * 64 + 32;
                    x.delta[c] = x.e1[c] - x.e0[c];
                }
            }
        }

        // The partition of every texel, row by row.
        void partitionMap(u8* partitionOf, const Decoded& d, int width, int height)
        {
            if (d.partitions == 1)
            {
                std::memset(partitionOf, 0, size_t(width) * height);
                return;
            }
            const PartitionHash hash(d.seed, d.partitions);
            const int scale = width * height < 31 ? 2 : 1;
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x)
                    partitionOf[y * width + x] = u8(hash.select(x * scale, y * scale));
        }

        inline int interpolate(int e0, int e1, int w)
        {
            return (e0 * (64 - w) + e1 * w + 32) >> 6;
        }

        void fillBytes(u8* dest, s32 stride, int width, int height, const u8 color[4])
        {
            for (int y = 0; y < height; ++y)
            {
                u8* row = dest + ptrdiff_t(y) * stride;
                for (int x = 0; x < width; ++x)
                    std::memcpy(row + x * 4, color, 4);
            }
        }

        constexpr u8 errorBytes[4] = { 255, 0, 255, 255 };
        constexpr float errorFloats[4] = { 1.0f, 0.0f, 1.0f, 1.0f };

    } // namespace

    void decodeASTCBlockRGBA8(u8* dest, s32 stride, const u8* block, int width, int height, bool srgb, bool ldrOnly)
    {
        Decoded d;
        decodeBlock(d, block, width, height);
        switch (d.kind)
        {
        case Kind::Error:
            fillBytes(dest, stride, width, height, errorBytes);
            return;
        case Kind::VoidLDR:
        {
            const u8 color[4] = { u8(d.color[0] >> 8), u8(d.color[1] >> 8), u8(d.color[2] >> 8), u8(d.color[3] >> 8) };
            fillBytes(dest, stride, width, height, color);
            return;
        }
        case Kind::VoidHDR:
        {
            if (srgb || ldrOnly)
            {
                fillBytes(dest, stride, width, height, errorBytes);
                return;
            }
            u8 color[4];
            for (int c = 0; c < 4; ++c)
                color[c] = floatToByte(halfToFloat(d.color[c]));
            fillBytes(dest, stride, width, height, color);
            return;
        }
        case Kind::Normal:
            break;
        }

        Expanded expanded[4];
        expand(expanded, d, srgb, ldrOnly);
        const int plane = d.planeComponent;
        u8 partitionOf[maxTexels];
        partitionMap(partitionOf, d, width, height);
        for (int y = 0; y < height; ++y)
        {
            u8* row = dest + ptrdiff_t(y) * stride;
            const u8* weights0 = d.weights[0] + y * width;
            const u8* weights1 = d.weights[1] + y * width;
            const u8* partition = partitionOf + y * width;
            for (int x = 0; x < width; ++x)
            {
                u8* out = row + x * 4;
                const Expanded& e = expanded[partition[x]];
                if (e.ldr && plane < 0)
                {
                    const int w = weights0[x];
                    u32 texel = 0;
                    for (int c = 0; c < 4; ++c)
                        texel |= u32((e.base[c] + e.delta[c] * w) >> 14) << (8 * c);
                    storeLE32(out, texel);
                    continue;
                }
                int w[4];
                w[0] = w[1] = w[2] = w[3] = weights0[x];
                if (plane >= 0)
                    w[plane] = weights1[x];
                if (e.ldr)
                {
                    // (e0 (64 - w) + e1 w + 32) >> 6, then the high byte
                    for (int c = 0; c < 4; ++c)
                        out[c] = u8((e.base[c] + e.delta[c] * w[c]) >> 14);
                    continue;
                }
                if (e.error)
                {
                    std::memcpy(out, errorBytes, 4);
                    continue;
                }
                for (int c = 0; c < 4; ++c)
                {
                    const int v = interpolate(e.e0[c], e.e1[c], w[c]);
                    out[c] = e.hdr[c] ? floatToByte(halfToFloat(lnsToHalf(v))) : u8(v >> 8);
                }
            }
        }
    }

    void decodeASTCBlockFloat(float* texels, const u8* block, int width, int height, bool ldrOnly)
    {
        const int count = width * height;
        Decoded d;
        decodeBlock(d, block, width, height);
        if (d.kind == Kind::Error || (d.kind == Kind::VoidHDR && ldrOnly))
        {
            for (int i = 0; i < count; ++i)
                std::memcpy(texels + i * 4, errorFloats, 16);
            return;
        }
        if (d.kind == Kind::VoidLDR || d.kind == Kind::VoidHDR)
        {
            float color[4];
            for (int c = 0; c < 4; ++c)
                color[c] = d.kind == Kind::VoidHDR ? halfToFloat(d.color[c]) : ldrToFloat(d.color[c]);
            for (int i = 0; i < count; ++i)
                std::memcpy(texels + i * 4, color, 16);
            return;
        }

        Expanded expanded[4];
        expand(expanded, d, false, ldrOnly);
        u8 partitionOf[maxTexels];
        partitionMap(partitionOf, d, width, height);
        for (int i = 0; i < count; ++i)
        {
            float* out = texels + i * 4;
            const Expanded& e = expanded[partitionOf[i]];
            if (e.error)
            {
                std::memcpy(out, errorFloats, 16);
                continue;
            }
            int w[4];
            w[0] = w[1] = w[2] = w[3] = d.weights[0][i];
            if (d.planeComponent >= 0)
                w[d.planeComponent] = d.weights[1][i];
            for (int c = 0; c < 4; ++c)
            {
                const int v = interpolate(e.e0[c], e.e1[c], w[c]);
                out[c] = e.hdr[c] ? halfToFloat(lnsToHalf(v)) : ldrToFloat(v);
            }
        }
    }

    void decodeBlockASTC(const TextureCompressionInfo& info, u8* dest, const u8* block, s32 stride)
    {
        const bool srgb = info.compression & TextureCompression::FLAG_SRGB;
        decodeASTCBlockRGBA8(dest, stride, block, info.width, info.height, srgb, false);
    }

    void decodeBlockASTCFloat(const TextureCompressionInfo& info, u8* dest, const u8* block, s32 stride)
    {
        float texels[maxTexels * 4];
        decodeASTCBlockFloat(texels, block, info.width, info.height, false);
        const size_t rowBytes = size_t(info.width) * 16;
        for (int y = 0; y < info.height; ++y)
            std::memcpy(dest + ptrdiff_t(y) * stride, texels + y * info.width * 4, rowBytes);
    }

} // namespace norva
