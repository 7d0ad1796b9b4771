# Warnings for our own targets. Call kv_warnings(<target>) on every target made
# from this project's sources.
function(kv_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(KESTRIVANE_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
    # gcc 12 at -O3 reports std::string assignments from literals as
    # overlapping copies (a known false positive of its -Wrestrict).
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
      target_compile_options(${target} PRIVATE -Wno-error=restrict)
    endif()
  endif()
endfunction()

# A static library from every .cpp file of the current folder (and the given
# subfolders), with the folder's parent as include root, so code includes
# "device/device_state.h" and the like.
function(kv_layer_library name)
  cmake_parse_arguments(ARG "" "" "LINK;SOURCES" ${ARGN})
  if(ARG_SOURCES)
    set(sources ${ARG_SOURCES})
  else()
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  endif()
  if(NOT sources)
    # A layer whose code has not been written yet.
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARG_LINK})
    return()
  endif()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_LINK})
  kv_warnings(${name})
endfunction()
