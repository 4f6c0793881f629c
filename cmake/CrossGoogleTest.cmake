# GoogleTest for a cross build: the target system has no GoogleTest package,
# so Debian's source package (googletest, /usr/src/googletest) is built with
# the cross compiler inside the build tree. find_package(GTest) then finds
# these targets through a configuration file written next to them.
set(_gtest_src /usr/src/googletest)
if(NOT EXISTS ${_gtest_src}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest's source is missing at ${_gtest_src}: scripts/install-deps.sh installs it")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(${_gtest_src} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
foreach(_t gtest gtest_main gmock gmock_main)
  if(NOT TARGET GTest::${_t})
    add_library(GTest::${_t} ALIAS ${_t})
  endif()
endforeach()
set(_gtest_config ${CMAKE_BINARY_DIR}/googletest-config)
file(WRITE ${_gtest_config}/GTestConfig.cmake
  "# The targets are built in this tree (cmake/CrossGoogleTest.cmake).\nset(GTest_FOUND TRUE)\n")
set(GTest_DIR ${_gtest_config} CACHE PATH "" FORCE)
