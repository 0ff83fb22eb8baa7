# The Debian package, built with `cpack -G DEB` from a build configured with
# -DCMAKE_INSTALL_PREFIX=/usr -DTARNWELL_DEFAULT_CONFIG=/etc/tarnwell.config
# (scripts/package.sh does exactly that).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarnwell)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "tarnwell")
# Whoever builds the package for others names themselves here; the default
# address is a placeholder that reaches no one.
set(TARNWELL_MAINTAINER "tarnwell maintainers <maintainers@tarnwell.invalid>" CACHE STRING
    "Maintainer of the Debian package: name <address>")
set(CPACK_PACKAGE_CONTACT "${TARNWELL_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TARNWELL_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "program and verify microcontrollers through an ICD2")
set(CPACK_PACKAGE_DESCRIPTION
"tarnwell writes an Intel HEX image into a microcontroller attached to an
ICD2 in-circuit debugger over a serial port, reads it back to verify it, or
only verifies it. Its exit status tells which stage failed, so it suits
scripts on benches and production lines. Supported processors are described
in ${TARNWELL_DEFAULT_CONFIG}.

The package also holds icd2sim, a simulator of an ICD2 with an attached
target on a pseudo-terminal, for trying and testing without hardware.")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
# The configuration goes to /etc, outside the prefix; installing into a
# staging DESTDIR keeps that absolute path inside the package.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The first packaging of each version; with a Debian revision the package
# carries its history as changelog.Debian.gz.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps works out the libc and libstdc++ versions actually needed.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

# dpkg keeps a conffile the administrator has changed across upgrades and
# removals instead of overwriting it with the packaged one.
if(IS_ABSOLUTE "${TARNWELL_CONFIG_DIR}")
  set(_tarnwell_conffile "${TARNWELL_CONFIG_DIR}/tarnwell.config")
else()
  set(_tarnwell_conffile "${CPACK_PACKAGING_INSTALL_PREFIX}/${TARNWELL_CONFIG_DIR}/tarnwell.config")
endif()
file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/debian/conffiles" "${_tarnwell_conffile}\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${CMAKE_CURRENT_BINARY_DIR}/debian/conffiles")

# The copyright file in Debian's machine-readable format, its licence text
# taken from LICENSE (blank lines become " .", every line is indented).
file(READ "${PROJECT_SOURCE_DIR}/LICENSE" _tarnwell_licence)
string(FIND "${_tarnwell_licence}" "Permission is hereby granted" _tarnwell_at)
string(SUBSTRING "${_tarnwell_licence}" ${_tarnwell_at} -1 _tarnwell_licence)
string(STRIP "${_tarnwell_licence}" _tarnwell_licence)
string(REPLACE "\n\n" "\n.\n" _tarnwell_licence "${_tarnwell_licence}")
string(REPLACE "\n" "\n " _tarnwell_licence "${_tarnwell_licence}")
file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/debian/copyright"
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: tarnwell

Files: *
Copyright: 2026 The tarnwell authors
License: MIT
 ${_tarnwell_licence}
")

# The Debian changelog: one entry for each packaged version, newest first,
# with a fixed date so that the same sources give the same package. gzip -n
# leaves the name and time stamp out of the compressed file.
set(_tarnwell_changelog "${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.Debian")
file(WRITE "${_tarnwell_changelog}"
"tarnwell (${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}) unstable; urgency=medium

  * First release: tarnwell programs and verifies microcontrollers through
    an ICD2; icd2sim simulates an ICD2 and its target for tests and demos.

 -- ${TARNWELL_MAINTAINER}  Sun, 06 Dec 2026 12:00:00 +0000
")
execute_process(COMMAND gzip -9nc "${_tarnwell_changelog}"
    OUTPUT_FILE "${_tarnwell_changelog}.gz" RESULT_VARIABLE _tarnwell_gzip)
if(NOT _tarnwell_gzip EQUAL 0)
  message(FATAL_ERROR "gzip failed on ${_tarnwell_changelog}")
endif()
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/debian/copyright" DESTINATION ${CMAKE_INSTALL_DOCDIR})

# What only the package carries: the changelog, and the one lintian tag that
# does not apply to a package made outside Debian's archive.
file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/debian/lintian-overrides"
"# Not uploaded to Debian, so there is no bug asking for the package to close.
tarnwell: initial-upload-closes-no-bugs [usr/share/doc/tarnwell/changelog.Debian.gz:1]
")
install(FILES "${_tarnwell_changelog}.gz" DESTINATION ${CMAKE_INSTALL_DOCDIR}
        COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/debian/lintian-overrides"
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME tarnwell
        COMPONENT debian EXCLUDE_FROM_ALL)
set(CPACK_INSTALL_CMAKE_PROJECTS
    "${CMAKE_BINARY_DIR};tarnwell;ALL;/" "${CMAKE_BINARY_DIR};tarnwell;debian;/")

set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_LIST_DIR}/package_check.cmake")

include(CPack)
