# Install rules: the daemon and the CLI, the public libraries with their
# headers and a pkg-config file each, the phonebook plug-in beside its
# definition, the calling code table, and the systemd files. Run paths are
# relative to the installed files, never into the build tree. The Debian
# package (scripts/package.sh) is made from the same rules with CPack.
# The documents go where Debian looks for a package's: under its own name.
if(NOT CMAKE_INSTALL_DOCDIR)
  set(CMAKE_INSTALL_DOCDIR share/doc/zeb-phonebook)
endif()
include(GNUInstallDirs)

# The plug-in sits beside its definition, where the host looks for a bare
# library name first.
set(ZEB_PLUGIN_DIR ${CMAKE_INSTALL_LIBDIR}/zeb)
set(ZEB_FULL_PLUGIN_DIR ${CMAKE_INSTALL_PREFIX}/${ZEB_PLUGIN_DIR})

set(ZEB_PUBLIC_LIBRARIES zeb_utils keltrace zeb_dm zeb_sl zeb_bus tessel)
set_target_properties(${ZEB_PUBLIC_LIBRARIES} PROPERTIES INSTALL_RPATH "$ORIGIN")
set_target_properties(zebd zeb-cli phonebook-vcard PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
set_target_properties(phonebook PROPERTIES INSTALL_RPATH "$ORIGIN/..")

install(TARGETS ${ZEB_PUBLIC_LIBRARIES} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS zebd zeb-cli phonebook-vcard RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS phonebook LIBRARY DESTINATION ${ZEB_PLUGIN_DIR})
install(FILES data/phonebook.json DESTINATION ${ZEB_PLUGIN_DIR})
# The plug-in reads the table at the fixed path /usr/lib/phonebook/CCC.dat.
install(FILES data/CCC.dat DESTINATION lib/phonebook)

set(ZEB_C_HEADERS bus.h dm.h error.h json.h llist.h ops.h sl.h sysroot.h variant.h zstring.h)
list(TRANSFORM ZEB_C_HEADERS PREPEND ${PROJECT_SOURCE_DIR}/platform/include/zeb/)
install(FILES ${ZEB_C_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zeb)
install(FILES platform/include/keltrace/keltrace.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/keltrace)
install(FILES platform/include/tessel/tessel.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tessel)

# name;library;requires;description
set(ZEB_PKGCONFIG
  "zeb-utils|zeb_utils||variants, maps, lists and strings of the zeb bus"
  "keltrace|keltrace||leveled, zoned trace lines"
  "zeb-dm|zeb_dm|zeb-utils keltrace|the zeb data model"
  "zeb-sl|zeb_sl|zeb-dm zeb-utils keltrace|the zeb plug-in host: plug-ins, calls, timers, notifications"
  "zeb-bus|zeb_bus|zeb-utils|the zeb bus wire codec and client library"
  "tessel|tessel||the legacy configuration store")
# The prefix is found from where the file lies, so that an installation
# moved elsewhere (or into a DESTDIR) still points at itself.
file(RELATIVE_PATH ZEB_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" ZEB_PC_TO_PREFIX "${ZEB_PC_TO_PREFIX}")
foreach(entry IN LISTS ZEB_PKGCONFIG)
  string(REPLACE "|" ";" fields "${entry}")
  list(GET fields 0 ZEB_PC_NAME)
  list(GET fields 1 ZEB_PC_LIBRARY)
  list(GET fields 2 ZEB_PC_REQUIRES)
  list(GET fields 3 ZEB_PC_DESCRIPTION)
  configure_file(cmake/zeb.pc.in ${PROJECT_BINARY_DIR}/pkgconfig/${ZEB_PC_NAME}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/${ZEB_PC_NAME}.pc
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()

configure_file(data/systemd/zebd.service.in ${PROJECT_BINARY_DIR}/systemd/zebd.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/systemd/zebd.service DESTINATION lib/systemd/system)
install(FILES data/systemd/zeb.sysusers DESTINATION lib/sysusers.d RENAME zeb.conf)
install(FILES data/systemd/zeb.tmpfiles DESTINATION lib/tmpfiles.d RENAME zeb.conf)
file(GLOB ZEB_DOCS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES README.md ${ZEB_DOCS} DESTINATION ${CMAKE_INSTALL_DOCDIR})
# Starts the daemon as its service user where there is no systemd; it finds
# the installation from where it lies.
set(ZEB_START_DIR ${CMAKE_INSTALL_LIBEXECDIR}/zeb)
set(ZEB_START_PATH ${CMAKE_INSTALL_PREFIX}/${ZEB_START_DIR}/zebd-start)
file(RELATIVE_PATH ZEB_START_TO_PREFIX /${ZEB_START_DIR} /)
configure_file(data/systemd/zebd-start.in ${PROJECT_BINARY_DIR}/systemd/zebd-start @ONLY)
install(PROGRAMS ${PROJECT_BINARY_DIR}/systemd/zebd-start DESTINATION ${ZEB_START_DIR})
# The HTTP bridge (not in a cross build), its unit, the script that starts it
# without systemd and its document root.
if(TARGET zeb-httpd)
  set(ZEB_WWW_DIR ${CMAKE_INSTALL_DATADIR}/zeb/www)
  set(ZEB_FULL_WWW_DIR ${CMAKE_INSTALL_PREFIX}/${ZEB_WWW_DIR})
  # The example roles, which the unit gives to --roles.
  set(ZEB_ROLES_DIR ${CMAKE_INSTALL_DATADIR}/zeb/roles)
  set(ZEB_FULL_ROLES_DIR ${CMAKE_INSTALL_PREFIX}/${ZEB_ROLES_DIR})
  set(ZEB_HTTPD_START_PATH ${CMAKE_INSTALL_PREFIX}/${ZEB_START_DIR}/zeb-httpd-start)
  set_target_properties(zeb-httpd PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  install(TARGETS zeb-httpd RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  configure_file(data/systemd/zeb-httpd.service.in ${PROJECT_BINARY_DIR}/systemd/zeb-httpd.service
                 @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/systemd/zeb-httpd.service DESTINATION lib/systemd/system)
  configure_file(data/systemd/zeb-httpd-start.in ${PROJECT_BINARY_DIR}/systemd/zeb-httpd-start @ONLY)
  install(PROGRAMS ${PROJECT_BINARY_DIR}/systemd/zeb-httpd-start DESTINATION ${ZEB_START_DIR})
  install(DIRECTORY data/www/ DESTINATION ${ZEB_WWW_DIR})
  install(DIRECTORY data/roles/ DESTINATION ${ZEB_ROLES_DIR})
endif()
# The example access rules, to copy into the directory given to --acl.
install(DIRECTORY data/acl/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples/acl)
# The example roles of the HTTP bridge, for its roles directory.
install(DIRECTORY data/roles/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples/roles)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zeb-phonebook)
set(CPACK_PACKAGE_VENDOR "zeb")
set(CPACK_PACKAGE_CONTACT "zeb developers <dev@zeb.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "phonebook service of a home gateway, with its bus daemon")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/data/systemd/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
