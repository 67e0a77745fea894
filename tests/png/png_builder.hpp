#pragma once

// Tiny PNG and APNG writer for the variants no tool writes: files are laid out chunk by
// chunk from the byte layout, with real CRCs, so that each test changes exactly one thing.

#include <string>
#include <vector>

#include <libdeflate.h>

#include <norva/core/crc32.hpp>

namespace pngbuild
{
    using norva::u8;
    using norva::u32;
    using Bytes = std::vector<u8>;

    inline void put32(Bytes& out, u32 v)
    {
        out.push_back(u8(v >> 24));
        out.push_back(u8(v >> 16));
        out.push_back(u8(v >> 8));
        out.push_back(u8(v));
    }

    inline void put16(Bytes& out, u32 v)
    {
        out.push_back(u8(v >> 8));
        out.push_back(u8(v));
    }

    inline Bytes signature()
    {
        return { 0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A };
    }

    inline void chunk(Bytes& out, const char* type, const Bytes& data)
    {
        put32(out, u32(data.size()));
        Bytes body(type, type + 4);
        body.insert(body.end(), data.begin(), data.end());
        out.insert(out.end(), body.begin(), body.end());
        put32(out, norva::crc32(0, norva::ConstMemory(body.data(), body.size())));
    }

    inline Bytes ihdr(u32 width, u32 height, int depth, int type, int interlace = 0)
    {
        Bytes d;
        put32(d, width);
        put32(d, height);
        d.push_back(u8(depth));
        d.push_back(u8(type));
        d.push_back(0);
        d.push_back(0);
        d.push_back(u8(interlace));
        return d;
    }

    inline Bytes zlib(const Bytes& raw)
    {
        libdeflate_compressor* c = libdeflate_alloc_compressor(6);
        Bytes z(libdeflate_zlib_compress_bound(c, raw.size()));
        z.resize(libdeflate_zlib_compress(c, raw.data(), raw.size(), z.data(), z.size()));
        libdeflate_free_compressor(c);
        return z;
    }

    inline u32 adler32(const Bytes& data)
    {
        u32 a = 1, b = 0;
        for (u8 v : data)
        {
            a = (a + v) % 65521;
            b = (b + a) % 65521;
        }
        return (b << 16) | a;
    }

    // A zlib stream of `blocks` stored deflate blocks: exactly 6 + 5 x blocks + raw bytes,
    // which lets a test hit a compressed size to the byte.
    inline Bytes storedZlib(const Bytes& raw, size_t blocks)
    {
        Bytes z = { 0x78, 0x01 };
        size_t done = 0;
        for (size_t b = 0; b < blocks; ++b)
        {
            const size_t n = b + 1 == blocks ? raw.size() - done : raw.size() / blocks;
            z.push_back(b + 1 == blocks ? 1 : 0);
            z.push_back(u8(n));
            z.push_back(u8(n >> 8));
            z.push_back(u8(~n));
            z.push_back(u8(~n >> 8));
            z.insert(z.end(), raw.begin() + std::ptrdiff_t(done), raw.begin() + std::ptrdiff_t(done + n));
            done += n;
        }
        put32(z, adler32(raw));
        return z;
    }

    // Rows of `rowBytes` bytes, each behind filter byte 0.
    inline Bytes scanlines(const Bytes& pixels, size_t rowBytes)
    {
        Bytes raw;
        for (size_t y = 0; y * rowBytes < pixels.size(); ++y)
        {
            raw.push_back(0);
            raw.insert(raw.end(), pixels.begin() + std::ptrdiff_t(y * rowBytes),
                       pixels.begin() + std::ptrdiff_t((y + 1) * rowBytes));
        }
        return raw;
    }

    // A still image: signature, IHDR, the extra chunks, one IDAT, IEND.
    inline Bytes still(const Bytes& header, const std::vector<std::pair<std::string, Bytes>>& extra, const Bytes& idat)
    {
        Bytes out = signature();
        chunk(out, "IHDR", header);
        for (const auto& [type, data] : extra)
        {
            chunk(out, type.c_str(), data);
        }
        chunk(out, "IDAT", idat);
        chunk(out, "IEND", {});
        return out;
    }

    inline Bytes fctl(u32 sequence, u32 w, u32 h, u32 x, u32 y, int dispose, int blend, int delayNum = 1,
                      int delayDen = 10)
    {
        Bytes d;
        put32(d, sequence);
        put32(d, w);
        put32(d, h);
        put32(d, x);
        put32(d, y);
        put16(d, u32(delayNum));
        put16(d, u32(delayDen));
        d.push_back(u8(dispose));
        d.push_back(u8(blend));
        return d;
    }

} // namespace pngbuild
