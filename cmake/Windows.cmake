# Windows builds (MinGW-w64 cross compilation from Linux, see README "Windows").
# Everything is linked statically, the Qt Core built for Windows included, so
# that each .exe runs on its own: no DLLs to ship or to find under wine.
add_link_options(-static)
# WIN32_LEAN_AND_MEAN keeps <windows.h> from pulling in winsock and friends;
# NOMINMAX keeps its min/max macros away from std::min and std::max.
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX)

# Running what the build makes: the packing of the embedded image during the
# build, the tests and the end-to-end checks all go through wine when cross
# compiling. The wrapper gives the build its own wine prefix.
if(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(CALIB_WINE NAMES wine64 wine PATHS /usr/lib/wine REQUIRED)
  find_program(CALIB_WINESERVER NAMES wineserver64 wineserver PATHS /usr/lib/wine REQUIRED)
  set(CALIB_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "wine prefix of this build")
  configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh
                 @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                 GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)
endif()

# The Linux build whose bxsim serves the end-to-end check of calibrator-cli.exe.
set(CALIB_HOST_BUILD_DIR "" CACHE PATH "a Linux build of this project (for bxsim)")
