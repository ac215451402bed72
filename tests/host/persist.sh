#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# kelmo.persist= in boot runs on the host, in private mount namespaces (see
# common.sh): the lines, their order, the status, and the requests the
# device mapper would get. There is no device mapper here: /dev/mapper/control
# is /dev/null's node, and strace makes its ioctls succeed (answering
# nothing) while it writes down each request, target records included, so
# the tables of kelmo-iso, kelmo-persist and kelmo-usb are read back from the
# trace. A real kernel answers in the boot tests. Needs root.
#
#   persist.sh KELMO_MAP
set -euo pipefail
source "$(dirname "$0")/common.sh"
error_texts_once persist.sh "$@"

KEYS='quiet kelmo.uuid=1A2B-3C4D kelmo.iso=/isos/Live.iso'
PERSIST='/Persistência/minha casa.img'
# Whole lines (messages.sh's words), without their newline.
ISO_LINE=$(msg_line "$(msg_iso_mapped 1)")
PERSIST_LINE=$(msg_line "$(msg_persist_mapped 2)")
USB_RO=$(msg_line "$(msg_usb_mapped ro)")
USB_RW=$(msg_line "$(msg_usb_mapped rw)")
USB_REFUSED=$(msg_line "$(msg_usb_mapped persist)")
# persist_line TEXT: a line of the kelmo-persist stage.
persist_line() { msg_line "$MSG_PERSIST_STAGE$1"; }

# tables TRACE: one line per table load in the trace, "NAME FLAGS TARGETS",
# each target "SECTOR_START+LENGTH@PARAMETERS", joined by ";".
tables() {
  grep 'DM_TABLE_LOAD' "$1" | sed -E 's/ => .*//' | while IFS= read -r line; do
    local name flags targets
    name=$(sed -E 's/.*name="([^"]*)".*/\1/' <<<"$line")
    flags=$(sed -nE 's/.*flags=([A-Z_0-9|]+).*/\1/p' <<<"$line")
    targets=$(grep -oE 'sector_start=[0-9]+, length=[0-9]+, target_type="linear", string="[^"]*"' <<<"$line" |
      sed -E 's/sector_start=([0-9]+), length=([0-9]+), target_type="linear", string="([^"]*)"/\1+\2@\3/' |
      paste -sd ';')
    echo "$name ${flags:-0} $targets"
  done
}

# want_table NAME FLAGS FILE: the line `tables` prints for FILE's runs
# (kelmo-map --test) mapped whole, back to back, over the partition $A.
want_table() {
  local position=0 targets=() start count
  while read -r start count; do
    targets+=("$position+$count@$A $start")
    position=$((position + count))
  done < <(awk '/^  setor/ {print $2, substr($3, 2)}' "$T/runs.$3")
  local IFS=';'
  echo "$1 $2 ${targets[*]}"
}

# case_persist DESC CMDLINE INJECT STATUS LINES TABLES [ARGS...]: kelmo-map
# ARGS with /proc/cmdline holding CMDLINE, its ioctls made to succeed as
# INJECT says (all, or "when=RANGE" of them: the ones past it meet
# /dev/null's ENOTTY); expects STATUS, exactly LINES (newline-separated) on
# stderr, nothing on stdout, and the table loads TABLES (one `tables` line
# each, in order).
case_persist() {
  local desc=$1 cmdline=$2 inject=$3 want_status=$4 lines=$5 want_tables=$6 status=0
  shift 6
  entry sdb1 "$A"
  printf '%s\n' "$cmdline" >"$T/cmdline.$$"
  mount --bind "$T/cmdline.$$" /proc/cmdline
  mkdir /dev/mapper
  mknod -m 0600 /dev/mapper/control c 1 3
  ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 strace -qq -v -o "$T/trace.$$" -e trace=ioctl \
    -e "inject=ioctl:retval=0${inject:+:$inject}" "$KELMO" "$@" >"$T/out.$$" 2>"$T/err.$$" || status=$?
  check_eq "$desc: status $want_status" "$status" "$want_status"
  check_file_is "$desc: lines" "$T/err.$$" "$lines"$'\n'
  check "$desc: prints nothing on stdout" test ! -s "$T/out.$$"
  check_eq "$desc: table loads" "$(tables "$T/trace.$$")" "$want_tables"
  if grep -qF "$PERSIST_LINE" "$T/err.$$"; then
    node_is "$desc: /dev/mapper/kelmo-persist writable by root alone" /dev/mapper/kelmo-persist \
      "block special file" 600 0:0
  else
    check "$desc: made no /dev/mapper/kelmo-persist" test ! -e /dev/mapper/kelmo-persist
  fi
  if grep -qF "$USB_REFUSED" "$T/err.$$"; then
    node_is "$desc: /dev/mapper/kelmo-usb read-only" /dev/mapper/kelmo-usb "block special file" 400 0:0
  fi
}

enter_if_inside "$@"

start_program persist.sh "$@"

# The volume: the ISO (4 clusters), the persistence file in two runs (another
# file is written between its halves), a folder, and two files whose entries
# are spoilt below: one shares the ISO's clusters, one has a broken chain.
new_image "$T/a.img" 1a2b3c4d
attach A "$T/a.img"
fuse_mount "$A_DEV"
mkdir "$T/mnt/isos" "$T/mnt/Persistência"
head -c 16384 /dev/urandom >"$T/mnt/isos/Live.iso"
head -c 8192 /dev/urandom >"$T/mnt$PERSIST"
head -c 4096 /dev/urandom >"$T/mnt/isos/between"
head -c 8192 /dev/urandom >>"$T/mnt$PERSIST"
head -c 8192 /dev/urandom >"$T/mnt/cruzado.img"
head -c 4096 /dev/urandom >"$T/mnt/quebrado.img"
head -c 4096 /dev/urandom >"$T/mnt/isos/between2"
head -c 4096 /dev/urandom >>"$T/mnt/quebrado.img"
fuse_umount

"$KELMO" --test "$T/a.img" /isos/Live.iso >"$T/runs.iso"
"$KELMO" --test "$T/a.img" "$PERSIST" >"$T/runs.persist"
check_eq "the ISO is one run" "$(grep -c '^  setor' "$T/runs.iso")" 1
check_eq "the persistence file has two runs" "$(grep -c '^  setor' "$T/runs.persist")" 2

# /cruzado.img's stream extension entry (0xC0) is made to begin at the ISO's
# third cluster, as on a volume whose two files were cross-linked.
python3 - "$T/a.img" "$(first_cluster "$T/a.img" /cruzado.img)" $(($(first_cluster "$T/a.img" /isos/Live.iso) + 2)) <<'EOF'
import struct, sys
path, old, new = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
data = bytearray(open(path, 'rb').read())
hits = [at for at in range(0, len(data), 32)
        if data[at] == 0xC0 and struct.unpack_from('<I', data, at + 20)[0] == old
        and struct.unpack_from('<Q', data, at + 24)[0] == 8192]
assert len(hits) == 1, hits
struct.pack_into('<I', data, hits[0] + 20, new)
open(path, 'wb').write(data)
EOF
# /quebrado.img's chain ends after its first cluster.
break_chain "$T/a.img" /quebrado.img
blockdev --flushbufs "$A_DEV"
"$KELMO" --test "$T/a.img" /cruzado.img >"$T/runs.cross"
iso_start=$(awk '/^  setor/ {print $2}' "$T/runs.iso")
cross_start=$(awk '/^  setor/ {print $2; exit}' "$T/runs.cross")
geometry "$T/a.img"
check_eq "/cruzado.img now begins inside the ISO" "$((cross_start - iso_start))" $((2 << CLUSTER_SHIFT))
status=0
"$KELMO" --test "$T/a.img" /quebrado.img >/dev/null || status=$?
check_eq "/quebrado.img's chain is broken (test run fails)" "$status" 1

ISO_TABLE=$(want_table kelmo-iso DM_READONLY_FLAG iso)
PERSIST_TABLE=$(want_table kelmo-persist 0 persist)
# kelmo-usb's size comes from BLKGETSIZE64, which strace answers with
# nothing: 0 sectors, no target.
USB_TABLE_RO='kelmo-usb DM_READONLY_FLAG '
USB_TABLE_RW='kelmo-usb 0 '
export ISO_TABLE PERSIST_TABLE
printf '# table: %s\n' "$ISO_TABLE" "$PERSIST_TABLE"

# Mapped: the ISO's line, then the persistence file's; with kelmo.usb= the
# stick's last, read-only beside a persistence file whatever it asks.
in_ns case_persist "persistence" "$KEYS kelmo.persist=\"$PERSIST\"" "" 0 \
  "$ISO_LINE"$'\n'"$PERSIST_LINE" "$ISO_TABLE"$'\n'"$PERSIST_TABLE"
in_ns case_persist "persistence, kelmo.usb=rw" "$KEYS kelmo.usb=rw kelmo.persist=\"$PERSIST\"" "" 0 \
  "$ISO_LINE"$'\n'"$PERSIST_LINE"$'\n'"$USB_REFUSED" "$ISO_TABLE"$'\n'"$PERSIST_TABLE"$'\n'"$USB_TABLE_RO"
in_ns case_persist "persistence, kelmo.usb=ro" "$KEYS kelmo.persist=\"$PERSIST\" kelmo.usb=ro" "" 0 \
  "$ISO_LINE"$'\n'"$PERSIST_LINE"$'\n'"$USB_RO" "$ISO_TABLE"$'\n'"$PERSIST_TABLE"$'\n'"$USB_TABLE_RO"
in_ns case_persist "kelmo.usb=rw alone" "$KEYS kelmo.usb=rw" "" 0 \
  "$ISO_LINE"$'\n'"$USB_RW" "$ISO_TABLE"$'\n'"$USB_TABLE_RW"

# Not mapped: one line says why, after the ISO's, and the status stays 0.
# kelmo.usb=rw is refused all the same: the key asks for a persistence file.
in_ns case_persist "missing file, kelmo.usb=rw" "$KEYS kelmo.persist=/Persistência/nada.img kelmo.usb=rw" "" 0 \
  "$ISO_LINE"$'\n'"$(persist_line "$(msg_not_found nada.img)")"$'\n'"$USB_REFUSED" \
  "$ISO_TABLE"$'\n'"$USB_TABLE_RO"
in_ns case_persist "missing folder" "$KEYS kelmo.persist=/nope/casa.img" "" 0 \
  "$ISO_LINE"$'\n'"$(persist_line "$(msg_not_found nope)")" "$ISO_TABLE"
in_ns case_persist "folder" "$KEYS kelmo.persist=/Persistência" "" 0 \
  "$ISO_LINE"$'\n'"$(persist_line "$MSG_IS_FOLDER")" "$ISO_TABLE"
in_ns case_persist "empty value" "$KEYS kelmo.persist=" "" 0 \
  "$ISO_LINE"$'\n'"$(persist_line "$MSG_IS_FOLDER")" "$ISO_TABLE"
in_ns case_persist "broken chain" "$KEYS kelmo.persist=/quebrado.img" "" 0 \
  "$ISO_LINE"$'\n'"$(persist_line "$MSG_NO_CLUSTERS")" "$ISO_TABLE"
in_ns case_persist "clusters shared with the ISO" "$KEYS kelmo.persist=/cruzado.img kelmo.usb=rw" "" 0 \
  "$ISO_LINE"$'\n'"$(persist_line "$MSG_SHARES_ISO")"$'\n'"$USB_REFUSED" \
  "$ISO_TABLE"$'\n'"$USB_TABLE_RO"
in_ns case_persist "the ISO itself" "$KEYS kelmo.persist=/ISOS/live.iso" "" 0 \
  "$ISO_LINE"$'\n'"$(persist_line "$MSG_SHARES_ISO")" "$ISO_TABLE"
# The device mapper refuses kelmo-persist (the ISO's three requests and the
# block size query succeed, the rest meet ENOTTY), then kelmo-usb.
in_ns case_persist "kelmo-persist refused" "$KEYS kelmo.persist=\"$PERSIST\"" "when=1..4" 0 \
  "$ISO_LINE"$'\n'"$(persist_line "DM_DEV_CREATE: $ERR_ENOTTY")" "$ISO_TABLE"
in_ns case_persist "kelmo-usb refused after kelmo-persist" "$KEYS kelmo.persist=\"$PERSIST\" kelmo.usb=rw" \
  "when=1..7" 0 "$ISO_LINE"$'\n'"$PERSIST_LINE"$'\n'"$(msg_line "${MSG_USB_STAGE}DM_DEV_CREATE: $ERR_ENOTTY")" \
  "$ISO_TABLE"$'\n'"$PERSIST_TABLE"

# No ISO, no persistence: the run ends at the ISO's failure.
in_ns case_persist "ISO missing" "quiet kelmo.uuid=1A2B-3C4D kelmo.iso=/isos/nope.iso kelmo.persist=\"$PERSIST\"" \
  "" 1 "$(msg_line "$(msg_not_found nope.iso)")" ""
# A run from arguments reads no key.
in_ns case_persist "arguments" "$KEYS kelmo.persist=\"$PERSIST\" kelmo.usb=rw" "" 0 "$ISO_LINE" "$ISO_TABLE" \
  1A2B-3C4D /isos/Live.iso
summary
