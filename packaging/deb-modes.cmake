# SPDX-License-Identifier: MIT
# Run by cpack after it has written the .deb (CPACK_POST_BUILD_SCRIPTS).
# cpack copies each ar member's mode from the file it staged, which the
# builder's umask decides (100664 under umask 002): every member gets
# 100644, as dpkg-deb writes them, so the package's bytes do not depend on
# the umask. An ar member header is 60 bytes: name 16, mtime 12, uid 6,
# gid 6, mode 8, size 10, "`\n"; each member starts at an even offset.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  file(SIZE "${deb}" total)
  file(READ "${deb}" magic LIMIT 8)
  if(NOT magic STREQUAL "!<arch>\n")
    message(FATAL_ERROR "${deb}: not an ar archive")
  endif()
  set(at 8)
  set(members 0)
  while(at LESS total)
    math(EXPR members "${members} + 1")
    if(members GREATER 16)
      message(FATAL_ERROR "${deb}: more ar members than a .deb has")
    endif()
    math(EXPR mode_at "${at} + 40")
    file(READ "${deb}" mode OFFSET ${mode_at} LIMIT 8)
    math(EXPR size_at "${at} + 48")
    file(READ "${deb}" size OFFSET ${size_at} LIMIT 10)
    string(STRIP "${size}" size)
    string(STRIP "${mode}" mode)
    if(NOT size MATCHES "^[0-9]+$" OR NOT mode MATCHES "^1006[0-7][0-7]$")
      message(FATAL_ERROR "${deb}: unexpected ar member header at byte ${at}")
    endif()
    if(NOT mode STREQUAL "100644")
      execute_process(COMMAND sh -c "printf '100644  ' | dd of=\"$1\" bs=1 seek=$2 conv=notrunc status=none"
        sh "${deb}" ${mode_at} RESULT_VARIABLE status)
      if(status)
        message(FATAL_ERROR "${deb}: could not set the mode of the member at byte ${at}")
      endif()
    endif()
    math(EXPR at "${at} + 60 + ${size} + (${size} % 2)")
  endwhile()
endforeach()
