// The JPEG decoder as an image format: its registry entry over norva::jpeg::Parser.

#include <norva/image/decoder.hpp>

#include "jpeg_private.hpp"

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

    } // namespace

    void registerImageCodecJPEG()
    {
        registerImageDecoder(createDecoderJPEG, ".jpg");
        registerImageDecoder(createDecoderJPEG, ".jpeg");
        registerImageDecoder(createDecoderJPEG, ".jfif");
        registerImageDecoder(createDecoderJPEG, ".mpo");
    }

} // namespace norva
