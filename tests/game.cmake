# The game's tests, built with the game (ZELMORA_GAME=ON). The GL and end-to-end tests run on
# an Xvfb display of their own. Mesa and GLFW keep allocations until exit that LeakSanitizer
# reports; they are not ours, so leak detection is off for the processes that load Mesa.
if(TARGET zelmora_game)
  norva_test(zelmora_game_tests DIR game/unit LIBS zelmora_engine LABELS game)

  add_executable(zelmora_gl_tests ${CMAKE_CURRENT_SOURCE_DIR}/game/gl/gl_test.cpp)
  target_link_libraries(zelmora_gl_tests PRIVATE zelmora_game GTest::gtest_main)
  target_compile_definitions(zelmora_gl_tests PRIVATE ZELMORA_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  add_test(NAME game.gl
    COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/game/with-xvfb.sh $<TARGET_FILE:zelmora_gl_tests>)
  set_tests_properties(game.gl PROPERTIES LABELS game TIMEOUT 300
    ENVIRONMENT "ASAN_OPTIONS=detect_leaks=0;UBSAN_OPTIONS=print_stacktrace=1")

  add_test(NAME game.e2e
    COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/game/e2e.sh $<TARGET_FILE:zelmora> ${CMAKE_SOURCE_DIR}/assets
      ${CMAKE_CURRENT_BINARY_DIR}/game-e2e)
  set_tests_properties(game.e2e PROPERTIES LABELS game TIMEOUT 400
    ENVIRONMENT "UBSAN_OPTIONS=print_stacktrace=1")
endif()
