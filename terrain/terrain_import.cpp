// Import of the model window: rows 99.., columns 5214.. of a single-band float GeoTIFF.

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdarg>
#include <cstring>
#include <memory>

#include <tiffio.h>

#include "model_file.hpp"
#include "parallel.hpp"
#include "terrain.hpp"

namespace
{
    using norva::u16;
    using norva::u32;
    using norva::u64;

    struct ModelLayout
    {
        u32 imageWidth = 0;
        u32 imageLength = 0;
        u32 rowsPerStrip = 0;
        u16 samplesPerPixel = 1;
        u16 planarConfig = PLANARCONFIG_CONTIG;
    };

    // Checks what the import relies on; prints why a model does not fit.
    bool readLayout(TIFF* tiff, const std::string& path, ModelLayout& layout)
    {
        u16 bitsPerSample = 0;
        u16 sampleFormat = 0;
        TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &layout.imageWidth);
        TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &layout.imageLength);
        TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bitsPerSample);
        TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLEFORMAT, &sampleFormat);
        TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &layout.samplesPerPixel);
        TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &layout.planarConfig);
        TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &layout.rowsPerStrip);

        if (TIFFIsTiled(tiff))
        {
            std::fprintf(stderr, "[Terrain] \"%s\" is organised in tiles; the terrain reads models stored in strips.\n",
                path.c_str());
            return false;
        }
        if (bitsPerSample != 32 || sampleFormat != SAMPLEFORMAT_IEEEFP)
        {
            std::fprintf(stderr, "[Terrain] \"%s\" holds %u-bit samples of sample format %u; the terrain needs 32-bit floats.\n",
                path.c_str(), bitsPerSample, sampleFormat);
            return false;
        }
        if (layout.samplesPerPixel < 1 || layout.imageWidth < 1 || layout.imageLength < 1)
        {
            std::fprintf(stderr, "[Terrain] \"%s\" holds no samples.\n", path.c_str());
            return false;
        }

        const u32 perPixel = layout.planarConfig == PLANARCONFIG_CONTIG ? layout.samplesPerPixel : 1;
        const u64 expected = u64(layout.imageWidth) * perPixel * 4;
        if (u64(TIFFScanlineSize64(tiff)) < expected)
        {
            std::fprintf(stderr, "[Terrain] \"%s\" has scanlines shorter than its width.\n", path.c_str());
            return false;
        }
        // a model in one strip may say so with 2^32 - 1
        layout.rowsPerStrip = std::clamp<u32>(layout.rowsPerStrip, 1, layout.imageLength);
        return true;
    }

    int ignoreWarning(TIFF*, void*, const char*, const char*, va_list)
    {
        return 1;
    }

    // libtiff warns of every GeoTIFF tag it does not know (pixel scale, tie points, geo keys,
    // no-data value), which the terrain has no use for; errors are still printed.
    TIFF* openQuietly(const std::string& path)
    {
        TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
        TIFFOpenOptionsSetWarningHandlerExtR(options, ignoreWarning, nullptr);
        TIFF* tiff = TIFFOpenExt(path.c_str(), "r", options);
        TIFFOpenOptionsFree(options);
        return tiff;
    }

    struct RowRange
    {
        float minimum = FLT_MAX;
        float maximum = -FLT_MAX;
        bool failed = false;
    };

    // Opens the model once to check its layout.
    bool readModelLayout(const std::string& path, ModelLayout& layout)
    {
        TIFF* tiff = openQuietly(path);
        if (!tiff)
        {
            std::fprintf(stderr, "[Terrain] Cannot open the terrain model \"%s\".\n", path.c_str());
            return false;
        }
        const bool usable = readLayout(tiff, path, layout);
        TIFFClose(tiff);
        return usable;
    }

    // The part of the window the model covers, starting at heights; rows are `width` apart.
    struct Window
    {
        float* heights = nullptr;
        u32 width = 0;
        u32 columns = 0;
        u32 rows = 0;
    };

    // Reads rows begin..end of the model (model row numbers) into the window, sea level for
    // no data, and their range. Compressed strips allow no random access, so the reading
    // starts at the first row of begin's strip.
    void readBand(const std::string& path, const ModelLayout& layout, const Window& window, u32 begin, u32 end,
                  RowRange& range)
    {
        TIFF* tiff = openQuietly(path);
        if (!tiff)
        {
            range.failed = true;
            return;
        }
        const u32 perPixel = layout.planarConfig == PLANARCONFIG_CONTIG ? layout.samplesPerPixel : 1;
        tdata_t buffer = _TIFFmalloc(TIFFScanlineSize64(tiff));
        const float* line = static_cast<const float*>(buffer);

        for (u32 r = begin - begin % layout.rowsPerStrip; r < end && !range.failed; ++r)
        {
            // the first plane when samples lie in planes, sample 0 of each pixel otherwise
            if (TIFFReadScanline(tiff, buffer, r, 0) < 0)
            {
                std::fprintf(stderr, "[Terrain] Reading row %u of \"%s\" failed.\n", r, path.c_str());
                range.failed = true;
                break;
            }
            if (r < begin)
            {
                continue;
            }

            float* row = window.heights + std::size_t(r - Terrain::windowRow) * window.width;
            const float* source = line + std::size_t(Terrain::windowColumn) * perPixel;
            for (u32 x = 0; x < window.columns; ++x)
            {
                float h = source[std::size_t(x) * perPixel];
                // no data (-32767), negative and non-finite samples count as sea level
                if (!(h >= 0.0f) || h == INFINITY)
                {
                    h = 0.0f;
                }
                row[x] = h;
                range.minimum = std::min(range.minimum, h);
                range.maximum = std::max(range.maximum, h);
            }
        }
        _TIFFfree(buffer);
        TIFFClose(tiff);
    }

    // Reads the window in row bands in parallel, each through a handle of its own; the
    // range of the heights read, or failed.
    RowRange readWindow(const std::string& path, const ModelLayout& layout, const Window& window)
    {
        const u32 bandRows = std::max<u32>(64, layout.rowsPerStrip);
        const u32 bands = (window.rows + bandRows - 1) / bandRows;
        std::unique_ptr<RowRange[]> ranges(new RowRange[bands]);

        parallelFor(bands, 1, [&](std::size_t first, std::size_t last)
        {
            for (std::size_t band = first; band < last; ++band)
            {
                const u32 begin = Terrain::windowRow + u32(band) * bandRows;
                const u32 end = Terrain::windowRow + std::min<u32>(window.rows, (u32(band) + 1) * bandRows);
                readBand(path, layout, window, begin, end, ranges[band]);
            }
        });

        RowRange total;
        for (u32 band = 0; band < bands; ++band)
        {
            total.failed |= ranges[band].failed;
            total.minimum = std::min(total.minimum, ranges[band].minimum);
            total.maximum = std::max(total.maximum, ranges[band].maximum);
        }
        return total;
    }

    // Scales the heights to 0..1; a flat model stays all zeros.
    void normalise(float* heights, std::size_t samples, float minimum, float range)
    {
        parallelFor(samples, 1 << 20, [&](std::size_t begin, std::size_t end)
        {
            for (std::size_t i = begin; i < end; ++i)
            {
                heights[i] = range > 0.0f ? (heights[i] - minimum) / range : 0.0f;
            }
        });
    }

} // namespace

bool terrainModelOpens(const std::string& path)
{
    TIFF* tiff = openQuietly(path);
    if (!tiff)
    {
        return false;
    }
    TIFFClose(tiff);
    return true;
}

bool Terrain::importGeoTiff(const std::string& path)
{
    ModelLayout layout;
    if (!readModelLayout(path, layout))
    {
        return false;
    }

    // Only what the model holds is read; samples beyond it are zero.
    Window window;
    window.heights = heights;
    window.width = width;
    window.columns = layout.imageWidth > windowColumn ? std::min(width, layout.imageWidth - windowColumn) : 0;
    window.rows = layout.imageLength > windowRow ? std::min(height, layout.imageLength - windowRow) : 0;
    const bool partial = window.columns < width || window.rows < height;
    if (partial)
    {
        std::fprintf(stderr, "[Terrain] \"%s\" (%u x %u) does not cover the %u x %u window at row %u, column %u; "
            "the missing samples are 0.\n", path.c_str(), layout.imageWidth, layout.imageLength,
            width, height, windowRow, windowColumn);
    }
    for (u32 y = 0; y < height; ++y)
    {
        float* row = heights + std::size_t(y) * width;
        const u32 from = y < window.rows ? window.columns : 0;
        std::fill(row + from, row + width, 0.0f);
    }

    RowRange range = readWindow(path, layout, window);
    if (range.failed)
    {
        return false;
    }
    if (partial)
    {
        // the zeros count too
        range.minimum = std::min(range.minimum, 0.0f);
        range.maximum = std::max(range.maximum, 0.0f);
    }

    heightRange = range.maximum - range.minimum;
    minHeight = 0.0f;
    normalise(heights, std::size_t(width) * height, range.minimum, heightRange);
    buildPyramid();
    return true;
}

// The min/max pyramid: blocks first, then each coarser cell from its four children.
void Terrain::buildPyramid()
{
    const u32 tilesAcross = tilesX();
    parallelFor(tileCount(), 1, [&](std::size_t first, std::size_t last)
    {
        for (std::size_t t = first; t < last; ++t)
        {
            const u32 x0 = u32(t % tilesAcross) * tileSize;
            const u32 y0 = u32(t / tilesAcross) * tileSize;
            for (u32 by = 0; by < 8; ++by)
            {
                for (u32 bx = 0; bx < 8; ++bx)
                {
                    MinMax cell { FLT_MAX, -FLT_MAX };
                    for (u32 y = 0; y < blockSize; ++y)
                    {
                        const float* row = heights + std::size_t(y0 + by * blockSize + y) * width + x0 + bx * blockSize;
                        for (u32 x = 0; x < blockSize; ++x)
                        {
                            cell.min = std::min(cell.min, row[x]);
                            cell.max = std::max(cell.max, row[x]);
                        }
                    }
                    minMax[3][t * 64 + by * 8 + bx] = cell;
                }
            }
            for (int level = 2; level >= 0; --level)
            {
                const u32 side = 1u << level;
                const MinMax* fine = minMax[level + 1] + (t << (2 * (level + 1)));
                MinMax* coarse = minMax[level] + (t << (2 * level));
                for (u32 cy = 0; cy < side; ++cy)
                {
                    for (u32 cx = 0; cx < side; ++cx)
                    {
                        const MinMax& a = fine[(2 * cy) * 2 * side + 2 * cx];
                        const MinMax& b = fine[(2 * cy) * 2 * side + 2 * cx + 1];
                        const MinMax& c = fine[(2 * cy + 1) * 2 * side + 2 * cx];
                        const MinMax& d = fine[(2 * cy + 1) * 2 * side + 2 * cx + 1];
                        coarse[cy * side + cx] = MinMax {
                            std::min(std::min(a.min, b.min), std::min(c.min, d.min)),
                            std::max(std::max(a.max, b.max), std::max(c.max, d.max)) };
                    }
                }
            }
        }
    });
}
