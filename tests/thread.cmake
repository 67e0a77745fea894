norva_test(norva_thread_tests DIR thread LIBS norva_core LABELS thread)

# What happens at exit needs a process of its own.
add_executable(norva_thread_exit_helper ${CMAKE_CURRENT_SOURCE_DIR}/thread/exit/exit_helper.cpp)
target_link_libraries(norva_thread_exit_helper PRIVATE norva_core)
add_dependencies(norva_thread_tests norva_thread_exit_helper)
target_compile_definitions(norva_thread_tests PRIVATE
  NORVA_THREAD_EXIT_HELPER="$<TARGET_FILE:norva_thread_exit_helper>")
