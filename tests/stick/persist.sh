#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Persistence from power-on: a stick made by kelmo-stick prepare, the Debian
# live ISO and the dracut one copied on scattered, a persistence file for
# each made by kelmo-stick persist. For each ISO, three boots of the same
# stick, in order:
#   1 the entry with persistence (kelmo-stick next), the stick's parameters
#     given kelmo.test.write=TOKEN by kelmo-stick update: the live root
#     writes the token into /kelmo-kept and powers off cleanly;
#   2 the same entry, without the token: the root has /kelmo-kept;
#   3 the entry without persistence (the menu's second entry, chosen in
#     grubenv as a person chooses it on the screen): no /kelmo-kept, and the
#     persistence file keeps its bytes.
# Then the ISO file keeps its bytes, the exFAT partition checks clean, every
# other file keeps its bytes, and the persistence file's ext4 is clean and
# holds the token where the stack keeps the root's changes.
#
#   tests/stick/persist.sh BUILD_DIR         (configured and built if needed)
#
# Cost under TCG on two cores: the ISOs from the boot cache; six boots of 30
# to 90 s, the two ISOs side by side.
set -euo pipefail
[ $# = 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
build=$1
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib.sh
. "$here/lib.sh"

stick_setup "$build" kelmo-stick-persist mkfs.ext4 e2fsck debugfs fsck.exfat
started=$(date +%s)
export MTOOLS_SKIP_CHECK=1
stick_isos debian dracut

DEB="/Kelmo ISOs/Debian ção/debian live.iso"
DRA=/isos/dracut-live.iso
# path|ISO file|layout the root reports (the name of its boots)|where the
# stack keeps the root's changes on the persistence file's ext4
ISOS=(
  "$DEB|$LIVE_ISO_DIR/debian.iso|debian|/rw"
  "$DRA|$LIVE_ISO_DIR/dracut.iso|dracut|/overlayfs"
)
APPEND="console=ttyS0 panic=-1 no_timer_check rd.shell=0 rd.emergency=poweroff"
# This run's own token: a file seen in boot 2 was written by boot 1.
TOKEN=kept-$(head -c 6 /dev/urandom | od -An -tx1 | tr -d ' \n')

# --- the stick: prepared, filled, a persistence file for each ISO. The space
# left after the ISOs is filled with 1 MiB files, every other one deleted, so
# that each persistence file is written into the holes of a stick in use.
HOLES=128
stick=$WORK/stick.img
stick_prepare "$stick" $((2 * HOLES * 1048576))
# The user's files beside the ISOs, which no boot may touch: one of random
# bytes, and the 1 MiB files that fill the partition, every other one
# deleted (HOLES MiB of holes).
user_files() {
  local i=0
  mkdir -p "$1/Documentos" "$1/cheio" && head -c 3000000 /dev/urandom >"$1/Documentos/notas.bin"
  while head -c 1048576 /dev/zero >"$1/cheio/$i.bin" 2>/dev/null && ((i < 100000)); do i=$((i + 1)); done
  rm -f "$1/cheio/$i.bin"
  for ((i = 1; i < 2 * HOLES; i += 2)); do rm -f "$1/cheio/$i.bin"; done
}
fill "$stick" user_files
for entry in "${ISOS[@]}"; do
  IFS='|' read -r path _ <<<"$entry"
  check "kelmo-stick persist $path 64M" "$stick_cmd" persist "$stick" "$path" 64M
done
"$stick_cmd" list "$stick" >"$WORK/list.txt" 2>&1 || true
sed 's/^/# list: /' "$WORK/list.txt" >&2

trechos() { if [ "$1" = 1 ]; then echo "1 trecho"; else echo "$1 trechos"; fi; }
# pfile PATH: the persistence file kelmo-stick persist made for the ISO at PATH.
pfile() { printf '/kelmo/persist%s.img\n' "$1"; }
# The runs of each ISO and persistence file, read by our own exFAT reader.
declare -A RUNS=() ISO_RUNS=()
reader_runs() { python3 "$EXFAT_RUNS" "$stick" $((p1_start * 512)) "$1" | sed -n '1s/.*trechos=\([0-9]*\)$/\1/p'; }
for entry in "${ISOS[@]}"; do
  IFS='|' read -r path _ <<<"$entry"
  ISO_RUNS[$path]=$(reader_runs "$path")
  RUNS[$path]=$(reader_runs "$(pfile "$path")")
  check "the persistence file of $path lies in the holes (${RUNS[$path]:-?} runs)" [ "${RUNS[$path]:-0}" -gt 16 ]
  check "kelmo-stick list: $path with persistence in $(pfile "$path"), 64 MiB in ${RUNS[$path]:-?} runs" \
    bash -c 'grep -F "$1: " "$3" | grep -qF "$2"' _ "$path" \
    "; com persistência em $(pfile "$path") (64 MiB, $(trechos "${RUNS[$path]:-?}"))" "$WORK/list.txt"
done

# on_exfat IMAGE COMMAND...: COMMAND with IMAGE's exFAT partition mounted
# read-only at $EXFAT, through exfat-fuse.
on_exfat() {
  local img=$1 part status=0
  shift
  loop_attach part -r -o $((p1_start * 512)) --sizelimit $((p1_size * 512)) "$img"
  EXFAT=$(mktemp -d /tmp/kelmo-stick-files.XXXXXX)
  TMP_PATHS+=("$EXFAT")
  fuse_daemon "$part" "$EXFAT" "$WORK/exfat-fuse-ro.log" -o ro || die "$FUSE_ERROR"
  "$@" || status=$?
  fuse_daemon_stop || true
  loop_detach "$part"
  return $status
}
# files IMAGE: "sha256  path" of every file on the exFAT partition, sorted.
_files() { (cd "$EXFAT" && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum); }
files() { on_exfat "$1" _files; }
# persist_copy IMAGE PATH OUT: the persistence file of the ISO at PATH, copied
# out of IMAGE.
_copy() { cp "$EXFAT$1" "$2"; }
persist_copy() { on_exfat "$1" _copy "$(pfile "$2")" "$3"; }
files "$stick" >"$WORK/files.before"
for entry in "${ISOS[@]}"; do
  IFS='|' read -r path file _ <<<"$entry"
  check "the stick holds $path byte for byte" \
    grep -qxF "$(sha256sum <"$file" | cut -d' ' -f1)  .$path" "$WORK/files.before"
done

# persist_sha IMAGE PATH: the sha256 of the persistence file of the ISO at PATH.
persist_sha() { python3 "$EXFAT_RUNS" "$1" $((p1_start * 512)) "$(pfile "$2")" --sha256; }
# set_next IMAGE ID: the entry ID boots next, as kelmo-stick next sets it.
set_next() {
  local env=$1.grubenv
  mcopy -o -n -i "$1@@$((p2_start * 512))" ::/boot/grub/grubenv "$env" &&
    grub-editenv "$env" set "next_entry=$2" &&
    mcopy -o -i "$1@@$((p2_start * 512))" "$env" ::/boot/grub/grubenv
}

# chain NAME|PATH: the three boots of one copy of the stick, NAME.img.
chain() {
  local name path img status=0
  IFS='|' read -r name path <<<"$1"
  img=$WORK/$name.img
  cp --sparse=always "$stick" "$img"
  "$stick_cmd" update --append "$APPEND kelmo.test.write=$TOKEN" "$img" >"$WORK/$name.1.update.log" 2>&1 || return 91
  "$stick_cmd" next "$img" "$path" >"$WORK/$name.1.next.log" 2>&1 || return 92
  qemu_boot "$WORK/$name.1.log" 300 --firmware bios --disk "usb:$img" || status=$?
  echo "$status" >"$WORK/$name.1.status"
  "$stick_cmd" update --append "$APPEND" "$img" >"$WORK/$name.2.update.log" 2>&1 || return 93
  "$stick_cmd" next "$img" "$path" >"$WORK/$name.2.next.log" 2>&1 || return 94
  status=0
  qemu_boot "$WORK/$name.2.log" 300 --firmware uefi --disk "usb:$img" || status=$?
  echo "$status" >"$WORK/$name.2.status"
  persist_sha "$img" "$path" >"$WORK/$name.2.sha"
  set_next "$img" "$path (sem persistência)" || return 95
  status=0
  qemu_boot "$WORK/$name.3.log" 300 --firmware bios --disk "usb:$img" || status=$?
  echo "$status" >"$WORK/$name.3.status"
  persist_sha "$img" "$path" >"$WORK/$name.3.sha"
}
mapfile -t CHAINS < <(for entry in "${ISOS[@]}"; do IFS='|' read -r path _ name _ <<<"$entry"; echo "$name|$path"; done)
side_by_side "$WORK" chain "${CHAINS[@]}"

# check_boot NAME N PATH LAYOUT KEPT: boot N of NAME reached the ISO's live
# root from the mapped ISO, with persistence (KEPT: what /kelmo-kept held,
# "-" for a boot without persistence).
# shellcheck disable=SC2178,SC2128 # kept is a string local here, not the array only_boots keeps
check_boot() {
  local name=$1 n=$2 path=$3 layout=$4 kept=$5 txt=$WORK/$1.$2.log.txt cmdline b
  b="$name boot $n"
  check "$b: guest powered off by itself" [ "$(cat "$WORK/$name.$n.status" 2>/dev/null)" = 0 ]
  check "$b: the $layout live ISO's root ran its /sbin/init" [ "$(said "$txt" KELMO-LIVE-UP)" = "$LIVE_TOKEN $layout" ]
  check "$b: kelmo-map mapped the ISO" grep -aqF "$(msg_line "$(msg_iso_mapped "${ISO_RUNS[$path]}")")" "$txt"
  cmdline=$(said "$txt" KELMO-LIVE-CMDLINE)
  if [ "$kept" = - ]; then
    check "$b: the entry without persistence gives no kelmo.persist=" bash -c '[[ $1 != *kelmo.persist=* ]]' _ "$cmdline"
    check "$b: the device mapper holds kelmo-iso only" [ "$(said "$txt" KELMO-LIVE-DM)" = kelmo-iso ]
    check "$b: the root has no /kelmo-kept" [ -z "$(said "$txt" KELMO-LIVE-KEPT)" ]
    return
  fi
  check "$b: the entry with persistence names its file ($cmdline)" \
    bash -c '[[ $1 == *"\"kelmo.persist=$2\""* || $1 == *" kelmo.persist=$2 "* ]]' _ "$cmdline" "$(pfile "$path")"
  case $layout in
    debian) want=" persistence " ;;
    *) want=" rd.live.overlay=/dev/mapper/kelmo-persist:/overlayfs " ;;
  esac
  check "$b: and the stack's persistence parameter ($want)" bash -c '[[ " $1 " == *"$2"* ]]' _ "$cmdline" "$want"
  check "$b: kelmo-map mapped the persistence file in its ${RUNS[$path]} runs" \
    grep -aqF "$(msg_line "$(msg_persist_mapped "${RUNS[$path]}")")" "$txt"
  check "$b: the device mapper holds kelmo-iso and kelmo-persist" \
    [ "$(said "$txt" KELMO-LIVE-DM | tr ' ' '\n' | sort | tr '\n' ' ')" = "kelmo-iso kelmo-persist " ]
  check "$b: the root's /kelmo-kept held '$kept' ($(said "$txt" KELMO-LIVE-KEPT))" [ "$(said "$txt" KELMO-LIVE-KEPT)" = "$kept" ]
  # "DIR ro" for each mount of kelmo-persist, after the remount of power-off.
  check "$b: kelmo-persist was mounted, and read-only at power-off ($(said "$txt" KELMO-LIVE-DOWN))" \
    bash -c '[[ $1 =~ ^/[^\ ]+\ ro(\ /[^\ ]+\ ro)*$ ]]' _ "$(said "$txt" KELMO-LIVE-DOWN)"
}

for entry in "${ISOS[@]}"; do
  IFS='|' read -r path _ layout upper <<<"$entry"
  name=$layout
  job_result "$WORK/$name.status"
  log "boots of $name: $took s, status $status"
  before=$failed
  check "$name: the three boots ran (status $status)" [ "$status" = 0 ]
  check_boot "$name" 1 "$path" "$layout" ""
  check "$name boot 1: the root wrote the token" [ "$(said "$WORK/$name.1.log.txt" KELMO-LIVE-WROTE)" = "$TOKEN" ]
  check_boot "$name" 2 "$path" "$layout" "$TOKEN"
  check "$name boot 2: wrote nothing new" [ -z "$(said "$WORK/$name.2.log.txt" KELMO-LIVE-WROTE)" ]
  check_boot "$name" 3 "$path" "$layout" -
  check "$name boot 3: the persistence file kept its bytes" \
    bash -c '[ -s "$1" ] && cmp -s "$1" "$2"' _ "$WORK/$name.2.sha" "$WORK/$name.3.sha"

  # After the boots: the stick as a person would check it.
  img=$WORK/$name.img
  loop_attach part -r -o $((p1_start * 512)) --sizelimit $((p1_size * 512)) "$img"
  check "$name: fsck.exfat -n finds the exFAT partition clean" fsck.exfat -n "$part"
  loop_detach "$part"
  files "$img" >"$WORK/$name.files"
  check "$name: the ISO file keeps its bytes" grep -qxF "$(grep -F "  .$path" "$WORK/files.before")" "$WORK/$name.files"
  check "$name: every other file keeps its bytes, the other ISO's persistence file too" \
    cmp -s <(grep -vF "  .$(pfile "$path")" "$WORK/files.before") <(grep -vF "  .$(pfile "$path")" "$WORK/$name.files")
  check "$name: the persistence file changed" \
    bash -c '! grep -qxF "$(grep -F "  .$1" "$2")" "$3"' _ "$(pfile "$path")" "$WORK/files.before" "$WORK/$name.files"
  persist_copy "$img" "$path" "$WORK/$name.persist.img"
  check "$name: e2fsck -fn finds the persistence file's ext4 clean" e2fsck -fn "$WORK/$name.persist.img"
  check "$name: the token is in the stack's upper directory ($upper/kelmo-kept)" \
    bash -c '[ "$(debugfs -R "cat $1" "$2" 2>/dev/null)" = "$3" ]' _ "$upper/kelmo-kept" "$WORK/$name.persist.img" "$TOKEN"
  rm -f "$WORK/$name.persist.img"
  if ((failed > before)); then
    for n in 1 2 3; do
      grep -av '^KELMO-' "$WORK/$name.$n.log.txt" | tail -n 25 | sed "s/^/# $name.$n: /" >&2 || true
    done
  fi
done

log "total $(($(date +%s) - started)) s"
keep_logs kelmo-stick-persist-logs "$WORK"/*.log "$WORK"/*.log.txt "$WORK"/prepare.log "$WORK"/list.txt
summary
