// JPEG as an image format: the decoder's registry entry over norva::jpeg::Parser, and the
// encoder.

#include <norva/image/decoder.hpp>

#include "jpeg_encode.hpp"

namespace norva
{
    namespace
    {
        class Interface : public ImageDecoderInterface
        {
        public:
            explicit Interface(ConstMemory memory)
                : m_parser(memory)
            {
            }

            ImageHeader header() override
            {
                return m_parser.header();
            }

            ImageDecodeStatus decode(Surface& dest, Palette* palette, int level, int depth, int face) override
            {
                (void)palette;
                (void)level;
                (void)depth;
                (void)face;
                return m_parser.decode(dest);
            }

            ConstMemory icc() override
            {
                return m_parser.icc();
            }

            ConstMemory exif() override
            {
                return m_parser.exif();
            }

        private:
            jpeg::Parser m_parser;
        };

        ImageDecoderInterface* createDecoderJPEG(ConstMemory memory)
        {
            return new Interface(memory);
        }

        ImageEncodeStatus encodeJPEG(Stream& output, const Surface& surface, const ImageEncodeOptions& options)
        {
            return jpeg::encodeImage(output, surface, options.quality);
        }

    } // namespace

    void registerImageCodecJPEG()
    {
        registerImageDecoder(createDecoderJPEG, ".jpg");
        registerImageDecoder(createDecoderJPEG, ".jpeg");
        registerImageDecoder(createDecoderJPEG, ".jfif");
        registerImageDecoder(createDecoderJPEG, ".mpo");
        registerImageEncoder(encodeJPEG, ".jpg");
        registerImageEncoder(encodeJPEG, ".jpeg");
    }

} // namespace norva
