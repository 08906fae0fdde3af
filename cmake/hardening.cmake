# Hardening: the protections that every program carries (at the end), and builds with sanitizers for
# the whole tree or with the coverage that the libFuzzer targets of fuzz/ need, on request.
#
# BOARD_TOOLS_SANITIZE builds every program, static library and test with AddressSanitizer and
# UndefinedBehaviorSanitizer. Any report ends the process at once (no recovery), so a fault cannot
# scroll past in a long test log and still leave the suite green.
option(BOARD_TOOLS_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(BOARD_TOOLS_FUZZ "Build the libFuzzer targets in fuzz/ (clang only)" OFF)

if(BOARD_TOOLS_FUZZ AND NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "BOARD_TOOLS_FUZZ needs clang (libFuzzer): configure with -DCMAKE_CXX_COMPILER=clang++")
endif()

# A user's own sanitizer flags on the configure line (CMAKE_CXX_FLAGS and the linker's) are taken as
# BOARD_TOOLS_SANITIZE is: the same plain shared libraries, the same static runtime.
string(FIND "${CMAKE_C_FLAGS} ${CMAKE_CXX_FLAGS}" "-fsanitize=" board_flags_sanitize_at)
if(board_flags_sanitize_at GREATER_EQUAL 0 AND NOT BOARD_TOOLS_FUZZ)
  set(board_flags_sanitized ON)
endif()
# What the tests need to know: the programs carry a sanitizer runtime.
if(BOARD_TOOLS_SANITIZE OR board_flags_sanitized)
  set(BOARD_TOOLS_SANITIZED ON)
else()
  set(BOARD_TOOLS_SANITIZED OFF)
endif()

if(BOARD_TOOLS_SANITIZE OR BOARD_TOOLS_FUZZ OR board_flags_sanitized)
  # Shared libraries and modules are loaded into processes that carry no sanitizer runtime: the
  # simulated board and the test shims are preloaded into /bin/sh and into the sanitizer's own
  # symbolizer too. They are built plain (BOARD_PLAIN), with plain copies of the static libraries
  # they link; those libraries' own tests still run instrumented, in-process.
  set(board_instrumented $<NOT:$<BOOL:$<TARGET_PROPERTY:BOARD_PLAIN>>>)
  if(board_flags_sanitized)
    # The user's flags reach every target; the plain ones take them back.
    set(board_plain $<BOOL:$<TARGET_PROPERTY:BOARD_PLAIN>>)
    add_compile_options("$<${board_plain}:-fno-sanitize=all>")
  else()
    set(board_sanitizer_flags -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_compile_options("$<${board_instrumented}:${board_sanitizer_flags}>")
    add_link_options("$<${board_instrumented}:${board_sanitizer_flags}>")
  endif()
  # gcc's shared sanitizer runtime refuses to start unless it comes first in the library list, which
  # a preloaded library breaks; a static runtime, as clang uses, avoids that.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_link_options("$<${board_instrumented}:-static-libasan;-static-libubsan>")
  endif()

  # The plain copy of static library lib, made once: same sources, settings and (plain) dependencies.
  function(board_plain_copy lib out)
    set(copy ${lib}_plain)
    if(NOT TARGET ${copy})
      get_target_property(dir ${lib} SOURCE_DIR)
      get_target_property(sources ${lib} SOURCES)
      list(TRANSFORM sources PREPEND ${dir}/ REGEX "^[^/$]")
      add_library(${copy} STATIC EXCLUDE_FROM_ALL ${sources})
      set_target_properties(${copy} PROPERTIES BOARD_PLAIN ON)
      foreach(p INCLUDE_DIRECTORIES COMPILE_DEFINITIONS COMPILE_OPTIONS INTERFACE_INCLUDE_DIRECTORIES
                INTERFACE_COMPILE_DEFINITIONS)
        get_target_property(v ${lib} ${p})
        if(v)
          set_property(TARGET ${copy} PROPERTY ${p} "${v}")
        endif()
      endforeach()
      board_plain_links(${lib} ${copy})
    endif()
    set(${out} ${copy} PARENT_SCOPE)
  endfunction()

  # Gives target to the links of from, with each of the project's static libraries made plain.
  function(board_plain_links from to)
    foreach(p LINK_LIBRARIES INTERFACE_LINK_LIBRARIES)
      get_target_property(links ${from} ${p})
      if(NOT links)
        continue()
      endif()
      set(result)
      foreach(item IN LISTS links)
        string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" name "${item}")
        if(TARGET ${name})
          get_target_property(type ${name} TYPE)
          get_target_property(imported ${name} IMPORTED)
          if(type STREQUAL "STATIC_LIBRARY" AND NOT imported)
            board_plain_copy(${name} copy)
            string(REPLACE "${name}" "${copy}" item "${item}")
          endif()
        endif()
        list(APPEND result "${item}")
      endforeach()
      set_property(TARGET ${to} PROPERTY ${p} "${result}")
    endforeach()
  endfunction()

  function(board_plain_shared_libraries dir)
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(t IN LISTS targets)
      get_target_property(type ${t} TYPE)
      if(type STREQUAL "SHARED_LIBRARY" OR type STREQUAL "MODULE_LIBRARY")
        set_target_properties(${t} PROPERTIES BOARD_PLAIN ON)
        board_plain_links(${t} ${t})
        if(board_flags_sanitized)
          # After the user's linker flags, which a link option would come before.
          set_property(TARGET ${t} APPEND PROPERTY LINK_LIBRARIES -fno-sanitize=all)
        endif()
      endif()
    endforeach()
    get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    foreach(sub IN LISTS subdirs)
      board_plain_shared_libraries(${sub})
    endforeach()
  endfunction()
  # Once every directory has defined its targets.
  cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL board_plain_shared_libraries ${CMAKE_SOURCE_DIR})
endif()

# The protections Debian builds its own programs with (dpkg-buildflags, hardening=+all), on every
# target of every build, after whatever flags a user gives: a strong stack protector, stack clash
# protection, format-string warnings with the security-relevant ones as errors (and a warning for
# __DATE__ and __TIME__, which would make no two builds the same), read-only relocations
# bound at load time (relro, now; PIE comes with CMAKE_POSITION_INDEPENDENT_CODE) and the C library's
# fortified calls, which need optimisation (the optimising build types) and are left to the
# sanitizers in a sanitizer build (they check the same calls, and their interceptors do not see the
# fortified ones). A fortify level on the user's own line is kept.
add_compile_options(-fstack-protector-strong -fstack-clash-protection -Wformat -Werror=format-security -Wdate-time)
add_link_options(LINKER:-z,relro LINKER:-z,now)
string(FIND "${CMAKE_C_FLAGS} ${CMAKE_CXX_FLAGS}" "_FORTIFY_SOURCE" board_flags_fortify_at)
if(NOT BOARD_TOOLS_SANITIZED AND NOT BOARD_TOOLS_FUZZ AND board_flags_fortify_at LESS 0)
  add_compile_options("$<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
endif()

if(BOARD_TOOLS_FUZZ)
  # Coverage feedback must come from the code under test, not only from the targets themselves.
  add_compile_options("$<${board_instrumented}:-fsanitize=fuzzer-no-link>")
endif()
