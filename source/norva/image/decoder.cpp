#include <norva/image/decoder.hpp>

#include <cstdarg>
#include <map>

#include <norva/core/string.hpp>
#include <norva/filesystem/path.hpp>

#include "image_registry.hpp"

namespace norva
{

    void Status::setError(const char* format, ...)
    {
        va_list args;
        va_start(args, format);
        info = makeStringV(format, args);
        va_end(args);
        success = false;
    }

    // ------------------------------------------------------------------------------------
    // registries
    // ------------------------------------------------------------------------------------

    namespace
    {

        // Function-local statics: built on first use, whatever the order of static
        // initialisers, and destroyed at exit.
        std::map<std::string, CreateDecoderFunc>& imageDecoderRegistry()
        {
            static std::map<std::string, CreateDecoderFunc> map;
            return map;
        }

        std::map<std::string, ImageEncodeFunc>& imageEncoderRegistry()
        {
            static std::map<std::string, ImageEncodeFunc> map;
            return map;
        }

        // Registers the library's formats once. Lookups call it, and so does the static
        // below, so that the tables are complete before main and read-only afterwards.
        void registerLibraryFormats()
        {
            static const bool registered = (registerImageFormats(), true);
            (void)registered;
        }

        const bool s_registered = (registerLibraryFormats(), true);

    } // namespace

    void registerImageDecoder(CreateDecoderFunc create, const std::string& extension)
    {
        imageDecoderRegistry()[toLower(extension)] = create;
    }

    void registerImageEncoder(ImageEncodeFunc encode, const std::string& extension)
    {
        imageEncoderRegistry()[toLower(extension)] = encode;
    }

    std::string getLowerCaseExtension(const std::string& name)
    {
        const std::string extension = filesystem::getExtension(name);
        return toLower(extension.empty() ? name : extension);
    }

    CreateDecoderFunc getImageDecoder(const std::string& name)
    {
        registerLibraryFormats();
        const auto& map = imageDecoderRegistry();
        auto it = map.find(getLowerCaseExtension(name));
        return it != map.end() ? it->second : nullptr;
    }

    ImageEncodeFunc getImageEncoder(const std::string& name)
    {
        registerLibraryFormats();
        const auto& map = imageEncoderRegistry();
        auto it = map.find(getLowerCaseExtension(name));
        return it != map.end() ? it->second : nullptr;
    }

    std::vector<std::string> getImageDecoderExtensions()
    {
        registerLibraryFormats();
        std::vector<std::string> extensions;
        for (const auto& entry : imageDecoderRegistry())
            extensions.push_back(entry.first);
        return extensions;
    }

    // ------------------------------------------------------------------------------------
    // ImageDecoderInterface
    // ------------------------------------------------------------------------------------

    ConstMemory ImageDecoderInterface::memory(int level, int depth, int face)
    {
        (void)level;
        (void)depth;
        (void)face;
        return ConstMemory();
    }

    ConstMemory ImageDecoderInterface::icc()
    {
        return ConstMemory();
    }

    ConstMemory ImageDecoderInterface::exif()
    {
        return ConstMemory();
    }

    // ------------------------------------------------------------------------------------
    // ImageDecoder
    // ------------------------------------------------------------------------------------

    ImageDecoder::ImageDecoder(ConstMemory memory, const std::string& extension)
    {
        if (CreateDecoderFunc create = getImageDecoder(extension))
            m_interface = create(memory);
    }

    ImageDecoder::~ImageDecoder()
    {
        delete m_interface;
    }

    ImageHeader ImageDecoder::header()
    {
        if (m_interface)
            return m_interface->header();
        ImageHeader header;
        header.setError("[WARNING] ImageDecoder::header() is not supported for this extension.");
        return header;
    }

    ImageDecodeStatus ImageDecoder::decode(Surface& dest, const ImageDecodeOptions& options, int level, int depth,
                                           int face)
    {
        if (m_interface)
            return m_interface->decode(dest, options.palette, level, depth, face);
        ImageDecodeStatus status;
        status.setError("[WARNING] ImageDecoder::decode() is not supported for this extension.");
        return status;
    }

    ConstMemory ImageDecoder::memory(int level, int depth, int face)
    {
        return m_interface ? m_interface->memory(level, depth, face) : ConstMemory();
    }

    ConstMemory ImageDecoder::icc()
    {
        return m_interface ? m_interface->icc() : ConstMemory();
    }

    ConstMemory ImageDecoder::exif()
    {
        return m_interface ? m_interface->exif() : ConstMemory();
    }

} // namespace norva
