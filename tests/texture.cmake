# GPU textures: the table of block encodings, the block drivers and codecs, and the DDS,
# KTX, PVR, PKM and ASTC containers. Fixtures in tests/fixtures/texture with make_textures.sh.
norva_test(norva_texture_tests DIR texture LIBS norva_image norva_imagekit LABELS texture)
target_include_directories(norva_texture_tests PRIVATE ${CMAKE_SOURCE_DIR}/source/norva/image)
