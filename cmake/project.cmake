# Warnings, sanitizers and the helpers every target folder uses.

find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

add_compile_options(-Wall -Wextra)

if(ZELMORA_SANITIZE)
  string(REPLACE "," ";" _sanitizers "${ZELMORA_SANITIZE}")
  foreach(_s IN LISTS _sanitizers)
    add_compile_options(-fsanitize=${_s})
    add_link_options(-fsanitize=${_s})
  endforeach()
  add_compile_options(-fno-omit-frame-pointer)
  if("undefined" IN_LIST _sanitizers)
    # a UB report fails the test instead of scrolling past
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()

# norva_library(name GLOBS... LIBS...): a static library of the norva tree, built from
# the listed globs so that adding a file needs no edit here. Every library compiled into
# norva is recorded in the global property NORVA_LIBRARIES (the fuzz build instruments them).
function(norva_library name)
  cmake_parse_arguments(ARG "" "" "GLOBS;LIBS" ${ARGN})
  set(_sources)
  foreach(_g IN LISTS ARG_GLOBS)
    file(GLOB _found CONFIGURE_DEPENDS ${_g})
    list(APPEND _sources ${_found})
  endforeach()
  add_library(${name} STATIC ${_sources})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR}/include)
  target_link_libraries(${name} PUBLIC ${ARG_LIBS})
  set_property(GLOBAL APPEND PROPERTY NORVA_LIBRARIES ${name})
endfunction()
