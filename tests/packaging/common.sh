# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# Shared pieces of the packaging tests: counting results, the build tree, the
# install and the package, and running the real initramfs tools against the
# test kernel and the installed files in a private mount namespace.
#
# The boot tests' lib.sh brings the kernel download and the QEMU boot, and
# with tests/lib/images.sh the cleanup on exit (temporary paths, loop devices,
# FUSE mount, QEMU); tests/lib/results.sh counts the checks.

PKG_TESTS=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
TOP=$(cd "$PKG_TESTS/../.." && pwd)
# shellcheck source=../boot/lib.sh
. "$TOP/tests/boot/lib.sh"

# shellcheck source=../lib/results.sh
. "$TOP/tests/lib/results.sh"

# scratch VAR NAME: VAR names a new temporary directory, removed on exit.
scratch() {
  local -n var=$1
  var=$(mktemp -d "/tmp/$2.XXXXXX")
  TMP_PATHS+=("$var")
}

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

# with_installed ROOT COMMAND...: runs COMMAND in a private mount namespace
# where /usr shows ROOT/usr (files installed there) over the host's /usr, the
# test kernel's modules are in /lib/modules/VERSION and its config in /boot, as
# if both were installed. Writes (depmod's) land in a tmpfs that goes away
# with the namespace; the host is left as it was.
with_installed() {
  local root=$1 ns status=0
  shift
  # Removed here too: a caller in a subshell cannot register it for exit.
  scratch ns kelmo-ns
  unshare -m --propagation private -- /bin/bash -c '
    set -e
    ns=$1 root=$2 kroot=$3
    shift 3
    mount -t tmpfs tmpfs "$ns"
    mkdir "$ns/upper" "$ns/work"
    # The kernel tree has lib/modules/VERSION: as a layer of /usr it lands in
    # /usr/lib/modules, which is /lib/modules here.
    mount -t overlay overlay -o "lowerdir=$root/usr:$kroot:/usr,upperdir=$ns/upper,workdir=$ns/work" /usr
    mount --bind "$kroot/boot" /boot
    exec "$@"' with_installed "$ns" "$root" "$KERNEL_ROOT" "$@" || status=$?
  rmdir "$ns"
  return $status
}

# build_image NAME COMMAND...: runs COMMAND (an initramfs build, in the
# background) with its output in $WORK/NAME.build.log, and leaves its status
# and time in $WORK/NAME.build for job_result.
build_image() {
  local name=$1 t0 status=0
  shift
  t0=$(date +%s)
  "$@" >"$WORK/$name.build.log" 2>&1 || status=$?
  echo "$status $(($(date +%s) - t0))" >"$WORK/$name.build"
}

# After fetch_kernel: the unpacked package's root and the kernel's version.
kernel_vars() {
  KERNEL_ROOT=${KERNEL_MODULES%/lib/modules/*}
  KERNEL_VERSION=${KERNEL_MODULES##*/}
}
