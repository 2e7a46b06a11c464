# Installation (cmake --install) and the packages (cpack in the build folder): the
# Debian package on Linux, a zip for Windows users.
include(GNUInstallDirs)

set(CALIB_PACKAGE_NAME kalmeon-calibrator)
set(CPACK_PACKAGE_NAME ${CALIB_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "Kalmeon Energy")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Service tool: calibration correction of inverter/chargers over a BX2 interface")
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

foreach(program calibrator calibrator-cli bxsim kfftool)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/man/${program}.1
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endforeach()
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
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${CALIB_PACKAGE_NAME}/examples)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Kalmeon Energy")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
# Qt libraries come from dpkg-shlibdeps; the window also needs Qt's platform plugins,
# which no binary links to directly.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
include(CPack)
