# Warnings for the project's own code only (never for Qt's or GoogleTest's headers).
add_library(calib_warnings INTERFACE)
target_compile_options(calib_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align
  -Woverloaded-virtual -Wnull-dereference -Wformat=2 -Wimplicit-fallthrough)
if(CALIB_WERROR)
  target_compile_options(calib_warnings INTERFACE -Werror)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # GCC 12 reports these inside the standard library's inlined copies at -O2 where
    # no bound is crossed; they stay visible as warnings but do not fail the build.
    target_compile_options(calib_warnings INTERFACE
      -Wno-error=array-bounds -Wno-error=restrict -Wno-error=stringop-overflow
      -Wno-error=stringop-overread)
  endif()
endif()

# calib_add_library(NAME [DEPENDS libs...] [POSIX files...] [WIN32 files...]): one static
# library per folder, of the folder's sources (see calib_folder_sources).
function(calib_add_library name)
  cmake_parse_arguments(ARG "" "" "DEPENDS;POSIX;WIN32" ${ARGN})
  calib_folder_sources(ARG_SOURCES ${CMAKE_CURRENT_SOURCE_DIR} POSIX ${ARG_POSIX} WIN32 ${ARG_WIN32})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPENDS} Qt6::Core Threads::Threads
                                PRIVATE calib_warnings)
endfunction()

# calib_folder_sources(OUT DIR [POSIX files...] [WIN32 files...]): every .cpp directly in
# DIR (re-globbed at build time, so adding a shared file needs no CMake edit), except
# the platform files named under POSIX and WIN32, of which only this platform's are
# taken. A folder with no sources yet still makes its target.
function(calib_folder_sources out dir)
  cmake_parse_arguments(ARG "" "" "POSIX;WIN32" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
  foreach(file ${ARG_POSIX} ${ARG_WIN32})
    list(REMOVE_ITEM srcs ${dir}/${file})
  endforeach()
  if(WIN32)
    list(TRANSFORM ARG_WIN32 PREPEND ${dir}/)
    list(APPEND srcs ${ARG_WIN32})
  else()
    list(TRANSFORM ARG_POSIX PREPEND ${dir}/)
    list(APPEND srcs ${ARG_POSIX})
  endif()
  if(NOT srcs)
    set(stub ${CMAKE_CURRENT_BINARY_DIR}/${out}_empty.cpp)
    file(CONFIGURE OUTPUT ${stub} CONTENT "// folder has no sources yet\n")
    set(srcs ${stub})
  endif()
  set(${out} ${srcs} PARENT_SCOPE)
endfunction()

# GoogleTest: the installed one, or, when cross compiling for a platform that has
# none installed, built from the sources Debian ships in /usr/src/googletest.
macro(calib_find_gtest)
  if(CMAKE_CROSSCOMPILING)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  else()
    find_package(GTest REQUIRED)
  endif()
endmacro()
