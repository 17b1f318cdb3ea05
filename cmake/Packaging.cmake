# Installation (cmake --install) and the Debian package (cpack -G DEB, see scripts/package.sh).
include(GNUInstallDirs)

set(AVLO_APP_ID "com.example.avlo_monitor")
set(pkg ${PROJECT_SOURCE_DIR}/packaging)
# Debian keeps a package's documents under its own name, which is not the CMake project's.
set(avlo_docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/avlo-monitor)

install(TARGETS avlo-monitor avlo-devsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${pkg}/avlo-monitor.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
configure_file(${pkg}/avlo-monitor.metainfo.xml
  ${CMAKE_CURRENT_BINARY_DIR}/packaging/${AVLO_APP_ID}.metainfo.xml @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/${AVLO_APP_ID}.metainfo.xml
  DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(DIRECTORY ${pkg}/icons/hicolor DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)
# The headless service as a user unit; the system unit is an example to adapt.
install(FILES ${pkg}/systemd/avlo-monitor.service DESTINATION lib/systemd/user)
install(FILES ${pkg}/systemd/avlo-monitor-system.service.example
  DESTINATION ${avlo_docdir}/examples)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${pkg}/copyright DESTINATION ${avlo_docdir})
# Debian wants the changelog and the manual pages compressed, reproducibly (no name, no time).
configure_file(${pkg}/changelog.in ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz
  COMMAND gzip -9nf ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog
  DEPENDS ${pkg}/changelog.in COMMENT "Compressed changelog" VERBATIM)
add_custom_target(changelog ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz DESTINATION ${avlo_docdir})

# Manual pages from the programs' own --help, with the sections --help does not tell.
find_program(HELP2MAN help2man)
if(HELP2MAN)
  set(man_pages)
  foreach(prog avlo-monitor avlo-devsim)
    set(page ${CMAKE_CURRENT_BINARY_DIR}/packaging/${prog}.1)
    add_custom_command(OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E env --unset=DISPLAY --unset=WAYLAND_DISPLAY
        ${HELP2MAN} --no-info --section=1 --include=${pkg}/man/${prog}.h2m
        "--version-string=${prog} ${PROJECT_VERSION}" --output=${page} $<TARGET_FILE:${prog}>
      COMMAND gzip -9nf ${page}
      DEPENDS ${prog} ${pkg}/man/${prog}.h2m
      COMMENT "Manual page ${prog}.1" VERBATIM)
    list(APPEND man_pages ${page}.gz)
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${man_pages})
  install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(STATUS "help2man not found: no manual pages")
endif()

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME avlo-monitor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Velkan")
set(CPACK_PACKAGE_CONTACT "AVLO Monitor maintainers <service@example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "monitor for networked audio power amplifiers")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "AVLO Monitor watches up to 50 networked multi-channel audio power amplifiers
on a site's local network: it polls every device, finds new devices by
broadcast, shows each device's connection state and condition, counts faults,
writes events to the system log and e-mails alerts. It sits in the desktop's
notification area, or runs headless as a service (a systemd user unit is
included). The package also holds avlo-devsim, a simulator of the amplifiers
for test beds.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.example.com/avlo")
set(CPACK_STRIP_FILES ON)
include(CPack)
