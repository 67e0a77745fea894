# One-file formats (BMP/ICO/CUR and those that follow) and the robustness sweep over every
# registered decoder: fixtures from real tools in tests/fixtures/formats, compared with the
# test kit's references.
norva_test(norva_format_tests DIR formats LIBS norva_image norva_imagekit LABELS formats)
target_include_directories(norva_format_tests PRIVATE ${CMAKE_SOURCE_DIR}/source/norva/image)
# giflib is the GIF tests' reference decoder
find_package(GIF REQUIRED)
target_link_libraries(norva_format_tests PRIVATE GIF::GIF)
