#pragma once

// Shared by the JPEG tests: decoding through the decoder object (thread and SIMD seams),
// and the libjpeg-turbo reference. Fixtures, images, comparison and the damage sweep are
// the image test kit's (tests/imagekit).

#include <gtest/gtest.h>

#include <csetjmp>
#include <string>
#include <vector>

#include <jpeglib.h>

#include <norva/image/surface.hpp>

#include "imagekit/imagekit.hpp"
#include "jpeg/jpeg_private.hpp"

namespace jpegtest
{
    using namespace norva;
    using imagekit::Bytes;
    using imagekit::Decoded;
    using imagekit::Difference;
    using imagekit::Image;
    using imagekit::readFixture;

    inline ConstMemory memoryOf(const Bytes& data)
    {
        return ConstMemory(data.data(), data.size());
    }

    // Decodes into a tight surface of the given format; the image is what the surface holds.
    inline Decoded decode(const Bytes& data, const Format& format, u32 threads = 0, CPUFlags flags = getCPUFlags())
    {
        Decoded result;
        jpeg::Parser parser(memoryOf(data), flags);
        parser.threadOverride = threads;
        result.header = parser.header();
        if (!result.header.success || result.header.width <= 0)
        {
            result.status.setError("header: %s", result.header.info.c_str());
            return result;
        }
        const int width = result.header.width;
        const int height = result.header.height;
        std::vector<u8> pixels(size_t(width) * height * format.bytes(), 0);
        Surface surface(width, height, format, width * format.bytes(), pixels.data());
        result.status = parser.decode(surface);
        result.image = imagekit::fromSurface(surface);
        return result;
    }

    // libjpeg-turbo with the accurate integer iDCT and replicating upsampling; warnings
    // about the data count as failures.
    struct ReferenceError
    {
        jpeg_error_mgr manager;
        std::jmp_buf jump;
        char message[JMSG_LENGTH_MAX] = {};
    };

    inline void referenceErrorExit(j_common_ptr info)
    {
        ReferenceError* error = reinterpret_cast<ReferenceError*>(info->err);
        (*info->err->format_message)(info, error->message);
        std::longjmp(error->jump, 1);
    }

    inline void referenceWarning(j_common_ptr info, int level)
    {
        if (level < 0)
            referenceErrorExit(info);
    }

    // For damaged files: libjpeg's warnings are expected, its picture is still the reference.
    inline void referenceIgnoreWarning(j_common_ptr, int)
    {
    }

    // libjpeg's samples as it delivers them: `components` bytes a pixel.
    struct ReferenceSamples
    {
        int width = 0;
        int height = 0;
        int components = 0;
        std::vector<u8> samples;
    };

    inline ReferenceSamples referenceSamples(const Bytes& data, J_COLOR_SPACE space, bool strict = true)
    {
        ReferenceSamples result;
        jpeg_decompress_struct info;
        ReferenceError error;
        info.err = jpeg_std_error(&error.manager);
        error.manager.error_exit = referenceErrorExit;
        error.manager.emit_message = strict ? referenceWarning : referenceIgnoreWarning;

        std::vector<u8> pixels;
        if (setjmp(error.jump))
        {
            ADD_FAILURE() << "libjpeg: " << error.message;
            jpeg_destroy_decompress(&info);
            return ReferenceSamples();
        }

        jpeg_create_decompress(&info);
        jpeg_mem_src(&info, data.data(), (unsigned long)data.size());
        jpeg_read_header(&info, TRUE);
        info.dct_method = JDCT_ISLOW;
        info.do_fancy_upsampling = FALSE;
        info.do_block_smoothing = FALSE;   // no guessed AC for scans that never came
        info.out_color_space = space;
        jpeg_start_decompress(&info);

        const int bytes = info.output_components;
        pixels.resize(size_t(info.output_width) * info.output_height * bytes);
        while (info.output_scanline < info.output_height)
        {
            JSAMPROW row = pixels.data() + size_t(info.output_scanline) * info.output_width * bytes;
            jpeg_read_scanlines(&info, &row, 1);
        }
        jpeg_finish_decompress(&info);

        result.width = int(info.output_width);
        result.height = int(info.output_height);
        result.components = bytes;
        result.samples = std::move(pixels);
        jpeg_destroy_decompress(&info);
        return result;
    }

    // The layout libjpeg writes for an output colour space, as a norva format.
    inline Format formatOf(J_COLOR_SPACE space)
    {
        switch (space)
        {
            case JCS_GRAYSCALE: return Format::L8;
            case JCS_EXT_BGR: return Format::BGR888;
            case JCS_RGB:
            case JCS_EXT_RGB: return Format::RGB888;
            case JCS_EXT_BGRA: return Format::BGRA8888;
            case JCS_EXT_RGBA: return Format::RGBA8888;
            default:
                ADD_FAILURE() << "no format for libjpeg colour space " << int(space);
                return Format();
        }
    }

    // libjpeg's decode in the test kit's terms.
    inline Image referenceDecode(const Bytes& data, J_COLOR_SPACE space, bool strict = true)
    {
        ReferenceSamples reference = referenceSamples(data, space, strict);
        if (reference.samples.empty())
            return Image();
        const Format format = formatOf(space);
        const Surface surface(reference.width, reference.height, format, reference.width * reference.components,
                              reference.samples.data());
        return imagekit::fromSurface(surface);
    }

    // A binary PGM or PPM reference.
    inline Image loadNetpbm(const std::string& name)
    {
        return imagekit::readPAM(readFixture(name));
    }

    // Colour (and grey) samples only; `withAlpha` compares alpha too.
    inline Difference compare(const Image& a, const Image& b, bool withAlpha = false)
    {
        imagekit::Compare mode;
        mode.colorOnly = !withAlpha;
        return imagekit::difference(a, b, mode);
    }

} // namespace jpegtest
