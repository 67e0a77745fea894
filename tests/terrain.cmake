# The terrain's data side: import, caches, normals, errors. Needs no GL context.
if(TARGET zelmora_terrain)
  norva_test(zelmora_terrain_tests DIR terrain LIBS zelmora_terrain zelmora_terrain_model LABELS terrain)
endif()
