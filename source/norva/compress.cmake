# The compression front end: ten methods over Debian's codec libraries plus two C code bases
# that Debian ships only as source (the LZMA SDK) or inside another package (lzfse), which
# tools/fetch.d/compress.sh unpacks under ZELMORA_THIRD_PARTY.

find_package(BZip2 REQUIRED)
pkg_check_modules(LZ4 REQUIRED IMPORTED_TARGET liblz4)
pkg_check_modules(LZO2 REQUIRED IMPORTED_TARGET lzo2)
pkg_check_modules(ZSTD REQUIRED IMPORTED_TARGET libzstd)

set(NORVA_LZMA_SDK_DIR ${ZELMORA_THIRD_PARTY}/7zip/C)
set(NORVA_LZFSE_DIR ${ZELMORA_THIRD_PARTY}/lzfse)

set(_sdk_files LzmaEnc.c LzmaDec.c LzFind.c LzFindOpt.c Lzma2Enc.c Lzma2Dec.c
               Ppmd8.c Ppmd8Dec.c Ppmd8Enc.c Alloc.c CpuArch.c)
set(_lzfse_files lzfse_decode.c lzfse_decode_base.c lzfse_encode.c lzfse_encode_base.c
                 lzfse_fse.c lzvn_decode_base.c lzvn_encode_base.c)

# A missing source stops the build here: no method is ever dropped silently.
foreach(_f IN LISTS _sdk_files)
  if(NOT EXISTS ${NORVA_LZMA_SDK_DIR}/${_f})
    message(FATAL_ERROR "LZMA SDK source ${NORVA_LZMA_SDK_DIR}/${_f} is missing: "
      "run 'sh tools/install-deps.sh' (tools/fetch.d/compress.sh fetches Debian's 7zip sources).")
  endif()
endforeach()
foreach(_f IN LISTS _lzfse_files lzfse_main.c)
  if(NOT EXISTS ${NORVA_LZFSE_DIR}/${_f})
    message(FATAL_ERROR "lzfse source ${NORVA_LZFSE_DIR}/${_f} is missing: "
      "run 'sh tools/install-deps.sh' (tools/fetch.d/compress.sh unpacks Debian's apfs-dkms).")
  endif()
endforeach()

# Third-party C: compiled as it is, without our warning set.
list(TRANSFORM _sdk_files PREPEND ${NORVA_LZMA_SDK_DIR}/)
add_library(norva_lzma_sdk STATIC ${_sdk_files})
target_include_directories(norva_lzma_sdk SYSTEM PUBLIC ${NORVA_LZMA_SDK_DIR})
target_compile_definitions(norva_lzma_sdk PUBLIC Z7_ST)
# its x86 build reads and writes words at unaligned addresses on purpose
target_compile_options(norva_lzma_sdk PRIVATE -w -fno-sanitize=alignment)

list(TRANSFORM _lzfse_files PREPEND ${NORVA_LZFSE_DIR}/)
add_library(norva_lzfse STATIC ${_lzfse_files})
set_property(GLOBAL APPEND PROPERTY NORVA_LIBRARIES norva_lzma_sdk norva_lzfse)
# The shim folder stands in for the kernel headers the reference sources include; it stays
# private, as it would shadow the system's own <linux/...> headers elsewhere. lzfse.h then
# reads the system's <linux/types.h>, so C++ users include <cstdint> and <cstddef> first.
target_include_directories(norva_lzfse PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/core/compress/shim)
target_include_directories(norva_lzfse SYSTEM PUBLIC ${NORVA_LZFSE_DIR})
# fse_init_encoder_table shifts by -1 for a symbol that holds every state; the result
# lands in a field that is never read for such a symbol; the lzvn decoder forms
# match pointers with unsigned index arithmetic that wraps on purpose
target_compile_options(norva_lzfse PRIVATE -w -fno-sanitize=shift -fno-sanitize=pointer-overflow)

# The reference command-line tool built from the same sources: the tests read its output
# and feed it ours.
add_executable(norva_lzfse_cli ${NORVA_LZFSE_DIR}/lzfse_main.c)
target_link_libraries(norva_lzfse_cli PRIVATE norva_lzfse)
target_include_directories(norva_lzfse_cli PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/core/compress/shim)
target_compile_options(norva_lzfse_cli PRIVATE -w)
set_target_properties(norva_lzfse_cli PROPERTIES OUTPUT_NAME lzfse)

norva_library(norva_compress
  GLOBS ${CMAKE_CURRENT_SOURCE_DIR}/core/compress/*.cpp
  LIBS norva_core PkgConfig::DEFLATE BZip2::BZip2 PkgConfig::LZ4 PkgConfig::LZO2
       PkgConfig::ZSTD norva_lzma_sdk norva_lzfse)
