#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Boot tests: a real Debian kernel under QEMU runs kelmo-map from an initramfs
# against a stick image, so the real device mapper answers its ioctls.
#
#   tests/boot/run.sh BINARY
#
# BINARY is the static kelmo-map. Needs root (loop device and FUSE mount to
# fill the stick). The kernel package is kept in $KELMO_BOOT_CACHE
# (default /var/cache/kelmo-boot); KELMO_BOOT_JOBS boots run at once (default:
# number of CPUs); KELMO_BOOT_ONLY="NAME..." boots only those of the table
# below. The boot logs are kept when something fails.
set -euo pipefail

[ $# -eq 1 ] || { echo "usage: $0 BINARY" >&2; exit 2; }
BINARY=$(realpath "$1")
. "$(dirname "$0")/lib.sh"

[ "$(id -u)" = 0 ] || die "run as root: the stick is filled through a loop device and FUSE"
[ -x "$BINARY" ] || die "$BINARY is not executable"
need_tools
file -L "$BINARY" | grep -q 'statically linked' || die "$BINARY is not a static binary"

started=$(date +%s)
make_work kelmo-boot

fetch_kernel
qemu_accel
log "kernel: $KERNEL_PACKAGE"
build_stick "$WORK" "$BINARY"
build_stick4k "$WORK" "$BINARY"
build_stick_backward "$WORK" "$BINARY"
# The file the kelmo.usb=rw boot writes through kelmo-usb: a copy of the
# program, whose bytes the host knows.
cat >>"$WORK/expect.sh" <<EOF
USB_WRITTEN_DIR='/Notas do Kelmo'
USB_WRITTEN='/Notas do Kelmo/escrito no live.bin'
USB_WRITTEN_SHA=$(sha256sum <"$BINARY" | cut -d' ' -f1)
EOF
# What the kelmo.persist= boot writes through kelmo-persist: ISO A's first
# 1 MiB, the persistence file's length, over every one of its runs.
echo "P_WRITTEN_SHA=$(head -c 1048576 "$WORK/a.iso" | sha256sum | cut -d' ' -f1)" >>"$WORK/expect.sh"
INITRAMFS=$WORK/initramfs.gz
build_initramfs "$INITRAMFS" "$BINARY" "$WORK/expect.sh"
append_stick_tools "$INITRAMFS"
declare -A IMAGE_SHA
for img in stick stick4k stickback; do IMAGE_SHA[$img]=$(sha256sum <"$WORK/$img.img" | cut -d' ' -f1); done
. "$WORK/expect.sh"
log "prepared in $(($(date +%s) - started)) s"

# shellcheck source=../lib/results.sh
. "$BOOT_DIR/../lib/results.sh"

# The stick itself, as exfat_runs.py reads it: ISO A must be one run, ISO B
# several, and the runs must give each ISO's bytes; the program's --test must
# print the same runs.
if [ "$A_RUNS" = 1 ]; then ok "stick: $A_PATH is one run"; else not_ok "stick: $A_PATH has '$A_RUNS' runs, want 1"; fi
if [ "${B_RUNS:-0}" -gt 1 ]; then ok "stick: $B_PATH is fragmented ($B_RUNS runs)"; else not_ok "stick: $B_PATH has '$B_RUNS' runs, want more than 1"; fi
# ISO K's chain jumps back at (nearly) every piece.
back=$(awk 'NR > 1 && $2 + 0 < prev {n++} NR > 1 {prev = $2 + 0} END {print n + 0}' "$WORK/runs-k.reader")
if ((back >= 8)); then ok "stick: $K_PATH jumps back $back times in $K_RUNS runs"; else not_ok "stick: $K_PATH jumps back $back times, want 8 or more"; fi
if [ "${C_RUNS:-0}" -gt 1 ] && ((C_SIZE % 4096)); then ok "4K stick: $C_PATH is fragmented ($C_RUNS runs), $C_SIZE bytes"; else not_ok "4K stick: $C_PATH has '$C_RUNS' runs and $C_SIZE bytes, want more than 1 and not whole 4 KiB"; fi
if [ "${P_RUNS:-0}" -gt 1 ] && [ "$P_SIZE" = 1048576 ]; then ok "stick: $P_PATH is fragmented ($P_RUNS runs)"; else not_ok "stick: $P_PATH has '$P_RUNS' runs and $P_SIZE bytes, want more than 1 and 1 MiB"; fi
for entry in "${STICK_ISOS[@]}"; do
  IFS='|' read -r f v p <<<"$entry"
  sha=${v}_SHA
  if [ "$(cat "$WORK/runs-$f.sha")" = "${!sha}" ]; then
    ok "stick: the reader's runs of $p give the ISO's bytes"
  else
    not_ok "stick: the reader's runs of $p do not give the ISO's bytes"
  fi
  if cmp -s "$WORK/runs-$f.reader" "$WORK/runs-$f.kelmo"; then
    ok "stick: kelmo-map --test prints the reader's runs of $p"
  else
    not_ok "stick: kelmo-map --test differs from the reader on $p"
    diff "$WORK/runs-$f.reader" "$WORK/runs-$f.kelmo" | head -n 10 | sed 's/^/#   /' >&2 || true
  fi
done

# name|disk|seconds|kernel parameters|cases the guest must report
BOOTS=(
  "main|virtio|150|kelmo.uuid=$SERIAL kelmo.iso=$A_PATH|path-is-directory path-missing-file path-missing-directory cmdline-map read-only second-run"
  "args|virtio|150||no-keys args-map-fragmented stale-node-replaced"
  "usb|usb|150|kelmo.uuid=$SERIAL kelmo.iso=\"$B_PATH\"|usb-late"
  "bare|virtio|150|kelmo.uuid=$SERIAL kelmo.iso=$A_PATH|bare-dev"
  "fail|virtio|200|kelmo.uuid=$SERIAL|one-key wrong-serial empty-iso"
  "utf8|virtio|150|kelmo.uuid=$SERIAL kelmo.iso=\"$U_PATH\"|utf8-cmdline-map"
  "sect4k|virtio4k|150|kelmo.uuid=$SERIAL kelmo.iso=$C_PATH|sect4k-disk sect4k-map"
  "stickro|virtio|400|kelmo.uuid=$SERIAL kelmo.iso=$A_PATH kelmo.usb=ro|usb-ro-map usb-ro-device usb-ro-mount usb-values usb-taken usb-after-missing-iso usb-after-iso-taken"
  "stickrw|virtio|300|kelmo.uuid=$SERIAL kelmo.iso=\"$B_PATH\" kelmo.usb=rw|usb-rw-map usb-rw-device usb-rw-write"
  "persist|virtio|300|kelmo.uuid=$SERIAL kelmo.iso=$A_PATH kelmo.persist=\"/Persistência/nada.img\" kelmo.usb=rw|persist-missing persist-map persist-write persist-iso persist-taken"
  "readerr|virtio|150||readerr-fat readerr-dir"
  "readboot|virtio|200||readerr-boot-sector"
  "gone|usbmon|300||usb-gone-waiting usb-gone-reading-directory usb-gone-reading-fat usb-gone-mapping"
  "backward|virtio|150|kelmo.uuid=$SERIAL kelmo.iso=$K_PATH|backward-map"
)

# The reads that fail in the read-error boots (NAME.blkdebug), at sectors our
# own reader finds on the stick. The kernel reads the partition a page
# (4 KiB) at a time, and a page that fails fails every read in it: the FAT
# sector is the last one ISO B's chain goes through whose page holds none of
# the entries the directories on the way need.
part_start=$((PART_OFFSET / 512))
python3 "$EXFAT_RUNS" "$WORK/stick.img" "$PART_OFFSET" "$B_PATH" --fat-sectors >"$WORK/fat-b"
fat_sector=$(awk '$1 == "dir" {d[int($2 / 8)] = 1} $1 == "file" && !(int($2 / 8) in d) {s = $2} END {print s}' "$WORK/fat-b")
dir_sector=$(python3 "$EXFAT_RUNS" "$WORK/stick.img" "$PART_OFFSET" "${A_PATH%/*}" | sed -n '2s/ *setor \([0-9]*\).*/\1/p')
[ -n "$fat_sector" ] && [ -n "$dir_sector" ] || die "no sector of the FAT or of ${A_PATH%/*} to fail"
log "failing reads: FAT sector $fat_sector and ${A_PATH%/*}'s sector $dir_sector (readerr), boot sector (readboot)"
blkdebug_config "$WORK/readerr.blkdebug" $((part_start + fat_sector)) $((part_start + dir_sector))
blkdebug_config "$WORK/readboot.blkdebug" "$part_start"

# The stick a boot has (NAME KIND): the 4K stick on the disk of 4 KiB
# sectors, the stick of ISO K for its boot, else stick.img.
stick_of() {
  case $1:$2 in
    *:virtio4k) echo stick4k ;;
    backward:*) echo stickback ;;
    *) echo stick ;;
  esac
}

# watch_removals LOG SOCKET IMAGE: for each "KELMO-REMOVE DISK" line the
# guest prints on LOG, DISK is pulled out through the monitor at SOCKET; for
# each "KELMO-PLUG DISK", IMAGE is plugged in again on USB as DISK. Runs
# until stopped.
watch_removals() {
  local log=$1 socket=$2 image=$3 done=0 verb disk
  while sleep 0.2; do
    while read -r verb disk; do
      case $verb in
        KELMO-REMOVE) monitor_send "$socket" "device_del $disk" ;;
        KELMO-PLUG)
          monitor_send "$socket" "drive_add 0 if=none,id=drive-$disk,file=$image,format=raw"
          monitor_send "$socket" "device_add usb-storage,id=$disk,bus=xhci.0,drive=drive-$disk"
          ;;
      esac >>"$log.monitor.txt" 2>&1
      done=$((done + 1))
    done < <(grep -ao 'KELMO-\(REMOVE\|PLUG\) [a-z0-9]*' "$log" 2>/dev/null | tail -n +$((done + 1)))
  done
}

# stick_written IMAGE NAME FILE SHA: the stick after a boot that wrote to it,
# instead of the unchanged hash: nothing outside the partition changed, the
# ISOs and the persistence file are the same files at the same sectors, FILE
# holds SHA's bytes, the ISOs theirs, and fsck.exfat finds the volume clean.
stick_written() {
  local img=$1 name=$2 written=$3 written_sha=$4 bad=0 p before after start size mnt got
  if cmp -s -n "$PART_OFFSET" "$img" "$WORK/stick.img" && [ "$(stat -c %s "$img")" = "$(stat -c %s "$WORK/stick.img")" ]; then
    ok "$name: stick unchanged outside the partition"
  else
    not_ok "$name: stick changed outside the partition"
    bad=1
  fi
  for p in "$A_PATH" "$B_PATH" "$P_PATH"; do
    before=$(KELMO_MAP_OFFSET=$PART_OFFSET "$BINARY" --test "$WORK/stick.img" "$p" 2>&1)
    after=$(KELMO_MAP_OFFSET=$PART_OFFSET "$BINARY" --test "$img" "$p" 2>&1)
    if [ "$before" = "$after" ]; then ok "$name: $p has the same runs"; else not_ok "$name: $p now '$after'"; bad=1; fi
  done
  read -r start size < <(partitions "$img")
  loop_attach LOOP_DEV -r -o $((start * 512)) --sizelimit $((size * 512)) "$img"
  if fsck.exfat -n "$LOOP_DEV" >"$WORK/$name.fsck" 2>&1; then
    ok "$name: fsck.exfat finds the stick clean"
  else
    not_ok "$name: fsck.exfat: $(tr '\n' ' ' <"$WORK/$name.fsck")"
    bad=1
  fi
  mnt=$(mktemp -d /tmp/kelmo-stick.XXXXXX)
  TMP_PATHS+=("$mnt")
  fuse_daemon "$LOOP_DEV" "$mnt" "$WORK/$name.fuse.log" -o ro || die "$FUSE_ERROR"
  got=$(sha256sum <"$mnt$written" 2>&1 | cut -d' ' -f1)
  if [ "$got" = "$written_sha" ]; then
    ok "$name: $written is on the stick, byte for byte"
  else
    not_ok "$name: $written on the stick: '$got', want $written_sha"
    bad=1
  fi
  for p in "$A_PATH:$A_SHA" "$B_PATH:$B_SHA"; do
    got=$(sha256sum <"$mnt${p%:*}" | cut -d' ' -f1)
    if [ "$got" = "${p##*:}" ]; then ok "$name: ${p%:*} unchanged"; else not_ok "$name: ${p%:*} changed"; bad=1; fi
  done
  fuse_daemon_stop || true
  loop_detach "$LOOP_DEV"
  return $bad
}

# The file written through kelmo-usb; the one written through kelmo-persist.
stick_check_stickrw() { stick_written "$1" "$2" "$USB_WRITTEN" "$USB_WRITTEN_SHA"; }
stick_check_persist() { stick_written "$1" "$2" "$P_PATH" "$P_WRITTEN_SHA"; }

# Each boot gets its own copy of the stick (QEMU locks an image it writes to),
# checked against the original afterwards.
boot_one() {
  local name kind seconds params
  IFS='|' read -r name kind seconds params _ <<<"$1"
  cp --sparse=always "$WORK/$(stick_of "$name" "$kind").img" "$WORK/$name.img"
  local more=() watcher='' status=0
  [ -f "$WORK/$name.blkdebug" ] && more=(--blkdebug "$WORK/$name.blkdebug")
  if [ "$kind" = usbmon ]; then
    # The stick on USB, which the guest can ask to have pulled out.
    kind=usb
    more=(--monitor "$WORK/$name.sock")
    watch_removals "$WORK/$name.log" "$WORK/$name.sock" "$WORK/$name.img" &
    watcher=$!
  fi
  kernel_boot "$WORK/$name.log" "$seconds" "$INITRAMFS" "$kind:$WORK/$name.img" "kelmo.boot=$name $params" \
    "${more[@]}" || status=$?
  if [ -n "$watcher" ]; then kill "$watcher"; wait "$watcher" 2>/dev/null || true; fi
  return $status
}
only_boots
side_by_side "$WORK" boot_one "${BOOTS[@]}"

for entry in "${BOOTS[@]}"; do
  IFS='|' read -r name kind seconds params cases <<<"$entry"
  job_result "$WORK/$name.status"
  log "boot $name ($kind): $took s, qemu status $status"
  txt=$WORK/$name.log.txt
  boot_failed=0
  for c in $cases; do
    line=$(grep -a -m1 "^KELMO-CASE $c " "$txt" || true)
    case $line in
      "KELMO-CASE $c PASS"*) ok "$name: $c${line#KELMO-CASE "$c" PASS}" ;;
      "KELMO-CASE $c FAIL"*) not_ok "$name: $c${line#KELMO-CASE "$c" FAIL}"; boot_failed=1 ;;
      *) not_ok "$name: $c: no verdict on the console"; boot_failed=1 ;;
    esac
  done
  # Verdicts the list above does not know are failures too.
  while IFS= read -r line; do
    c=${line#KELMO-CASE }
    c=${c%% *}
    [[ " $cases " == *" $c "* ]] || { not_ok "$name: unexpected verdict: ${line#KELMO-CASE }"; boot_failed=1; }
  done < <(grep -a '^KELMO-CASE ' "$txt" || true)
  if grep -aq "^KELMO-DONE $name\$" "$txt" && [ "$status" = 0 ]; then
    ok "$name: guest finished and powered off"
  else
    not_ok "$name: guest did not finish (qemu status $status)"
    boot_failed=1
  fi
  want_sha=${IMAGE_SHA[$(stick_of "$name" "$kind")]}
  if declare -F "stick_check_$name" >/dev/null; then
    "stick_check_$name" "$WORK/$name.img" "$name" || boot_failed=1
  elif [ "$(sha256sum <"$WORK/$name.img" | cut -d' ' -f1)" = "$want_sha" ]; then
    ok "$name: stick image unchanged"
  else
    not_ok "$name: stick image changed during the boot"
    boot_failed=1
  fi
  grep -a '^KELMO-NOTE ' "$txt" | sed 's/^/# /' >&2 || true
  if ((boot_failed)); then
    grep -a '^KELMO-DMESG ' "$txt" | sed 's/^KELMO-DMESG /# dmesg: /' >&2 || true
  fi
  rm -f "$WORK/$name.img"
done

log "total $(($(date +%s) - started)) s"
keep_logs kelmo-boot-logs "$WORK"/*.log.txt "$WORK/expect.sh"
summary
