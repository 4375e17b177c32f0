# FLTK 1.3 for the Windows build, compiled from its upstream source.
#
# Debian packages FLTK only for Linux, so a Windows build compiles the
# FLTK 1.3.8 source archive with the same cross compiler as the rest of
# the project and links it statically. Included by the top-level
# CMakeLists.txt of a Windows build:
#
#   include(cmake/FltkFromSource.cmake)
#
# Cache variable
#   ORVO_FLTK_SOURCE  path of fltk-1.3.8-source.tar.gz. Its default is the
#                     shared third-party copy beside the source tree when
#                     that exists, otherwise empty.
#
# Results
#   ORVO_HAVE_FLTK    TRUE when FLTK is built; FALSE when no archive is
#                     given, and the build makes the headless server only.
#   fltk_libs         INTERFACE target (only when ORVO_HAVE_FLTK): FLTK's
#                     headers as system headers, the static libfltk.a and
#                     the Windows libraries it calls. Whatever links it is
#                     built after FLTK.
#
# FLTK is configured, built and installed once into
# ${CMAKE_BINARY_DIR}/third_party/fltk/install by the target
# fltk_external; its output is kept in log files there and shown only
# when a step fails. A cross build of FLTK 1.3.8 never builds its fluid
# program, and its test and example programs and OpenGL are switched off,
# so nothing in it has to run on the build machine.

include_guard(GLOBAL)

if(NOT WIN32)
  message(FATAL_ERROR
    "FltkFromSource.cmake builds FLTK for Windows and lists the Windows "
    "libraries it needs; use the system FLTK on other platforms.")
endif()

set(ORVO_FLTK_SHA256
  e30db0c7670ca4852d33cb5ee6690f7e975aaab4c1b6a03e2222eec7155efb13)

set(_orvo_fltk_default "")
foreach(_orvo_fltk_candidate
    "${PROJECT_SOURCE_DIR}/../shared/third_party/fltk-1.3.8-source.tar.gz"
    "/work/shared/third_party/fltk-1.3.8-source.tar.gz")
  if(EXISTS "${_orvo_fltk_candidate}")
    get_filename_component(_orvo_fltk_default "${_orvo_fltk_candidate}" ABSOLUTE)
    break()
  endif()
endforeach()
set(ORVO_FLTK_SOURCE "${_orvo_fltk_default}" CACHE FILEPATH
  "FLTK 1.3.8 source archive (fltk-1.3.8-source.tar.gz) for the windows of the Windows build; empty builds the headless server only")
unset(_orvo_fltk_candidate)
unset(_orvo_fltk_default)

if(ORVO_FLTK_SOURCE STREQUAL "")
  set(ORVO_HAVE_FLTK FALSE)
  message(STATUS
    "FLTK source not found (set ORVO_FLTK_SOURCE to fltk-1.3.8-source.tar.gz): this build makes the headless server only")
  return()
endif()

# A path that was given but is wrong stops here rather than quietly
# dropping the windows from the build.
if(NOT EXISTS "${ORVO_FLTK_SOURCE}" OR IS_DIRECTORY "${ORVO_FLTK_SOURCE}")
  message(FATAL_ERROR
    "ORVO_FLTK_SOURCE is '${ORVO_FLTK_SOURCE}', which is not a file. Set it "
    "to fltk-1.3.8-source.tar.gz, or to an empty string to build the "
    "headless server only.")
endif()
file(SHA256 "${ORVO_FLTK_SOURCE}" _orvo_fltk_sha256)
if(NOT _orvo_fltk_sha256 STREQUAL ORVO_FLTK_SHA256)
  message(FATAL_ERROR
    "ORVO_FLTK_SOURCE '${ORVO_FLTK_SOURCE}' is not the FLTK 1.3.8 source "
    "archive: its SHA-256 is ${_orvo_fltk_sha256}, expected "
    "${ORVO_FLTK_SHA256}.")
endif()
unset(_orvo_fltk_sha256)

if(TARGET fltk_libs)
  message(FATAL_ERROR
    "fltk_libs is already defined; FltkFromSource.cmake defines it for the "
    "Windows build and must replace the system FLTK, not join it.")
endif()

include(ExternalProject)

set(ORVO_FLTK_PREFIX "${CMAKE_BINARY_DIR}/third_party/fltk")
set(ORVO_FLTK_INSTALL_DIR "${ORVO_FLTK_PREFIX}/install")
set(_orvo_fltk_library "${ORVO_FLTK_INSTALL_DIR}/lib/libfltk.a")

# Only libfltk itself is built: the windows use neither the image, forms
# nor OpenGL libraries, and FLTK's image codecs (its own zlib, libpng and
# libjpeg) are a third of its objects. Under make the build joins the
# outer make's job server through $(MAKE).
if(CMAKE_GENERATOR MATCHES "Unix Makefiles")
  set(_orvo_fltk_build_command "$(MAKE)" fltk)
else()
  set(_orvo_fltk_build_command "${CMAKE_COMMAND}" --build <BINARY_DIR> --target fltk)
endif()

ExternalProject_Add(fltk_external
  PREFIX "${ORVO_FLTK_PREFIX}"
  INSTALL_DIR "${ORVO_FLTK_INSTALL_DIR}"
  URL "${ORVO_FLTK_SOURCE}"
  URL_HASH SHA256=${ORVO_FLTK_SHA256}
  DOWNLOAD_EXTRACT_TIMESTAMP FALSE
  CMAKE_ARGS
    # The same cross compiler (CMake keeps the toolchain path absolute).
    "-DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}"
    -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_INSTALL_PREFIX=<INSTALL_DIR>
    -DOPTION_BUILD_SHARED_LIBS=OFF
    -DOPTION_USE_GL=OFF
    -DOPTION_CAIRO=OFF
    -DOPTION_CAIROEXT=OFF
    -DFLTK_BUILD_TEST=OFF
    -DFLTK_BUILD_EXAMPLES=OFF
    -DOPTION_USE_SYSTEM_ZLIB=OFF
    -DOPTION_USE_SYSTEM_LIBJPEG=OFF
    -DOPTION_USE_SYSTEM_LIBPNG=OFF
  BUILD_COMMAND ${_orvo_fltk_build_command}
  # FLTK's own install step would build and install every library; this
  # one installs the headers (with the generated abi-version.h) and
  # libfltk.a.
  INSTALL_COMMAND
    "${CMAKE_COMMAND}" -E make_directory <INSTALL_DIR>/include <INSTALL_DIR>/lib
    COMMAND "${CMAKE_COMMAND}" -E copy_directory <SOURCE_DIR>/FL <INSTALL_DIR>/include/FL
    COMMAND "${CMAKE_COMMAND}" -E copy <BINARY_DIR>/FL/abi-version.h <INSTALL_DIR>/include/FL/abi-version.h
    COMMAND "${CMAKE_COMMAND}" -E copy <BINARY_DIR>/lib/libfltk.a <INSTALL_DIR>/lib/libfltk.a
  BUILD_BYPRODUCTS "${_orvo_fltk_library}"
  LOG_CONFIGURE TRUE
  LOG_BUILD TRUE
  LOG_INSTALL TRUE
  LOG_OUTPUT_ON_FAILURE TRUE
)
unset(_orvo_fltk_build_command)

# INTERFACE_INCLUDE_DIRECTORIES must name a folder that exists when the
# project is configured, before FLTK has installed its headers there.
file(MAKE_DIRECTORY "${ORVO_FLTK_INSTALL_DIR}/include")

# libfltk.a first, then the Windows libraries its objects call: the
# common controls (_TrackMouseEvent), GDI, OLE with the interface IDs from
# uuid (drag and drop), the common dialogs (file chooser, printer dialog),
# the shell (folder chooser, dropped files, fl_open_uri), the registry
# (advapi32), user and kernel. FLTK loads Winsock and the input method
# library (ws2_32, imm32) at run time with LoadLibrary, so neither is
# linked here.
add_library(fltk_libs INTERFACE)
# FLTK 1.3's headers test WIN32, which the compiler leaves undefined in its
# strict C++ mode (it defines _WIN32 only).
target_compile_definitions(fltk_libs INTERFACE WIN32)
target_include_directories(fltk_libs SYSTEM INTERFACE
  "${ORVO_FLTK_INSTALL_DIR}/include")
target_link_libraries(fltk_libs INTERFACE
  "${_orvo_fltk_library}"
  comctl32 gdi32 ole32 uuid comdlg32 shell32 advapi32 user32 kernel32)
add_dependencies(fltk_libs fltk_external)
unset(_orvo_fltk_library)

set(ORVO_HAVE_FLTK TRUE)
