# Hardening builds: sanitizers for the whole tree, libFuzzer targets on request.
#
# BOARD_TOOLS_SANITIZE builds every program, library and test with AddressSanitizer and
# UndefinedBehaviorSanitizer. Any report ends the process at once (no recovery), so a fault cannot
# scroll past in a long test log and still leave the suite green.
option(BOARD_TOOLS_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(BOARD_TOOLS_FUZZ "Build the libFuzzer targets in fuzz/ (clang only)" OFF)

if(BOARD_TOOLS_FUZZ AND NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "BOARD_TOOLS_FUZZ needs clang (libFuzzer): configure with -DCMAKE_CXX_COMPILER=clang++")
endif()

if(BOARD_TOOLS_SANITIZE OR BOARD_TOOLS_FUZZ)
  # Libraries loaded as modules are preloaded into other processes, the sanitizer's own symbolizer
  # among them, which carry no sanitizer runtime; they stay uninstrumented.
  set(board_sanitizer_flags -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  set(board_instrumented $<NOT:$<STREQUAL:$<TARGET_PROPERTY:TYPE>,MODULE_LIBRARY>>)
  add_compile_options("$<${board_instrumented}:${board_sanitizer_flags}>")
  add_link_options("$<${board_instrumented}:${board_sanitizer_flags}>")
  # The simulated board is preloaded into the programs; gcc's shared sanitizer runtime would then not
  # come first in the library list and refuse to start. A static runtime, as clang uses, avoids that.
  # A shared library finds the sanitizer runtime in the program that loads it, so its link must
  # leave those symbols open, even where the library's own target asks for --no-undefined. Applied
  # once every directory has defined its targets.
  function(board_sanitized_shared_libraries dir)
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(t IN LISTS targets)
      get_target_property(type ${t} TYPE)
      if(type STREQUAL "SHARED_LIBRARY")
        target_link_options(${t} PRIVATE -Wl,-z,undefs)
      endif()
    endforeach()
    get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    foreach(sub IN LISTS subdirs)
      board_sanitized_shared_libraries(${sub})
    endforeach()
  endfunction()
  cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL board_sanitized_shared_libraries ${CMAKE_SOURCE_DIR})

  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_link_options($<$<NOT:$<STREQUAL:$<TARGET_PROPERTY:TYPE>,SHARED_LIBRARY>>:-static-libasan>
                     $<$<NOT:$<STREQUAL:$<TARGET_PROPERTY:TYPE>,SHARED_LIBRARY>>:-static-libubsan>)
  endif()
endif()

if(BOARD_TOOLS_FUZZ)
  # Coverage feedback must come from the code under test, not only from the targets themselves.
  add_compile_options(-fsanitize=fuzzer-no-link)
  add_subdirectory(fuzz)
endif()
