# The header check: every header of the layers compiles alone, with the
# project's flags. Each header gets a generated source of one line that
# includes it and nothing else; `cmake --build <build> --target header-check`
# compiles them all (the target is not part of the default build; `make lint`
# runs it). A header that fails names what it uses without including it: add
# the include, or a forward declaration where a name is all it needs.
#
# The window's headers (ui/qt/) are compiled with Qt's include paths when Qt is
# there; the headless controls (ui/framework/headless/) with Google Test's when
# it is there. platform/linux/ and platform/windows/ are checked only on the
# system they are written for.

set(_hc_layers support platform engine discovery bootrepair rescue tasks cli ui)
set(_hc_dir ${CMAKE_BINARY_DIR}/header-check)

# Writes the one-line source of each header in `headers` (paths relative to the
# top folder) and adds them to the object library `target`. A source is written
# only when its text changes, so a new configure does not recompile them all.
function(stowline_header_sources target)
  foreach(header IN LISTS ARGN)
    string(REGEX REPLACE "[.]h$" ".cpp" source ${_hc_dir}/${header})
    set(text "#include \"${header}\"\n")
    if(EXISTS ${source})
      file(READ ${source} old)
    else()
      set(old "")
    endif()
    if(NOT old STREQUAL text)
      file(WRITE ${source} "${text}")
    endif()
    target_sources(${target} PRIVATE ${source})
  endforeach()
endfunction()

set(_hc_globs)
foreach(layer IN LISTS _hc_layers)
  list(APPEND _hc_globs ${layer}/*.h)
endforeach()
file(GLOB_RECURSE _hc_headers RELATIVE ${PROJECT_SOURCE_DIR} CONFIGURE_DEPENDS
     ${_hc_globs})
list(SORT _hc_headers)
if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
  list(FILTER _hc_headers EXCLUDE REGEX "^platform/linux/")
endif()
if(NOT CMAKE_SYSTEM_NAME STREQUAL "Windows")
  list(FILTER _hc_headers EXCLUDE REGEX "^platform/windows/")
endif()

# The sources of headers that are gone go too.
file(GLOB_RECURSE _hc_old RELATIVE ${_hc_dir} ${_hc_dir}/*.cpp)
foreach(source IN LISTS _hc_old)
  string(REGEX REPLACE "[.]cpp$" ".h" header ${source})
  if(NOT EXISTS ${PROJECT_SOURCE_DIR}/${header})
    file(REMOVE ${_hc_dir}/${source})
  endif()
endforeach()

set(_hc_qt ${_hc_headers})
list(FILTER _hc_qt INCLUDE REGEX "^ui/qt/")
set(_hc_headless ${_hc_headers})
list(FILTER _hc_headless INCLUDE REGEX "^ui/framework/headless/")
list(FILTER _hc_headers EXCLUDE REGEX "^ui/qt/|^ui/framework/headless/")

add_custom_target(header-check)

add_library(stowline_header_check OBJECT EXCLUDE_FROM_ALL)
stowline_header_sources(stowline_header_check ${_hc_headers})
# stowline_ui reaches every layer below it, so every include path and
# definition of the layers is there.
target_link_libraries(stowline_header_check PRIVATE stowline_ui)
add_dependencies(header-check stowline_header_check)

if(_hc_headless)
  if(NOT TARGET GTest::gtest)
    find_package(GTest QUIET)
  endif()
  if(TARGET GTest::gtest)
    add_library(stowline_header_check_headless OBJECT EXCLUDE_FROM_ALL)
    stowline_header_sources(stowline_header_check_headless ${_hc_headless})
    target_link_libraries(stowline_header_check_headless PRIVATE stowline_ui GTest::gtest)
    add_dependencies(header-check stowline_header_check_headless)
  else()
    message(STATUS "Google Test not found: the header check leaves out ui/framework/headless/")
  endif()
endif()

if(_hc_qt)
  if(TARGET Qt6::Widgets AND TARGET Qt6::Svg)
    add_library(stowline_header_check_qt OBJECT EXCLUDE_FROM_ALL)
    stowline_header_sources(stowline_header_check_qt ${_hc_qt})
    target_link_libraries(stowline_header_check_qt PRIVATE stowline_ui Qt6::Widgets Qt6::Svg)
    add_dependencies(header-check stowline_header_check_qt)
  else()
    message(STATUS "Qt 6 not found: the header check leaves out ui/qt/")
  endif()
endif()
