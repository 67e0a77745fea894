# PNG/APNG, BMP/ICO/CUR and the formats that follow them: fixtures from real tools in
# tests/fixtures/images, compared with the test kit's references.
norva_test(norva_format_tests DIR formats LIBS norva_image norva_imagekit LABELS formats)

# the PNG building blocks (unfilter kernels, inflate glue) are tested on their own
target_include_directories(norva_format_tests PRIVATE ${CMAKE_SOURCE_DIR}/source/norva/image)
