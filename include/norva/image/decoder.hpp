#pragma once

#include <string>

#include <norva/core/configure.hpp>
#include <norva/core/memory.hpp>
#include <norva/core/stream.hpp>
#include <norva/image/format.hpp>
#include <norva/image/status.hpp>
#include <norva/image/surface.hpp>

namespace norva
{
    // What a decoder found in a file's header.
    struct ImageHeader : Status
    {
        s32 width = 0;
        s32 height = 0;
        s32 depth = 0;        // texture containers: slices of a volume texture
        s32 levels = 0;       // texture containers: mipmap levels
        s32 faces = 0;        // texture containers: 6 for a cube map
        bool palette = false; // the pixels are indices and a Palette can be delivered
        Format format;        // what the decoder delivers natively
        u32 compression = 0;  // 0, or the block-compression code of the texture
    };

    struct ImageDecodeStatus : Status
    {
        bool direct = false;  // decoded straight into the destination, no temporary image
        s32 current_frame_index = 0;
        s32 next_frame_index = 0;   // animated formats: the frame the next decode yields
        s32 frame_delay_numerator = 1;
        s32 frame_delay_denominator = 60;
    };

    struct ImageEncodeStatus : Status
    {
    };

    // Up to 256 colours, each a BGRA 8888 value: B | G << 8 | R << 16 | A << 24.
    struct Palette
    {
        u32 size = 0;
        u32 color[256] = {};
    };

    struct ImageDecodeOptions
    {
        // null: indexed images are expanded into the destination's format. Otherwise a
        // decoder that supports palettes fills it and writes the raw 8-bit indices.
        Palette* palette = nullptr;
    };

    struct ImageEncodeOptions
    {
        Palette palette;        // size 0: none (GIF quantizes)
        float quality = 0.90f;  // 0.0 to 1.0 (JPEG, WebP, GIF's quantizer)
        bool dithering = false; // GIF
        bool lossless = false;  // WebP
    };

    // The decoder plug-in of one image format. Its create function parses the header and
    // records any error in it; decode() then returns that error. Decoders never throw and
    // keep only a view of the memory they were created on.
    class ImageDecoderInterface : private NonCopyable
    {
    public:
        virtual ~ImageDecoderInterface() = default;

        virtual ImageHeader header() = 0;

        // Decodes into dest, converting to dest.format itself (directly, or through a
        // temporary Bitmap and Surface::blit) and setting status.direct when it wrote
        // dest without a temporary. palette non-null: see ImageDecodeOptions.
        virtual ImageDecodeStatus decode(Surface& dest, Palette* palette, int level, int depth, int face) = 0;

        // Raw block-compressed data of one mip level, slice and face (texture containers).
        virtual ConstMemory memory(int level, int depth, int face);

        virtual ConstMemory icc();
        virtual ConstMemory exif();
    };

    using CreateDecoderFunc = ImageDecoderInterface* (*)(ConstMemory memory);
    using ImageEncodeFunc = ImageEncodeStatus (*)(Stream& output, const Surface& surface,
                                                  const ImageEncodeOptions& options);

    // Registries keyed by the lower-cased extension with its dot (".png"). The library's
    // formats are registered before main (source/norva/image/image_registry.cpp holds the
    // list); a later registration of the same key replaces the earlier one.
    void registerImageDecoder(CreateDecoderFunc create, const std::string& extension);
    void registerImageEncoder(ImageEncodeFunc encode, const std::string& extension);

    // "Photo.JPEG" -> ".jpeg"; a name without a dot is used whole ("PNG" -> "png").
    std::string getLowerCaseExtension(const std::string& name);

    // By file name or extension; null when nothing is registered.
    CreateDecoderFunc getImageDecoder(const std::string& name);
    ImageEncodeFunc getImageEncoder(const std::string& name);

    // The front end: the decoder registered for an extension, or none.
    class ImageDecoder : private NonCopyable
    {
    public:
        ImageDecoder(ConstMemory memory, const std::string& extension);
        ~ImageDecoder();

        bool isDecoder() const { return m_interface != nullptr; }

        // Without a decoder these report "[WARNING] ImageDecoder::header() is not
        // supported for this extension." and the like, with success false.
        ImageHeader header();
        ImageDecodeStatus decode(Surface& dest, const ImageDecodeOptions& options = ImageDecodeOptions(),
                                 int level = 0, int depth = 0, int face = 0);

        ConstMemory memory(int level, int depth, int face);
        ConstMemory icc();
        ConstMemory exif();

    private:
        ImageDecoderInterface* m_interface = nullptr;
    };

} // namespace norva
