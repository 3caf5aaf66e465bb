# make deb (cpack -G DEB): the Debian package brakvold-plus, installed under
# /usr with the files of make install, its program and libraries stripped.
# Its scripts (packaging/deb) make the system user brakvold and the data folder
# /var/lib/brakvold-plus (without users) on installation, enable and start
# the service as debhelper's would, and keep user and folder on removal.

# Who answers for the package: its Maintainer field. A packager sets his own
# (make deb PLUS_MAINTAINER="Name <address>", or cmake -DPLUS_MAINTAINER=...).
set(PLUS_MAINTAINER "Brakvold Plus maintainers <brakvold-plus@users.noreply.github.com>"
  CACHE STRING "Maintainer of the Debian package: Name <address>")
if(NOT PLUS_MAINTAINER MATCHES "^[^<>@]*[^<>@ ] <[^<>@ ]+@[^<>@ ]+\\.[^<>@ ]+>$")
  message(FATAL_ERROR "PLUS_MAINTAINER \"${PLUS_MAINTAINER}\" is not \"Name <user@host.domain>\"")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME brakvold-plus)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${PLUS_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Brakvold Plus: the BBS host bbshost with the game and the add-on module")
# The extended description, below the summary.
set(CPACK_PACKAGE_DESCRIPTION_FILE ${CMAKE_CURRENT_LIST_DIR}/deb/description)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The service's files are made for the prefix the package installs to.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, node-xterm")
# Its filter and jail (disabled) are in /etc/fail2ban.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "fail2ban")
# Program and libraries stripped (make install keeps their symbols). No
# -dbgsym package: CPack 3.25 makes one only without components, and then
# with the staging folder's absolute paths in its md5sums.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_LIST_DIR}/deb/postinst
  ${CMAKE_CURRENT_LIST_DIR}/deb/prerm
  ${CMAKE_CURRENT_LIST_DIR}/deb/postrm
  ${CMAKE_CURRENT_LIST_DIR}/deb/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
