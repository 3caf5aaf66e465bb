# Runs at install time: the systemd unit (with the installed bbshost and the
# settings file in it), the logrotate snippet, the settings file and the
# fail2ban filter and jail, for CMAKE_INSTALL_PREFIX as it is then.
# file(INSTALL) honours DESTDIR.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(ETC_DIR /etc)
else()
  set(ETC_DIR ${CMAKE_INSTALL_PREFIX}/etc)
endif()
set(BBSHOST ${CMAKE_INSTALL_PREFIX}/bin/bbshost)
set(SETTINGS ${ETC_DIR}/default/brakvold-plus)
set(DOCDIR ${CMAKE_INSTALL_PREFIX}/share/doc/brakvold-plus)

configure_file(${PLUS_PACKAGING_DIR}/brakvold-plus.service.in ${PLUS_STAGING_DIR}/brakvold-plus.service @ONLY)
file(INSTALL ${PLUS_STAGING_DIR}/brakvold-plus.service DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
file(INSTALL ${PLUS_PACKAGING_DIR}/brakvold-plus.logrotate DESTINATION ${ETC_DIR}/logrotate.d
  RENAME brakvold-plus)
file(INSTALL ${PLUS_PACKAGING_DIR}/brakvold-plus.default DESTINATION ${ETC_DIR}/default
  RENAME brakvold-plus)
foreach(part filter.d jail.d)
  file(INSTALL ${PLUS_PACKAGING_DIR}/fail2ban/${part}/brakvold-plus.conf DESTINATION ${ETC_DIR}/fail2ban/${part})
endforeach()
