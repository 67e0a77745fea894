// Files that no command-line tool writes, made in the test with libjpeg: arithmetic coding
// with non-default conditioning, and a frame of two components.

#include "jpeg_test_util.hpp"

using namespace norva;
using namespace jpegtest;

namespace
{
    struct Settings
    {
        int components = 3;
        bool arithmetic = false;
        bool progressive = false;
        int restartBlocks = 0;
        u8 dcL = 0;
        u8 dcU = 1;
        u8 acK = 5;
    };

    Bytes encodeSource(const Settings& settings)
    {
        const Image source = loadNetpbm("source.ppm");

        jpeg_compress_struct info;
        ReferenceError error;
        info.err = jpeg_std_error(&error.manager);
        error.manager.error_exit = referenceErrorExit;
        unsigned char* output = nullptr;
        unsigned long size = 0;

        if (setjmp(error.jump))
        {
            ADD_FAILURE() << "libjpeg: " << error.message;
            jpeg_destroy_compress(&info);
            std::free(output);
            return {};
        }

        jpeg_create_compress(&info);
        jpeg_mem_dest(&info, &output, &size);
        info.image_width = JDIMENSION(source.width);
        info.image_height = JDIMENSION(source.height);
        info.input_components = settings.components;
        info.in_color_space = settings.components == 3 ? JCS_RGB : JCS_UNKNOWN;
        jpeg_set_defaults(&info);
        jpeg_set_quality(&info, 85, TRUE);
        info.arith_code = settings.arithmetic;
        info.restart_interval = settings.restartBlocks;
        for (int t = 0; t < NUM_ARITH_TBLS; ++t)
        {
            info.arith_dc_L[t] = settings.dcL;
            info.arith_dc_U[t] = settings.dcU;
            info.arith_ac_K[t] = settings.acK;
        }
        if (settings.progressive)
            jpeg_simple_progression(&info);

        jpeg_start_compress(&info, TRUE);
        std::vector<u8> row(size_t(source.width) * settings.components);
        while (info.next_scanline < info.image_height)
        {
            const int y = int(info.next_scanline);
            for (int x = 0; x < source.width; ++x)
                for (int c = 0; c < settings.components; ++c)
                    row[size_t(x) * settings.components + c] = u8(source.at(x, y, c));
            JSAMPROW p = row.data();
            jpeg_write_scanlines(&info, &p, 1);
        }
        jpeg_finish_compress(&info);
        jpeg_destroy_compress(&info);

        Bytes file(output, output + size);
        std::free(output);
        return file;
    }

} // namespace

TEST(JpegEncoded, ArithmeticConditioning)
{
    struct Case { const char* name; Settings settings; };
    const Case cases[] =
    {
        { "L 0 U 1 K 5", { 3, true, false, 0, 0, 1, 5 } },
        { "L 2 U 6 K 1", { 3, true, false, 0, 2, 6, 1 } },
        { "L 5 U 15 K 40", { 3, true, false, 0, 5, 15, 40 } },
        { "L 1 U 3 K 63, progressive", { 3, true, true, 0, 1, 3, 63 } },
        { "L 3 U 4 K 2, restart every 5 MCUs", { 3, true, false, 5, 3, 4, 2 } },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        const Bytes file = encodeSource(c.settings);
        ASSERT_FALSE(file.empty());
        const Image reference = referenceDecode(file, JCS_EXT_BGR);
        for (u32 threads : { 1u, 0u })
        {
            const Decoded ours = decode(file, Format::BGR888, threads);
            ASSERT_TRUE(ours.status.success) << ours.status.info;
            const Difference d = compare(ours.image, reference);
            EXPECT_LE(d.max, 4);
            EXPECT_TRUE(d.mean <= 0.1 || d.psnr() >= 45.0) << d.mean;
        }
    }
}

TEST(JpegEncoded, TwoComponentsAreRefused)
{
    Settings settings;
    settings.components = 2;
    const Bytes file = encodeSource(settings);
    ASSERT_FALSE(file.empty());

    jpeg::Parser parser(memoryOf(file));
    ASSERT_TRUE(parser.header().success);
    EXPECT_TRUE(parser.header().format == Format::BGRA8888);
    std::vector<u8> pixels(size_t(parser.header().width) * parser.header().height * 4);
    Surface surface(parser.header().width, parser.header().height, Format::BGRA8888, parser.header().width * 4, pixels.data());
    const ImageDecodeStatus status = parser.decode(surface);
    EXPECT_FALSE(status.success);
    EXPECT_EQ(status.info, "Unsupported number of components (2)");
}
