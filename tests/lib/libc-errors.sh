#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The C library's own texts for error numbers, as the given static kelmo-map
# prints them after "DM_...: " (perror): musl and glibc word them differently
# ("Resource busy", "Device or resource busy"). Prints shell assignments,
#
#   tests/lib/libc-errors.sh BINARY EBUSY EINVAL ...
#   ERR_EBUSY='Resource busy'
#   ERR_EINVAL='Invalid argument'
#
# The library is told from the binary: glibc's start files carry a GNU ABI
# tag note, musl's carry none. The texts come from a tiny program built here
# against that library's headers and libc (musl-gcc or gcc), not from the
# binary itself.
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 BINARY ERRNO_NAME..." >&2; exit 2; }
binary=$1
shift
notes=$(readelf -n "$binary") || { echo "$0: readelf -n $binary failed" >&2; exit 1; }
if grep -q NT_GNU_ABI_TAG <<<"$notes"; then
  cc=(gcc)
else
  cc=(musl-gcc -static)
fi
command -v "${cc[0]}" >/dev/null || { echo "$0: ${cc[0]} is missing (tools/deps.sh installs it)" >&2; exit 1; }

work=$(mktemp -d /tmp/kelmo-libc-errors.XXXXXX)
trap 'rm -rf "$work"' EXIT
{
  printf '#include <errno.h>\n#include <stdio.h>\n#include <string.h>\nint main(void) {\n'
  for name in "$@"; do
    [[ $name =~ ^E[A-Z0-9]+$ ]] || { echo "$0: not an errno name: $name" >&2; exit 2; }
    printf '  printf("ERR_%s=\x27%%s\x27\\n", strerror(%s));\n' "$name" "$name"
  done
  printf '  return 0;\n}\n'
} >"$work/errors.c"
"${cc[@]}" -o "$work/errors" "$work/errors.c"
"$work/errors"
