norva_test(norva_compress_tests DIR compress LIBS norva_compress LABELS compress)
# the reverse-direction tests feed our lzfse output to the reference tool
add_dependencies(norva_compress_tests norva_lzfse_cli)
target_compile_definitions(norva_compress_tests PRIVATE NORVA_LZFSE_CLI="$<TARGET_FILE:norva_lzfse_cli>")
