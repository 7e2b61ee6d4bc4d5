# Install rules for the manual page and the udev rule, and the Debian package.
#
#   cmake --install BUILD [--prefix DIR]   bin/veltcfg, bin/veltcfg-sim,
#                                          bin/veltcfg-check, bin/veltcfg-convert,
#                                          bin/veltcfg-list, bin/veltcfg-sample,
#                                          share/man/man1/veltcfg.1.gz (and a
#                                          link to it for each other program),
#                                          share/bash-completion/completions/
#                                          (a file for each program),
#                                          lib/udev/rules.d/60-veltcfg.rules,
#                                          share/veltcfg/61-veltcfg-vfio.rules
#                                          (not enabled)
#   (cd BUILD && cpack -G DEB)             veltcfg_<version>-<release>_<arch>.deb:
#                                          the same files under /usr, and the
#                                          Debian files (copyright, changelog,
#                                          lintian overrides, maintainer scripts)
#
# Files under packaging/: the udev rule, and in debian/ what only the package
# holds. Generated files (compressed with gzip -9n, as Debian wants them) go
# to the build folder when configuring.
include(GNUInstallDirs)

set(VELTCFG_PROGRAMS veltcfg veltcfg-sim veltcfg-check veltcfg-convert veltcfg-list veltcfg-sample)
install(TARGETS ${VELTCFG_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(VELTCFG_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(VELTCFG_GENERATED_DIR ${PROJECT_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${VELTCFG_GENERATED_DIR})

# Compresses SOURCE into DESTINATION with gzip -9n (no name or time stamp in
# the header, so the output depends on the content alone); configuring again
# follows any change of SOURCE.
function(veltcfg_gzip source destination)
  execute_process(COMMAND gzip -9nc ${source}
    OUTPUT_FILE ${destination}
    RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip -9nc ${source} failed")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
endfunction()

# ---------------------------------------------------------------- manual page

# Every program is described on the same page; links let "man veltcfg-sim"
# and the like find it.
veltcfg_gzip(${PROJECT_SOURCE_DIR}/doc/veltcfg.1 ${VELTCFG_GENERATED_DIR}/veltcfg.1.gz)
foreach(program IN LISTS VELTCFG_PROGRAMS)
  if(NOT program STREQUAL "veltcfg")
    file(CREATE_LINK veltcfg.1.gz ${VELTCFG_GENERATED_DIR}/${program}.1.gz SYMBOLIC)
  endif()
  install(FILES ${VELTCFG_GENERATED_DIR}/${program}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # bash-completion looks for a command's completion under its name.
  install(FILES ${VELTCFG_PACKAGING_DIR}/bash-completion/veltcfg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME ${program})
endforeach()

# ---------------------------------------------------------------- udev rule

# Gives the group veltcfg read-write access to the sysfs files of PCI9056
# cards that veltcfg writes. udev reads rules from /usr/lib/udev/rules.d
# (where the package puts it), /usr/local/lib/udev/rules.d and
# /etc/udev/rules.d; a relative directory is taken under the install prefix.
set(VELTCFG_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
  "Where the udev rule is installed (relative: under the install prefix)")
install(FILES ${VELTCFG_PACKAGING_DIR}/60-veltcfg.rules
  DESTINATION ${VELTCFG_UDEV_RULES_DIR})
# The rule that binds the cards to vfio-pci, for locked-down kernels: shipped
# where udev does not read it, for the administrator to copy.
install(FILES ${VELTCFG_PACKAGING_DIR}/61-veltcfg-vfio.rules
  DESTINATION ${CMAKE_INSTALL_DATADIR}/veltcfg)

# ---------------------------------------------------------------- Debian files

# Only the package holds these: they are in their own component, left out of
# a plain "cmake --install".
veltcfg_gzip(${VELTCFG_PACKAGING_DIR}/debian/changelog
  ${VELTCFG_GENERATED_DIR}/changelog.Debian.gz)
install(FILES
  ${VELTCFG_PACKAGING_DIR}/debian/copyright
  ${VELTCFG_GENERATED_DIR}/changelog.Debian.gz
  DESTINATION ${CMAKE_INSTALL_DOCDIR}
  COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES ${VELTCFG_PACKAGING_DIR}/debian/lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
  RENAME veltcfg
  COMPONENT debian EXCLUDE_FROM_ALL)

# ---------------------------------------------------------------- Debian package

set(VELTCFG_PACKAGE_MAINTAINER "VELTCFG Developers <veltcfg-devel@orlenta.com>"
  CACHE STRING "Maintainer field of the Debian package (Name <address>)")
set(VELTCFG_PACKAGE_RELEASE "1"
  CACHE STRING "Debian revision of the package (the part after the version's dash)")

set(CPACK_PACKAGE_NAME "veltcfg")
set(CPACK_PACKAGE_VENDOR "Orlenta")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${VELTCFG_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "load an FPGA configuration into a PCI9056-based PCI card")
# The long description, in lines short enough for the Debian control file.
set(CPACK_PACKAGE_DESCRIPTION
"veltcfg loads a .BIT file or a PROM image into the FPGA of a PCI card
built on a PLX PCI9056 bridge (the Orlenta RV80 family), reaching the
card through sysfs, or VFIO, without a vendor driver. veltcfg-sim is the same
program on a simulated PCI host with two cards, for demonstrations and
for checking a bitstream before it goes to the lab. veltcfg-convert makes
a .BIT file of a flash image, an .mcs or an .rbt. veltcfg-list lists
the cards, whether each is configured, and what keeps veltcfg from one.")
set(CPACK_GENERATOR "DEB")
set(CPACK_STRIP_FILES ON)

# One package with the programs' files (component "Unspecified") and the
# Debian files.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL Unspecified debian)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VELTCFG_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_RELEASE "${VELTCFG_PACKAGE_RELEASE}")
set(CPACK_DEBIAN_PACKAGE_SECTION "electronics")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# postinst creates the group veltcfg (with addgroup, from adduser) and applies
# the udev rule to the cards present; postrm drops the rule.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${VELTCFG_PACKAGING_DIR}/debian/postinst
  ${VELTCFG_PACKAGING_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Library dependencies: computed from the binaries when dpkg-shlibdeps
# (package dpkg-dev) and file (package file), which CPack needs for it, are
# there; otherwise those of any C++ program. CPack adds them to the ones
# named here.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
find_program(VELTCFG_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(VELTCFG_FILE_COMMAND file)
if(VELTCFG_DPKG_SHLIBDEPS AND VELTCFG_FILE_COMMAND)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, libc6, libstdc++6, libgcc-s1")
endif()

include(CPack)

# ---------------------------------------------------------------- test

# cpack builds the "preinstall" target (and so anything out of date) before it
# installs; RUN_SERIAL keeps that from relinking binaries under other tests.
if(BUILD_TESTING)
  add_test(NAME package_contents
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/package_test.sh ${PROJECT_BINARY_DIR})
  set_tests_properties(package_contents PROPERTIES
    ENVIRONMENT "CMAKE=${CMAKE_COMMAND};CPACK=${CMAKE_CPACK_COMMAND}"
    LABELS package
    RUN_SERIAL TRUE
    TIMEOUT 300)
endif()
