# The mapper chain and the host mapper, then the archive mappers (archive, with the RAR
# unpacker in archive/rar). libb2 checks the BLAKE2sp hash of RAR 5 members that carry one
# instead of a CRC-32 (libb2-dev, tools/packages.d/rar.txt).
pkg_check_modules(LIBB2 REQUIRED IMPORTED_TARGET libb2)
norva_library(norva_filesystem
  GLOBS ${CMAKE_CURRENT_SOURCE_DIR}/filesystem/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/filesystem/posix/*.cpp
        ${CMAKE_CURRENT_SOURCE_DIR}/filesystem/archive/*.cpp
        ${CMAKE_CURRENT_SOURCE_DIR}/filesystem/archive/rar/*.cpp
  LIBS norva_core norva_compress PkgConfig::LIBB2)
target_include_directories(norva_filesystem PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/filesystem)
