# What the Windows build installs and packages:
#
#   (cd BUILD && cpack -G ZIP)   veltcfg-<version>-win64.zip, one folder with
#                                veltcfg-sim.exe, veltcfg-check.exe,
#                                veltcfg-convert.exe, veltcfg-sample.exe and
#                                veltcfg.txt
#
# veltcfg.txt is the manual page as plain text, rendered from doc/veltcfg.1
# with man-db's "man -l" at build time (so it is never out of step with the
# page), in ASCII at 80 columns with CRLF line ends, for any Windows editor.
find_program(VELTCFG_MAN man)
if(NOT VELTCFG_MAN)
  message(FATAL_ERROR "The Windows build renders the manual page with man (Debian: apt-get install man-db)")
endif()
set(VELTCFG_MANUAL_TEXT ${PROJECT_BINARY_DIR}/veltcfg.txt)
add_custom_command(OUTPUT ${VELTCFG_MANUAL_TEXT}
  COMMAND sh -c "MANWIDTH=80 LC_ALL=C '${VELTCFG_MAN}' -l '${PROJECT_SOURCE_DIR}/doc/veltcfg.1' | sed 's/$/\\r/' > '${VELTCFG_MANUAL_TEXT}'"
  DEPENDS ${PROJECT_SOURCE_DIR}/doc/veltcfg.1
  COMMENT "Rendering the manual page as text"
  VERBATIM)
add_custom_target(veltcfg_manual_text ALL DEPENDS ${VELTCFG_MANUAL_TEXT})

install(TARGETS veltcfg-sim veltcfg-check veltcfg-convert veltcfg-sample RUNTIME DESTINATION .)
install(FILES ${VELTCFG_MANUAL_TEXT} DESTINATION .)

set(CPACK_PACKAGE_NAME "veltcfg")
set(CPACK_PACKAGE_VENDOR "Orlenta")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_FILE_NAME "veltcfg-${PROJECT_VERSION}-win64")
set(CPACK_GENERATOR "ZIP")
set(CPACK_STRIP_FILES ON)
include(CPack)
