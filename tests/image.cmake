norva_test(norva_image_tests DIR image LIBS norva_image LABELS image)
# the Blitter's CPU-flag seam is internal ("blitter/blitter_private.hpp")
target_include_directories(norva_image_tests PRIVATE ${CMAKE_SOURCE_DIR}/source/norva/image)
