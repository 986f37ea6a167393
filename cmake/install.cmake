# Install rules and packages, both versioned by project(... VERSION ...).
#
# Native build: `cmake --install build --prefix P` puts the programs and the
# emulator in P/bin, scripts/plot-result as P/bin/qarvel-plot, their manual
# pages (man/, gzip-compressed) in P/share/man/man1, and the README, the
# changelog (from CHANGELOG.md) and the copyright file (from LICENSE) in
# P/share/doc/qarvel (the copyright file covers uPlot too, which the live
# page embeds); `cpack` in the build folder makes the Debian package of the
# same files.
# Windows build: the five programs, README.txt, LICENSE.txt (ours, then
# uPlot's) and MANUAL.txt (the programs' manual pages as text), all text with
# CRLF line ends;
# `cpack` makes the download zip qarvel-VERSION-windows-x86.zip (x64 for the
# 64-bit build), whose members are in one folder of the zip's name.
set(CPACK_PACKAGE_NAME qarvel)
set(CPACK_PACKAGE_VENDOR "qarvel developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "record a swept-frequency resonance instrument into MATLAB files")
set(CPACK_STRIP_FILES ON)

# The manual pages of the programs that each build installs; the version in
# their title line comes from project().
set(man_source ${CMAKE_SOURCE_DIR}/man)
function(configure_manual_pages out)
  set(pages "")
  foreach(program IN LISTS ARGN)
    configure_file(${man_source}/${program}.1 ${CMAKE_BINARY_DIR}/man/${program}.1 @ONLY)
    list(APPEND pages ${CMAKE_BINARY_DIR}/man/${program}.1)
  endforeach()
  set(${out} ${pages} PARENT_SCOPE)
endfunction()

# uPlot, which every live page embeds (track/), ships under its own MIT
# license: its copyright line, from its LICENSE as npm installed it.
file(STRINGS ${QARVEL_UPLOT_DIR}/LICENSE uplot_copyright REGEX "^Copyright \\(c\\) ")
string(REGEX REPLACE "^Copyright \\(c\\) " "" uplot_copyright "${uplot_copyright}")
if(uplot_copyright STREQUAL "")
  message(FATAL_ERROR "${QARVEL_UPLOT_DIR}/LICENSE has no `Copyright (c) YEAR HOLDER` line")
endif()

if(WIN32)
  set(windows_programs qarvel vexa vexasw qarvel-recover qarvel-track)
  install(TARGETS ${windows_programs} RUNTIME DESTINATION .)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/README.txt.in README.txt NEWLINE_STYLE CRLF @ONLY)
  # Our license, then uPlot's whole, for the live pages that embed it.
  file(READ ${CMAKE_SOURCE_DIR}/LICENSE license_text)
  file(READ ${QARVEL_UPLOT_DIR}/LICENSE uplot_license_text)
  file(WRITE ${CMAKE_BINARY_DIR}/LICENSE.in "${license_text}
The live pages embed uPlot ${QARVEL_UPLOT_VERSION}, under this license:

${uplot_license_text}
")
  configure_file(${CMAKE_BINARY_DIR}/LICENSE.in LICENSE.txt NEWLINE_STYLE CRLF @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/README.txt ${CMAKE_BINARY_DIR}/LICENSE.txt DESTINATION .)

  # MANUAL.txt needs groff on the build machine (Debian: groff-base), which
  # only scripts/package asks for; the builds for the tests go without it,
  # and scripts/package checks that the zip has it.
  find_program(QARVEL_GROFF groff)
  if(QARVEL_GROFF)
    configure_manual_pages(pages ${windows_programs})
    add_custom_command(OUTPUT MANUAL.txt
      COMMAND ${CMAKE_COMMAND} -DGROFF=${QARVEL_GROFF} -DOUT=MANUAL.txt "-DPAGES=${pages}"
              -P ${CMAKE_CURRENT_LIST_DIR}/manual-text.cmake
      DEPENDS ${pages} ${CMAKE_CURRENT_LIST_DIR}/manual-text.cmake VERBATIM)
    add_custom_target(manual-text ALL DEPENDS MANUAL.txt)
    install(FILES ${CMAKE_BINARY_DIR}/MANUAL.txt DESTINATION .)
  else()
    message(STATUS "groff not found: no MANUAL.txt for the zip")
  endif()

  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(windows_arch x64)
  else()
    set(windows_arch x86)
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME qarvel-${PROJECT_VERSION}-windows-${windows_arch})
  # One folder, qarvel-VERSION-windows-x86/, at the top of the zip, so that
  # unpacking it anywhere leaves no loose files.
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  include(GNUInstallDirs)
  install(TARGETS qarvel vexa vexasw qarvel-recover qarvel-track instrument-emulator
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
  set(docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/qarvel)
  install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${docdir})

  # The project has no mailbox: the maintainer is the project itself, under
  # a name in the reserved .invalid domain, which stands for no address.
  # (Named apart from the former QARVEL_MAINTAINER, whose placeholder address
  # an older build folder still holds in its cache.)
  set(QARVEL_DEB_MAINTAINER "qarvel developers <developers@qarvel.invalid>"
    CACHE STRING "Maintainer field of the Debian package and its changelog")

  # Manual pages and the changelog, compressed as Debian wants them: gzip -9
  # without a name or time stamp (-n), so that equal sources give equal bytes.
  configure_manual_pages(pages qarvel vexa vexasw qarvel-recover qarvel-track instrument-emulator
    qarvel-plot)
  set(compressed "")
  foreach(page IN LISTS pages)
    add_custom_command(OUTPUT ${page}.gz
      COMMAND gzip -n -9 -k -f ${page}
      DEPENDS ${page} VERBATIM)
    list(APPEND compressed ${page}.gz)
  endforeach()
  set(changelog ${CMAKE_BINARY_DIR}/changelog)
  add_custom_command(OUTPUT ${changelog}.gz
    COMMAND ${CMAKE_COMMAND} -DIN=${CMAKE_SOURCE_DIR}/CHANGELOG.md -DOUT=${changelog}
            -DPACKAGE=${CPACK_PACKAGE_NAME} -DVERSION=${PROJECT_VERSION}
            "-DMAINTAINER=${QARVEL_DEB_MAINTAINER}" -P ${CMAKE_CURRENT_LIST_DIR}/debian-changelog.cmake
    COMMAND gzip -n -9 -f ${changelog}
    DEPENDS ${CMAKE_SOURCE_DIR}/CHANGELOG.md ${CMAKE_CURRENT_LIST_DIR}/debian-changelog.cmake
    VERBATIM)
  add_custom_target(documentation ALL DEPENDS ${compressed} ${changelog}.gz)
  install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${changelog}.gz DESTINATION ${docdir})

  # The copyright file in Debian's machine-readable format, from LICENSE: its
  # copyright line, and the license's text as the Expat license's body.
  file(STRINGS ${CMAKE_SOURCE_DIR}/LICENSE license_lines)
  set(holder "")
  set(body "")
  foreach(line IN LISTS license_lines)
    if(line MATCHES "^Copyright \\(c\\) (.+)$")
      set(holder "${CMAKE_MATCH_1}")
    elseif(NOT holder STREQUAL "")
      if(line STREQUAL "")
        string(APPEND body "\n .")
      else()
        string(APPEND body "\n ${line}")
      endif()
    endif()
  endforeach()
  if(holder STREQUAL "")
    message(FATAL_ERROR "LICENSE has no `Copyright (c) YEAR HOLDER` line")
  endif()
  string(REGEX REPLACE "^\n \\.\n" "\n" body "${body}")
  # uPlot's license is the same Expat text under its own copyright line:
  # one License paragraph serves both.
  file(WRITE ${CMAKE_BINARY_DIR}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: qarvel

Files: *
Copyright: ${holder}
License: Expat

Files: node_modules/uplot/*
Copyright: ${uplot_copyright}
License: Expat
Comment: uPlot ${QARVEL_UPLOT_VERSION}, installed from npm at build time and embedded
 in the live pages that the programs write.

License: Expat${body}
")
  install(FILES ${CMAKE_BINARY_DIR}/copyright DESTINATION ${docdir})

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QARVEL_DEB_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION science)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "qarvel records the sweeps of a swept-frequency resonance instrument on a
serial port into a MATLAB level 5 file; vexa does the same in endless numbered
cycles; qarvel-recover rebuilds a result file from the journal that every run
keeps as it measures; qarvel-track fits the resonance of every sweep set of
result files, journals and vexa folders into a CSV or MAT table; vexasw sets
the RF switch port of the companion unit and reads its temperatures.
instrument-emulator serves emulated instruments on pseudo-terminals.
qarvel-plot draws a result file (needs python3-scipy and python3-matplotlib).")
  # The library dependencies come from dpkg-shlibdeps; qarvel-plot is a Python
  # script, whose plotting modules are only suggested.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS python3)
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3-scipy, python3-matplotlib")
endif()

include(CPack)
