# make deb (cpack -G DEB): the Debian package brakvold-plus, installed under
# /usr with the files of make install. Its scripts (packaging/deb) make the
# system user brakvold and the data folder /var/lib/brakvold-plus (without
# users) on installation and keep both on removal.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME brakvold-plus)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Brakvold Plus sysops <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Brakvold Plus: the BBS host bbshost with the game and the add-on module")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The service's files are made for the prefix the package installs to.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, node-xterm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_LIST_DIR}/deb/postinst
  ${CMAKE_CURRENT_LIST_DIR}/deb/prerm
  ${CMAKE_CURRENT_LIST_DIR}/deb/postrm
  ${CMAKE_CURRENT_LIST_DIR}/deb/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
