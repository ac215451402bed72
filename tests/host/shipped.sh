#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# What ships: the release kelmo-map is one static file of at most LIMIT
# bytes, linked against musl, and the error texts the boot tests expect for
# it (tests/lib/libc-errors.sh, derived from the library, not the binary)
# are the ones in its C library.
#
#   shipped.sh KELMO_MAP LIMIT
set -uo pipefail
[[ $# == 2 ]] || { echo "usage: shipped.sh KELMO_MAP LIMIT" >&2; exit 2; }
bin=$1 limit=$2
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../lib/results.sh
. "$here/../lib/results.sh"

size=$(stat -c %s "$bin")
echo "# $bin: $size bytes"
check "at most $limit bytes ($size)" test "$size" -le "$limit"
info=$(file -L "$bin")
check "statically linked" grep -q 'statically linked' <<<"$info"
check "stripped" grep -q ', stripped' <<<"$info"
# glibc's start files carry the GNU ABI tag; musl's none.
check "linked against musl (no GNU ABI tag note)" bash -c '! readelf -n "$1" | grep -q NT_GNU_ABI_TAG' _ "$bin"
check "no glibc code in it" bash -c '! grep -aq -e GLIBC_TUNABLES -e "GNU C Library" "$1"' _ "$bin"

# Each derived text is in the binary as a whole C string.
if texts=$(bash "$here/../lib/libc-errors.sh" "$bin" EBUSY EINVAL ENOENT); then
  while IFS= read -r line; do
    name=${line%%=*}
    text=${line#*=\'}
    text=${text%\'}
    check "$name: '$text' is in the binary's C library" \
      bash -c 'LC_ALL=C grep -aqP -- "\\x00\\Q$2\\E\\x00" "$1"' _ "$bin" "$text"
  done <<<"$texts"
else
  check "libc-errors.sh derives the texts" false
fi
summary
