# Level files, level objects, the camera's flight model, camera paths and the view frustum:
# no GL context needed.
if(TARGET zelmora_game)
  norva_test(zelmora_level_tests DIR level LIBS zelmora_game LABELS game)

  # writes and reads "cameraPath.bin" files for the end-to-end test, through the game's own code
  add_executable(zelmora_camera_path ${CMAKE_CURRENT_SOURCE_DIR}/level/tools/camera_path_tool.cpp)
  target_link_libraries(zelmora_camera_path PRIVATE zelmora_game)

endif()
