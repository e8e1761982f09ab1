# Install rules and the Debian packages (cpack -G DEB in the build folder).
#   norvaltdrv          the service, the field-bus library, the systemd units
#   norvaltdrv-console  the operator console (when Qt 6 is present)
install(TARGETS NorvaltDrv RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT service)
install(TARGETS modbus LIBRARY DESTINATION ${NORVALT_PRIVATE_LIBDIR} COMPONENT service
                       NAMELINK_SKIP)
# The units name the installed program, so they are written when the install prefix is known.
set(NORVALT_UNIT_STAGE ${PROJECT_BINARY_DIR}/packaging/units)
install(CODE "
  file(MAKE_DIRECTORY \"${NORVALT_UNIT_STAGE}\")
  execute_process(COMMAND \"$<TARGET_FILE:norvalt_units>\"
                          \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/NorvaltDrv\"
                          \"${NORVALT_UNIT_STAGE}\" COMMAND_ERROR_IS_FATAL ANY)
" COMPONENT service)
install(FILES ${NORVALT_UNIT_STAGE}/NorvaltDrv.service ${NORVALT_UNIT_STAGE}/NorvaltDrv.socket
        DESTINATION lib/systemd/system COMPONENT service)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/norvaltdrv COMPONENT service)

# What Debian asks of every package: a copyright file and a changelog in its doc folder, and a
# manual page for every program; compressed as Debian's tools do (gzip -9n: no name, no time,
# so the same sources give the same bytes).
# decisions BUILD-12
set(NORVALT_DOC_STAGE ${PROJECT_BINARY_DIR}/packaging/doc)
function(norvalt_gzip source name)  # configures `source` into the stage, then name.gz
  configure_file(${source} ${NORVALT_DOC_STAGE}/${name} @ONLY)
  execute_process(COMMAND gzip -9nf ${NORVALT_DOC_STAGE}/${name} COMMAND_ERROR_IS_FATAL ANY)
endfunction()
function(norvalt_package_docs package component)
  set(PACKAGE ${package})
  norvalt_gzip(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in ${package}/changelog)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright
                ${NORVALT_DOC_STAGE}/${package}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endfunction()
norvalt_package_docs(norvaltdrv service)
norvalt_gzip(${CMAKE_CURRENT_LIST_DIR}/man/NorvaltDrv.8 man/NorvaltDrv.8)
install(FILES ${NORVALT_DOC_STAGE}/man/NorvaltDrv.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8
        COMPONENT service)
if(TARGET NorvaltDrvCli)
  install(TARGETS NorvaltDrvCli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT console)
  norvalt_package_docs(norvaltdrv-console console)
  norvalt_gzip(${CMAKE_CURRENT_LIST_DIR}/man/NorvaltDrvCli.1 man/NorvaltDrvCli.1)
  install(FILES ${NORVALT_DOC_STAGE}/man/NorvaltDrvCli.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT console)
  set(CPACK_COMPONENTS_ALL service console)
else()
  set(CPACK_COMPONENTS_ALL service)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME norvaltdrv)
set(CPACK_PACKAGE_VENDOR "Norvalt")
set(CPACK_PACKAGE_CONTACT "Norvalt service team <service@norvalt.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME norvaltdrv)
set(CPACK_COMPONENT_SERVICE_DESCRIPTION
    "Norvalt hardware monitoring service\nThe service NorvaltDrv polls dispenser controllers and field-bus devices on\nserial lines and serves their state to clients; with its field-bus library\nand systemd units.")
# useradd comes from passwd, deb-systemd-helper from init-system-helpers (its was-enabled,
# debian-installed and update-state since 1.8); the shared-library dependencies are added by
# dpkg-shlibdeps.
set(CPACK_DEBIAN_SERVICE_PACKAGE_DEPENDS "passwd, init-system-helpers (>= 1.8)")
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/debian/postinst ${CMAKE_CURRENT_LIST_DIR}/debian/prerm
    ${CMAKE_CURRENT_LIST_DIR}/debian/postrm)
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_CONSOLE_PACKAGE_NAME norvaltdrv-console)
set(CPACK_COMPONENT_CONSOLE_DESCRIPTION
    "Norvalt operator console\nNorvaltDrvCli binds to a running NorvaltDrv service and shows its posts.")
include(CPack)
