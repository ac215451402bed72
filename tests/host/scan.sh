#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The partition scan, on the host: fake /sys/class/block entries whose `dev`
# files point at loop devices holding exFAT images, inside private mount
# namespaces (see common.sh). Needs root.
#
#   scan.sh SCAN_PROBE KELMO_MAP
set -euo pipefail
source "$(dirname "$0")/common.sh"

SERIAL_A=1A2B-3C4D  # images A and A2; image B has 5E6F-7A8B

# probe SERIAL: scan_probe's stdout into $out and its status into $status;
# with TRACE set, under strace into that file (LeakSanitizer, in a
# sanitizer build, cannot run under ptrace).
probe() {
  status=0
  if [[ -n ${TRACE-} ]]; then
    out=$(ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 strace -f -qq -o "$TRACE" \
      -e trace=openat,open,mknodat,mknod,newfstatat,stat,lstat,statx "$PROBE" "$1") || status=$?
  else
    out=$("$PROBE" "$1") || status=$?
  fi
}

# Missing nodes are made from the `dev` files, as block devices with mode
# 0600, then probed; the one with the serial is accepted.
case_nodes() {
  arrange sdb1 mmcblk0p1 sr0
  entry sdb1 "$B"
  entry mmcblk0p1 "$B"
  entry sr0 "$A"
  probe $SERIAL_A
  check_eq "nodes: accepts sr0, the one with the serial" "$status $out" "0 /dev/sr0 $A"
  node_is "nodes: /dev/sdb1 made" /dev/sdb1 "block special file" 600 "$B"
  node_is "nodes: /dev/mmcblk0p1 made" /dev/mmcblk0p1 "block special file" 600 "$B"
  node_is "nodes: /dev/sr0 made" /dev/sr0 "block special file" 600 "$A"
}

# Loop, RAM and device-mapper disks and dot names are never opened, even
# when they come first and carry the serial; sdc, after them, is accepted.
case_skipped_names() {
  local name
  arrange loop0 ram15 dm-3 .sdz sdc
  for name in loop0 ram15 dm-3 .sdz sdc; do entry "$name" "$A"; done
  TRACE=$T/skipped.trace probe $SERIAL_A
  check_eq "skipped names: sdc accepted after them" "$status $out" "0 /dev/sdc $A"
  for name in loop0 ram15 dm-3 .sdz; do
    check "skipped names: no /dev/$name" test ! -e "/dev/$name"
  done
  # The trace does show what the scan does with a name it takes.
  check "skipped names: the trace shows sdc's dev file read" grep -q '"/sys/class/block/sdc/dev"' "$T/skipped.trace"
  check "skipped names: ... and its node made" grep -q 'mknod.*"/dev/sdc", S_IFBLK|0600' "$T/skipped.trace"
  check "skipped names: none of them is opened or looked at" \
    lacks '/(loop0|ram15|dm-3|\.sdz)[/"]' "$T/skipped.trace"
}

# A `dev` file that does not parse gives no node and the scan goes on.
case_garbage() {
  arrange sdd sde
  entry sdd garbage
  entry sde "$A"
  TRACE=$T/garbage.trace probe $SERIAL_A
  check_eq "garbage dev: sde after it accepted" "$status $out" "0 /dev/sde $A"
  check "garbage dev: its dev file was read" grep -q '"/sys/class/block/sdd/dev"' "$T/garbage.trace"
  check "garbage dev: no /dev/sdd" test ! -e /dev/sdd
}

# An existing block node is probed as it is; its `dev` file is not read.
case_existing_node() {
  entry sdf garbage
  mknod -m 0600 /dev/sdf b "${A%:*}" "${A#*:}"
  TRACE=$T/existing.trace probe $SERIAL_A
  check_eq "existing node: accepted" "$status $out" "0 /dev/sdf $A"
  check "existing node: its dev file is not read" lacks /sys/class/block/sdf "$T/existing.trace"
}

# Something other than a block device at /dev/NAME is probed as it is: no
# node is made over it. A directory and a file of zeros are no exFAT; a
# regular file holding volume A is accepted, with a regular file's device
# number, 0:0.
case_non_block() {
  local name
  arrange sdg sdh sdi
  entry sdg "$A"
  entry sdh "$A"
  entry sdi "$B"
  mkdir /dev/sdg
  truncate -s 1M /dev/sdh
  cp --sparse=always "$T/a.img" /dev/sdi
  TRACE=$T/non_block.trace probe $SERIAL_A
  check_eq "non-block nodes: the file holding volume A, /dev/sdi, accepted" "$status $out" "0 /dev/sdi 0:0"
  check_eq "non-block nodes: /dev/sdg left a directory" "$(stat -c %F /dev/sdg)" directory
  check_eq "non-block nodes: /dev/sdh left a file of 1 MiB" "$(stat -c '%F %s' /dev/sdh)" "regular file 1048576"
  check "non-block nodes: /dev/sdi left as it was" cmp -s /dev/sdi "$T/a.img"
  for name in sdg sdh sdi; do
    check "non-block nodes: a node over /dev/$name was refused" \
      grep -Eq "mknod(at)?\(.*\"/dev/$name\", S_IFBLK\|0600.*= -1 EEXIST" "$T/non_block.trace"
    check "non-block nodes: /dev/$name was opened" grep -Eq "open(at)?\(.*\"/dev/$name\", O_RDONLY" "$T/non_block.trace"
  done
}

# Other serials are skipped; the serial matches without regard to case.
case_serials() {
  local row want serial err=$T/serials.err
  entry sdb1 "$B"
  entry sdc1 "$A"
  for row in "1A2B-3C4D|/dev/sdc1 $A" "1a2b-3c4d|/dev/sdc1 $A" "5e6f-7A8b|/dev/sdb1 $B"; do
    serial=${row%%|*} want=${row#*|}
    probe "$serial"
    check_eq "serials: $serial accepts ${want%% *}" "$status $out" "0 $want"
  done
  # The real program takes the same scan: "/" then ends at the folder check.
  status=0
  "$KELMO" 1a2b-3c4d / 2>"$err" || status=$?
  check_eq "serials: kelmo-map 1a2b-3c4d / finds the partition" "$status" 1
  check_file_is "serials: ... and stops at the folder" "$err" "$(msg_line "$MSG_IS_FOLDER")"$'\n'
}

# Two devices with the serial: the first one readdir yields wins.
case_duplicate() {
  local first num
  entry sdb1 "$A"
  entry sdc1 "$A2"
  first=$(readdir_order | grep -m1 -x -e sdb1 -e sdc1)
  [[ $first == sdb1 ]] && num=$A || num=$A2
  probe $SERIAL_A
  check_eq "duplicate serial: $first, first in readdir order, wins" "$status $out" "0 /dev/$first $num"
}

# A device that shows up during the scan is accepted on the next pass.
case_late_device() {
  local start elapsed
  entry sdb1 "$B"
  # Built under a dot name, which the scan skips, then renamed: the entry
  # appears whole.
  # (stdin closed: the default /dev/null does not exist here)
  # The clock starts before the entry's timer, so it cannot appear sooner than 250 ms in.
  start=$(now_ms)
  (sleep 0.25 && entry .new "$A" && mv /sys/class/block/.new /sys/class/block/sdc1) 0<&- &
  probe $SERIAL_A
  elapsed=$(($(now_ms) - start))
  wait $!
  check_eq "late device: accepted" "$status $out" "0 /dev/sdc1 $A"
  check_between "late device: found in ${elapsed} ms, after it appeared" "$elapsed" 250 2000
}

# No device with the serial: the whole wait, about 30 s, then failure. The
# skipped names and the garbage entry carry the serial or are visited on
# every pass, and still give nothing.
case_no_match() {
  local start elapsed name
  for name in loop0 ram15 dm-3 .sdz; do entry "$name" "$A"; done
  entry sdb1 "$B"
  entry sdd garbage
  start=$(now_ms)
  probe $SERIAL_A
  elapsed=$(($(now_ms) - start))
  check_eq "no match: status 1, nothing printed" "$status $out" "1 "
  check_between "no match: gave up after ${elapsed} ms" "$elapsed" 29000 40000
  check "no match: sdb1 was probed" test -b /dev/sdb1
  for name in loop0 ram15 dm-3 .sdz sdd; do
    check "no match: no /dev/$name" test ! -e "/dev/$name"
  done
}

# No /sys/class/block at all: the same wait, then failure.
case_no_sysfs() {
  local start elapsed
  mount -t tmpfs kelmo-class /sys/class
  start=$(now_ms)
  probe $SERIAL_A
  elapsed=$(($(now_ms) - start))
  check_eq "no /sys/class/block: status 1, nothing printed" "$status $out" "1 "
  check_between "no /sys/class/block: gave up after ${elapsed} ms" "$elapsed" 29000 40000
}

enter_if_inside "$@"

[[ $# == 2 ]] || {
  echo "usage: scan.sh SCAN_PROBE KELMO_MAP" >&2
  exit 2
}
PROBE=$(readlink -f "$1") KELMO=$(readlink -f "$2")
export PROBE KELMO
start_outside

new_image "$T/a.img" 1a2b3c4d
cp "$T/a.img" "$T/a2.img"
new_image "$T/b.img" 5e6f7a8b
attach A "$T/a.img"
attach A2 "$T/a2.img"
attach B "$T/b.img"

# The two 30-second waits run beside the quick cases.
in_ns_bg no_match case_no_match
in_ns_bg no_sysfs case_no_sysfs
for c in nodes skipped_names garbage existing_node non_block serials duplicate late_device; do
  in_ns "case_$c"
done
wait_bg
summary
