# Read by cpack: a Debian package installs nothing under /usr/local, so one
# packed from an ordinary build (prefix /usr/local) is almost surely a mistake.
if(NOT CPACK_PACKAGING_INSTALL_PREFIX STREQUAL "/usr")
  message(WARNING "This package installs under ${CPACK_PACKAGING_INSTALL_PREFIX}, not /usr; "
                  "scripts/package.sh builds it as Debian expects.")
endif()
# Packages meant for others should name who answers for them.
if(CPACK_DEBIAN_PACKAGE_MAINTAINER MATCHES "\\.invalid>$")
  message(NOTICE "The package names the placeholder maintainer ${CPACK_DEBIAN_PACKAGE_MAINTAINER}; "
                 "configure with -DTARNWELL_MAINTAINER=\"Name <address>\" to name yourself.")
endif()
