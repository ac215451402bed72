# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# Shared pieces of the packaging tests: counting results, the build tree, the
# install and the package, and running the real initramfs tools against the
# test kernel and the installed files in a private mount namespace.
#
# From tests/lib: the kernel, the cleanup on exit (temporary paths, loop
# devices, FUSE mount, QEMU), the initramfs builders (with_installed among
# them), QEMU, kelmo-map's lines, the test stick, and the counting of checks.

PKG_TESTS=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
TOP=$(cd "$PKG_TESTS/../.." && pwd)
# shellcheck source=../lib/tools.sh
. "$TOP/tests/lib/tools.sh"
# shellcheck source=../lib/images.sh
. "$TOP/tests/lib/images.sh"
# shellcheck source=../lib/initramfs.sh
. "$TOP/tests/lib/initramfs.sh"
# shellcheck source=../lib/qemu.sh
. "$TOP/tests/lib/qemu.sh"
# shellcheck source=../lib/messages.sh
. "$TOP/tests/lib/messages.sh"
# shellcheck source=../lib/sticks.sh
. "$TOP/tests/lib/sticks.sh"
# shellcheck source=../lib/results.sh
. "$TOP/tests/lib/results.sh"

# pkg_configure BUILD: the build tree the package is made from, configured for
# /usr as a distribution installs it; the program's own tests are not built.
pkg_configure() {
  local build=$1
  cmake -S "$TOP" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DKELMO_TESTS=OFF -DKELMO_SANITIZE=OFF -DKELMO_FUZZ=OFF >/dev/null &&
    cmake --build "$build" -j"$(nproc)" >/dev/null
}

# pkg_install BUILD DESTDIR
pkg_install() {
  DESTDIR=$2 cmake --install "$1" >/dev/null
}

# pkg_deb BUILD OUTDIR: prints the path of the .deb made.
pkg_deb() {
  local build=$1 out=$2 debs
  (cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) || {
    cat "$out/cpack.log" >&2
    return 1
  }
  debs=("$out"/kelmo-map_*.deb)
  [ ${#debs[@]} = 1 ] && [ -f "${debs[0]}" ] || return 1
  printf '%s\n' "${debs[0]}"
}

# dpkg_root_init ROOT: an empty dpkg database, a system with nothing installed.
dpkg_root_init() {
  mkdir -p "$1"/var/lib/dpkg/{info,updates,triggers,alternatives}
  : >"$1/var/lib/dpkg/status"
  : >"$1/var/lib/dpkg/available"
}

# build_image NAME COMMAND...: runs COMMAND (an initramfs build, in the
# background) with its output in $WORK/NAME.build.log, and leaves its status
# and time in $WORK/NAME.build for job_result.
build_image() {
  local name=$1
  shift
  timed "$WORK/$name.build" "$@" >"$WORK/$name.build.log" 2>&1
}

# image_built WHAT DONE IMAGE BUILD LOG [DETAIL]: the image build that left
# BUILD (timed) and LOG ended well and made IMAGE: "WHAT: DONE (SECONDS s
# DETAIL)"; else a failure with the log's last lines. Returns 1 on a failure.
image_built() {
  local what=$1 done=$2 img=$3 build=$4 log=$5 detail=${6:-}
  job_result "$build"
  if [ "$status" = 0 ] && [ -s "$img" ]; then
    ok "$what: $done ($took s$detail)"
  else
    not_ok "$what: failed ($status): $(grep -v '^dracut: \*\*\*' "$log" | tail -n 5 | tr '\n' ' ')"
    return 1
  fi
}

# image_has LISTER IMAGE WHAT PATTERN: the listing of IMAGE by the tool's own
# LISTER (lsinitramfs, lsinitrd) has a line matching PATTERN; image_lacks:
# it has none (and the image could be listed).
image_has() {
  local lister=$1 img=$2 what=$3 pattern=$4 listing
  listing=$([ -f "$img" ] && $lister "$img" 2>/dev/null || true)
  if grep -Eq "$pattern" <<<"$listing"; then
    ok "$(basename "$img"): $what"
  else
    not_ok "$(basename "$img"): no $what"
  fi
}
image_lacks() {
  local lister=$1 img=$2 what=$3 pattern=$4 listing
  listing=$([ -f "$img" ] && $lister "$img" 2>/dev/null || true)
  if [ -n "$listing" ] && ! grep -Eq "$pattern" <<<"$listing"; then
    ok "$(basename "$img"): no $what"
  else
    not_ok "$(basename "$img"): has $what (or could not be listed)"
  fi
}

# said LOG KEY: the value of the first "KEY value" line the guest printed
# (the console may put escape sequences in front of it).
said() { grep -a -o -m1 "$2 .*" "$1" | cut -d' ' -f2- || true; }
