# Packages, each a tarball to unpack at a root and a Debian package; `cmake --build BUILD --target
# package` (or cpack in BUILD) makes them:
#
# - board-tools, the install component "board" (everything not installed under another name): the
#   five programs, their manual pages, the copyright file made from LICENSE, the changelog and the
#   lintian overrides;
# - boardsim, the component "boardsim": the simulated board's runner, its preload library, the ready
#   scenarios and the manual pages (on a workstation also the stand-in board library and the status
#   server stand-in); built for the board, the recorder. The programs' package stays as small as it is.
set(BOARD_TOOLS_MAINTAINER "Board Tools Developers <board-tools@example.org>"
    CACHE STRING "The packages' maintainer, as: Name <address>")
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME board)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};ALL;/")
set(CPACK_COMPONENTS_ALL board boardsim)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_PACKAGE_NAME board-tools)
set(CPACK_DEBIAN_BOARD_PACKAGE_NAME board-tools)
set(CPACK_DEBIAN_BOARDSIM_PACKAGE_NAME boardsim)
set(board_packages board-tools boardsim) # one for each of CPACK_COMPONENTS_ALL
set(CPACK_PACKAGE_VENDOR "the board tools developers")
set(CPACK_PACKAGE_CONTACT "${BOARD_TOOLS_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Utilities of the hashing machine's controller board")
# The extended description; CPack puts the summary above it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "One-shot command-line programs for the Linux controller board of a hashing
machine: test_type_spi finds the hash boards' chip type over SPI, driving the
GPIO lines and the fabric clock itself; test_type asks the board support
library for it; vexa_test runs the board test (logging and the LED blink);
watchdog sets the hardware watchdog's timeout or keeps it fed; api_query sends
one command to the board's status server and prints the reply.
.
The three programs that link the board support library expect the board's own
libvexa.so in /lib.")
set(CPACK_DEBIAN_BOARD_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION_SUMMARY}\n${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")
set(CPACK_DEBIAN_BOARDSIM_DESCRIPTION "Simulated controller board for the board utilities
boardsim runs the board utilities unmodified without the hardware: it
interposes the C library's file, device and sleep calls and serves the board's
GPIO lines, fabric clock, SPI ports with their chips, voltage generator and
watchdog from a model described by a scenario, on a virtual clock. It writes a
trace of every board operation and a waveform of the run, records what a real
board answered and replays that anywhere.
.
On the board itself it is the recorder: boardsim --record runs a program
against the real board files and writes down every operation and its outcome.")
set(CPACK_GENERATOR TGZ DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_STRIP_FILES ON)

if(CMAKE_CROSSCOMPILING)
  set(board_package_arch armhf)
else()
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE board_package_arch
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT board_package_arch)
    set(board_package_arch ${CMAKE_SYSTEM_PROCESSOR})
  endif()
endif()
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-${board_package_arch})
set(CPACK_ARCHIVE_BOARD_FILE_NAME ${CPACK_PACKAGE_FILE_NAME})
set(CPACK_ARCHIVE_BOARDSIM_FILE_NAME boardsim-${CPACK_PACKAGE_VERSION}-${board_package_arch})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${board_package_arch})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# The programs need the C library, in the version read off them when the package is made
# (packaging/package_config.cmake.in), and the board's own libvexa.so in /lib, which no Debian
# package provides.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/package/package_config.cmake)
function(board_package_config)
  get_property(board_package_programs GLOBAL PROPERTY BOARD_TOOLS_PROGRAMS)
  list(TRANSFORM board_package_programs PREPEND "${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/")
  if(VEXA_INSTALL_STANDIN AND TARGET vexa)
    list(APPEND board_package_programs "${CMAKE_LIBRARY_OUTPUT_DIRECTORY}/libvexa.so")
  endif()
  set(board_recorder_files "${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/boardsim;${CMAKE_LIBRARY_OUTPUT_DIRECTORY}/libboardsim.so")
  configure_file(${PROJECT_SOURCE_DIR}/packaging/package_config.cmake.in ${CPACK_PROJECT_CONFIG_FILE} @ONLY)
endfunction()
# Once every program is known.
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL board_package_config)

# Debian's files for the packages, made at configure time: the copyright file in the machine-readable
# format from LICENSE (its copyright line and its text), the changelog compressed at build time, and
# the lintian overrides, each saying why.
set(board_package_dir ${CMAKE_BINARY_DIR}/package)
file(READ ${PROJECT_SOURCE_DIR}/LICENSE board_license)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]+)" board_copyright_line "${board_license}")
set(board_copyright "${CMAKE_MATCH_1}")
string(REGEX REPLACE "^.*Copyright \\(c\\) [^\n]*\n" "" board_license_text "${board_license}")
string(STRIP "${board_license_text}" board_license_text)
string(REPLACE "\n\n" "\n.\n" board_license_text "${board_license_text}")
string(REPLACE "\n" "\n " board_license_text "${board_license_text}")
file(WRITE ${board_package_dir}/copyright
     "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
     "Upstream-Name: ${CPACK_PACKAGE_NAME}\n\n"
     "Files: *\n"
     "Copyright: ${board_copyright}\n"
     "License: Expat\n ${board_license_text}\n")
# Each package has its own copy of both under its own name.
set(board_package_files)
foreach(component package IN ZIP_LISTS CPACK_COMPONENTS_ALL board_packages)
  set(dir ${board_package_dir}/${package})
  configure_file(${PROJECT_SOURCE_DIR}/packaging/${package}.changelog.in ${dir}/changelog @ONLY)
  add_custom_command(OUTPUT ${dir}/changelog.gz
                     COMMAND sh -c "gzip -9n -c changelog > changelog.gz"
                     WORKING_DIRECTORY ${dir}
                     DEPENDS ${dir}/changelog VERBATIM)
  list(APPEND board_package_files ${dir}/changelog.gz)
  install(FILES ${board_package_dir}/copyright ${dir}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
  # The recorder's overrides answer the ldconfig calls that cpack writes where it reads the libraries'
  # dependencies itself, in a workstation's build only.
  if(NOT (package STREQUAL "boardsim" AND CMAKE_CROSSCOMPILING))
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/${package}.lintian-overrides
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${package} COMPONENT ${component})
  endif()
endforeach()
add_custom_target(package_files ALL DEPENDS ${board_package_files})

include(CPack)
