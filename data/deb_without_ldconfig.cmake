# Run by CPack once it has made the Debian package (CPACK_POST_BUILD_SCRIPTS).
# CPack gives every package with a shared library below /usr/lib a postinst and a
# postrm that call ldconfig. The program's libraries live in its own folder
# (/usr/lib/mp3tunewright), which is not on the dynamic linker's path: the
# program finds them through its RUNPATH, and ldconfig has nothing to do for
# them. The package is rebuilt from its own contents without the two scripts.
find_program(TW_DPKG_DEB dpkg-deb REQUIRED)
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  set(tree "${deb}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND ${TW_DPKG_DEB} --raw-extract "${deb}" "${tree}"
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "dpkg-deb could not unpack ${deb}")
  endif()
  foreach(script postinst postrm)
    file(STRINGS "${tree}/DEBIAN/${script}" lines)
    foreach(line IN LISTS lines)
      # Only the scripts CPack wrote for ldconfig go; anything else is a fault.
      if(NOT line MATCHES "^(#!/bin/sh|set -e|if \\[ \"\\$1\" = \"[a-z]+\" \\]; then|[ \t]+ldconfig|fi|)$")
        message(FATAL_ERROR "${script} of ${deb} does more than call ldconfig: ${line}")
      endif()
    endforeach()
    file(REMOVE "${tree}/DEBIAN/${script}")
  endforeach()
  execute_process(COMMAND ${TW_DPKG_DEB} --root-owner-group -Zxz --build "${tree}" "${deb}"
                  RESULT_VARIABLE status OUTPUT_QUIET)
  file(REMOVE_RECURSE "${tree}")
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "dpkg-deb could not rebuild ${deb}")
  endif()
endforeach()
