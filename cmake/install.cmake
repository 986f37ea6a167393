# Install rules and packages, both versioned by project(... VERSION ...).
#
# Native build: `cmake --install build --prefix P` puts the programs and the
# emulator in P/bin, scripts/plot-result as P/bin/qarvel-plot and the README
# in P/share/doc/qarvel; `cpack` in the build folder makes the Debian package
# of the same files.
# Windows build: the three programs and a README.txt with CRLF line ends side
# by side at the top of the prefix; `cpack` makes the download zip
# qarvel-VERSION-windows-x86.zip (x64 for the 64-bit build).
set(CPACK_PACKAGE_NAME qarvel)
set(CPACK_PACKAGE_VENDOR "qarvel developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "console programs for a swept-frequency resonance instrument and its RF switch unit")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  install(TARGETS qarvel vexa vexasw qarvel-recover RUNTIME DESTINATION .)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/README.txt.in README.txt NEWLINE_STYLE CRLF @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/README.txt DESTINATION .)

  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(windows_arch x64)
  else()
    set(windows_arch x86)
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME qarvel-${PROJECT_VERSION}-windows-${windows_arch})
  # Members at the top of the zip: Explorer's "Extract All" already makes a
  # folder named after the zip.
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  include(GNUInstallDirs)
  install(TARGETS qarvel vexa vexasw qarvel-recover instrument-emulator
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(PROGRAMS ${CMAKE_SOURCE_DIR}/scripts/plot-result
    DESTINATION ${CMAKE_INSTALL_BINDIR} RENAME qarvel-plot)
  # The installed command runs under the system Python, the one that the
  # packages python3-scipy and python3-matplotlib serve, whatever python3 comes
  # first on the PATH.
  install(CODE "set(plot_bindir ${CMAKE_INSTALL_BINDIR})")
  install(CODE [[
    set(plot "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${plot_bindir}/qarvel-plot")
    file(READ "${plot}" text)
    string(REGEX REPLACE "^#!/usr/bin/env python3\n" "#!/usr/bin/python3\n" text "${text}")
    file(WRITE "${plot}" "${text}")]])
  install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/qarvel)

  set(QARVEL_MAINTAINER "qarvel developers <qarvel-dev@example.org>"
    CACHE STRING "Maintainer field of the Debian package")
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QARVEL_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION science)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "qarvel records the sweeps of a swept-frequency resonance instrument on a
serial port into a MATLAB level 5 file; vexa does the same in endless numbered
cycles; qarvel-recover rebuilds a result file from the journal that every run
keeps as it measures; vexasw sets the RF switch port of the companion unit and
reads its temperatures. instrument-emulator serves emulated instruments on
pseudo-terminals. qarvel-plot draws a result file (needs python3-scipy and
python3-matplotlib).")
  # The library dependencies come from dpkg-shlibdeps; qarvel-plot is a Python
  # script, whose plotting modules are only suggested.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS python3)
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3-scipy, python3-matplotlib")
endif()

include(CPack)
