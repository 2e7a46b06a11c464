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

# calib_add_library(NAME SOURCES... [DEPENDS libs...]) : one static library per folder.
function(calib_add_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS" ${ARGN})
  if(NOT ARG_SOURCES)
    calib_folder_sources(ARG_SOURCES ${CMAKE_CURRENT_SOURCE_DIR})
  endif()
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPENDS} Qt6::Core Threads::Threads
                                PRIVATE calib_warnings)
endfunction()

# Sources of a folder: every .cpp directly in it (re-globbed at build time, so adding
# a file needs no CMake edit). A folder with no sources yet still makes its target.
# Files named Posix*/Pty* use POSIX terminals or processes: left out on Windows.
function(calib_folder_sources out dir)
  file(GLOB srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
  if(WIN32)
    list(FILTER srcs EXCLUDE REGEX "/(Posix|Pty)[^/]*\\.cpp$")
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
