// Every block codec of the texture table and the texture containers on random bytes.
//
// Byte 0 picks the target: a row of the table that has a decoder (in table order), or,
// past those, one of the containers. For a row, bytes 1 and 2 give the image size and the
// destination, the rest is block data:
//   - each whole block goes alone, in an allocation of exactly the row's block size, to the
//     row's decode function (whole-image rows take their row's block as a tiny image), into
//     a destination of exactly the block's texels, top-down or bottom-up;
//   - all of it goes through TextureCompressionInfo::decompress into an image of the chosen
//     size in the row's format, RGBA 8888 or four floats, top-down or bottom-up.
// For a container the rest is the file; every level and face is decoded.
//
// FUZZ_LIST_TARGETS=1 fuzz_block prints the number of rows, then the container extensions
// in selector order, and exits; the seeding in fuzz/run.sh reads it.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include <norva/core/exception.hpp>
#include <norva/image/decoder.hpp>
#include <norva/image/surface.hpp>
#include <norva/image/texture.hpp>

using namespace norva;

namespace
{
    const std::vector<TextureCompressionInfo>& codecs()
    {
        static const std::vector<TextureCompressionInfo> rows = [] {
            std::vector<TextureCompressionInfo> list;
            for (const TextureCompressionInfo& info : getTextureCompressionTable())
            {
                if (info.decode)
                    list.push_back(info);
            }
            return list;
        }();
        return rows;
    }

    const char* const containers[] = { ".dds", ".ktx", ".pvr", ".pkm", ".astc" };

    // A surface over `bitmap`, its rows upward when bottomUp.
    Surface view(Bitmap& bitmap, bool bottomUp)
    {
        if (!bottomUp)
            return bitmap;
        return Surface(bitmap.width, bitmap.height, bitmap.format, -bitmap.stride,
                       bitmap.address(0, bitmap.height - 1));
    }

    void fuzzBlocks(const TextureCompressionInfo& info, const std::uint8_t* data, std::size_t size, bool bottomUp)
    {
        const std::size_t bytes = std::size_t(info.bytes);
        const std::size_t rowBytes = std::size_t(info.width) * std::size_t(info.format.bytes());
        std::unique_ptr<u8[]> block(new u8[bytes]);
        std::unique_ptr<u8[]> pixels(new u8[rowBytes * std::size_t(info.height)]);
        const s32 stride = s32(rowBytes);
        u8* first = bottomUp ? pixels.get() + rowBytes * std::size_t(info.height - 1) : pixels.get();
        for (std::size_t offset = 0; offset + bytes <= size && offset < 64 * bytes; offset += bytes)
        {
            std::memcpy(block.get(), data + offset, bytes);
            info.decode(info, first, block.get(), bottomUp ? -stride : stride);
        }
    }

    void fuzzImage(const TextureCompressionInfo& info, std::uint8_t sizeByte, std::uint8_t kind,
                   const std::uint8_t* data, std::size_t size)
    {
        // whole-image rows need sides that are powers of two; others any side up to 64
        int width, height;
        if (info.compression & TextureCompression::FLAG_SURFACE)
        {
            width = 1 << (sizeByte & 7);
            height = 1 << ((sizeByte >> 3) & 7);
        }
        else
        {
            width = 1 + (sizeByte & 15) * 3;
            height = 1 + (sizeByte >> 4) * 3;
        }
        const Format formats[] = { info.format, Format::RGBA8888, Format::RGBA32F, Format::BGRA8888 };
        const Format format = formats[kind & 3];
        if (format.bits == 0)
            return;

        // the block data in an allocation of its own exact size
        std::unique_ptr<u8[]> copy(new u8[size ? size : 1]);
        if (size)
            std::memcpy(copy.get(), data, size);
        Bitmap bitmap(width, height, format);
        info.decompress(view(bitmap, (kind & 4) != 0), ConstMemory(copy.get(), size));
    }

    void fuzzContainer(const char* extension, const std::uint8_t* data, std::size_t size)
    {
        std::unique_ptr<u8[]> copy(new u8[size ? size : 1]);
        if (size)
            std::memcpy(copy.get(), data, size);
        ImageDecoder decoder(ConstMemory(copy.get(), size), extension);
        const ImageHeader header = decoder.header();
        if (!header.success || header.width <= 0 || header.height <= 0)
            return;
        if (std::uint64_t(header.width) * std::uint64_t(header.height) > (std::uint64_t(1) << 20))
            return;
        const int levels = std::min(std::max(header.levels, 1), 16);
        const int faces = std::min(std::max(header.faces, 1), 6);
        for (int level = 0; level < levels; ++level)
        {
            Bitmap bitmap(std::max(header.width >> level, 1), std::max(header.height >> level, 1), Format::RGBA8888);
            for (int face = 0; face < faces; ++face)
            {
                Surface surface = bitmap;
                decoder.decode(surface, ImageDecodeOptions(), level, 0, face);
                decoder.memory(level, 0, face);
            }
        }
    }
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (std::getenv("FUZZ_LIST_TARGETS"))
    {
        std::printf("%zu\n", codecs().size());
        for (const char* extension : containers)
            std::printf("%s\n", extension);
        std::exit(0);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 3)
        return 0;
    const std::vector<TextureCompressionInfo>& rows = codecs();
    const std::size_t targets = rows.size() + std::size(containers);
    const std::size_t target = data[0] % targets;
    try
    {
        if (target < rows.size())
        {
            const TextureCompressionInfo& info = rows[target];
            fuzzBlocks(info, data + 3, size - 3, (data[2] & 8) != 0);
            fuzzImage(info, data[1], data[2], data + 3, size - 3);
        }
        else
        {
            fuzzContainer(containers[target - rows.size()], data + 1, size - 1);
        }
    }
    catch (const norva::Exception&)
    {
    }
    catch (const std::bad_alloc&)
    {
    }
    return 0;
}
