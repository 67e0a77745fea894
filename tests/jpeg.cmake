# The JPEG decoder's tests on the image test kit; libjpeg-turbo is the reference for 8-bit
# files.
pkg_check_modules(LIBJPEG REQUIRED IMPORTED_TARGET libjpeg)

norva_test(norva_jpeg_tests DIR jpeg LIBS norva_image norva_imagekit PkgConfig::LIBJPEG LABELS jpeg)
# the tests drive the decoder object itself (thread and SIMD seams, tables)
target_include_directories(norva_jpeg_tests PRIVATE ${CMAKE_SOURCE_DIR}/source/norva/image)
