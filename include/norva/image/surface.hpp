#pragma once

#include <string>

#include <norva/core/memory.hpp>
#include <norva/image/format.hpp>
#include <norva/image/status.hpp>

namespace norva
{
    // One rectangle of a pixel conversion, handed to a Blitter.
    struct BlitRect
    {
        u8* dest = nullptr;
        s32 destStride = 0;
        const u8* src = nullptr;
        s32 srcStride = 0;
        s32 width = 0;
        s32 height = 0;
    };

    // A non-owning view of pixels: pixel (x, y) starts at image + y * stride + x * bytes,
    // computed in 64 bits. The stride may be negative for bottom-up images. Copying a
    // Surface copies the view, never the pixels.
    class Surface
    {
    public:
        Format format;
        u8* image = nullptr;
        s32 stride = 0;
        s32 width = 0;
        s32 height = 0;

        Surface() = default;

        // Wraps caller-owned pixels; nothing is copied or checked.
        Surface(int width, int height, const Format& format, int stride, void* image);

        // The part of source inside (x, y, width, height), clipped to source, sharing its
        // pixels; it may come out 0 x 0.
        Surface(const Surface& source, int x, int y, int width, int height);

        u8* address(int x, int y) const
        {
            return image + ptrdiff_t(y) * stride + ptrdiff_t(x) * format.bytes();
        }

        // Converts all of source into this surface with source's top-left pixel at (x, y),
        // clipped to this surface; large conversions are split over the thread pool.
        // Returns false, and writes nothing, when there is no conversion between the two
        // formats (see Blitter::canConvert). An empty source or one wholly outside is a
        // successful no-op.
        [[nodiscard]] bool blit(int x, int y, const Surface& source);
    };

    // A Surface that owns its pixels, zero-filled when allocated. Movable, not copyable:
    // pass it on as const Surface& or Surface& to lend a view.
    class Bitmap : public Surface
    {
    public:
        // stride 0 means width * format.bytes(). Throws norva::Exception for a negative
        // size or a stride too small for a row, and when the memory cannot be allocated.
        Bitmap(int width, int height, const Format& format, int stride = 0);

        // Decodes a file through the decoder registered for its extension. A file that
        // cannot be opened throws (norva::filesystem::File). The rest is as for memory.
        Bitmap(const std::string& filename, const Format& format);
        explicit Bitmap(const std::string& filename, const Format* format = nullptr);

        // Decodes an image held in memory with the decoder registered for extension
        // (".png"; compared lower-cased). format null: the decoder's native format.
        // Never throws for bad input: an unknown extension, a failed header, a size that
        // is not positive or too large (more than maxBytes), or a failed allocation leave
        // the Bitmap empty (0 x 0, Format(), no image) and say why in status(). A failed
        // decode keeps the header's size with zeroed or partly decoded pixels.
        Bitmap(ConstMemory memory, const std::string& extension, const Format* format = nullptr);
        Bitmap(ConstMemory memory, const std::string& extension, const Format& format);

        Bitmap(Bitmap&& other) noexcept;
        Bitmap& operator=(Bitmap&& other) noexcept;
        Bitmap(const Bitmap&) = delete;
        Bitmap& operator=(const Bitmap&) = delete;
        ~Bitmap();

        // How the load went: success for a sized Bitmap; for a decoded one the header's
        // error, a size or allocation error, or the decoder's status.
        const Status& status() const { return m_status; }

        // The largest pixel buffer a decoded Bitmap allocates (4 GiB).
        static constexpr u64 maxBytes = u64(1) << 32;

    private:
        void load(ConstMemory memory, const std::string& extension, const Format* format);
        void release();

        Status m_status;
    };

} // namespace norva
