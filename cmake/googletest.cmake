# GoogleTest for the tests. Debian's libgtest-dev holds host libraries only, so a cross build compiles
# GoogleTest from the sources Debian ships (package googletest) with the same toolchain.
if(NOT CMAKE_CROSSCOMPILING)
  find_package(GTest REQUIRED)
  return()
endif()

set(BOARD_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
if(NOT EXISTS ${BOARD_GTEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources at ${BOARD_GTEST_SOURCE_DIR}: install Debian's googletest package "
                      "or set BOARD_GTEST_SOURCE_DIR")
endif()

# GCC 12 warns falsely about overlapping copies in libstdc++'s own string concatenation on 32-bit
# targets ("a" + std::string{...}, GCC bug 105329). Off for the tests' directory alone, which includes
# this file and whose cases concatenate freely. The simulated board, the benchmarks and the fuzz
# targets use std::string too and keep the warning (the simulated board appends piece by piece where
# GCC 12 would warn); the board programs use no std::string.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  add_compile_options(-Wno-restrict)
endif()

find_package(Threads REQUIRED)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
# GoogleTest is not held to this project's warning set.
get_directory_property(board_saved_options COMPILE_OPTIONS)
set_directory_properties(PROPERTIES COMPILE_OPTIONS "")
add_subdirectory(${BOARD_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
set_directory_properties(PROPERTIES COMPILE_OPTIONS "${board_saved_options}")
foreach(lib gtest gtest_main gmock gmock_main)
  target_compile_options(${lib} PRIVATE -w)
  if(NOT TARGET GTest::${lib})
    add_library(GTest::${lib} ALIAS ${lib})
  endif()
endforeach()
