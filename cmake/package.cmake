# The Debian package, built with `cpack -G DEB` from a build configured with
# -DCMAKE_INSTALL_PREFIX=/usr -DTARNWELL_DEFAULT_CONFIG=/etc/tarnwell.config
# (scripts/package.sh does exactly that).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarnwell)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "tarnwell")
set(CPACK_PACKAGE_CONTACT "tarnwell maintainers <tarnwell@example.org>")
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

set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_LIST_DIR}/package_check.cmake")

include(CPack)
