# Level files, level objects, the camera's flight model, camera paths and the view frustum:
# no GL context needed. The end-to-end test flies recorded and generated camera paths on an
# Xvfb display of its own.
if(TARGET zelmora_game)
  norva_test(zelmora_level_tests DIR level LIBS zelmora_game LABELS game)

  # writes and reads "cameraPath.bin" files for the end-to-end test, through the game's own code
  add_executable(zelmora_camera_path ${CMAKE_CURRENT_SOURCE_DIR}/level/tools/camera_path_tool.cpp)
  target_link_libraries(zelmora_camera_path PRIVATE zelmora_game)

  add_test(NAME game.camera_path_e2e
    COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/level/camera_path_e2e.sh $<TARGET_FILE:zelmora>
      $<TARGET_FILE:zelmora_camera_path> ${CMAKE_SOURCE_DIR}/assets ${CMAKE_CURRENT_BINARY_DIR}/camera-path-e2e)
  set_tests_properties(game.camera_path_e2e PROPERTIES LABELS game TIMEOUT 400
    ENVIRONMENT "UBSAN_OPTIONS=print_stacktrace=1")
endif()
