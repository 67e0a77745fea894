// Registries, the decoder front end and Bitmap loading, through a small decoder that
// this test registers for ".ntst".

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <norva/core/exception.hpp>
#include <norva/core/stream.hpp>
#include <norva/image/decoder.hpp>
#include <norva/image/surface.hpp>

using namespace norva;

namespace
{

    // "NTST", u32 width, u32 height, then RGBA 8888 pixels. A missing or short payload is
    // a header error.
    int decodeCalls = 0;

    class TestDecoder : public ImageDecoderInterface
    {
    public:
        explicit TestDecoder(ConstMemory memory)
            : m_memory(memory)
        {
            if (memory.size < 12 || std::memcmp(memory.address, "NTST", 4) != 0)
            {
                m_header.setError("[ImageDecoder.NTST] Incorrect header magic.");
                return;
            }
            u32 w, h;
            std::memcpy(&w, memory.address + 4, 4);
            std::memcpy(&h, memory.address + 8, 4);
            m_header.width = int(w);
            m_header.height = int(h);
            m_header.format = Format::RGBA8888;
        }

        ImageHeader header() override
        {
            return m_header;
        }

        ImageDecodeStatus decode(Surface& dest, Palette*, int, int, int) override
        {
            ++decodeCalls;
            ImageDecodeStatus status;
            if (!m_header.success)
            {
                status.setError("%s", m_header.info.c_str());
                return status;
            }
            const u64 bytes = u64(m_header.width) * m_header.height * 4;
            if (m_memory.size - 12 < bytes)
            {
                status.setError("[ImageDecoder.NTST] Out of data.");
                return status;
            }
            Surface source(m_header.width, m_header.height, Format::RGBA8888, m_header.width * 4,
                           const_cast<u8*>(m_memory.address + 12));
            if (dest.format == Format::RGBA8888 && dest.width == m_header.width && dest.height == m_header.height)
            {
                // the native format: rows straight into the destination
                for (int y = 0; y < m_header.height; ++y)
                    std::memcpy(dest.address(0, y), source.address(0, y), size_t(m_header.width) * 4);
                status.direct = true;
            }
            else if (!dest.blit(0, 0, source))
            {
                status.setError("[ImageDecoder.NTST] No conversion to the destination format.");
            }
            return status;
        }

    private:
        ConstMemory m_memory;
        ImageHeader m_header;
    };

    ImageDecoderInterface* createTestDecoder(ConstMemory memory)
    {
        return new TestDecoder(memory);
    }

    ImageDecoderInterface* createOtherDecoder(ConstMemory memory)
    {
        return new TestDecoder(memory);
    }

    ImageEncodeStatus encodeTest(Stream& output, const Surface& surface, const ImageEncodeOptions&)
    {
        const u32 size[2] = { u32(surface.width), u32(surface.height) };
        output.write("NTST", 4);
        output.write(size, 8);
        ImageEncodeStatus status;
        return status;
    }

    std::vector<u8> makeFile(u32 width, u32 height)
    {
        std::vector<u8> data(12 + size_t(width) * height * 4);
        std::memcpy(data.data(), "NTST", 4);
        std::memcpy(data.data() + 4, &width, 4);
        std::memcpy(data.data() + 8, &height, 4);
        for (size_t i = 12; i < data.size(); ++i)
            data[i] = u8(i * 7);
        return data;
    }

    struct Registered
    {
        Registered()
        {
            registerImageDecoder(createTestDecoder, ".NTST");
            registerImageEncoder(encodeTest, ".ntst");
        }
    };
    const Registered registered;

} // namespace

TEST(Registry, LookupByLowerCasedExtension)
{
    EXPECT_EQ(getLowerCaseExtension("Photo.JPEG"), ".jpeg");
    EXPECT_EQ(getLowerCaseExtension(".png"), ".png");
    EXPECT_EQ(getLowerCaseExtension("PNG"), "png");
    EXPECT_EQ(getLowerCaseExtension("archive.tar.gz"), ".gz");
    EXPECT_EQ(getLowerCaseExtension("pack.v2/Stone.PNG"), ".png");
    EXPECT_EQ(getLowerCaseExtension("pack.v2/Stone"), "pack.v2/stone"); // a folder's dot is no extension

    EXPECT_EQ(getImageDecoder("picture.NtSt"), createTestDecoder);
    EXPECT_EQ(getImageDecoder(".ntst"), createTestDecoder);
    EXPECT_EQ(getImageDecoder("NTST"), nullptr); // every key carries its dot
    EXPECT_EQ(getImageDecoder("picture.ntst.gz"), nullptr);
    EXPECT_EQ(getImageDecoder(".xyz"), nullptr);

    EXPECT_EQ(getImageEncoder("out.NTST"), encodeTest);
    EXPECT_EQ(getImageEncoder("out.xyz"), nullptr);
    EXPECT_EQ(getImageDecoder("out.xyz"), nullptr);

    MemoryStream stream;
    const Bitmap bitmap(3, 2, Format::RGBA8888);
    EXPECT_TRUE(getImageEncoder(".ntst")(stream, bitmap, ImageEncodeOptions()).success);
    EXPECT_EQ(stream.size(), 12u);
}

TEST(Registry, ALaterRegistrationReplacesTheEarlierOne)
{
    registerImageDecoder(createTestDecoder, ".ntst2");
    EXPECT_EQ(getImageDecoder("a.ntst2"), createTestDecoder);
    registerImageDecoder(createOtherDecoder, ".NTST2"); // the same key
    EXPECT_EQ(getImageDecoder("a.ntst2"), createOtherDecoder);
}

TEST(Registry, RecordDefaults)
{
    const ImageDecodeStatus status;
    EXPECT_TRUE(status.success);
    EXPECT_FALSE(status.direct);
    EXPECT_EQ(status.current_frame_index, 0);
    EXPECT_EQ(status.next_frame_index, 0);
    EXPECT_EQ(status.frame_delay_numerator, 1);
    EXPECT_EQ(status.frame_delay_denominator, 60);

    const ImageHeader header;
    EXPECT_EQ(header.width, 0);
    EXPECT_EQ(header.format, Format());
    EXPECT_EQ(header.compression, 0u);

    Status error;
    error.setError("[ImageDecoder.%s] %d", "X", 5);
    EXPECT_FALSE(error.success);
    EXPECT_EQ(error.info, "[ImageDecoder.X] 5");
    error.setError("%s", std::string(600, 'a').c_str());
    EXPECT_EQ(error.info.size(), 511u);
    error.setError("ab%ls", L"\u20AC"); // the formatter fails: empty, as from makeString
    EXPECT_EQ(error.info, "");
    EXPECT_FALSE(error.success);
}

TEST(ImageDecoder, WithoutADecoderReportsWarnings)
{
    const std::vector<u8> data = makeFile(2, 2);
    ImageDecoder decoder(ConstMemory(data.data(), data.size()), ".xyz");
    EXPECT_FALSE(decoder.isDecoder());

    const ImageHeader header = decoder.header();
    EXPECT_FALSE(header.success);
    EXPECT_EQ(header.width, 0);
    EXPECT_EQ(header.format, Format());
    EXPECT_EQ(header.info, "[WARNING] ImageDecoder::header() is not supported for this extension.");

    Bitmap dest(2, 2, Format::RGBA8888);
    std::memset(dest.image, 0x33, 16);
    const ImageDecodeStatus status = decoder.decode(dest);
    EXPECT_FALSE(status.success);
    EXPECT_EQ(status.info, "[WARNING] ImageDecoder::decode() is not supported for this extension.");
    EXPECT_EQ(dest.image[0], 0x33);
    EXPECT_EQ(decoder.memory(0, 0, 0).address, nullptr);
}

TEST(ImageDecoder, OptionalSlotsDefaultToEmpty)
{
    const std::vector<u8> data = makeFile(1, 1);
    ImageDecoder decoder(ConstMemory(data.data(), data.size()), ".ntst");
    ASSERT_TRUE(decoder.isDecoder());
    for (ConstMemory m : { decoder.memory(0, 0, 0), decoder.icc(), decoder.exif() })
    {
        EXPECT_EQ(m.address, nullptr);
        EXPECT_EQ(m.size, 0u);
    }
}

TEST(BitmapLoad, FromMemoryInTheNativeFormatOrConverted)
{
    const std::vector<u8> data = makeFile(5, 3);
    const ConstMemory memory(data.data(), data.size());

    const Bitmap native(memory, ".NTST");
    ASSERT_TRUE(native.status().success) << native.status().info;
    EXPECT_EQ(native.width, 5);
    EXPECT_EQ(native.height, 3);
    EXPECT_EQ(native.format, Format::RGBA8888);
    EXPECT_EQ(std::memcmp(native.image, data.data() + 12, 60), 0);

    const Bitmap swapped(memory, ".ntst", Format::BGRA8888);
    ASSERT_TRUE(swapped.status().success);
    EXPECT_EQ(swapped.format, Format::BGRA8888);
    for (int i = 0; i < 15; ++i)
    {
        EXPECT_EQ(swapped.image[i * 4 + 0], data[12 + i * 4 + 2]);
        EXPECT_EQ(swapped.image[i * 4 + 2], data[12 + i * 4 + 0]);
        EXPECT_EQ(swapped.image[i * 4 + 3], data[12 + i * 4 + 3]);
    }

    // a format the decoder cannot reach: the size stays, the pixels are zero, the status says why
    const Format snorm(32, Format::SNORM, Format::RGBA, 8, 8, 8, 8);
    const Bitmap refused(memory, ".ntst", snorm);
    EXPECT_FALSE(refused.status().success);
    EXPECT_EQ(refused.width, 5);
    for (int i = 0; i < 60; ++i)
        ASSERT_EQ(refused.image[i], 0);
}

TEST(BitmapLoad, BadInputLeavesItEmpty)
{
    const std::vector<u8> data = makeFile(2, 2);

    const Bitmap unknown(ConstMemory(data.data(), data.size()), ".xyz");
    EXPECT_EQ(unknown.width, 0);
    EXPECT_EQ(unknown.height, 0);
    EXPECT_EQ(unknown.image, nullptr);
    EXPECT_EQ(unknown.format, Format());
    EXPECT_FALSE(unknown.status().success);

    const u8 garbage[16] = { 'X' };
    const Bitmap broken(ConstMemory(garbage, sizeof(garbage)), ".ntst");
    EXPECT_EQ(broken.image, nullptr);
    EXPECT_EQ(broken.status().info, "[ImageDecoder.NTST] Incorrect header magic.");

    // sizes a header may claim: too large for memory, past 2^31 bytes per row, negative
    const std::pair<u32, u32> sizes[] = { { 100000, 100000 }, { 0x40000000, 1 }, { 0xFFFFFFFF, 4 }, { 4, 0 } };
    for (const auto& [w, h] : sizes)
    {
        std::vector<u8> header = makeFile(0, 0);
        std::memcpy(header.data() + 4, &w, 4);
        std::memcpy(header.data() + 8, &h, 4);
        decodeCalls = 0;
        const Bitmap huge(ConstMemory(header.data(), header.size()), ".ntst");
        EXPECT_EQ(huge.image, nullptr) << w << " x " << h;
        EXPECT_EQ(huge.width, 0);
        EXPECT_FALSE(huge.status().success);
        EXPECT_EQ(decodeCalls, 0); // refused before any allocation or decode
    }
}

TEST(BitmapLoad, FromAFile)
{
    const std::vector<u8> data = makeFile(4, 4);
    const std::string name = std::string(ZELMORA_BINARY_DIR) + "/image_test_picture.NTST";
    {
        std::ofstream file(name, std::ios::binary);
        file.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    }

    const Bitmap loaded(name, Format::RGBA8888);
    ASSERT_TRUE(loaded.status().success) << loaded.status().info;
    EXPECT_EQ(loaded.width, 4);
    EXPECT_EQ(std::memcmp(loaded.image, data.data() + 12, 64), 0);

    const Bitmap native(name); // no format: the header's
    EXPECT_EQ(native.format, Format::RGBA8888);
    std::remove(name.c_str());

    EXPECT_THROW(Bitmap(std::string(ZELMORA_BINARY_DIR) + "/no_such_picture.ntst"), Exception);
}
