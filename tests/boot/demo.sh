#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Boots the Debian kernel with a sample stick on USB and shows what kelmo-map
# does at early boot: its line, the mapped device's size, and a file read from
# the ISO mounted off /dev/mapper/kelmo-iso; it fails when what it shows
# is not what the stick holds.
#
#   tests/boot/demo.sh BINARY
set -euo pipefail

[ $# -eq 1 ] || { echo "usage: $0 BINARY" >&2; exit 2; }
BINARY=$(realpath "$1")
. "$(dirname "$0")/lib.sh"

[ "$(id -u)" = 0 ] || die "run as root: the stick is filled through a loop device and FUSE"
need_tools
file -L "$BINARY" | grep -q 'statically linked' || die "$BINARY is not a static binary"

make_work kelmo-demo
fetch_kernel
qemu_accel
build_stick "$WORK" "$BINARY"
. "$WORK/expect.sh"
INITRAMFS=$WORK/initramfs.gz
build_initramfs "$INITRAMFS" "$BINARY" "$WORK/expect.sh"

params="kelmo.uuid=$SERIAL kelmo.iso=\"$B_PATH\""
echo "kernel: $KERNEL_PACKAGE"
echo "stick:  USB mass storage, exFAT serial $SERIAL, ISO at $B_PATH ($B_RUNS runs)"
echo "params: $params"
echo
status=0
kernel_boot "$WORK/demo.log" 150 "$INITRAMFS" "usb:$WORK/stick.img" "kelmo.boot=demo $params" || status=$?
shown=$(sed -n 's/^KELMO-DEMO //p' "$WORK/demo.log.txt")
printf '%s\n' "$shown"
if [ "$status" != 0 ] || ! grep -aq '^KELMO-DONE demo$' "$WORK/demo.log.txt"; then
  echo "the guest did not finish (qemu status $status); console:" >&2
  tail -n 40 "$WORK/demo.log.txt" >&2
  exit 1
fi
# What it showed must be what happened on the stick: ISO B mapped in its runs,
# the device as long as the ISO, and the file read back being ISO B's.
wrong=()
grep -qxF "$(msg_line "$(msg_iso_mapped "$B_RUNS")")" <<<"$shown" || wrong+=("kelmo-map's line")
grep -qxF '(status 0)' <<<"$shown" || wrong+=("kelmo-map's status")
grep -q "^$B_SIZE bytes " <<<"$shown" || wrong+=("the device's size")
grep -qxF "$(cat "$WORK/iso-b/README.TXT")" <<<"$shown" || wrong+=("README.TXT")
if ((${#wrong[@]})); then
  printf 'not what the demo should show: %s\n' "${wrong[@]}" >&2
  exit 1
fi
