# Install layout of the programs with their desktop integration and the service's files, and the two Debian
# packages built from it by `cpack -G DEB`. Paths follow GNUInstallDirs, so the package gets /usr/bin, /usr/share/... .
include(GNUInstallDirs)

# The date of the release named by PROJECT_VERSION, shown in the AppStream metadata and the manual pages.
set(QUORVEL_RELEASE_DATE "2026-12-09")

set(pkg_src ${CMAKE_CURRENT_LIST_DIR})
set(pkg_bin ${CMAKE_BINARY_DIR}/packaging)

# Caps the mode of directories the install creates; a strict umask can still narrow it, which
# fix-directory-modes.cmake undoes for the package.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# Two packages, as Debian splits such programs: quorvel3d for a box without a desktop (the service, its
# unit and configuration, and the simulator) and quorvel3 for the desktop (the window program and its
# desktop integration, and the log tool, which draws its plots with Qt Gui). Each depends only on what its
# own binaries link (dpkg-shlibdeps), so quorvel3d brings no Qt Gui, Widgets or PrintSupport.
set(pkg_service quorvel3d)
set(pkg_desktop quorvel3)

install(TARGETS quorvel3d quorvel3-adapter-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${pkg_service})
install(TARGETS quorvel3 quorvel3-logtool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${pkg_desktop})

install(FILES ${pkg_src}/io.quorvel.Quorvel3.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
        COMPONENT ${pkg_desktop})

configure_file(${pkg_src}/io.quorvel.Quorvel3.metainfo.xml.in ${pkg_bin}/io.quorvel.Quorvel3.metainfo.xml @ONLY)
install(FILES ${pkg_bin}/io.quorvel.Quorvel3.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo
        COMPONENT ${pkg_desktop})

foreach(size 16 24 32 48 64 128 256)
  install(FILES ${PROJECT_SOURCE_DIR}/resources/icons/hicolor/${size}x${size}/apps/quorvel3.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps COMPONENT ${pkg_desktop})
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/resources/icons/quorvel3.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT ${pkg_desktop})

# Debian wants the changelog and manual pages gzipped with -9n: no name or time stamp in the header, so the
# files are byte for byte the same whenever they are built.
find_program(QUORVEL_GZIP gzip REQUIRED)
set(pkg_gzipped)
macro(quorvel_gzip source name)
  add_custom_command(OUTPUT ${pkg_bin}/${name}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${pkg_bin}/${name}
    COMMAND ${QUORVEL_GZIP} -9nf ${pkg_bin}/${name}
    DEPENDS ${source}
    VERBATIM)
  list(APPEND pkg_gzipped ${pkg_bin}/${name}.gz)
endmacro()

# A native package (no Debian revision) keeps its changelog as changelog.gz.
quorvel_gzip(${pkg_src}/changelog changelog)
foreach(page quorvel3 quorvel3d quorvel3-adapter-sim quorvel3-logtool)
  configure_file(${pkg_src}/${page}.1.in ${pkg_bin}/man/${page}.1 @ONLY)
  quorvel_gzip(${pkg_bin}/man/${page}.1 ${page}.1)
endforeach()
add_custom_target(quorvel_packaging_files ALL DEPENDS ${pkg_gzipped})

install(FILES ${pkg_bin}/quorvel3d.1.gz ${pkg_bin}/quorvel3-adapter-sim.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT ${pkg_service})
install(FILES ${pkg_bin}/quorvel3.1.gz ${pkg_bin}/quorvel3-logtool.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT ${pkg_desktop})
# The service: its unit (installed, not enabled), its options and its log rotation. Absolute paths: Debian
# 12 keeps units in /lib/systemd/system and configuration in /etc whatever the prefix.
install(FILES ${pkg_src}/quorvel3d.service DESTINATION /lib/systemd/system COMPONENT ${pkg_service})
install(FILES ${pkg_src}/quorvel3d.default DESTINATION /etc/default RENAME quorvel3d COMPONENT ${pkg_service})
install(FILES ${pkg_src}/quorvel3d.logrotate DESTINATION /etc/logrotate.d RENAME quorvel3d COMPONENT ${pkg_service})
install(FILES ${pkg_src}/quorvel3d.sensors DESTINATION /etc/quorvel3d RENAME sensors COMPONENT ${pkg_service})
install(FILES ${pkg_src}/quorvel3d.yaml DESTINATION /etc/quorvel3d COMPONENT ${pkg_service})
# Files under /etc are the administrator's: dpkg keeps their changes on upgrade. The maintainer scripts
# are those Debian's helpers write for a unit installed but not enabled, and a purge also removes the log.
file(WRITE ${pkg_bin}/conffiles
     "/etc/default/quorvel3d\n/etc/logrotate.d/quorvel3d\n/etc/quorvel3d/sensors\n/etc/quorvel3d/quorvel3d.yaml\n")
set(CPACK_DEBIAN_QUORVEL3D_PACKAGE_CONTROL_EXTRA ${pkg_bin}/conffiles)
foreach(script postinst prerm postrm)
  configure_file(${pkg_src}/quorvel3d.${script} ${pkg_bin}/quorvel3d-control/${script} COPYONLY)
  list(APPEND CPACK_DEBIAN_QUORVEL3D_PACKAGE_CONTROL_EXTRA ${pkg_bin}/quorvel3d-control/${script})
endforeach()

foreach(package ${pkg_service} ${pkg_desktop})
  install(FILES ${pkg_bin}/changelog.gz ${pkg_src}/copyright DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
          COMPONENT ${package})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${pkg_service} ${pkg_desktop})
set(CPACK_PACKAGE_NAME quorvel3)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Quorvel-3 developers")
set(CPACK_PACKAGE_CONTACT "Quorvel-3 developers <dev@quorvel3.invalid>")
# Each package's description starts with its own summary line. CPack would put the one project summary
# before every package's description unless that summary is its own default, which it leaves out.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_DEBIAN_QUORVEL3D_PACKAGE_NAME quorvel3d)
set(CPACK_DEBIAN_QUORVEL3D_DESCRIPTION
    "temperature logger service for 1-Wire sensor network adapters\n"
    "quorvel3d polls DS18B20 thermometers through the sensor pages of a\n"
    "1-Wire-to-Ethernet adapter without a window and appends one line per\n"
    "sweep to a log file: the thirteen sensors built in, or those of a sensor\n"
    "list. It comes with a systemd unit (installed, not enabled), log rotation\n"
    "and metrics for Prometheus-compatible scrapers, publishes to an MQTT\n"
    "broker with Home Assistant's discovery, and needs no desktop.\n"
    "\n"
    "The package also contains quorvel3-adapter-sim, a simulator of the adapter\n"
    "serving its sensor pages on 127.0.0.1, for trying the logger out without\n"
    "hardware.")
set(CPACK_DEBIAN_QUORVEL3_PACKAGE_NAME quorvel3)
set(CPACK_DEBIAN_QUORVEL3_DESCRIPTION
    "temperature logger for 1-Wire sensor network adapters, desktop program\n"
    "Quorvel-3 polls thirteen DS18B20 thermometers through the sensor pages of\n"
    "a 1-Wire-to-Ethernet adapter and shows the page just read, the sensor\n"
    "number and its temperature. While logging is on, every completed sweep\n"
    "over the thirteen sensors appends one line with the date, the time and\n"
    "the thirteen readings to a file.\n"
    "\n"
    "The package also contains quorvel3-logtool, which turns log files into\n"
    "CSV, plots and statistics. The same logger without a window, as a\n"
    "service, is in the package quorvel3d.")
set(CPACK_DEBIAN_QUORVEL3_PACKAGE_SUGGESTS quorvel3d)
# Up to 1.0.0 one package, quorvel3, held the service too: quorvel3d takes its files over on upgrade.
set(CPACK_DEBIAN_QUORVEL3D_PACKAGE_BREAKS "quorvel3 (<< 1.1.0)")
set(CPACK_DEBIAN_QUORVEL3D_PACKAGE_REPLACES "quorvel3 (<< 1.1.0)")
# libmosquitto1 comes into Depends through the shared-library dependencies; the broker is the user's choice.
set(CPACK_DEBIAN_QUORVEL3D_PACKAGE_SUGGESTS mosquitto)
foreach(var CPACK_DEBIAN_QUORVEL3D_DESCRIPTION CPACK_DEBIAN_QUORVEL3_DESCRIPTION)
  string(JOIN "" ${var} ${${var}})
endforeach()
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
# Built with debug information, the programs are stripped by the package build, which moves the debug
# information into quorvel3-dbgsym and quorvel3d-dbgsym (.ddeb); otherwise they are stripped as installed.
if(QUORVEL_DEB_BUILDFLAGS)
  set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
else()
  set(CPACK_STRIP_FILES ON)
endif()
set(CPACK_QUORVEL_OBJCOPY ${CMAKE_OBJCOPY})
set(CPACK_PRE_BUILD_SCRIPTS ${pkg_src}/fix-directory-modes.cmake ${pkg_src}/drop-comment-sections.cmake)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://quorvel.invalid/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
