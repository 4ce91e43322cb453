# Warnings and sanitizers for the project's own targets only; dependencies
# are system packages and are never built here.
add_library(vr_options INTERFACE)
target_compile_options(vr_options INTERFACE -Wall -Wextra -Wpedantic)
if(VR_WERROR)
  target_compile_options(vr_options INTERFACE -Werror)
endif()
if(VR_SANITIZE)
  target_compile_options(vr_options INTERFACE -fsanitize=${VR_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  target_link_options(vr_options INTERFACE -fsanitize=${VR_SANITIZE})
endif()
if(VR_FUZZ)
  # Coverage for the fuzzer in every library; only the harnesses link its main.
  target_compile_options(vr_options INTERFACE -fsanitize=fuzzer-no-link)
endif()

# vr_add_library(name DIRS dir...) builds a static library from every .cpp
# under the given directories, so adding a source file needs no CMake edit.
function(vr_add_library name)
  cmake_parse_arguments(ARG "" "" "DIRS" ${ARGN})
  set(sources)
  foreach(dir IN LISTS ARG_DIRS)
    file(GLOB_RECURSE found CONFIGURE_DEPENDS ${dir}/*.cpp)
    list(APPEND sources ${found})
  endforeach()
  if(NOT sources)
    # A library whose directory has no sources yet still links.
    set(sources ${CMAKE_CURRENT_BINARY_DIR}/${name}_empty.cpp)
    file(WRITE ${sources} "")
  endif()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE vr_options)
endfunction()
