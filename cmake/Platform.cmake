# What the programs carry for their operating system, added once every target
# exists. Windows: the manifest (administrator rights) and the version block,
# compiled by windres from platform/windows/stowline-cli.rc.in.
if(WIN32 AND TARGET stowline-cli)
  enable_language(RC)
  set(STOWLINE_MANIFEST ${PROJECT_SOURCE_DIR}/platform/windows/stowline-cli.manifest)
  set(_rc ${CMAKE_BINARY_DIR}/stowline-cli.rc)
  configure_file(${PROJECT_SOURCE_DIR}/platform/windows/stowline-cli.rc.in ${_rc} @ONLY)
  set_source_files_properties(${_rc} PROPERTIES OBJECT_DEPENDS ${STOWLINE_MANIFEST})
  target_sources(stowline-cli PRIVATE ${_rc})
endif()

# The Wine tests' stand-in for format.com (tests/wine/FormatStandIn.cpp).
if(WIN32)
  add_executable(stowline-format-standin EXCLUDE_FROM_ALL
    ${PROJECT_SOURCE_DIR}/tests/wine/FormatStandIn.cpp)
  target_compile_definitions(stowline-format-standin PRIVATE UNICODE _UNICODE)
  target_link_options(stowline-format-standin PRIVATE -municode)
endif()

# The Wine tests' stand-in for diskpart.exe (tests/wine/DiskpartStandIn.cpp),
# which the partition split script runs.
if(WIN32)
  add_executable(stowline-diskpart-standin EXCLUDE_FROM_ALL
    ${PROJECT_SOURCE_DIR}/tests/wine/DiskpartStandIn.cpp)
endif()
