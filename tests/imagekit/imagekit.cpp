#include "imagekit/imagekit.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <csetjmp>
#include <dirent.h>
#include <sys/stat.h>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include <png.h>

#define STB_IMAGE_IMPLEMENTATION
#define STBI_NO_STDIO
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#pragma GCC diagnostic ignored "-Wsign-compare"
#include <stb/stb_image.h>
#pragma GCC diagnostic pop

using norva::u8;
using norva::u16;
using norva::u32;
using norva::u64;

namespace imagekit
{
    namespace
    {
        std::string fixtureRoot()
        {
            return std::string(ZELMORA_SOURCE_DIR) + "/tests/fixtures/";
        }

        bool isFile(const std::string& path)
        {
            struct stat info;
            return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
        }

        // The names in one family folder that `wanted` accepts, references left out.
        template <typename Wanted>
        void collectFixtures(const std::string& family, Wanted wanted, std::vector<std::string>& names)
        {
            DIR* dir = opendir((fixtureRoot() + family).c_str());
            if (!dir)
            {
                return;
            }
            while (dirent* e = readdir(dir))
            {
                const std::string name = e->d_name;
                if (name.find(".ref.") == std::string::npos && wanted(name) &&
                    isFile(fixtureRoot() + family + "/" + name))
                {
                    names.push_back(name);
                }
            }
            closedir(dir);
        }

        template <typename Wanted>
        std::vector<std::string> listAllFixtures(Wanted wanted)
        {
            std::vector<std::string> names;
            for (const std::string& family : fixtureFamilies())
            {
                collectFixtures(family, wanted, names);
            }
            std::sort(names.begin(), names.end());
            return names;
        }
    } // namespace

    const std::vector<std::string>& fixtureFamilies()
    {
        static const std::vector<std::string> families = { "png", "formats", "formats/c64", "jpeg", "texture" };
        return families;
    }

    std::string fixturePath(const std::string& name)
    {
        // Fixtures live in their family's folder and keep the family prefix in their name,
        // so a bare name is unique across the folders searched here.
        if (name.find('/') != std::string::npos)
            return fixtureRoot() + name;
        for (const std::string& family : fixtureFamilies())
        {
            std::string path = fixtureRoot() + family + "/" + name;
            if (isFile(path))
                return path;
        }
        return fixtureRoot() + "formats/" + name;
    }

    Bytes readFile(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    Bytes readFixture(const std::string& name)
    {
        Bytes bytes = readFile(fixturePath(name));
        EXPECT_FALSE(bytes.empty()) << "missing fixture " << name;
        return bytes;
    }

    std::vector<std::string> listFixtures(const std::vector<std::string>& prefixes)
    {
        return listAllFixtures([&](const std::string& name) {
            return std::any_of(prefixes.begin(), prefixes.end(),
                               [&](const std::string& p) { return name.rfind(p, 0) == 0; });
        });
    }

    std::vector<std::string> listFixturesWithExtension(const std::string& extension)
    {
        return listAllFixtures([&](const std::string& name) {
            const size_t dot = name.rfind('.');
            return dot != std::string::npos && norva::getLowerCaseExtension(name.substr(dot)) == extension;
        });
    }

    Image makeImage(int width, int height, int depth)
    {
        Image image;
        image.width = width;
        image.height = height;
        image.depth = depth;
        image.rgba.assign(size_t(width) * size_t(height) * 4, 0);
        return image;
    }

    // ------------------------------------------------------------------------
    // surfaces
    // ------------------------------------------------------------------------

    namespace
    {
        u32 scaleField(u64 value, int bits, int depth)
        {
            const u64 max = (u64(1) << bits) - 1;
            const u64 target = depth == 16 ? 65535 : 255;
            return u32((value * target * 2 + max) / (2 * max));
        }
    }

    Image fromSurface(const norva::Surface& surface)
    {
        const norva::Format& f = surface.format;
        int widest = 0;
        for (int c = 0; c < 4; ++c)
        {
            widest = std::max(widest, int(f.size[c]));
        }
        const int depth = widest > 8 ? 16 : 8;
        Image image = makeImage(surface.width, surface.height, depth);
        const int bytes = f.bytes();
        for (int y = 0; y < surface.height; ++y)
        {
            const u8* row = surface.address(0, y);
            for (int x = 0; x < surface.width; ++x)
            {
                u64 pixel = 0;
                std::memcpy(&pixel, row + size_t(x) * bytes, size_t(std::min(bytes, 8)));
                for (int c = 0; c < 4; ++c)
                {
                    const int size = f.size[c];
                    if (!size)
                    {
                        image.at(x, y, c) = c == 3 ? u16(image.maximum()) : 0;
                        continue;
                    }
                    const u64 value = (pixel >> f.offset[c]) & ((u64(1) << size) - 1);
                    image.at(x, y, c) = u16(scaleField(value, size, depth));
                }
            }
        }
        return image;
    }

    Image fromIndices(const norva::Surface& surface, const norva::Palette& palette)
    {
        Image image = makeImage(surface.width, surface.height, 8);
        for (int y = 0; y < surface.height; ++y)
        {
            for (int x = 0; x < surface.width; ++x)
            {
                const u32 c = palette.color[surface.address(x, y)[0]];
                image.at(x, y, 0) = u16((c >> 16) & 0xFF);
                image.at(x, y, 1) = u16((c >> 8) & 0xFF);
                image.at(x, y, 2) = u16(c & 0xFF);
                image.at(x, y, 3) = u16(c >> 24);
            }
        }
        return image;
    }

    Image narrow(const Image& image)
    {
        if (image.depth == 8)
        {
            return image;
        }
        Image out = image;
        out.depth = 8;
        for (auto& v : out.rgba)
        {
            v = u16((u32(v) * 255 + 32767) / 65535);
        }
        return out;
    }

    // ------------------------------------------------------------------------
    // references
    // ------------------------------------------------------------------------

    namespace
    {
        struct PngSource
        {
            const Bytes* bytes;
            size_t offset;
        };

        void readCallback(png_structp png, png_bytep out, png_size_t n)
        {
            PngSource* source = static_cast<PngSource*>(png_get_io_ptr(png));
            if (source->offset + n > source->bytes->size())
            {
                png_error(png, "read past the end");
            }
            std::memcpy(out, source->bytes->data() + source->offset, n);
            source->offset += n;
        }

        // libpng reports through longjmp; only plain data lives in the function that calls setjmp
        bool runLibpng(const Bytes& file, Image& image)
        {
            png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
            png_infop info = png_create_info_struct(png);
            PngSource source { &file, 0 };
            std::vector<png_bytep>* rows = new std::vector<png_bytep>();
            std::vector<u8>* pixels = new std::vector<u8>();
            volatile bool ok = false;
            if (setjmp(png_jmpbuf(png)) == 0)
            {
                png_set_read_fn(png, &source, readCallback);
                png_read_info(png, info);
                const int depth = png_get_bit_depth(png, info);
                const int type = png_get_color_type(png, info);
                png_set_expand(png);
                if (type == PNG_COLOR_TYPE_GRAY || type == PNG_COLOR_TYPE_GRAY_ALPHA)
                {
                    png_set_gray_to_rgb(png);
                }
                png_set_filler(png, depth == 16 ? 0xFFFF : 0xFF, PNG_FILLER_AFTER);
                if (depth == 16)
                {
                    png_set_swap(png);
                }
                png_set_interlace_handling(png);
                png_read_update_info(png, info);

                const int w = int(png_get_image_width(png, info));
                const int h = int(png_get_image_height(png, info));
                const size_t rowBytes = png_get_rowbytes(png, info);
                pixels->resize(rowBytes * size_t(h));
                rows->resize(size_t(h));
                for (int y = 0; y < h; ++y)
                {
                    (*rows)[size_t(y)] = pixels->data() + rowBytes * size_t(y);
                }
                png_read_image(png, rows->data());
                png_read_end(png, nullptr);

                const int outDepth = depth == 16 ? 16 : 8;
                image = makeImage(w, h, outDepth);
                for (size_t i = 0; i < image.rgba.size(); ++i)
                {
                    if (outDepth == 16)
                    {
                        u16 v;
                        std::memcpy(&v, pixels->data() + i * 2, 2);
                        image.rgba[i] = v;
                    }
                    else
                    {
                        image.rgba[i] = (*pixels)[i];
                    }
                }
                ok = true;
            }
            png_destroy_read_struct(&png, &info, nullptr);
            delete rows;
            delete pixels;
            return ok;
        }

        Image fromStb(const void* data, int w, int h, int depth)
        {
            Image image = makeImage(w, h, depth);
            for (size_t i = 0; i < image.rgba.size(); ++i)
            {
                image.rgba[i] = depth == 16 ? static_cast<const u16*>(data)[i] : static_cast<const u8*>(data)[i];
            }
            return image;
        }
    } // namespace

    Image decodeLibpng(const Bytes& file)
    {
        Image image;
        if (!runLibpng(file, image))
        {
            return Image();
        }
        return image;
    }

    Image decodeStb(const Bytes& file)
    {
        int w = 0, h = 0, n = 0;
        stbi_uc* data = stbi_load_from_memory(file.data(), int(file.size()), &w, &h, &n, 4);
        if (!data)
        {
            return Image();
        }
        Image image = fromStb(data, w, h, 8);
        stbi_image_free(data);
        return image;
    }

    Image decodeStb16(const Bytes& file)
    {
        int w = 0, h = 0, n = 0;
        stbi_us* data = stbi_load_16_from_memory(file.data(), int(file.size()), &w, &h, &n, 4);
        if (!data)
        {
            return Image();
        }
        Image image = fromStb(data, w, h, 16);
        stbi_image_free(data);
        return image;
    }

    Image readPAM(const Bytes& file)
    {
        std::string text(file.begin(), file.end());
        int width = 0, height = 0, channels = 0, maxval = 0;
        size_t data = 0;
        if (text.rfind("P7\n", 0) == 0)
        {
            size_t end = text.find("ENDHDR\n");
            if (end == std::string::npos)
            {
                return Image();
            }
            std::istringstream header(text.substr(3, end - 3));
            std::string key;
            while (header >> key)
            {
                if (key == "WIDTH") header >> width;
                else if (key == "HEIGHT") header >> height;
                else if (key == "DEPTH") header >> channels;
                else if (key == "MAXVAL") header >> maxval;
                else std::getline(header, key);
            }
            data = end + 7;
        }
        else if (text.rfind("P5", 0) == 0 || text.rfind("P6", 0) == 0)
        {
            // three numbers, each after white space and "#" comments (GIMP writes one)
            size_t at = 2;
            int* fields[3] = { &width, &height, &maxval };
            for (int* field : fields)
            {
                while (at < text.size() && (std::isspace(u8(text[at])) || text[at] == '#'))
                {
                    if (text[at] == '#')
                        at = std::min(text.find('\n', at), text.size());
                    else
                        ++at;
                }
                size_t digits = at;
                while (digits < text.size() && std::isdigit(u8(text[digits])))
                    ++digits;
                if (digits == at || digits - at > 6)
                    return Image();
                *field = std::stoi(text.substr(at, digits - at));
                at = digits;
            }
            channels = text[1] == '5' ? 1 : 3;
            data = at + 1;
        }
        if (width <= 0 || height <= 0 || channels < 1 || channels > 4 || maxval <= 0 || maxval > 65535)
        {
            return Image();
        }
        const int sampleBytes = maxval > 255 ? 2 : 1;
        if (data + size_t(width) * height * channels * sampleBytes > file.size())
        {
            return Image();
        }
        const int depth = maxval == 65535 ? 16 : 8;
        Image image = makeImage(width, height, depth);
        const u8* p = file.data() + data;
        for (int i = 0; i < width * height; ++i)
        {
            u32 s[4] = { 0, 0, 0, u32(maxval) };
            for (int c = 0; c < channels; ++c)
            {
                s[c] = sampleBytes == 2 ? u32((p[0] << 8) | p[1]) : p[0];
                p += sampleBytes;
            }
            u32 rgba[4];
            if (channels <= 2)
            {
                rgba[0] = rgba[1] = rgba[2] = s[0];
                rgba[3] = channels == 2 ? s[1] : u32(maxval);
            }
            else
            {
                std::copy(s, s + 4, rgba);
            }
            for (int c = 0; c < 4; ++c)
            {
                const u32 target = u32(image.maximum());
                image.rgba[size_t(i) * 4 + c] = u16((u64(rgba[c]) * target * 2 + u32(maxval)) / (2 * u64(maxval)));
            }
        }
        return image;
    }

    Decoded decodeNative(const Bytes& file, const std::string& extension)
    {
        Decoded result;
        norva::ImageDecoder decoder(norva::ConstMemory(file.data(), file.size()), extension);
        result.header = decoder.header();
        if (!result.header.success)
        {
            result.status.setError("%s", result.header.info.c_str());
            return result;
        }
        norva::Bitmap bitmap(result.header.width, result.header.height, result.header.format);
        result.status = decoder.decode(bitmap);
        result.image = fromSurface(bitmap);
        return result;
    }

    // ------------------------------------------------------------------------
    // comparison
    // ------------------------------------------------------------------------

    ::testing::AssertionResult sameImage(const Image& actual, const Image& expected, const Compare& compare)
    {
        if (expected.empty())
        {
            return ::testing::AssertionFailure() << "the reference is empty";
        }
        if (actual.width != expected.width || actual.height != expected.height)
        {
            return ::testing::AssertionFailure() << "size " << actual.width << "x" << actual.height << ", expected "
                                                 << expected.width << "x" << expected.height;
        }
        if (actual.depth != expected.depth)
        {
            return ::testing::AssertionFailure() << "depth " << actual.depth << ", expected " << expected.depth;
        }
        static const char* names = "RGBA";
        for (int y = 0; y < expected.height; ++y)
        {
            for (int x = 0; x < expected.width; ++x)
            {
                const bool transparent = expected.at(x, y, 3) == 0;
                for (int c = 0; c < 4; ++c)
                {
                    if ((c < 3 && transparent && compare.ignoreTransparentColor) || (c == 3 && compare.colorOnly))
                    {
                        continue;
                    }
                    const int a = actual.at(x, y, c);
                    const int e = expected.at(x, y, c);
                    if (std::abs(a - e) > compare.tolerance)
                    {
                        return ::testing::AssertionFailure()
                               << names[c] << " at (" << x << ", " << y << ") is " << a << ", expected " << e;
                    }
                }
            }
        }
        return ::testing::AssertionSuccess();
    }

    double Difference::psnr() const
    {
        return meanSquared > 0 ? 10.0 * std::log10(255.0 * 255.0 / meanSquared) : 99.0;
    }

    Difference difference(const Image& actual, const Image& expected, const Compare& compare)
    {
        Difference d;
        if (actual.empty() || expected.empty() || actual.width != expected.width ||
            actual.height != expected.height || actual.depth != expected.depth)
        {
            d.max = 1 << 30;
            return d;
        }
        double sum = 0;
        double squared = 0;
        u64 count = 0;
        for (int y = 0; y < expected.height; ++y)
        {
            for (int x = 0; x < expected.width; ++x)
            {
                const bool transparent = expected.at(x, y, 3) == 0;
                for (int c = 0; c < 4; ++c)
                {
                    if ((c < 3 && transparent && compare.ignoreTransparentColor) || (c == 3 && compare.colorOnly))
                    {
                        continue;
                    }
                    const int diff = std::abs(int(actual.at(x, y, c)) - int(expected.at(x, y, c)));
                    d.max = std::max(d.max, diff);
                    sum += diff;
                    squared += double(diff) * diff;
                    ++count;
                }
            }
        }
        d.mean = count ? sum / double(count) : 0;
        d.meanSquared = count ? squared / double(count) : 0;
        return d;
    }

    // ------------------------------------------------------------------------
    // robustness
    // ------------------------------------------------------------------------

    namespace
    {
        // decodes of sizes beyond this only test allocation, which has its own tests
        constexpr u64 maxSweepPixels = u64(1) << 22;
    } // namespace

    bool decodeThroughRegistry(const Bytes& file, const std::string& extension, int frames)
    {
        const norva::ConstMemory memory(file.data(), file.size());
        const norva::ImageHeader header = norva::ImageDecoder(memory, extension).header();
        if (!header.success)
        {
            EXPECT_FALSE(header.info.empty()) << "a failed header says nothing";
            return false;
        }
        // a header without an image (a JPEG without its frame) or one too large to sweep
        // decodes nothing
        if (header.width <= 0 || header.height <= 0 || u64(header.width) * u64(header.height) > maxSweepPixels)
        {
            return false;
        }

        // each destination through a decoder of its own, as an application opens a file
        auto decodeInto = [&](const norva::Format& format, norva::Palette* palette) {
            norva::ImageDecoder decoder(memory, extension);
            norva::Bitmap bitmap(header.width, header.height, format);
            norva::ImageDecodeOptions options;
            options.palette = palette;
            bool ok = true;
            for (int i = 0; i < frames; ++i)
            {
                const norva::ImageDecodeStatus status = decoder.decode(bitmap, options);
                if (!status.success)
                {
                    EXPECT_FALSE(status.info.empty()) << "a failed decode says nothing";
                    ok = false;
                }
                if (i == 0 && status.next_frame_index == 0)
                {
                    break;
                }
            }
            return ok;
        };

        bool ok = decodeInto(header.format, nullptr);
        ok &= decodeInto(norva::Format::RGBA8888, nullptr);
        if (header.compression)
        {
            // a block-compressed texture is its blocks until a codec converts them: the
            // file decodes when the first level's blocks are there
            ok |= norva::ImageDecoder(memory, extension).memory(0, 0, 0).size > 0;
        }
        if (header.palette)
        {
            norva::Palette palette;
            ok &= decodeInto(norva::Format::INDEX8, &palette);
            EXPECT_LE(palette.size, 256u);
        }
        return ok;
    }

    namespace
    {
        // The promises of SweepPromises for one file; `damage` names what was done to it
        // (empty for the intact file), `damaged` whether it must be reported.
        void checkPromises(const Bytes& file, const std::string& damage, bool damaged, const SweepPromises& promises,
                           PromiseStats& stats)
        {
            if (!promises.decodeWithThreads)
            {
                return;
            }
            const Decoded single = promises.decodeWithThreads(file, 1);
            const Decoded pool = promises.decodeWithThreads(file, 0);
            const std::string what = damage.empty() ? std::string("the intact file") : damage;
            if (single.status.success != pool.status.success)
            {
                ADD_FAILURE() << what << ": one thread says \"" << single.status.info << "\", the pool \""
                              << pool.status.info << "\"";
            }
            else if (single.status.success)
            {
                ++stats.threadChecks;
                EXPECT_TRUE(sameImage(pool.image, single.image)) << what << ": the pool's pixels differ from one thread's";
            }

            if (damaged)
            {
                ++stats.damageChecks;
                const bool reported = !single.status.success ||
                                      (promises.reportsDamage && promises.reportsDamage(single.status));
                EXPECT_TRUE(reported) << what << " decodes as if whole: \"" << single.status.info << "\"";
            }
        }
    } // namespace

    SweepStats robustnessSweep(const Bytes& file, const SweepDecode& decode, int truncations, int flips,
                               std::uint32_t seed)
    {
        PromiseStats unused;
        return robustnessSweep(file, decode, truncations, flips, seed, SweepPromises(), unused);
    }

    SweepStats robustnessSweep(const Bytes& file, const SweepDecode& decode, int truncations, int flips,
                               std::uint32_t seed, const SweepPromises& promises, PromiseStats& promiseStats)
    {
        SweepStats stats;
        std::mt19937 random(seed);
        int run = 0;

        {
            // a copy of exactly the file, so that ASan sees any read past the end
            Bytes intact(file);
            intact.shrink_to_fit();
            stats.intact = decode(intact, run++);
            checkPromises(intact, std::string(), false, promises, promiseStats);
        }

        auto attempt = [&](const Bytes& damaged, const std::string& damage, bool reportable) {
            ++stats.runs;
            if (decode(damaged, run++))
            {
                ++stats.decoded;
            }
            else
            {
                ++stats.failures;
            }
            checkPromises(damaged, damage, reportable, promises, promiseStats);
        };

        std::vector<size_t> lengths;
        if (file.size() <= size_t(truncations))
        {
            for (size_t n = 0; n < file.size(); ++n)
            {
                lengths.push_back(n);
            }
        }
        else
        {
            // every length through the headers, then spread over the rest
            for (size_t n = 0; n < 64 && n < file.size(); ++n)
            {
                lengths.push_back(n);
            }
            for (int i = 0; i < truncations; ++i)
            {
                lengths.push_back(64 + (file.size() - 64) * size_t(i) / size_t(truncations));
            }
        }
        for (size_t n : lengths)
        {
            Bytes cut(file.begin(), file.begin() + std::ptrdiff_t(n));
            cut.shrink_to_fit();
            attempt(cut, "cut at " + std::to_string(n), promises.truncationIsDamage);
        }

        // every other change overwrites four bytes, which reaches lengths and sizes
        for (int i = 0; i < flips && !file.empty(); ++i)
        {
            Bytes changed = file;
            const size_t at = random() % file.size();
            changed[at] = u8(changed[at] ^ (1 + random() % 255));
            if (i & 1)
            {
                for (size_t k = at + 1; k < at + 4 && k < changed.size(); ++k)
                {
                    changed[k] = u8(random());
                }
            }
            const bool damaged = promises.decodeWithThreads && promises.structureDamaged && promises.structureDamaged(changed);
            attempt(changed, "change " + std::to_string(i) + " at " + std::to_string(at), damaged);
        }
        return stats;
    }

    SweepStats robustnessSweep(const Bytes& file, const std::string& extension, int truncations, int flips,
                               std::uint32_t seed, int frames)
    {
        return robustnessSweep(
            file, [&](const Bytes& damaged, int) { return decodeThroughRegistry(damaged, extension, frames); },
            truncations, flips, seed);
    }

} // namespace imagekit
