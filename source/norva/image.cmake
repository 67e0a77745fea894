# One folder per family: the image core here, then blitter, png, jpeg, formats (with the C64
# family in formats/c64), texture containers (texture) and their block codecs (texture/block).
# A new file in one of these folders needs no edit here.
set(NORVA_IMAGE_FAMILIES . blitter png jpeg formats formats/c64 texture texture/block)
set(_image_globs)
foreach(_family IN LISTS NORVA_IMAGE_FAMILIES)
  list(APPEND _image_globs ${CMAKE_CURRENT_SOURCE_DIR}/image/${_family}/*.cpp)
endforeach()

# stb_image's zlib decoder inflates small PNG streams; a missing package stops here.
find_path(NORVA_STB_INCLUDE_DIR stb/stb_image.h)
if(NOT NORVA_STB_INCLUDE_DIR)
  message(FATAL_ERROR "stb headers (stb/stb_image.h) not found: run 'sh tools/install-deps.sh' (Debian package libstb-dev).")
endif()

# WebP is coded by libwebp, ZPNG's frames by libzstd (found by compress.cmake)
pkg_check_modules(WEBP REQUIRED IMPORTED_TARGET libwebp)

norva_library(norva_image
  GLOBS ${_image_globs}
  LIBS norva_core norva_filesystem PkgConfig::WEBP PkgConfig::ZSTD)
# the shared internal headers (format_guard.hpp, image_registry.hpp) and, by family path,
# the headers one family reads of another
target_include_directories(norva_image PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/image
  ${NORVA_STB_INCLUDE_DIR})

# scalar and SSE2 conversions must round identically: no fused multiply-adds
target_compile_options(norva_image PRIVATE -ffp-contract=off)
