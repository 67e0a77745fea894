# The terrain's GL side on a real context (an Xvfb display of its own): the tessellation
# program, its float textures and what it draws. The end-to-end test runs the game over a
# generated model with a fixed camera and drives it with keys.
if(TARGET zelmora_game AND TARGET zelmora_terrain)
  add_executable(zelmora_terrain_gl_tests ${CMAKE_CURRENT_SOURCE_DIR}/terrain_gl/terrain_gl_test.cpp)
  target_link_libraries(zelmora_terrain_gl_tests PRIVATE zelmora_game zelmora_terrain_model GTest::gtest_main)
  target_compile_definitions(zelmora_terrain_gl_tests PRIVATE ZELMORA_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  add_test(NAME terrain.gl
    COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/game/with-xvfb.sh $<TARGET_FILE:zelmora_terrain_gl_tests>)
  set_tests_properties(terrain.gl PROPERTIES LABELS "game;terrain" TIMEOUT 300
    ENVIRONMENT "ASAN_OPTIONS=detect_leaks=0;UBSAN_OPTIONS=print_stacktrace=1")
endif()

if(TARGET zelmora AND TARGET zelmora_terrain_gen AND TARGET zelmora_camera_path)
  add_test(NAME terrain.e2e
    COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/terrain_gl/terrain_e2e.sh $<TARGET_FILE:zelmora>
      $<TARGET_FILE:zelmora_terrain_gen> $<TARGET_FILE:zelmora_camera_path> ${CMAKE_SOURCE_DIR}/assets
      ${CMAKE_CURRENT_BINARY_DIR}/terrain-e2e)
  set_tests_properties(terrain.e2e PROPERTIES LABELS "game;terrain" TIMEOUT 400
    ENVIRONMENT "UBSAN_OPTIONS=print_stacktrace=1")
endif()
