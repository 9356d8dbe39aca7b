# Install rules and the Debian packages, one per component:
#   krt-appserver  (appserver)  the server, its unit, the schema, the example settings
#   krt-backoffice (backoffice) the host, the module and the toolkit they share, a desktop entry
#   dotz-export    (export)     the headless command, its service and nightly timer
# Units, desktop entry, example settings and maintainer scripts are in packaging/.
set(KRT_PACKAGING ${PROJECT_SOURCE_DIR}/packaging)
set(KRT_GENERATED ${CMAKE_BINARY_DIR}/packaging)

# The host finds the toolkit beside the module; the module and the toolkit find
# each other in the same folder.
set_target_properties(krt-backoffice PROPERTIES INSTALL_RPATH "$ORIGIN/${KRT_MODULE_DIR_FROM_BIN}")
set_target_properties(krt52410 dotz_toolkit PROPERTIES INSTALL_RPATH "$ORIGIN")

install(TARGETS krt-appserver RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT appserver)
install(TARGETS krt-backoffice RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT backoffice)
install(TARGETS krt52410 dotz_toolkit
  LIBRARY DESTINATION ${KRT_LIB_DIR} COMPONENT backoffice NAMELINK_SKIP)
install(TARGETS dotz-export RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT export)
install(TARGETS dotz-export-run RUNTIME DESTINATION ${KRT_LIB_DIR} COMPONENT export)

# Units name the programs where the installing prefix puts them, so they are made
# at install time: cpack installs under /usr whatever the build was configured with.
function(krt_install_unit unit component)
  install(CODE "
    set(CMAKE_INSTALL_FULL_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    set(CMAKE_INSTALL_FULL_DATADIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}\")
    configure_file(${KRT_PACKAGING}/${unit}.in ${KRT_GENERATED}/${component}/${unit} @ONLY)
    file(INSTALL ${KRT_GENERATED}/${component}/${unit}
      DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\")"
    COMPONENT ${component})
endfunction()
krt_install_unit(krt-appserver.service appserver)
krt_install_unit(dotz-export.service export)
krt_install_unit(dotz-export.timer export)
install(FILES appserver/schema/sqlite.sql appserver/schema/postgresql.sql
  DESTINATION ${CMAKE_INSTALL_DATADIR}/krt/schema COMPONENT appserver)
install(FILES ${KRT_PACKAGING}/krt.ini.example
  DESTINATION ${CMAKE_INSTALL_DATADIR}/krt COMPONENT appserver)
install(FILES ${KRT_PACKAGING}/krt-backoffice.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT backoffice)

# Debian packages: cpack -G DEB in the build folder. Debian packages install
# under /usr, never /usr/local, whatever prefix the build has.
set(CPACK_PACKAGE_NAME krt)
set(CPACK_PACKAGE_VENDOR "KRT")
set(CPACK_PACKAGE_CONTACT "KRT back office <suporte@krt.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL appserver backoffice export)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The toolkit ships in krt-backoffice itself; dpkg-shlibdeps finds it here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/bin)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "passwd")
set(CPACK_DEBIAN_APPSERVER_PACKAGE_NAME krt-appserver)
set(CPACK_DEBIAN_BACKOFFICE_PACKAGE_NAME krt-backoffice)
set(CPACK_DEBIAN_EXPORT_PACKAGE_NAME dotz-export)
set(CPACK_DEBIAN_APPSERVER_DESCRIPTION "KRT application server for the DOTZ export
Serves the back office's sales to the DOTZ export over JSON-RPC, from SQLite
or PostgreSQL, as the systemd service krt-appserver.")
set(CPACK_DEBIAN_BACKOFFICE_DESCRIPTION "KRT back office with the DOTZ export screen
The back office host application and its DOTZ export module.")
set(CPACK_DEBIAN_EXPORT_DESCRIPTION "Headless DOTZ export with a nightly timer
dotz-export writes the DOTZ loyalty files of a period; dotz-export.timer runs
it for the day before every night at 02:30.")
# The host opens its local database through Qt's SQL driver plugins, which
# dpkg-shlibdeps cannot see.
set(CPACK_DEBIAN_BACKOFFICE_PACKAGE_DEPENDS "passwd, libqt6sql6-sqlite")
set(CPACK_DEBIAN_BACKOFFICE_PACKAGE_SUGGESTS "libqt6sql6-psql")
# The same maintainer scripts serve the three packages: the system user krt and
# its folders, removed on purge only with the last of them.
foreach(component APPSERVER BACKOFFICE EXPORT)
  set(CPACK_DEBIAN_${component}_PACKAGE_CONTROL_EXTRA
    ${KRT_PACKAGING}/postinst ${KRT_PACKAGING}/postrm)
  set(CPACK_DEBIAN_${component}_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endforeach()
include(CPack)
