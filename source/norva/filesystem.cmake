# The mapper chain and the host mapper, then the archive mappers (archive, with the RAR
# unpacker in archive/rar).
norva_library(norva_filesystem
  GLOBS ${CMAKE_CURRENT_SOURCE_DIR}/filesystem/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/filesystem/posix/*.cpp
        ${CMAKE_CURRENT_SOURCE_DIR}/filesystem/archive/*.cpp
        ${CMAKE_CURRENT_SOURCE_DIR}/filesystem/archive/rar/*.cpp
  LIBS norva_core norva_compress)
target_include_directories(norva_filesystem PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/filesystem)
