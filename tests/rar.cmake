# The RAR mapper, the unpacker and its filter machine. The tests reach the unpacker's
# internal header, so the filesystem sources are on their include path.
norva_test(norva_rar_tests DIR rar LIBS norva_filesystem LABELS rar)
target_include_directories(norva_rar_tests PRIVATE ${CMAKE_SOURCE_DIR}/source/norva/filesystem)
# 7-Zip's PPMd variant H model with the original range decoder: the reference the RAR text
# model is compared with. Third-party C, built as the SDK itself is.
set(_ppmd7_reference ${ZELMORA_THIRD_PARTY}/7zip/C/Ppmd7.c ${ZELMORA_THIRD_PARTY}/7zip/C/Ppmd7aDec.c)
target_sources(norva_rar_tests PRIVATE ${_ppmd7_reference})
set_source_files_properties(${_ppmd7_reference} PROPERTIES COMPILE_OPTIONS "-w;-fno-sanitize=alignment")
target_link_libraries(norva_rar_tests PRIVATE norva_lzma_sdk)
