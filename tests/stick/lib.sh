# shellcheck shell=bash
# SPDX-License-Identifier: MIT
# The sticks of the power-on boots, filled as a person fills them (sourced by
# boot.sh and persist.sh, with the libraries they use).

STICK_LIB=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=../lib/sticks.sh
. "$STICK_LIB/../lib/sticks.sh"
# shellcheck source=../lib/tools.sh
. "$STICK_LIB/../lib/tools.sh"
# shellcheck source=../lib/initramfs.sh
. "$STICK_LIB/../lib/initramfs.sh"
# shellcheck source=../lib/qemu.sh
. "$STICK_LIB/../lib/qemu.sh"
# shellcheck source=../lib/live_isos.sh
. "$STICK_LIB/../lib/live_isos.sh"
# shellcheck source=../lib/results.sh
. "$STICK_LIB/../lib/results.sh"
# shellcheck source=../lib/messages.sh
. "$STICK_LIB/../lib/messages.sh"

# stick_setup BUILD_DIR NAME [TOOL...]: as root, with the tools (TOOL... too),
# BUILD_DIR configured and built ($stick_cmd, the add-on beside it), the
# scratch directory WORK (/tmp/NAME.*), the kernel and the accelerator; a run
# that stops before its summary ends failed.
stick_setup() {
  local build=$1 name=$2 t top
  shift 2
  top=$(cd "$STICK_LIB/../.." && pwd)
  [ "$(id -u)" = 0 ] || die "run as root: loop devices, FUSE and mount namespaces"
  need_tools
  for t in mkfs.fat mcopy mtype grub-editenv sfdisk dracut mkinitramfs "$@"; do
    command -v "$t" >/dev/null || die "$t is missing (tools/deps.sh installs it)"
  done
  cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKELMO_TESTS=OFF -DKELMO_SANITIZE=OFF -DKELMO_FUZZ=OFF \
    >/dev/null && cmake --build "$build" -j"$(nproc)" >/dev/null || die "configuring or building $build failed"
  stick_cmd=$build/stick/kelmo-stick
  [ -x "$stick_cmd" ] && [ -s "$build/packaging/kelmo-addon.img" ] || die "$build has no kelmo-stick or add-on"
  make_work "$name"
  fetch_kernel
  qemu_accel
  # shellcheck disable=SC2034 # read by images.sh's teardown
  SUMMARY_REQUIRED=1
}

# stick_isos NAME...: the live ISOs NAME... (live_isos), each built.
stick_isos() {
  local n
  live_isos "$@"
  for n; do
    job_result "$LIVE_ISO_DIR/$n.build"
    [ "$status" = 0 ] && [ -s "$LIVE_ISO_DIR/$n.iso" ] ||
      die "the live ISO $n was not built: $(tail -n 5 "$LIVE_ISO_DIR/$n.build.log" | tr '\n' ' ')"
  done
}

# stick_prepare IMAGE EXTRA: IMAGE, a file large enough for the ISOs of ISOS
# and EXTRA bytes more, made a stick by kelmo-stick prepare with the kernel
# parameters APPEND; p1_start, p1_size and p2_start its partitions.
stick_prepare() {
  local img=$1 size=$2 entry file
  for entry in "${ISOS[@]}"; do
    IFS='|' read -r _ file _ <<<"$entry"
    size=$((size + $(stat -c %s "$file")))
  done
  rm -f "$img"
  truncate -s $((size * 11 / 10 / 1048576 + 112))M "$img"
  "$stick_cmd" prepare --yes --append "$APPEND" "$img" >"$WORK/prepare.log" 2>&1 ||
    die "kelmo-stick prepare failed: $(tail -n 3 "$WORK/prepare.log")"
  read -r p1_start p1_size p2_start _ < <(partitions "$img" | tr '\n' ' ') || true
  [ -n "${p2_start:-}" ] || die "could not read the partitions of $img"
}

# fill IMAGE [FUNCTION]: the ISOs of ISOS ("PATH|FILE|..." entries) onto
# IMAGE's exFAT partition (p1_start, p1_size) through exfat-fuse, each in
# 1 MiB pieces between filler appends (their clusters scattered); FUNCTION
# MOUNTPOINT, when given, adds what else the stick needs before the unmount.
fill() {
  local img=$1 more=${2:-} part mnt entry path file
  loop_attach part -o $((p1_start * 512)) --sizelimit $((p1_size * 512)) "$img"
  mnt=$(mktemp -d /tmp/kelmo-stick-fill.XXXXXX)
  TMP_PATHS+=("$mnt")
  fuse_daemon "$part" "$mnt" "$WORK/exfat-fuse.log" || die "$FUSE_ERROR"
  for entry in "${ISOS[@]}"; do
    IFS='|' read -r path file _ <<<"$entry"
    mkdir -p "$mnt$(dirname "$path")"
    append_interleaved "$file" "$mnt$path" "$mnt/filler.bin" 1048576
  done
  [ -z "$more" ] || "$more" "$mnt"
  fuse_daemon_stop || die "mount.exfat-fuse failed: $(tail -n 3 "$WORK/exfat-fuse.log")"
  loop_detach "$part"
}

# said LOG KEY: what the live root reported after KEY.
said() { grep -a -o -m1 "$2 .*" "$1" | cut -d' ' -f2- || true; }
