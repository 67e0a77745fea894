norva_library(norva_image
  GLOBS ${CMAKE_CURRENT_SOURCE_DIR}/image/*.cpp
  LIBS norva_core norva_filesystem)

# scalar and SSE2 conversions must round identically: no fused multiply-adds
target_compile_options(norva_image PRIVATE -ffp-contract=off)
