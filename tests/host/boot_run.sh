#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The boot run of kelmo-map on the host, in private mount namespaces (see
# common.sh): one fake entry sdb1 points at a loop device holding an exFAT
# image, and /proc/cmdline is a bind-mounted file. The host's device mapper
# is never reached, whether this kernel has one or not: the control node the
# program finds in the namespace is harmless (see CONTROL below), so a run
# that gets that far ends there. Needs root.
#
#   boot_run.sh KELMO_MAP
set -euo pipefail
source "$(dirname "$0")/common.sh"
error_texts_once boot_run.sh "$@"

DM_LINE="DM_DEV_CREATE: $ERR_ENOTTY"

# CONTROL, what the namespace has in place of the device mapper:
#   null    (the default) /dev/mapper/control is /dev/null's node, 1:3: the
#           program opens it and its first request fails (ENOTTY)
#   nodev   no control node, and /dev/mapper is a nodev mount: the program
#           makes the node, and opening it fails (EACCES) before any driver
#           is looked for
#   noroom  no control node, and /dev has room for two more inodes only, the
#           partition's node and /dev/mapper: the program cannot make it
# NODE=file puts a regular file, a copy of image A, at /dev/sdb1 beforehand.
setup_control() {
  case ${CONTROL:-null} in
    null)
      mkdir /dev/mapper
      mknod -m 0600 /dev/mapper/control c 1 3
      ;;
    nodev)
      mkdir /dev/mapper
      mount -t tmpfs -o nodev,mode=0755 kelmo-mapper /dev/mapper
      ;;
    noroom)
      # Checked, not assumed: two inodes fit and a third does not.
      mount -o remount,nr_inodes=3 /dev
      touch /dev/.1 /dev/.2 && ! touch /dev/.3 2>"$T/touch.$$" && rm /dev/.1 /dev/.2
      ;;
  esac
}

# case_boot DESC DEVICE CMDLINE STATUS MESSAGE ARGS...: runs kelmo-map ARGS
# with sdb1 pointing at DEVICE (MAJOR:MINOR) and /proc/cmdline holding
# CMDLINE; expects STATUS, nothing on stdout and exactly "kelmo-map:
# MESSAGE\n" on stderr.
case_boot() {
  local desc=$1 device=$2 cmdline=$3 want_status=$4 message=$5 status=0 start elapsed
  shift 5
  entry sdb1 "$device"
  printf '%s\n' "$cmdline" >"$T/cmdline.$$"
  mount --bind "$T/cmdline.$$" /proc/cmdline
  if ! setup_control; then
    record "not ok - $desc: could not set up CONTROL=${CONTROL:-null}; not run"
    return
  fi
  [[ ${NODE-} == file ]] && cp --sparse=always "$T/a.img" /dev/sdb1
  start=$(now_ms)
  "$KELMO" "$@" >"$T/out.$$" 2>"$T/err.$$" || status=$?
  elapsed=$(($(now_ms) - start))
  check_eq "$desc: status $want_status" "$status" "$want_status"
  check_file_is "$desc: says '$message'" "$T/err.$$" "$(msg_line "$message")"$'\n'
  check "$desc: prints nothing on stdout" test ! -s "$T/out.$$"
  case $message in
    "$DM_LINE" | "$MSG_NO_CONTROL")
      if [[ ${NODE-} == file ]]; then
        check_eq "$desc: /dev/sdb1 left a regular file" "$(stat -c %F /dev/sdb1)" "regular file"
        check "$desc: ... holding image A as it was" cmp -s /dev/sdb1 "$T/a.img"
      else
        node_is "$desc: made /dev/sdb1" /dev/sdb1 "block special file" 600 "$device"
      fi
      case ${CONTROL:-null} in
        null) node_is "$desc: left /dev/mapper/control as it was" /dev/mapper/control \
          "character special file" 600 1:3 ;;
        nodev) node_is "$desc: made /dev/mapper/control" /dev/mapper/control "character special file" 600 10:236 ;;
        noroom)
          check_eq "$desc: made /dev/mapper" "$(stat -c '%F %a' /dev/mapper)" "directory 755"
          check "$desc: made no /dev/mapper/control (no room)" test ! -e /dev/mapper/control
          ;;
      esac
      check "$desc: made no /dev/mapper/kelmo-iso" test ! -e /dev/mapper/kelmo-iso
      ;;
    "$MSG_NO_PARTITION")
      check_between "$desc: gave up after ${elapsed} ms" "$elapsed" 29000 40000
      ;;
  esac
}

enter_if_inside "$@"

start_program boot_run.sh "$@"

# The volume: a small contiguous file, a folder, and a fragmented file whose
# path has a space (another file is written between its two parts).
new_image "$T/a.img" 1a2b3c4d
attach A "$T/a.img"
fuse_mount "$A_DEV"
mkdir "$T/mnt/isos" "$T/mnt/My ISOs"
head -c 4096 /dev/urandom >"$T/mnt/isos/Live.iso"
head -c 4096 /dev/urandom >"$T/mnt/My ISOs/live.iso"
head -c 4096 /dev/urandom >"$T/mnt/isos/between"
head -c 8192 /dev/urandom >>"$T/mnt/My ISOs/live.iso"
fuse_umount

# A copy with the FAT entry of the fragmented file's first cluster zeroed.
runs=$("$KELMO" --test "$T/a.img" "/My ISOs/live.iso")
check_eq "the fragmented file has two runs" "$(grep -c '^  setor' <<<"$runs")" 2
cp "$T/a.img" "$T/broken.img"
break_chain "$T/broken.img" "/My ISOs/live.iso"
status=0
"$KELMO" --test "$T/broken.img" "/My ISOs/live.iso" >/dev/null || status=$?
check_eq "the copy's chain is broken (test run fails)" "$status" 1
attach BAD "$T/broken.img"

# When the program wrongly took this cmdline instead of its arguments it
# would stop at the folder.
folder_keys='quiet kelmo.uuid=1A2B-3C4D kelmo.iso=/isos'
space_keys='quiet kelmo.uuid=1A2B-3C4D kelmo.iso="/My ISOs/live.iso"'

# The two 30-second waits run beside the quick cases. With four arguments
# and --test first it is a boot run whose serial is "--test".
in_ns_bg wrong_serial case_boot "wrong serial" "$A" "$folder_keys" 1 "$MSG_NO_PARTITION" DEAD-BEEF /isos/Live.iso
in_ns_bg test_4_args case_boot "--test with 4 arguments" "$A" "$folder_keys" 1 "$MSG_NO_PARTITION" \
  --test /dev/sdb1 /isos/Live.iso extra

in_ns case_boot "arguments" "$A" "$folder_keys" 1 "$DM_LINE" 1A2B-3C4D /isos/Live.iso
CONTROL=nodev in_ns case_boot "arguments, control node made on a nodev mount" "$A" "$folder_keys" 1 "$MSG_NO_CONTROL" \
  1A2B-3C4D /isos/Live.iso
CONTROL=noroom in_ns case_boot "arguments, no room for the control node" "$A" "$folder_keys" 1 "$MSG_NO_CONTROL" \
  1A2B-3C4D /isos/Live.iso
# Something other than a block device at /dev/sdb1 is probed as it is: a
# regular file holding the volume is taken, and the run goes on to the
# device mapper.
NODE='file' in_ns case_boot "regular file at /dev/sdb1" "$A" "$folder_keys" 1 "$DM_LINE" 1A2B-3C4D /isos/Live.iso
in_ns case_boot "3 arguments" "$A" "$folder_keys" 1 "$DM_LINE" 1a2b-3c4d /isos/Live.iso extra
in_ns case_boot "cmdline, quoted path with a space" "$A" "$space_keys" 1 "$DM_LINE"
in_ns case_boot "cmdline, 1 argument ignored" "$A" "$space_keys" 1 "$DM_LINE" DEAD-BEEF
in_ns case_boot "cmdline without keys" "$A" "quiet splash" 0 "$MSG_NO_KEYS"
in_ns case_boot "cmdline without keys, 1 argument" "$A" "quiet splash" 0 "$MSG_NO_KEYS" 1A2B-3C4D
in_ns case_boot "cmdline without kelmo.iso" "$A" "quiet kelmo.uuid=1A2B-3C4D" 0 "$MSG_NO_KEYS"
in_ns case_boot "cmdline, folder" "$A" "$folder_keys" 1 "$MSG_IS_FOLDER"
in_ns case_boot "folder" "$A" "$folder_keys" 1 "$MSG_IS_FOLDER" 1A2B-3C4D /isos
in_ns case_boot "root" "$A" "$folder_keys" 1 "$MSG_IS_FOLDER" 1A2B-3C4D /
in_ns case_boot "empty path" "$A" "$folder_keys" 1 "$MSG_IS_FOLDER" 1A2B-3C4D ""
# 14 + 4081 characters fill the 4095 the path keeps; "/nope" after them is cut.
in_ns case_boot "path cut at 4095 characters" "$A" "$folder_keys" 1 "$DM_LINE" 1A2B-3C4D \
  "/isos/Live.iso$(printf '/%.0s' {1..4081})/nope"
in_ns case_boot "path one character shorter" "$A" "$folder_keys" 1 "$(msg_not_found n)" 1A2B-3C4D \
  "/isos/Live.iso$(printf '/%.0s' {1..4079})/nope"
in_ns case_boot "missing file" "$A" "$folder_keys" 1 "$(msg_not_found nope.iso)" 1A2B-3C4D /isos/nope.iso
in_ns case_boot "missing folder" "$A" "$folder_keys" 1 "$(msg_not_found nodir)" 1A2B-3C4D /nodir/Live.iso
in_ns case_boot "broken FAT chain" "$BAD" "$folder_keys" 1 "$MSG_NO_CLUSTERS" 1A2B-3C4D "/My ISOs/live.iso"
wait_bg
summary
