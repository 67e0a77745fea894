# The image-format test kit (tests/imagekit/imagekit.hpp): reference decoders, the image
# comparison and the robustness sweep. Format test binaries link norva_imagekit.
pkg_check_modules(IMAGEKIT_PNG REQUIRED IMPORTED_TARGET libpng)

add_library(norva_imagekit STATIC ${CMAKE_CURRENT_SOURCE_DIR}/imagekit/imagekit.cpp)
target_include_directories(norva_imagekit PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(norva_imagekit PRIVATE ZELMORA_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
target_link_libraries(norva_imagekit PUBLIC norva_image PkgConfig::IMAGEKIT_PNG GTest::gtest)
