#pragma once

// Shared by the JPEG tests: fixture loading, decoding through the decoder object, the
// libjpeg-turbo reference and image comparison.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <csetjmp>

#include <jpeglib.h>

#include <norva/image/surface.hpp>

#include "jpeg/jpeg_private.hpp"

namespace jpegtest
{
    using namespace norva;

    inline std::string fixturePath(const std::string& name)
    {
        return std::string(ZELMORA_SOURCE_DIR) + "/tests/fixtures/jpeg/" + name;
    }

    inline std::vector<u8> loadFile(const std::string& name)
    {
        std::ifstream file(fixturePath(name), std::ios::binary);
        return std::vector<u8>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }

    inline ConstMemory memoryOf(const std::vector<u8>& data)
    {
        return ConstMemory(data.data(), data.size());
    }

    struct Image
    {
        int width = 0;
        int height = 0;
        int bytes = 0;
        std::vector<u8> pixels;

        const u8* row(int y) const { return pixels.data() + size_t(y) * width * bytes; }
    };

    struct Decoded
    {
        Image image;
        ImageDecodeStatus status;
    };

    // Decodes into a tight surface of the given format.
    inline Decoded decode(const std::vector<u8>& data, const Format& format, u32 threads = 0,
                          CPUFlags flags = getCPUFlags())
    {
        Decoded result;
        jpeg::Parser parser(memoryOf(data), flags);
        parser.threadOverride = threads;
        const ImageHeader& header = parser.header();
        if (!header.success || header.width <= 0)
        {
            result.status.setError("header: %s", header.info.c_str());
            return result;
        }
        Image& image = result.image;
        image.width = header.width;
        image.height = header.height;
        image.bytes = format.bytes();
        image.pixels.assign(size_t(image.width) * image.height * image.bytes, 0);
        Surface surface(image.width, image.height, format, image.width * image.bytes, image.pixels.data());
        result.status = parser.decode(surface);
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

    inline Image referenceDecode(const std::vector<u8>& data, J_COLOR_SPACE space)
    {
        Image image;
        jpeg_decompress_struct info;
        ReferenceError error;
        info.err = jpeg_std_error(&error.manager);
        error.manager.error_exit = referenceErrorExit;
        error.manager.emit_message = referenceWarning;

        std::vector<u8> pixels;
        if (setjmp(error.jump))
        {
            ADD_FAILURE() << "libjpeg: " << error.message;
            jpeg_destroy_decompress(&info);
            return Image();
        }

        jpeg_create_decompress(&info);
        jpeg_mem_src(&info, data.data(), (unsigned long)data.size());
        jpeg_read_header(&info, TRUE);
        info.dct_method = JDCT_ISLOW;
        info.do_fancy_upsampling = FALSE;
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

        image.width = int(info.output_width);
        image.height = int(info.output_height);
        image.bytes = bytes;
        image.pixels = std::move(pixels);
        jpeg_destroy_decompress(&info);
        return image;
    }

    // A binary PGM or PPM reference.
    inline Image loadNetpbm(const std::string& name)
    {
        Image image;
        const std::vector<u8> data = loadFile(name);
        if (data.size() < 2 || data[0] != 'P')
            return image;
        int channels = data[1] == '6' ? 3 : 1;
        size_t p = 2;
        int values[3] = {};
        for (int i = 0; i < 3; ++i)
        {
            while (p < data.size() && (data[p] == ' ' || data[p] == '\n' || data[p] == '\r' || data[p] == '\t'))
                ++p;
            while (p < data.size() && data[p] >= '0' && data[p] <= '9')
                values[i] = values[i] * 10 + (data[p++] - '0');
        }
        ++p;
        image.width = values[0];
        image.height = values[1];
        image.bytes = channels;
        image.pixels.assign(data.begin() + p, data.end());
        image.pixels.resize(size_t(image.width) * image.height * channels);
        return image;
    }

    struct Difference
    {
        int max = 0;
        double mean = 0;
        double squared = 0;     // mean squared difference
    };

    inline double psnr(const Difference& d)
    {
        return d.squared > 0 ? 10.0 * std::log10(255.0 * 255.0 / d.squared) : 99.0;
    }

    // Compares the first `channels` bytes of each pixel.
    inline Difference compare(const Image& a, const Image& b, int channels)
    {
        Difference d;
        if (a.width != b.width || a.height != b.height || a.pixels.empty() || b.pixels.empty())
        {
            d.max = 1 << 30;
            return d;
        }
        double sum = 0;
        size_t count = 0;
        for (int y = 0; y < a.height; ++y)
        {
            const u8* pa = a.row(y);
            const u8* pb = b.row(y);
            for (int x = 0; x < a.width; ++x)
            {
                for (int c = 0; c < channels; ++c)
                {
                    const int diff = std::abs(int(pa[x * a.bytes + c]) - int(pb[x * b.bytes + c]));
                    d.max = std::max(d.max, diff);
                    sum += diff;
                    d.squared += double(diff) * diff;
                    ++count;
                }
            }
        }
        d.mean = count ? sum / double(count) : 0;
        d.squared = count ? d.squared / double(count) : 0;
        return d;
    }

} // namespace jpegtest
