# Compiler settings shared by every target of the project.

add_library(stowline_options INTERFACE)
target_compile_options(stowline_options INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion
  -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Woverloaded-virtual
  -Werror)
target_include_directories(stowline_options INTERFACE ${PROJECT_SOURCE_DIR})
# Optimised GCC 12 builds take some std::string concatenations for overlapping
# copies (a false -Wrestrict); keep the warning visible without failing the build.
# Debug builds are left as they are.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  target_compile_options(stowline_options INTERFACE $<$<NOT:$<CONFIG:Debug>>:-Wno-error=restrict>)
endif()

if(STOWLINE_SANITIZE)
  set(_san -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_compile_options(${_san})
  add_link_options(${_san})
endif()

if(STOWLINE_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

if(STOWLINE_FUZZ)
  # Every library is instrumented for coverage; only fuzz targets link the fuzzer's main.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# stowline_library(NAME SOURCES... DEPENDS...)
function(stowline_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_link_libraries(${name} PUBLIC stowline_options ${ARG_DEPENDS})
endfunction()
