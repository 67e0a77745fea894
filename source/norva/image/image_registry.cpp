// The one list of the library's image formats. A format's source file defines
// `void norva::registerImage...()`, which enters its create and encode functions into
// the registries; when a format lands, enable its line below. The order is fixed: a
// later registration of the same extension would replace an earlier one (no extension
// repeats in this list), and formats that delegate to others through the registry
// (BMP's PNG and JPEG icons) find them by extension at decode time, not here.

#include "image_registry.hpp"

// X(function) for each format, in registration order. A line stays commented out until
// the format's file exists; enabling one turns  /* X(registerImageCodecTGA)      .tga */
// into  X(registerImageCodecTGA)      /* .tga */  and keeps the trailing backslash.
#define NORVA_IMAGE_FORMATS(X) \
    X(registerImageCodecTGA)      /* .tga */ \
    X(registerImageCodecPKM)      /* .pkm */ \
    X(registerImageDecoderDDS)    /* .dds */ \
    X(registerImageCodecPNG)      /* .png */ \
    X(registerImageCodecJPEG)     /* .jpg .jpeg .jfif .mpo */ \
    X(registerImageCodecBMP)      /* .bmp .ico .cur */ \
    X(registerImageDecoderPCX)    /* .pcx */ \
    X(registerImageDecoderIFF)    /* .iff .lbm .ham .ham8 .ilbm .ehb */ \
    X(registerImageDecoderHDR)    /* .hdr */ \
    X(registerImageCodecGIF)      /* .gif */ \
    X(registerImageDecoderKTX)    /* .ktx */ \
    X(registerImageDecoderPVR)    /* .pvr */ \
    X(registerImageDecoderASTC)   /* .astc */ \
    X(registerImageCodecZPNG)     /* .zpng */ \
    X(registerImageDecoderSGI)    /* .rgb .rgba .bw .sgi */ \
    X(registerImageDecoderPNM)    /* .pbm .pgm .ppm .pam .pfm */ \
    X(registerImageDecoderATARI)  /* .pi1 .pi2 .pi3 .pc1 .pc2 .pc3 .neo .spu .spc .ca1 .ca2 .ca3 */ \
    X(registerImageDecoderC64)    /* the C64 picture extensions */ \
    X(registerImageCodecWEBP)     /* .webp */

namespace norva
{

#define NORVA_DECLARE_FORMAT(function) void function();
    NORVA_IMAGE_FORMATS(NORVA_DECLARE_FORMAT)
#undef NORVA_DECLARE_FORMAT

    void registerImageFormats()
    {
#define NORVA_REGISTER_FORMAT(function) function();
        NORVA_IMAGE_FORMATS(NORVA_REGISTER_FORMAT)
#undef NORVA_REGISTER_FORMAT
    }

} // namespace norva
