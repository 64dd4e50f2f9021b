# ZelPackage.cmake - what `cmake --install` puts where, and the two Debian packages that
# `cpack -G DEB` builds from it (see docs/packaging.md):
#
#   zel        the program, zel-schema and zel_exporter in bin/, the database modules in
#              lib/zel/, the example configuration, table definitions and registry file as conffiles in /etc/zel/,
#              the examples and schemas under share/doc/zel/, the systemd units and the scripts
#              that create the system user it runs as;
#   zel-tools  the feed simulator and the benchmarks.
#
# zel finds its modules by bare name ("instance dbdrv_pgsql.so") through its run path, which
# names the private module directory; nothing else is on that path.
include(GNUInstallDirs)

set(ZEL_MODULE_DIR lib/zel)
set(ZEL_TOOLS_DIR lib/zel-tools)

if(TARGET zel)
  set_target_properties(zel PROPERTIES INSTALL_RPATH "${CMAKE_INSTALL_PREFIX}/${ZEL_MODULE_DIR}")
  install(TARGETS zel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT zel)
endif()
foreach(module dbdrv_null dbdrv_pgsql dbdrv_odbc)
  if(TARGET ${module})
    install(TARGETS ${module} LIBRARY DESTINATION ${ZEL_MODULE_DIR} COMPONENT zel)
  endif()
endforeach()
foreach(tool zel-schema zel_exporter)
  if(TARGET ${tool})
    set_target_properties(${tool} PROPERTIES INSTALL_RPATH "${CMAKE_INSTALL_PREFIX}/${ZEL_MODULE_DIR}")
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT zel)
  endif()
endforeach()

# The configuration a package installs: the example, with the table definitions read from
# beside it, so that the service (working directory /etc/zel) and `zel --check` agree.
set(ZEL_ETC_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/zel)
install(FILES examples/zel.config examples/zel.tabledef packaging/registry
        DESTINATION ${ZEL_ETC_DIR} COMPONENT zel)
install(FILES examples/zel.config examples/zel.tabledef
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT zel)
install(DIRECTORY examples/schema DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT zel)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT zel)
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs COMPONENT zel)

# The units name the installed programs, not the /usr/local ones of a hand-installed copy.
foreach(unit zel.service zel-exporter.service)
  file(READ packaging/${unit} ZEL_UNIT)
  string(REPLACE "/usr/local/bin/" "${CMAKE_INSTALL_FULL_BINDIR}/" ZEL_UNIT "${ZEL_UNIT}")
  file(WRITE ${CMAKE_BINARY_DIR}/packaging/${unit} "${ZEL_UNIT}")
  install(FILES ${CMAKE_BINARY_DIR}/packaging/${unit} DESTINATION lib/systemd/system COMPONENT zel)
endforeach()

if(TARGET feedsim)
  install(TARGETS feedsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endif()
foreach(bench feed_throughput dispatch_bench)
  if(TARGET ${bench})
    install(TARGETS ${bench} RUNTIME DESTINATION ${ZEL_TOOLS_DIR} COMPONENT tools)
  endif()
endforeach()
install(FILES packaging/debian/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zel COMPONENT zel)
install(FILES packaging/debian/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zel-tools COMPONENT tools)

# Debian wants a compressed changelog (changelog.gz: the package is its own upstream) in each package's doc directory; gzip -n keeps the
# package reproducible (no time stamp, no file name in the header).
set(ZEL_CHANGELOG ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
execute_process(COMMAND sh -c "sed 's/@VERSION@/${PROJECT_VERSION}/' '${PROJECT_SOURCE_DIR}/packaging/debian/changelog' | gzip -n -9 > '${ZEL_CHANGELOG}'")
install(FILES ${ZEL_CHANGELOG} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zel COMPONENT zel)
install(FILES ${ZEL_CHANGELOG} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zel-tools COMPONENT tools)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "zel developers <zel@example.org>")
# Each component description opens with its one-line synopsis.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL zel tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_DEBIAN_ZEL_PACKAGE_NAME zel)
set(CPACK_DEBIAN_ZEL_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_ZEL_DESCRIPTION
  "keeps a relational database current with a market-data feed\nzel logs on to a feed server, requests the data that its table-definition file\nmaps to tables and writes every message into the database through a loadable\ndatabase module (PostgreSQL, ODBC, or a null module). It runs as a systemd\nservice and publishes its counters in shared memory.")
set(CPACK_DEBIAN_ZEL_PACKAGE_CONTROL_EXTRA
  "${PROJECT_SOURCE_DIR}/packaging/debian/conffiles;${PROJECT_SOURCE_DIR}/packaging/debian/postinst;${PROJECT_SOURCE_DIR}/packaging/debian/postrm")
set(CPACK_DEBIAN_ZEL_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME zel-tools)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
  "feed simulator and benchmarks for zel\nfeedsim is a feed server for demonstrations, tests and benchmarks of zel:\na generated market with every kind of message, or a scripted replay.")
include(CPack)
