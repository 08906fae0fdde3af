# Run by cpack once the package's files are staged, before it archives them: every staged file and
# folder takes the package's time (SOURCE_DATE_EPOCH, which package_config.cmake has settled), so that
# the tarball's members carry it as the Debian package's do.
file(GLOB_RECURSE board_staged LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
execute_process(COMMAND touch -h -d "@$ENV{SOURCE_DATE_EPOCH}" "${CPACK_TEMPORARY_INSTALL_DIRECTORY}" ${board_staged}
                RESULT_VARIABLE board_touch_status)
if(NOT board_touch_status EQUAL 0)
  message(FATAL_ERROR "cannot set the time of the staged files in ${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()
