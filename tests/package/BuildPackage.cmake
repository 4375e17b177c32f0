# Builds the Debian package of the configured build tree into OUT_DIR (the
# tests unpack it from there). CPack's staging area and the package go to
# OUT_DIR, so the build tree itself is only read.
#   cmake -DCPACK_COMMAND=... -DCONFIG=.../CPackConfig.cmake -DOUT_DIR=... -P BuildPackage.cmake
foreach(var CPACK_COMMAND CONFIG OUT_DIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "BuildPackage.cmake needs -D${var}=...")
  endif()
endforeach()

file(REMOVE_RECURSE ${OUT_DIR})
file(MAKE_DIRECTORY ${OUT_DIR})
execute_process(
  COMMAND ${CPACK_COMMAND} -G DEB --config ${CONFIG} -B ${OUT_DIR}
  RESULT_VARIABLE result
  OUTPUT_VARIABLE output
  ERROR_VARIABLE output)
message("${output}")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cpack failed (${result})")
endif()
file(GLOB packages ${OUT_DIR}/*.deb)
list(LENGTH packages count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "expected one .deb in ${OUT_DIR}, found ${count}: ${packages}")
endif()
# CPack's staging copy of the install tree is not needed after this.
file(REMOVE_RECURSE ${OUT_DIR}/_CPack_Packages)
message("built ${packages}")
