#include <norva/image/surface.hpp>

#include <algorithm>
#include <climits>
#include <cstdlib>

#include <norva/core/exception.hpp>
#include <norva/core/thread.hpp>
#include <norva/image/blitter.hpp>
#include <norva/image/decoder.hpp>

namespace norva
{

    // ------------------------------------------------------------------------------------
    // Surface
    // ------------------------------------------------------------------------------------

    Surface::Surface(int width, int height, const Format& format, int stride, void* image)
        : format(format)
        , image(static_cast<u8*>(image))
        , stride(stride)
        , width(width)
        , height(height)
    {
    }

    Surface::Surface(const Surface& source, int x, int y, int width, int height)
        : format(source.format)
        , stride(source.stride)
    {
        // clamped to the source as well, so that even an empty view points into it
        const s64 x0 = std::clamp(x, 0, std::max(source.width, 0));
        const s64 y0 = std::clamp(y, 0, std::max(source.height, 0));
        this->width = int(std::max<s64>(std::min<s64>(s64(x) + width, source.width) - x0, 0));
        this->height = int(std::max<s64>(std::min<s64>(s64(y) + height, source.height) - y0, 0));
        image = source.image ? source.address(int(x0), int(y0)) : nullptr;
    }

    bool Surface::blit(int x, int y, const Surface& source)
    {
        if (source.width <= 0 || source.height <= 0 || source.format.bits == 0 || format.bits == 0)
            return true;

        const s64 x0 = std::max(x, 0);
        const s64 y0 = std::max(y, 0);
        const s64 x1 = std::min<s64>(s64(x) + source.width, width);
        const s64 y1 = std::min<s64>(s64(y) + source.height, height);
        const int w = int(std::max<s64>(x1 - x0, 0));
        const int h = int(std::max<s64>(y1 - y0, 0));
        if (w == 0 || h == 0)
            return true;

        const Blitter blitter(format, source.format);
        if (!blitter.canConvert())
            return false;

        BlitRect rect;
        rect.dest = address(int(x0), int(y0));
        rect.destStride = stride;
        rect.src = source.address(int(x0 - x), int(y0 - y));
        rect.srcStride = source.stride;
        rect.width = w;
        rect.height = h;

        const int bands = getBlitBandCount(w, h, int(ThreadPool::getHardwareConcurrency()), format == source.format);
        convertBands(blitter, rect, bands);
        return true;
    }

    // ------------------------------------------------------------------------------------
    // bands
    // ------------------------------------------------------------------------------------

    void convertBands(const Blitter& blitter, const BlitRect& rect, int bands, ThreadPool& pool)
    {
        if (!blitter.canConvert() || rect.width <= 0 || rect.height <= 0)
            return;

        bands = std::clamp(bands, 1, rect.height);
        if (bands == 1)
        {
            blitter.convert(rect);
            return;
        }

        // a queue only when splitting: small blits (one per block in the texture codecs)
        // stay free of queue set-up
        TaskQueue queue(pool, "blit", 0);
        const int rows = rect.height / bands;
        for (int k = 0; k < bands; ++k)
        {
            const int first = k * rows;
            const int count = k == bands - 1 ? rect.height - first : rows;
            queue.enqueue([&blitter, rect, first, count] {
                BlitRect band = rect;
                band.dest += ptrdiff_t(first) * rect.destStride;
                band.src += ptrdiff_t(first) * rect.srcStride;
                band.height = count;
                blitter.convert(band);
            });
        }
        queue.wait();
    }

    void convertBands(const Blitter& blitter, const BlitRect& rect, int bands)
    {
        if (bands <= 1)
        {
            blitter.convert(rect); // without touching the pool
            return;
        }
        convertBands(blitter, rect, bands, ThreadPool::getInstance());
    }

    // ------------------------------------------------------------------------------------
    // Bitmap
    // ------------------------------------------------------------------------------------

    Bitmap::Bitmap(int width, int height, const Format& format, int stride)
    {
        const s64 rowBytes = s64(width) * format.bytes();
        if (width < 0 || height < 0 || stride < 0 || rowBytes > INT_MAX || (stride && stride < rowBytes))
        {
            NORVA_THROW("norva::Bitmap::Bitmap", "[Bitmap] Invalid size %d x %d with stride %d.", width, height,
                        stride);
        }

        this->format = format;
        this->width = width;
        this->height = height;
        this->stride = stride ? stride : int(rowBytes);

        const u64 bytes = u64(this->stride) * u64(height);
        if (bytes)
        {
            image = static_cast<u8*>(std::calloc(bytes, 1));
            if (!image)
                NORVA_THROW("norva::Bitmap::Bitmap", "[Bitmap] Out of memory (%llu bytes).", (unsigned long long)bytes);
        }
    }

    Bitmap::Bitmap(ConstMemory memory, const std::string& extension, const Format* format)
    {
        load(memory, extension, format);
    }

    Bitmap::Bitmap(ConstMemory memory, const std::string& extension, const Format& format)
    {
        load(memory, extension, &format);
    }

    Bitmap::Bitmap(Bitmap&& other) noexcept
        : Surface(other)
        , m_status(std::move(other.m_status))
    {
        static_cast<Surface&>(other) = Surface();
    }

    Bitmap& Bitmap::operator=(Bitmap&& other) noexcept
    {
        if (this != &other)
        {
            release();
            static_cast<Surface&>(*this) = other;
            m_status = std::move(other.m_status);
            static_cast<Surface&>(other) = Surface();
        }
        return *this;
    }

    Bitmap::~Bitmap()
    {
        release();
    }

    void Bitmap::release()
    {
        std::free(image);
        static_cast<Surface&>(*this) = Surface();
    }

    void Bitmap::load(ConstMemory memory, const std::string& extension, const Format* requested)
    {
        ImageDecoder decoder(memory, extension);
        if (!decoder.isDecoder())
        {
            m_status.setError("[Bitmap] No decoder for the extension \"%s\".", extension.c_str());
            return;
        }

        const ImageHeader header = decoder.header();
        if (!header.success)
        {
            static_cast<Status&>(m_status) = header;
            return;
        }

        const Format format = requested ? *requested : header.format;
        const u64 rowBytes = u64(std::max(header.width, 0)) * u64(format.bytes());
        if (header.width <= 0 || header.height <= 0 || format.bytes() == 0 || rowBytes > INT_MAX ||
            rowBytes * u64(header.height) > maxBytes)
        {
            m_status.setError("[Bitmap] Unsupported image size %d x %d at %d bits per pixel.", header.width,
                              header.height, int(format.bits));
            return;
        }

        u8* pixels = static_cast<u8*>(std::calloc(rowBytes * u64(header.height), 1));
        if (!pixels)
        {
            m_status.setError("[Bitmap] Out of memory for %d x %d pixels.", header.width, header.height);
            return;
        }

        this->format = format;
        image = pixels;
        stride = int(rowBytes);
        width = header.width;
        height = header.height;

        ImageDecodeOptions options; // no palette: indexed images are expanded
        const ImageDecodeStatus status = decoder.decode(*this, options, 0, 0, 0);
        static_cast<Status&>(m_status) = status;
    }

} // namespace norva
