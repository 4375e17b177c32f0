# Run by CPack after the package is built (CPACK_POST_BUILD_SCRIPTS).
#
# CPack's DEB generator gives a package postinst and postrm scripts that run
# ldconfig whenever it holds a shared object anywhere under /usr/lib. Ours is
# the serial driver in /usr/lib/orvo, a private directory that ldconfig never
# reads: the scripts would do nothing but run at every install and removal.
# The package is rebuilt without them; contents, modes and checksums stay.
find_program(DPKG_DEB dpkg-deb REQUIRED)
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "\\.deb$")
    continue()
  endif()
  set(tree "${package}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND ${DPKG_DEB} --raw-extract "${package}" "${tree}" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "dpkg-deb --raw-extract ${package} failed")
  endif()
  set(dropped)
  foreach(script postinst postrm)
    if(EXISTS "${tree}/DEBIAN/${script}")
      file(READ "${tree}/DEBIAN/${script}" text)
      # Only CPack's own ldconfig script goes; anything else stays.
      string(REGEX REPLACE "#![^\n]*\n" "" body "${text}")
      if(body MATCHES "^[ \t\n]*(set -e[ \t\n]*)?(if \\[ \"\\$1\" = \"[a-z]+\" \\]; then[ \t\n]*)?ldconfig[ \t\n]*(fi[ \t\n]*)?$")
        file(REMOVE "${tree}/DEBIAN/${script}")
        list(APPEND dropped ${script})
      endif()
    endif()
  endforeach()
  if(dropped)
    execute_process(
      COMMAND ${DPKG_DEB} --root-owner-group -Zxz --build "${tree}" "${package}"
      RESULT_VARIABLE rc OUTPUT_QUIET)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "dpkg-deb --build ${package} failed")
    endif()
    message(STATUS "Dropped the ldconfig scripts (${dropped}) from ${package}")
  endif()
  file(REMOVE_RECURSE "${tree}")
endforeach()
