# Installation (cmake --install) and the packages (cpack in the build folder): the
# Debian package on Linux, a zip for Windows users.
include(GNUInstallDirs)

set(CALIB_PACKAGE_NAME kalmeon-calibrator)
set(CPACK_PACKAGE_NAME ${CALIB_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "Kalmeon Energy")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Service tool: calibration correction of inverter/chargers over a BX2 interface")
set(CPACK_PACKAGE_DESCRIPTION
    "A service tool for the Orvo and Telvik inverter/chargers. A technician
connects a BX2 serial-to-bus interface (or the older BX1) between a serial
port and the device and picks the port; the tool finds the interface, brings
the BX2's own firmware up to date from the image it carries, reads the
device's firmware version and applies one calibration correction in the
device's non-volatile memory, each write verified.

The package holds the window (calibrator), the same job on a terminal for
production lines and scripts (calibrator-cli), a simulated BX2 and device on
a pseudo-terminal to try the tool without hardware (bxsim) and a tool to
inspect, build and unpack firmware files (kfftool).")
# The package's contact, in the form Debian wants: a name and an address.
set(CALIB_PACKAGE_MAINTAINER "Kalmeon Energy Service <service@kalmeon-energy.invalid>"
    CACHE STRING "Maintainer of the Debian package: name <address>")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # The zip: the three programs (each one static file) and a short guide, side by side.
  foreach(program calibrator calibrator-cli kfftool)
    if(TARGET ${program})
      install(TARGETS ${program} RUNTIME DESTINATION .)
    endif()
  endforeach()
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/windows/README-Windows.txt DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
  include(CPack)
  return()
endif()

# Debian keeps manual pages and the changelog compressed (gzip -9n: no name or time in
# the header, so the same page gives the same bytes).
set(calib_packaging_dir ${PROJECT_BINARY_DIR}/packaging)
function(calib_gzip_file source output)
  add_custom_command(OUTPUT ${output}
                     COMMAND gzip -9nc ${source} > ${output}
                     DEPENDS ${source} VERBATIM)
endfunction()

set(calib_compressed)
foreach(program calibrator calibrator-cli bxsim kfftool)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    set(page ${calib_packaging_dir}/${program}.1.gz)
    calib_gzip_file(${PROJECT_SOURCE_DIR}/packaging/man/${program}.1 ${page})
    list(APPEND calib_compressed ${page})
    install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${calib_packaging_dir}/changelog @ONLY)
calib_gzip_file(${calib_packaging_dir}/changelog ${calib_packaging_dir}/changelog.gz)
list(APPEND calib_compressed ${calib_packaging_dir}/changelog.gz)
add_custom_target(calib_packaging_files ALL DEPENDS ${calib_compressed})
set(calib_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/${CALIB_PACKAGE_NAME})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${calib_packaging_dir}/changelog.gz
        DESTINATION ${calib_doc_dir})
if(TARGET calibrator-cli)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/completion/calibrator-cli
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
endif()

if(TARGET calibrator)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/calibrator.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/calibrator.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()
# Only a hint: the package never changes the system's udev rules itself.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/60-calibrator-serial.rules
        DESTINATION ${calib_doc_dir}/examples)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CALIB_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
# Qt libraries come from dpkg-shlibdeps; the window also needs Qt's platform plugins,
# which no binary links to directly.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
include(CPack)
