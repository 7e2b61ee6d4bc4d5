# Install rules for the manual page, and the Debian package.
#
#   cmake --install BUILD [--prefix DIR]   bin/veltcfg, bin/veltcfg-sim,
#                                          share/man/man1/veltcfg.1 (+ veltcfg-sim.1)
#   (cd BUILD && cpack -G DEB)             veltcfg_<version>-1_<arch>.deb
include(GNUInstallDirs)

# ---------------------------------------------------------------- manual page

install(FILES ${PROJECT_SOURCE_DIR}/doc/veltcfg.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# veltcfg-sim is described on the same page; a one-line .so page lets
# "man veltcfg-sim" find it.
set(VELTCFG_SIM_MANPAGE ${PROJECT_BINARY_DIR}/veltcfg-sim.1)
file(WRITE ${VELTCFG_SIM_MANPAGE} ".so man1/veltcfg.1\n")
install(FILES ${VELTCFG_SIM_MANPAGE}
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# ---------------------------------------------------------------- Debian package

set(VELTCFG_PACKAGE_MAINTAINER "VELTCFG maintainers <veltcfg@localhost>"
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
card through sysfs without a vendor driver. veltcfg-sim is the same
program on a simulated PCI host with two cards, for demonstrations and
for checking a bitstream before it goes to the lab.")
set(CPACK_GENERATOR "DEB")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VELTCFG_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_RELEASE "${VELTCFG_PACKAGE_RELEASE}")
set(CPACK_DEBIAN_PACKAGE_SECTION "electronics")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

# Library dependencies: computed from the binaries when dpkg-shlibdeps
# (package dpkg-dev) and file (package file), which CPack needs for it, are
# there; otherwise those of any C++ program.
find_program(VELTCFG_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(VELTCFG_FILE_COMMAND file)
if(VELTCFG_DPKG_SHLIBDEPS AND VELTCFG_FILE_COMMAND)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
endif()

include(CPack)

# ---------------------------------------------------------------- test

# cpack builds the "preinstall" target (and so anything out of date) before it
# installs; RUN_SERIAL keeps that from relinking binaries under other tests.
if(VELTCFG_WITH_TESTS)
  add_test(NAME package_contents
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/package_test.sh ${PROJECT_BINARY_DIR})
  set_tests_properties(package_contents PROPERTIES
    ENVIRONMENT "CMAKE=${CMAKE_COMMAND};CPACK=${CMAKE_CPACK_COMMAND}"
    LABELS package
    RUN_SERIAL TRUE
    TIMEOUT 300)
endif()
