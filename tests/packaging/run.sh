#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The packaging tests, as root: the install into a DESTDIR, the Debian
# package, two builds of the commit that must give the same bytes, real
# boots through initramfs-tools and dracut, and live ISOs booted from
# power-on through GRUB with kelmo-map's add-on.
#
#   tests/packaging/run.sh BUILD_DIR
#
# BUILD_DIR is a build tree of its own (configured here for /usr, without the
# program's tests): not the one the unit and host tests use.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
build=$1

# shellcheck source=../lib/results.sh
. "$here/../lib/results.sh"
started=$(date +%s)
out=$(mktemp)
trap 'rm -f "$out"' EXIT
for t in install deb reproducible boot live; do
  echo "# --- $t"
  t0=$(date +%s)
  # Each script's closing count is turned into a comment: the closing line
  # of this run is the total.
  status=0
  bash "$here/$t.sh" "$build" | tee "$out" |
    sed -E 's/^([0-9]+ passed, [0-9]+ failed)$/# '"$t"': \1/' || status=${PIPESTATUS[0]}
  last=$(tail -n 1 "$out")
  if [[ $last =~ ^([0-9]+)\ passed,\ ([0-9]+)\ failed$ ]]; then
    passed=$((passed + BASH_REMATCH[1]))
    failed=$((failed + BASH_REMATCH[2]))
    if [ "$status" != 0 ] && [ "${BASH_REMATCH[2]}" = 0 ]; then
      not_ok "$t.sh exited with status $status"
    fi
  else
    not_ok "$t.sh ended (status $status) without its count"
  fi
  echo "# $t: $(($(date +%s) - t0)) s"
done
echo "# packaging tests: $(($(date +%s) - started)) s"
summary
