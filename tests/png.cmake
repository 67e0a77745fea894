# PNG/APNG decoding and encoding: fixtures in tests/fixtures/png.
norva_test(norva_png_tests DIR png LIBS norva_image norva_imagekit LABELS formats)
# the PNG building blocks (unfilter kernels, inflate glue) are tested on their own
target_include_directories(norva_png_tests PRIVATE ${CMAKE_SOURCE_DIR}/source/norva/image)
