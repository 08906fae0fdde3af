# Packages of the installed programs for the board: a tarball to unpack at the board's root and a
# Debian package. `cmake --build BUILD --target package` (or cpack in BUILD) makes both.
set(CPACK_PACKAGE_NAME board-tools)
set(CPACK_PACKAGE_VENDOR "board tools team")
set(CPACK_PACKAGE_CONTACT "board tools team <board-tools@localhost>")
set(CPACK_PACKAGE_VERSION 0.1.0)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Utilities of the hashing machine's controller board")
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
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${board_package_arch})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# The programs need the C library (glibc 2.34 moved __libc_start_main) and the board's own libvexa.so
# in /lib, which no Debian package provides.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34)")

include(CPack)
