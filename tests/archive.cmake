# The archive mappers: ZIP fixtures and corpus, malformed archives built in memory, MGX
# archives from the test writer. The private include folder gives the MGX pool seam.
norva_test(norva_archive_tests DIR archive LIBS norva_filesystem LABELS archive)
target_include_directories(norva_archive_tests PRIVATE ${CMAKE_SOURCE_DIR}/source/norva/filesystem/archive)

# Decompression on the pool, also built and run under ThreadSanitizer (tools/test.sh).
norva_test(norva_archive_thread_tests DIR archive_thread LIBS norva_filesystem LABELS thread)
target_include_directories(norva_archive_thread_tests PRIVATE ${CMAKE_SOURCE_DIR}/source/norva/filesystem/archive)
