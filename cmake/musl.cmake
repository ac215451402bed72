# SPDX-License-Identifier: MIT
# The shipped kelmo-map is linked statically against musl rather than glibc:
# a static glibc drags in about 750 KiB (locale, NSS, IO) that the program
# never calls. Debian's g++ compiles it with musl's headers, C runtime start
# files and libc.a, and no libstdc++ (the program uses only the C library,
# through the <c...> wrapper headers). The unit tests and the probes link
# GoogleTest and libstdc++, so they keep the system's glibc build of the same
# sources (kelmo_core).
#
#   kelmo_use_musl(TARGET)   compiles and links TARGET against musl

if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  message(FATAL_ERROR "the musl build needs g++ (this is ${CMAKE_CXX_COMPILER_ID}); "
    "use -DKELMO_LIBC=glibc with another compiler")
endif()

set(KELMO_MUSL_TRIPLET ${CMAKE_SYSTEM_PROCESSOR}-linux-musl)
set(KELMO_MUSL_INCLUDE /usr/include/${KELMO_MUSL_TRIPLET} CACHE PATH "musl's C headers")
set(KELMO_MUSL_LIB /usr/lib/${KELMO_MUSL_TRIPLET} CACHE PATH "musl's libc.a and start files")
if(NOT EXISTS ${KELMO_MUSL_LIB}/libc.a OR NOT EXISTS ${KELMO_MUSL_INCLUDE}/stdio.h)
  message(FATAL_ERROR "musl not found in ${KELMO_MUSL_LIB} and ${KELMO_MUSL_INCLUDE}: "
    "install musl-tools (tools/deps.sh), or build with -DKELMO_LIBC=glibc")
endif()

function(kelmo_gcc_file out what)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} ${what}
    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
  if(status OR NOT EXISTS "${path}")
    message(FATAL_ERROR "${CMAKE_CXX_COMPILER} ${what} gave '${path}'")
  endif()
  set(${out} ${path} PARENT_SCOPE)
endfunction()
kelmo_gcc_file(KELMO_GCC_INCLUDE -print-file-name=include)
kelmo_gcc_file(KELMO_CRTBEGIN -print-file-name=crtbeginT.o)
kelmo_gcc_file(KELMO_CRTEND -print-file-name=crtend.o)
kelmo_gcc_file(KELMO_LIBGCC -print-libgcc-file-name)

# libstdc++'s headers, as g++ itself finds them: the first two directories
# it searches for <...> (the generic and the target-specific one).
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -xc++ -E -v /dev/null
  OUTPUT_QUIET ERROR_VARIABLE search RESULT_VARIABLE status)
string(REGEX MATCH "#include <\\.\\.\\.> search starts here:\n([^\n]*)\n([^\n]*)\n" found "${search}")
string(STRIP "${CMAKE_MATCH_1}" KELMO_CXX_INCLUDE)
string(STRIP "${CMAKE_MATCH_2}" KELMO_CXX_ARCH_INCLUDE)
if(status OR NOT KELMO_CXX_INCLUDE MATCHES "/c\\+\\+/" OR NOT EXISTS ${KELMO_CXX_INCLUDE}/cstdio
   OR NOT EXISTS ${KELMO_CXX_ARCH_INCLUDE}/bits/c++config.h)
  message(FATAL_ERROR "no libstdc++ headers found for ${CMAKE_CXX_COMPILER}")
endif()

# musl ships no kernel headers: only linux/, asm/ and asm-generic/ are taken
# from the system, so that no glibc header is picked up by mistake.
set(KELMO_MUSL_KERNEL ${CMAKE_BINARY_DIR}/musl-kernel-headers)
file(MAKE_DIRECTORY ${KELMO_MUSL_KERNEL})
foreach(pair "linux=/usr/include/linux" "asm-generic=/usr/include/asm-generic"
             "asm=/usr/include/${CMAKE_LIBRARY_ARCHITECTURE}/asm")
  string(REPLACE "=" ";" pair "${pair}")
  list(GET pair 0 name)
  list(GET pair 1 dir)
  if(NOT IS_DIRECTORY ${dir})
    message(FATAL_ERROR "kernel headers: no ${dir} (install linux-libc-dev)")
  endif()
  file(REMOVE ${KELMO_MUSL_KERNEL}/${name})
  file(CREATE_LINK ${dir} ${KELMO_MUSL_KERNEL}/${name} SYMBOLIC)
endforeach()

function(kelmo_use_musl target)
  # libstdc++'s <cstdio> and friends #include_next the C headers: the C++
  # directories come first, then musl's, then gcc's own (stddef.h, stdarg.h).
  # Its configuration header asks glibc's version through __GLIBC_PREREQ,
  # which musl does not define: the answer is "older than any".
  target_compile_options(${target} PRIVATE -nostdinc
    "SHELL:-isystem ${KELMO_CXX_INCLUDE}" "SHELL:-isystem ${KELMO_CXX_ARCH_INCLUDE}"
    "SHELL:-isystem ${KELMO_MUSL_INCLUDE}" "SHELL:-isystem ${KELMO_GCC_INCLUDE}"
    "SHELL:-isystem ${KELMO_MUSL_KERNEL}" "-D__GLIBC_PREREQ(a,b)=0")
  # The start files around the objects, musl's libc and libgcc after them.
  target_link_options(${target} PRIVATE -static -nostdlib
    ${KELMO_MUSL_LIB}/crt1.o ${KELMO_MUSL_LIB}/crti.o ${KELMO_CRTBEGIN})
  target_link_libraries(${target} PRIVATE
    ${KELMO_MUSL_LIB}/libc.a ${KELMO_LIBGCC} ${KELMO_CRTEND} ${KELMO_MUSL_LIB}/crtn.o)
endfunction()
