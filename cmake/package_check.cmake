# Read by cpack: a Debian package installs nothing under /usr/local, so one
# packed from an ordinary build (prefix /usr/local) is almost surely a mistake.
if(NOT CPACK_PACKAGING_INSTALL_PREFIX STREQUAL "/usr")
  message(WARNING "This package installs under ${CPACK_PACKAGING_INSTALL_PREFIX}, not /usr; "
                  "scripts/package.sh builds it as Debian expects.")
endif()
