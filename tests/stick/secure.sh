#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Secure Boot from power-on, with no key enrolled: OVMF with Secure Boot on
# and Microsoft's keys (q35, SMM) boots a stick made by kelmo-stick prepare,
# whose Debian live ISO went on with kelmo-stick add. Debian's signed shim
# and GRUB run; GRUB reads the ISO through its one-range blocklist; the
# ISO's Debian-signed kernel starts locked down; the add-on maps the ISO.
# The boots:
#   sb-debian      the added ISO: Secure Boot on, lockdown, kelmo-iso
#                  read-only, the live root from it
#   sb-scattered   an ISO copied in pieces with exfat-fuse: its entry says it
#                  cannot start under Secure Boot, and nothing starts
#   sb-replaced    the ISO replaced after update by another of the same name
#                  written elsewhere (mv over it): the old bytes are still at
#                  the recorded run, so GRUB's label and date checks pass; the
#                  add-on sees the file's run moved and starts nothing
#   sb-overwritten the ISO deleted and another copied under its name onto
#                  the same clusters: GRUB's checks refuse, no kernel starts
#   nosb-scattered Secure Boot off: the scattered ISO boots through the
#                  ordinary menu (GRUB's exfat module from the ESP)
#   sb-unsigned    control: an unsigned GRUB as BOOTX64.EFI is refused
# and on the host: add refuses an ISO larger than the largest free run and
# leaves the partition as it was.
#
#   tests/stick/secure.sh BUILD_DIR      (configured and built if needed)
#   KELMO_SECURE_ONLY="sb-replaced ..."   only the boots named
#
# About 3 minutes for the live ISOs when not cached, and 6 to 8 for the
# boots, two at a time under TCG. Needs root (loop devices, FUSE).
# shellcheck source-path=SCRIPTDIR/../lib
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
build=$1
TOP=$(cd "$(dirname "$0")/../.." && pwd)
LIB=$TOP/tests/lib
. "$LIB/tools.sh"
. "$LIB/images.sh"
. "$LIB/results.sh"
. "$LIB/initramfs.sh"
. "$LIB/qemu.sh"
. "$LIB/live_isos.sh"
SUMMARY_REQUIRED=1

[ "$(id -u)" = 0 ] || die "run as root: loop devices and FUSE"
need_tools
for t in mtype mcopy grub-editenv grub-mkimage blkid cmake; do
  command -v "$t" >/dev/null || die "$t is missing (tools/deps.sh installs it)"
done
[ -f /usr/lib/shim/shimx64.efi.signed ] && [ -f /usr/lib/grub/x86_64-efi-signed/grubx64.efi.signed ] ||
  die "the signed shim and GRUB are missing (tools/deps.sh installs shim-signed and grub-efi-amd64-signed)"
if [ ! -f "$build/CMakeCache.txt" ]; then cmake -S "$TOP" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null; fi
cmake --build "$build" -j"$(nproc)" >/dev/null || die "building $build failed"
ks=$build/stick/kelmo-stick
[ -x "$ks" ] || die "$ks was not built"

WORK=$(mktemp -d /tmp/kelmo-secure.XXXXXX)
TMP_PATHS+=("$WORK")
fetch_kernel
qemu_accel
live_isos debian dracut
for name in debian dracut; do
  job_result "$LIVE_ISO_DIR/$name.build"
  [ -s "$LIVE_ISO_DIR/$name.iso" ] || die "the $name live ISO was not built: $(tail -n 5 "$LIVE_ISO_DIR/$name.build.log")"
done
DEBIAN="/isos/Tom's debian live.iso"
DEBIAN_SRC="$WORK/Tom's debian live.iso"
SCATTERED=/frag/dracut.iso

# --- the stick: prepare, then add (the ISO under a name with a space and a
# ', which GRUB passes as \' to the add-on's check-run)
stick=$WORK/stick.img
truncate -s 512M "$stick"
"$ks" prepare --yes --append "console=ttyS0 panic=-1 no_timer_check" "$stick" >"$WORK/prepare.log" 2>&1 ||
  die "kelmo-stick prepare failed: $(tail -n 3 "$WORK/prepare.log")"
read -r p1_start p1_size p2_start _ < <(partitions "$stick" | tr '\n' ' ') || true
cp "$LIVE_ISO_DIR/debian.iso" "$DEBIAN_SRC"
status=0
"$ks" add "$stick" "$DEBIAN_SRC" /isos >"$WORK/add.log" 2>&1 || status=$?
check "kelmo-stick add: ends with 0 and says the ISO is in one run" \
  eval '((status == 0)) && grep -q "gravado num trecho só" "$WORK/add.log"'

# Runs and bytes as our own exFAT reader finds them, not kelmo-map.
runs() { python3 "$TOP/tests/lib/exfat_runs.py" "$1" $((p1_start * 512)) "$2"; }
first_run() { runs "$1" "$2" | sed -n '2s/^ *setor \([0-9]*\) .*/\1/p'; }
run_count() { runs "$1" "$2" | sed -n '1s/.*trechos=\([0-9]*\)$/\1/p'; }
check "the added ISO is in one run" [ "$(run_count "$stick" "$DEBIAN")" = 1 ]
DEBIAN_AT=$(first_run "$stick" "$DEBIAN")
same_bytes() { # IMAGE SECTOR FILE: FILE's bytes at SECTOR of the exFAT partition
  cmp -s -n "$(stat -c %s "$3")" "$3" <(dd if="$1" bs=512 skip=$((p1_start + $2)) status=none)
}
check "the added ISO's bytes are the source's, where its run says" same_bytes "$stick" "$DEBIAN_AT" "$DEBIAN_SRC"

# --- a second ISO, copied in pieces with exfat-fuse: scattered
loop_attach part -o $((p1_start * 512)) --sizelimit $((p1_size * 512)) "$stick"
mnt=$WORK/mnt
mkdir -p "$mnt"
# shellcheck disable=SC2154 # part is set by loop_attach, by name
fuse_daemon "$part" "$mnt" "$WORK/fuse.log" || die "$FUSE_ERROR"
mkdir -p "$mnt/frag"
piece=1048576 i=0 total=$(stat -c %s "$LIVE_ISO_DIR/dracut.iso")
: >"$mnt$SCATTERED"
while ((i * piece < total)); do
  dd if="$LIVE_ISO_DIR/dracut.iso" bs=$piece skip=$i count=1 status=none >>"$mnt$SCATTERED"
  head -c 65536 /dev/zero >>"$mnt/frag/filler.bin"
  i=$((i + 1))
done
fuse_daemon_stop || die "mount.exfat-fuse failed: $(tail -n 3 "$WORK/fuse.log")"
loop_detach "$part"
check "the ISO copied in pieces is scattered" [ "$(run_count "$stick" "$SCATTERED")" -gt 1 ]
"$ks" update "$stick" >"$WORK/update.log" 2>&1 || die "kelmo-stick update failed: $(tail -n 3 "$WORK/update.log")"
mtype -i "$stick@@$((p2_start * 512))" ::/boot/grub/kelmo/secure.cfg >"$WORK/secure.cfg"
check "secure.cfg: the added ISO's entry reads its one run" \
  grep -q "kelmo_sb_boot \"\$2\" $DEBIAN_AT " "$WORK/secure.cfg"
check "secure.cfg: the scattered ISO's entry cannot start under Secure Boot" \
  grep -qF "menuentry --id \"$SCATTERED\" -- \"dracut.iso (KELMO_DRACUT_LIVE): não inicia com Secure Boot\" \"$SCATTERED\" {" "$WORK/secure.cfg"

# --- add with no free run large enough: refused, the partition unchanged
p1_sha() { dd if="$stick" bs=512 skip="$p1_start" count="$p1_size" status=none | sha256sum | cut -c1-64; }
before=$(p1_sha)
truncate -s $((p1_size * 512)) "$WORK/huge.iso"
status=0
"$ks" add "$stick" "$WORK/huge.iso" >"$WORK/add-huge.log" 2>&1 || status=$?
rm -f "$WORK/huge.iso"
check "kelmo-stick add of an ISO larger than any free run: refused, with the reason" \
  eval '((status == 1)) && grep -q "não há espaço livre contíguo" "$WORK/add-huge.log"'
check "kelmo-stick add refused: the exFAT partition is as it was" [ "$(p1_sha)" = "$before" ]
# Bad input: status 1, the reason, the partition as it was. what|reason|ISO|FOLDER
cp "$LIVE_ISO_DIR/dracut.iso" "$WORK/debian live.img"
truncate -s 1M "$WORK/blank.img"
BAD_ADDS=(
  "a name that is already there|já existe no pendrive|$DEBIAN_SRC|/isos"
  "a file whose name does not end in .iso|não termina em .iso|$WORK/debian live.img|/isos"
  "a folder three levels deep|funda demais|$DEBIAN_SRC|/a/b/c"
  "a file that is not there|não é um arquivo|$WORK/missing.iso|/"
)
for bad in "${BAD_ADDS[@]}"; do
  IFS='|' read -r what reason iso folder <<<"$bad"
  status=0
  "$ks" add "$stick" "$iso" "$folder" >"$WORK/add-bad.log" 2>&1 || status=$?
  check "kelmo-stick add of $what: status 1, \"$reason\", the partition as it was" \
    eval '((status == 1)) && grep -qF "$reason" "$WORK/add-bad.log" && [ "$(p1_sha)" = "$before" ]'
done
status=0
"$ks" add "$WORK/blank.img" "$DEBIAN_SRC" >"$WORK/add-bad.log" 2>&1 || status=$?
check "kelmo-stick add to a disk not made by kelmo-stick: status 1, the reason" \
  eval '((status == 1)) && grep -qF "não foi preparado pelo kelmo-stick" "$WORK/add-bad.log"'
rm -f "$WORK/debian live.img" "$WORK/blank.img"

# --- the sticks the boots change: replaced ISOs, an unsigned loader
# with_exfat IMAGE COMMAND...: COMMAND with the image's exFAT partition at $mnt.
with_exfat() {
  local img=$1
  shift
  loop_attach part -o $((p1_start * 512)) --sizelimit $((p1_size * 512)) "$img"
  fuse_daemon "$part" "$mnt" "$WORK/fuse.log" || die "$FUSE_ERROR"
  "$@"
  fuse_daemon_stop || die "mount.exfat-fuse failed: $(tail -n 3 "$WORK/fuse.log")"
  loop_detach "$part"
}
replace_elsewhere() {
  cp "$LIVE_ISO_DIR/dracut.iso" "$mnt/isos/new.iso"
  mv "$mnt/isos/new.iso" "$mnt$DEBIAN"
}
overwrite() {
  rm "$mnt$DEBIAN"
  cp "$LIVE_ISO_DIR/dracut.iso" "$mnt$DEBIAN"
}
cp --sparse=always "$stick" "$WORK/replaced.img"
with_exfat "$WORK/replaced.img" replace_elsewhere
check "replaced elsewhere: the ISO's run moved, the old bytes are still at the recorded run" \
  eval '[ "$(first_run "$WORK/replaced.img" "$DEBIAN")" != "$DEBIAN_AT" ] &&
    same_bytes "$WORK/replaced.img" "$DEBIAN_AT" "$DEBIAN_SRC"'
cp --sparse=always "$stick" "$WORK/overwritten.img"
with_exfat "$WORK/overwritten.img" overwrite
check "overwritten: another ISO under the name, on the recorded run" \
  eval '[ "$(first_run "$WORK/overwritten.img" "$DEBIAN")" = "$DEBIAN_AT" ] &&
    same_bytes "$WORK/overwritten.img" "$DEBIAN_AT" "$LIVE_ISO_DIR/dracut.iso"'
cp --sparse=always "$stick" "$WORK/unsigned.img"
grub-mkimage -O x86_64-efi -o "$WORK/unsigned.efi" -p /EFI/debian part_msdos fat normal configfile echo ||
  die "grub-mkimage failed"
mcopy -o -i "$WORK/unsigned.img@@$((p2_start * 512))" "$WORK/unsigned.efi" ::/EFI/BOOT/BOOTX64.EFI

# --- the boots: name|image|firmware|entry|expect
BOOTS=(
  "sb-debian|stick.img|uefi-secure|$DEBIAN|live-debian"
  "sb-scattered|stick.img|uefi-secure|$SCATTERED|scattered"
  "sb-replaced|replaced.img|uefi-secure|$DEBIAN|addon-refuses"
  "sb-overwritten|overwritten.img|uefi-secure|$DEBIAN|grub-refuses"
  "nosb-scattered|stick.img|uefi|$SCATTERED|live-dracut"
  "sb-unsigned|unsigned.img|uefi-secure||firmware-refuses"
)
boot_one() {
  local name image fw entry expect seconds=400
  IFS='|' read -r name image fw entry expect <<<"$1"
  cp --sparse=always "$WORK/$image" "$WORK/$name.img"
  if [ -n "$entry" ]; then
    "$ks" next "$WORK/$name.img" "$entry" >"$WORK/$name.next.log" 2>&1 || return 1
  fi
  # Refusals never end by themselves: GRUB comes back to its menu.
  case $expect in scattered | grub-refuses) seconds=150 ;; firmware-refuses) seconds=90 ;; esac
  qemu_boot "$WORK/$name.log" "$seconds" --firmware "$fw" --disk "usb:$WORK/$name.img" || true
  rm -f "$WORK/$name.img"
}
# KELMO_SECURE_ONLY="NAME...": only those boots (to see one fail on a
# broken copy without waiting for the others).
if [ -n "${KELMO_SECURE_ONLY:-}" ]; then
  only=()
  for b in "${BOOTS[@]}"; do [[ " $KELMO_SECURE_ONLY " == *" ${b%%|*} "* ]] && only+=("$b"); done
  BOOTS=("${only[@]}")
  log "only the boots $KELMO_SECURE_ONLY (KELMO_SECURE_ONLY)"
fi
names=()
for b in "${BOOTS[@]}"; do names+=("${b%%|*}"); done
log "booting ${names[*]}, $(nproc) at a time"
side_by_side "$WORK" boot_one "${BOOTS[@]}"

said() { grep -a -o -m1 "$2 .*" "$1" | cut -d' ' -f2- || true; }
has() { grep -aqF -- "$2" "$1"; }
lacks() { ! grep -aqF -- "$2" "$1"; }
for b in "${BOOTS[@]}"; do
  IFS='|' read -r name image fw entry expect <<<"$b"
  job_result "$WORK/$name.status"
  log "boot $name: $took s, status $status"
  txt=$WORK/$name.log.txt
  [ -f "$txt" ] || : >"$txt"
  case $expect in
    live-debian | live-dracut)
      layout=${expect#live-}
      check "$name: the live root of $entry is up" [ "$(said "$txt" KELMO-LIVE-UP)" = "$LIVE_TOKEN $layout" ]
      check "$name: the live root is an overlay" [ "$(said "$txt" KELMO-LIVE-ROOT)" = overlay ]
      check "$name: its medium is the mapped ISO" \
        eval '[[ $(said "$txt" KELMO-LIVE-MEDIUM) =~ ^(/dev/mapper/kelmo-iso|/dev/dm-[0-9]+)\  ]]'
      # shellcheck disable=SC2034 # read by the eval'd tests below
      secure=$(said "$txt" KELMO-LIVE-SECURE)
      if [ "$fw" = uefi-secure ]; then
        check "$name: the kernel says Secure Boot is on" has "$txt" "secureboot: Secure boot enabled"
        # GRUB's backslash before the name's ', which check-run took off.
        check "$name: the kernel got kelmo.iso= as GRUB escapes it, and kelmo.trecho=" \
          bash -c '[[ $1 == *"\"kelmo.iso=$2\" kelmo.trecho="* ]]' _ "$(said "$txt" KELMO-LIVE-CMDLINE)" "${entry//\'/\\\'}"
        check "$name: the live system is locked down, kelmo-iso read-only" \
          eval '[[ $secure =~ ^lockdown=.*\[(integrity|confidentiality)\].*\ kelmo-iso-ro=1$ ]]'
      else
        check "$name: the kernel says Secure Boot is off" has "$txt" "secureboot: Secure boot disabled"
        check "$name: the live system is not locked down, kelmo-iso read-only" \
          eval '[[ $secure =~ ^lockdown=\[none\].*\ kelmo-iso-ro=1$ ]]'
      fi
      ;;
    scattered)
      check "$name: the entry says the ISO is in several runs and how to fix it" \
        eval 'has "$txt" "trechos na parti" && has "$txt" "kelmo-stick add"'
      check "$name: no kernel starts" lacks "$txt" "Linux version"
      ;;
    grub-refuses)
      check "$name: the stale entry refuses and says to run update" \
        eval 'has "$txt" "depois do" && has "$txt" "Rode kelmo-stick update"'
      check "$name: no kernel starts" lacks "$txt" "Linux version"
      ;;
    addon-refuses)
      check "$name: GRUB's checks pass on the old bytes; the add-on refuses and says to run update" \
        has "$txt" "kelmo-map: $DEBIAN mudou depois do último kelmo-stick update"
      check "$name: no live root starts" lacks "$txt" "KELMO-LIVE-UP"
      ;;
    firmware-refuses)
      check "$name: the firmware refuses the unsigned loader" \
        eval 'has "$txt" "Access Denied" || has "$txt" "Security Violation"'
      check "$name: no GRUB runs" lacks "$txt" "kelmo: "
      ;;
  esac
done
for b in "${BOOTS[@]}"; do cp "$WORK/${b%%|*}.log.txt" "$WORK/${b%%|*}.console.txt" 2>/dev/null || true; done
keep_logs kelmo-secure "$WORK"/*.console.txt "$WORK"/*.log "$WORK/secure.cfg"
summary
