# Settings shared by the programs that run on the board and by the code they link.
#
# The programs need the C library and nothing else at run time: no exceptions, no RTTI, no guarded
# statics (no threads here, and the guards live in libstdc++), and --as-needed so that an unused
# libstdc++ or libm never reaches the NEEDED list. Source paths are kept relative so that assertion
# texts and debug info carry no path of the machine that built them.
add_library(board_code_flags INTERFACE)
target_compile_options(board_code_flags INTERFACE
  $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti -fno-threadsafe-statics>
  -ffile-prefix-map=${PROJECT_SOURCE_DIR}/=)
target_link_options(board_code_flags INTERFACE -Wl,--as-needed -static-libgcc)

# The start code of a program that runs on the board: on a C library as old as BOARD_LIBC_BASELINE
# too (board_libc/libc_start.c), where a baseline is set.
function(board_start_code target)
  if(TARGET board_libc_start)
    target_sources(${target} PRIVATE $<TARGET_OBJECTS:board_libc_start>)
  endif()
endfunction()

# A board-side file that carries the C++ runtime with it (linked statically): only the parts it uses
# (--gc-sections), which then need nothing of the C library newer than BOARD_LIBC_BASELINE.
function(board_static_cxx_runtime target)
  target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc -Wl,--gc-sections)
  if(TARGET board_libc_cxx)
    target_sources(${target} PRIVATE $<TARGET_OBJECTS:board_libc_cxx>)
  endif()
endfunction()

# A file that goes on the board, in a build for a given board (BOARD_SYSROOT): once built, it is
# held against the board's own libraries, and a file that would not load there stops the build, named
# with the symbol, the version and the board's library that lacks it (scripts/libc_audit.sh), and
# is removed.
function(board_libc_check target)
  if(BOARD_SYSROOT)
    add_custom_command(TARGET ${target} POST_BUILD
                       COMMAND ${PROJECT_SOURCE_DIR}/scripts/libc_audit.sh -r ${CMAKE_READELF} -R ${BOARD_SYSROOT}
                               -d $<TARGET_FILE:${target}>
                       VERBATIM)
  endif()
endfunction()

# board_program(NAME SOURCES...): one deliverable at build/bin/NAME, installed to bin.
function(board_program name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE board_code_flags)
  board_start_code(${name})
  board_libc_check(${name})
  install(TARGETS ${name} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  set_property(GLOBAL APPEND PROPERTY BOARD_TOOLS_PROGRAMS ${name})
endfunction()
