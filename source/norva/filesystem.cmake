norva_library(norva_filesystem
  GLOBS ${CMAKE_CURRENT_SOURCE_DIR}/filesystem/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/filesystem/posix/*.cpp
  LIBS norva_core)
