# The RAR mapper, the unpacker and its filter machine. The tests reach the unpacker's
# internal header, so the filesystem sources are on their include path.
norva_test(norva_rar_tests DIR rar LIBS norva_filesystem LABELS rar)
target_include_directories(norva_rar_tests PRIVATE ${CMAKE_SOURCE_DIR}/source/norva/filesystem)
