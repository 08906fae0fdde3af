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

# board_program(NAME SOURCES...): one deliverable at build/bin/NAME, installed to bin.
function(board_program name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE board_code_flags)
  install(TARGETS ${name} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  set_property(GLOBAL APPEND PROPERTY BOARD_TOOLS_PROGRAMS ${name})
endfunction()
