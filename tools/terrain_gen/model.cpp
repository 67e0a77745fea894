#include "model.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <thread>
#include <vector>

#include <tiffio.h>

namespace terrain_gen
{
    namespace
    {
        using norva::u16;
        using norva::u32;

        struct TiffFile
        {
            TIFF* tiff;
            ~TiffFile() { if (tiff) TIFFClose(tiff); }
        };

        bool flush(TIFF* tiff, const std::string& path, std::string& error)
        {
            if (!TIFFFlush(tiff))
            {
                error = "cannot finish " + path;
                return false;
            }
            return true;
        }

        // Fills rows [first, first + count) of the model, in parallel.
        void fillRows(const ModelOptions& options, u32 first, u32 count, float* rows)
        {
            const u32 threads = std::max(1u, std::min(16u, std::thread::hardware_concurrency()));
            auto work = [&](u32 part)
            {
                for (u32 r = part; r < count; r += threads)
                {
                    float* row = rows + std::size_t(r) * options.width;
                    for (u32 x = 0; x < options.width; ++x)
                    {
                        row[x] = options.heights(x, first + r);
                    }
                }
            };
            std::vector<std::thread> pool;
            for (u32 part = 1; part < threads; ++part)
            {
                pool.emplace_back(work, part);
            }
            work(0);
            for (std::thread& thread : pool)
            {
                thread.join();
            }
        }

        // One model row in the file's sample layout.
        void encodeRow(const ModelOptions& options, const float* heights, std::vector<unsigned char>& out)
        {
            const u32 spp = options.samplesPerPixel;
            if (options.bitsPerSample == 16)
            {
                u16* samples = reinterpret_cast<u16*>(out.data());
                for (u32 x = 0; x < options.width; ++x)
                {
                    samples[std::size_t(x) * spp] = u16(std::clamp(heights[x], 0.0f, 65535.0f));
                    for (u32 s = 1; s < spp; ++s)
                    {
                        samples[std::size_t(x) * spp + s] = 12345;
                    }
                }
                return;
            }
            float* samples = reinterpret_cast<float*>(out.data());
            for (u32 x = 0; x < options.width; ++x)
            {
                samples[std::size_t(x) * spp] = heights[x];
                for (u32 s = 1; s < spp; ++s)
                {
                    samples[std::size_t(x) * spp + s] = 12345.0f;
                }
            }
        }

        // Gradient noise in about -1 .. 1.
        float hash01(int x, int y, u32 seed)
        {
            u32 h = u32(x) * 0x8da6b343u ^ u32(y) * 0xd8163841u ^ seed * 0xcb1ab31fu;
            h ^= h >> 13;
            h *= 0x5bd1e995u;
            h ^= h >> 15;
            return float(h & 0xffffff) * (1.0f / 16777216.0f);
        }

        float gradientNoise(float x, float y, u32 seed)
        {
            const float fx = std::floor(x);
            const float fy = std::floor(y);
            const int ix = int(fx);
            const int iy = int(fy);
            const float dx = x - fx;
            const float dy = y - fy;
            auto corner = [&](int cx, int cy)
            {
                const float angle = hash01(ix + cx, iy + cy, seed) * 6.2831853f;
                return std::cos(angle) * (dx - float(cx)) + std::sin(angle) * (dy - float(cy));
            };
            auto fade = [](float t) { return t * t * t * (t * (t * 6.0f - 15.0f) + 10.0f); };
            const float u = fade(dx);
            const float v = fade(dy);
            const float top = corner(0, 0) + (corner(1, 0) - corner(0, 0)) * u;
            const float bottom = corner(0, 1) + (corner(1, 1) - corner(0, 1)) * u;
            return (top + (bottom - top) * v) * 1.41f;
        }

        float fbm(float x, float y, int octaves, u32 seed)
        {
            float sum = 0.0f;
            float amplitude = 0.5f;
            for (int i = 0; i < octaves; ++i)
            {
                sum += amplitude * gradientNoise(x, y, seed + u32(i) * 101u);
                // rotate a little per octave so the lattices do not line up
                const float rx = x * 1.6f - y * 1.2f;
                y = x * 1.2f + y * 1.6f;
                x = rx;
                amplitude *= 0.5f;
            }
            return sum;
        }

        float smoothstep(float a, float b, float t)
        {
            t = std::clamp((t - a) / (b - a), 0.0f, 1.0f);
            return t * t * (3.0f - 2.0f * t);
        }

    } // namespace

    float alpineHeight(float x, float y, u32 seed)
    {
        // positions in units of about 120 km (2400 samples of 50 m), gently warped
        const float px = x / 2400.0f;
        const float py = y / 2400.0f;
        const float qx = px + 0.12f * fbm(px * 2.1f + 13.1f, py * 2.1f, 3, seed + 1);
        const float qy = py + 0.12f * fbm(px * 2.1f, py * 2.1f + 71.7f, 3, seed + 2);

        // where the ranges stand
        const float ranges = smoothstep(-0.3f, 0.3f, fbm(qx * 0.9f + 5.3f, qy * 0.9f, 3, seed + 3));

        // ridged multifractal: sharp crests; each octave is weighted by the one before, so
        // detail gathers on the crests and the slopes below stay smooth
        float ridges = 0.0f;
        float amplitude = 0.55f;
        float weight = 1.0f;
        float fx = qx * 4.0f;
        float fy = qy * 4.0f;
        for (int i = 0; i < 9; ++i)
        {
            float n = 1.0f - std::fabs(gradientNoise(fx, fy, seed + 17 + u32(i)));
            n = n * n * weight;
            weight = std::clamp(n * 1.6f, 0.0f, 1.0f);
            ridges += n * amplitude;
            const float rx = fx * 1.73f - fy * 1.0f;
            fy = fx * 1.0f + fy * 1.73f;
            fx = rx;
            amplitude *= 0.47f;
        }

        const float plains = 250.0f + 300.0f * (0.5f + 0.5f * fbm(px * 0.7f, py * 0.7f, 3, seed + 5));
        const float hills = 160.0f * fbm(qx * 9.0f, qy * 9.0f, 5, seed + 7);
        float h = plains + hills * (0.4f + ranges) + ranges * 2900.0f * std::pow(std::clamp(ridges, 0.0f, 1.1f) / 1.1f, 1.6f);

        // wide valleys with rivers at the bottom, cut into everything
        const float river = std::fabs(fbm(qx * 1.6f + 40.0f, qy * 1.6f, 2, seed + 9));
        const float valley = smoothstep(0.0f, 0.22f, river);
        const float floor = 0.55f * plains;
        h = floor + (h - floor) * (0.15f + 0.85f * std::sqrt(valley));
        return std::max(h, 1.0f);
    }

    float gentleHeight(float x, float y, u32 seed)
    {
        const float px = x / 1500.0f;
        const float py = y / 1500.0f;
        return 450.0f + 120.0f * fbm(px, py, 4, seed) + 30.0f * fbm(px * 4.0f, py * 4.0f, 2, seed + 3);
    }

    ModelOptions windowModel(u32 gridWidth, u32 gridHeight, std::function<float(u32, u32)> grid, float outside)
    {
        ModelOptions options;
        options.width = windowColumn + gridWidth;
        options.height = windowRow + gridHeight;
        options.heights = [grid = std::move(grid), outside](u32 x, u32 y)
        {
            if (x < windowColumn || y < windowRow)
            {
                return outside;
            }
            return grid(x - windowColumn, y - windowRow);
        };
        return options;
    }

    bool writeSizeFile(const std::string& path, u32 width, u32 height)
    {
        std::FILE* file = std::fopen(path.c_str(), "wb");
        if (!file)
        {
            return false;
        }
        const unsigned char bytes[8] =
        {
            (unsigned char)width, (unsigned char)(width >> 8), (unsigned char)(width >> 16), (unsigned char)(width >> 24),
            (unsigned char)height, (unsigned char)(height >> 8), (unsigned char)(height >> 16), (unsigned char)(height >> 24),
        };
        const bool written = std::fwrite(bytes, 1, 8, file) == 8;
        return std::fclose(file) == 0 && written;
    }

    bool writeModel(const std::string& path, const ModelOptions& options, std::string& error)
    {
        if (!options.width || !options.height || !options.heights || options.samplesPerPixel < 1 ||
            (options.bitsPerSample != 16 && options.bitsPerSample != 32))
        {
            error = "bad model options";
            return false;
        }

        TiffFile file { TIFFOpen(path.c_str(), "w") };
        if (!file.tiff)
        {
            error = "cannot create " + path;
            return false;
        }
        TIFF* tiff = file.tiff;
        TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, options.width);
        TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, options.height);
        TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, options.bitsPerSample);
        TIFFSetField(tiff, TIFFTAG_SAMPLEFORMAT, options.bitsPerSample == 32 ? SAMPLEFORMAT_IEEEFP : SAMPLEFORMAT_UINT);
        TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, options.samplesPerPixel);
        TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        TIFFSetField(tiff, TIFFTAG_COMPRESSION, options.lzw ? COMPRESSION_LZW : COMPRESSION_NONE);
        if (options.lzw && options.floatPredictor && options.bitsPerSample == 32)
        {
            TIFFSetField(tiff, TIFFTAG_PREDICTOR, PREDICTOR_FLOATINGPOINT);
        }
        // what GDAL writes for a 50 m model: pixel scale, a tie point, the no-data value
        static const TIFFFieldInfo geoFields[] =
        {
            { 33550, -1, -1, TIFF_DOUBLE, FIELD_CUSTOM, 1, 1, const_cast<char*>("ModelPixelScaleTag") },
            { 33922, -1, -1, TIFF_DOUBLE, FIELD_CUSTOM, 1, 1, const_cast<char*>("ModelTiepointTag") },
            { TIFFTAG_GDAL_NODATA, -1, -1, TIFF_ASCII, FIELD_CUSTOM, 1, 0, const_cast<char*>("GDALNoDataValue") },
        };
        TIFFMergeFieldInfo(tiff, geoFields, 3);
        const double pixelScale[3] = { 50.0, 50.0, 0.0 };
        const double tiePoint[6] = { 0.0, 0.0, 0.0, 107000.0, 575000.0, 0.0 };
        TIFFSetField(tiff, 33550, 3, pixelScale);
        TIFFSetField(tiff, 33922, 6, tiePoint);
        TIFFSetField(tiff, TIFFTAG_GDAL_NODATA, "-32767");

        const std::size_t pixelBytes = std::size_t(options.samplesPerPixel) * options.bitsPerSample / 8;
        const std::size_t rowBytes = pixelBytes * options.width;
        std::vector<unsigned char> encoded(rowBytes);

        if (options.tiled)
        {
            const u32 tile = 256;
            TIFFSetField(tiff, TIFFTAG_TILEWIDTH, tile);
            TIFFSetField(tiff, TIFFTAG_TILELENGTH, tile);
            std::vector<float> image(std::size_t(options.width) * options.height);
            fillRows(options, 0, options.height, image.data());
            std::vector<unsigned char> all(rowBytes * options.height);
            for (u32 y = 0; y < options.height; ++y)
            {
                encodeRow(options, image.data() + std::size_t(y) * options.width, encoded);
                std::copy(encoded.begin(), encoded.end(), all.begin() + std::size_t(y) * rowBytes);
            }
            std::vector<unsigned char> buffer(tile * tile * pixelBytes);
            for (u32 ty = 0; ty < options.height; ty += tile)
            {
                for (u32 tx = 0; tx < options.width; tx += tile)
                {
                    std::fill(buffer.begin(), buffer.end(), 0);
                    for (u32 y = 0; y < tile && ty + y < options.height; ++y)
                    {
                        const u32 n = std::min(tile, options.width - tx);
                        const unsigned char* from = all.data() + std::size_t(ty + y) * rowBytes + tx * pixelBytes;
                        std::copy(from, from + n * pixelBytes, buffer.begin() + std::size_t(y) * tile * pixelBytes);
                    }
                    if (TIFFWriteTile(tiff, buffer.data(), tx, ty, 0, 0) < 0)
                    {
                        error = "cannot write a tile of " + path;
                        return false;
                    }
                }
            }
            return flush(tiff, path, error);
        }

        TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, std::max(options.rowsPerStrip, 1u));
        const u32 chunk = 256;
        std::vector<float> rows(std::size_t(options.width) * chunk);
        for (u32 first = 0; first < options.height; first += chunk)
        {
            const u32 count = std::min(chunk, options.height - first);
            fillRows(options, first, count, rows.data());
            for (u32 r = 0; r < count; ++r)
            {
                encodeRow(options, rows.data() + std::size_t(r) * options.width, encoded);
                if (TIFFWriteScanline(tiff, encoded.data(), first + r, 0) < 0)
                {
                    error = "cannot write row " + std::to_string(first + r) + " of " + path;
                    return false;
                }
            }
        }
        return flush(tiff, path, error);
    }

} // namespace terrain_gen
