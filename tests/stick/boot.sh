#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A stick made by kelmo-stick prepare, filled as a person fills it, booted
# from power-on. Four live ISOs built here from Debian's packages, one that
# no stack knows and a file that is no ISO are copied through exfat-fuse into
# different folders, each in 1 MiB pieces between filler appends (their
# clusters scattered):
#   /Kelmo ISOs/Debian ção/Tom's debian live.iso
#                                             live-boot (GRUB passes the
#                                             name's ' as \')
#   /isos/dracut-live.iso                     dracut with systemd
#   /isos/sem systemd/dracut-nosystemd.ISO    dracut without systemd
#   /isos/own/dracut cdlabel.iso              dracut with systemd, booted by an
#                                             entry of its own (entries.cfg, as
#                                             update writes it) with the ISO's
#                                             root=live:CDLABEL=
#   /outro.iso                                recognised by nothing
#   /isos/a-partial.iso                       no ISO at all
# plus a macOS "._" companion the menu must leave out. Each boot chooses its
# entry with kelmo-stick next; the live root reports what it sees. Then a
# second boot of a stick whose one-shot choice was used shows the menu and
# boots the default, and a stick of 30 small ISOs, made on a loop device,
# measures how long the menu takes to appear (BIOS and UEFI).
#
#   tests/stick/boot.sh BUILD_DIR            (configured and built if needed)
#   tests/stick/boot.sh BUILD_DIR --demo     two ISOs, each booted from the menu, consoles shown
#
# Cost under TCG on two cores: the ISOs come from the boot cache (about a
# minute to build once); eight boots of 30 to 90 s, two at a time.
set -euo pipefail
[ $# -ge 1 ] && [ $# -le 2 ] || { echo "usage: $0 BUILD_DIR [--demo]" >&2; exit 2; }
build=$1
demo=0
[ "${2:-}" = --demo ] && demo=1
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib.sh
. "$here/lib.sh"

stick_setup "$build" kelmo-stick-boot
started=$(date +%s)

# --- the ISOs
if ((demo)); then stick_isos debian dracut; else stick_isos debian dracut dracut-nosystemd; fi
mkdir -p "$WORK/other"
echo "Nada que inicie." >"$WORK/other/LEIAME.TXT"
xorriso -as mkisofs -quiet -R -V KELMO_OTHER -o "$WORK/other.iso" "$WORK/other" 2>/dev/null

DEB="/Kelmo ISOs/Debian ção/Tom's debian live.iso"
DRA=/isos/dracut-live.iso
DRN="/isos/sem systemd/dracut-nosystemd.ISO"
DRC="/isos/own/dracut cdlabel.iso"
OTHER=/outro.iso
# No ISO at all (a copy cut short): sorted before the dracut ISO, whose entry
# must not suffer from it.
PARTIAL=/isos/a-partial.iso
head -c 300000 /dev/urandom >"$WORK/partial.iso"
# path|ISO file|layout the root reports
if ((demo)); then
  ISOS=("$DEB|$LIVE_ISO_DIR/debian.iso|debian" "$DRA|$LIVE_ISO_DIR/dracut.iso|dracut")
else
  ISOS=(
    "$DEB|$LIVE_ISO_DIR/debian.iso|debian"
    "$DRA|$LIVE_ISO_DIR/dracut.iso|dracut"
    "$DRN|$LIVE_ISO_DIR/dracut-nosystemd.iso|dracut-nosystemd"
    "$DRC|$LIVE_ISO_DIR/dracut.iso|dracut"
    "$OTHER|$WORK/other.iso|"
    "$PARTIAL|$WORK/partial.iso|"
  )
fi

# --- the stick: prepare on an image file, the parameters the tests need kept
# on it (the console on the serial port; a failure ends the VM at once)
APPEND="console=ttyS0 panic=-1 no_timer_check rd.shell=0 rd.emergency=poweroff"
stick=$WORK/stick.img
stick_prepare "$stick" 0
ok "kelmo-stick prepare made the stick on an image file"

# What macOS leaves beside a file it copied: no ISO, not in the menu.
macos_companion() { head -c 4096 /dev/zero >"$1$(dirname "$DEB")/._$(basename "$DEB")"; }
# The ISOs scattered, then the entry of the ISO at $DRC written into
# entries.cfg on the ESP, as update writes one from the ISO's own grub.cfg.
fill "$stick" macos_companion
if ((!demo)); then
  printf 'kelmo_own "%s" "%s" /boot/vmlinuz /boot/initrd.img "%s"\n' "$DRC" \
    "dracut cdlabel.iso: Start (root=live:CDLABEL=)" \
    "root=live:CDLABEL=KELMO_DRACUT_LIVE rd.live.image rd.live.overlay.overlayfs=1" >"$WORK/entries.cfg"
  MTOOLS_SKIP_CHECK=1 mcopy -o -i "$stick@@$((p2_start * 512))" "$WORK/entries.cfg" ::/boot/grub/kelmo/entries.cfg
fi
"$stick_cmd" list "$stick" >"$WORK/list.txt" 2>&1 || true
sed 's/^/# list: /' "$WORK/list.txt" >&2

# The runs kelmo-map must announce, read by our own exFAT reader, not by it.
declare -A RUNS=()
for entry in "${ISOS[@]}"; do
  IFS='|' read -r path _ layout <<<"$entry"
  [ -n "$layout" ] || continue
  RUNS[$path]=$(python3 "$EXFAT_RUNS" "$stick" $((p1_start * 512)) "$path" |
    sed -n '1s/.*trechos=\([0-9]*\)$/\1/p')
  check "$path is scattered on the stick (${RUNS[$path]:-?} runs)" [ "${RUNS[$path]:-0}" -gt 1 ]
done

# stick_state IMAGE: a hash of the exFAT partition and of every file on the
# ESP but grubenv (the one file a boot writes), and grubenv's next_entry.
stick_state() {
  local img=$1 d
  d=$(mktemp -d "$WORK/esp.XXXXXX")
  MTOOLS_SKIP_CHECK=1 mcopy -s -n -i "$img@@$((p2_start * 512))" ::/ "$d/"
  {
    dd if="$img" bs=512 skip="$p1_start" count="$p1_size" status=none | sha256sum
    (cd "$d" && find . -type f ! -path ./boot/grub/grubenv -print0 | LC_ALL=C sort -z | xargs -0 sha256sum)
  } | sha256sum | cut -d' ' -f1
  echo "next_entry=$(grub-editenv "$d/boot/grub/grubenv" list | sed -n 's/^next_entry=//p')"
  rm -rf "$d"
}
STATE=$(stick_state "$stick")
STATE=${STATE%%$'\n'*}

# --- the boots. name|firmware|ISO chosen with next (empty: none)|expect
# expect: the layout the live root reports, "other" (the unrecognised
# entry's message) or "menu" (the menu shown, then its default booted).
if ((demo)); then
  # The first shows the menu and boots its default; the second is chosen.
  BOOTS=("bios-menu|bios||menu" "uefi-dracut|uefi|$DRA|dracut")
else
  BOOTS=(
    "bios-debian|bios|$DEB|debian"
    "uefi-debian|uefi|$DEB|debian"
    "bios-dracut|bios|$DRA|dracut"
    "uefi-dracut-nosystemd|uefi|$DRN|dracut-nosystemd"
    "bios-dracut-cdlabel|bios|$DRC|dracut"
    "bios-other|bios|$OTHER|other"
  )
fi
boot_one() {
  local name fw path expect seconds=300
  IFS='|' read -r name fw path expect <<<"$1"
  if [ "$expect" = menu30 ]; then
    menu_boot "$name" "$fw"
    return
  fi
  local from=$stick
  # The menu boot starts from the stick the first boot left, its one-shot used.
  [ "$expect" = menu ] && [ -f "$WORK/bios-debian.img" ] && from=$WORK/bios-debian.img
  cp --sparse=always "$from" "$WORK/$name.img"
  if [ -n "$path" ]; then
    "$stick_cmd" next "$WORK/$name.img" "$path" >"$WORK/$name.next.log" 2>&1 || return 90
  fi
  [ "$expect" = other ] && seconds=60
  [ "$expect" = secure ] && seconds=300
  local status=0
  qemu_boot "$WORK/$name.log" "$seconds" --firmware "$fw" --disk "usb:$WORK/$name.img" || status=$?
  return $status
}

# check_live NAME PATH LAYOUT: the boot NAME reached the live root of the ISO
# at PATH, from the mapped ISO, as the menu's entry for it says.
check_live() {
  local name=$1 path=$2 layout=$3 txt=$WORK/$1.log.txt medium loopfile want cmdline links label
  check "$name: the $layout live ISO's root ran its /sbin/init" [ "$(said "$txt" KELMO-LIVE-UP)" = "$LIVE_TOKEN $layout" ]
  check "$name: the live root is an overlay" [ "$(said "$txt" KELMO-LIVE-ROOT)" = overlay ]
  medium=$(said "$txt" KELMO-LIVE-MEDIUM)
  check "$name: the live medium is the mapped ISO ($medium)" \
    bash -c '[[ $1 =~ ^(/dev/mapper/kelmo-iso|/dev/dm-[0-9]+)\  ]]' _ "$medium"
  loopfile=$(said "$txt" KELMO-LIVE-LOOP)
  case $layout in
    debian) want=${medium#* }/live/filesystem.squashfs ;;
    *) want=${medium#* }/LiveOS/squashfs.img ;;
  esac
  check "$name: the squashfs is looped from the medium ($loopfile)" [ "$loopfile" = "$want" ]
  check "$name: the device mapper holds kelmo-iso only" [ "$(said "$txt" KELMO-LIVE-DM)" = kelmo-iso ]
  check "$name: no exFAT driver was loaded" [ "$(said "$txt" KELMO-LIVE-EXFAT)" = no ]
  check "$name: kelmo-map mapped the ISO in its ${RUNS[$path]} runs" \
    grep -aqF "kelmo-map: ISO -> /dev/mapper/kelmo-iso (${RUNS[$path]} trechos)" "$txt"
  cmdline=$(said "$txt" KELMO-LIVE-CMDLINE)
  # GRUB puts a backslash before ' \ and " (the reader takes them off).
  grub_path=${path//\\/\\\\}
  grub_path=${grub_path//\'/\\\'}
  grub_path=${grub_path//\"/\\\"}
  check "$name: the kernel got the chosen ISO's path ($grub_path) and the stick's parameters" \
    bash -c '[[ $1 == *"\"kelmo.iso=$2\""* || $1 == *" kelmo.iso=$2 "* ]] && [[ $1 == *" $3"* ]]' _ "$cmdline" "$grub_path" "$APPEND"
  case $layout in
    debian) want="boot=live components live-media=/dev/mapper/kelmo-iso" ;;
    *) want="root=live:/dev/mapper/kelmo-iso rd.live.image rd.live.overlay.overlayfs=1" ;;
  esac
  [ "$path" = "$DRC" ] && want="root=live:CDLABEL=KELMO_DRACUT_LIVE rd.live.image"
  check "$name: the stack's parameters ($want)" bash -c '[[ $1 == *"$2"* ]]' _ "$cmdline" "$want"
  if [ "$path" = "$DRC" ]; then
    check "$name: and no other root=" bash -c '[[ $1 != *root=live:/dev/* ]]' _ "$cmdline"
  fi
  # The links a CD's medium has, in every stack's initrd.
  links=$(said "$txt" KELMO-LIVE-LINKS)
  case $layout in
    debian) label=KELMO_DEBIAN_LIVE ;;
    dracut) label=KELMO_DRACUT_LIVE ;;
    dracut-nosystemd) label=KELMO_DRACUT_NOSYSTEMD ;;
  esac
  check "$name: the mapped ISO has /dev/disk/by-label/$label and a by-uuid link ($links)" \
    bash -c '[[ " $1 " == *" by-label/$2 "* && " $1 " == *" by-uuid/"* ]]' _ "$links" "$label"
}

# check_after NAME: the boot wrote nothing but the one-shot's clearing.
check_after() {
  local state
  state=$(stick_state "$WORK/$1.img")
  check "$1: the exFAT partition and the ESP's files are as before the boot" [ "$(head -n 1 <<<"$state")" = "$STATE" ]
  check "$1: the one-shot choice was cleared" [ "$(tail -n 1 <<<"$state")" = "next_entry=" ]
}

if ((demo)); then
  for entry in "${BOOTS[@]}"; do
    IFS='|' read -r name fw path expect <<<"$entry"
    if [ "$expect" = menu ]; then
      log "booting the stick from power-on ($fw): its menu, whose first entry boots after 10 s"
    else
      log "booting the stick from power-on ($fw), the entry for $path chosen by kelmo-stick next"
    fi
    timed "$WORK/$name.status" boot_one "$entry" &
    sleep 1
    tail -n +1 -f "$WORK/$name.log" --pid=$! 2>/dev/null || true
    wait || true
    if [ "$expect" = menu ]; then check_live "$name" "$DEB" debian; else check_live "$name" "$path" "$expect"; fi
  done
  log "total $(($(date +%s) - started)) s"
  summary
  exit
fi

# KELMO_STICK_ONLY, an extended regular expression, keeps the boots whose
# names match (bios-menu needs bios-debian).
LATER=("bios-menu|bios||menu" "bios-menu30|bios||menu30" "uefi-menu30|uefi||menu30"
  "uefi-secure|uefi-secure||secure")
if [ -n "${KELMO_STICK_ONLY:-}" ]; then
  mapfile -t BOOTS < <(printf '%s\n' "${BOOTS[@]}" | grep -E "^($KELMO_STICK_ONLY)\|" || true)
  mapfile -t LATER < <(printf '%s\n' "${LATER[@]}" | grep -E "^($KELMO_STICK_ONLY)\|" || true)
  log "only the boots ${BOOTS[*]%%|*} ${LATER[*]%%|*}"
fi

# The stick of 30 small ISOs: prepare on a loop device this time; each ISO
# a live-boot layout with a kernel that is not one (the menu only recognises).
menu30_stick() {
  menu30=$WORK/menu30.img
  truncate -s 160M "$menu30"
  loop_attach menu30_dev "$menu30"
  # shellcheck disable=SC2154 # menu30_dev is set by loop_attach, by name
  "$stick_cmd" prepare --yes --append "console=ttyS0" "$menu30_dev" >"$WORK/prepare30.log" 2>&1 ||
    die "kelmo-stick prepare on $menu30_dev failed: $(tail -n 3 "$WORK/prepare30.log")"
  ok "kelmo-stick prepare made the stick on a loop device ($menu30_dev)"
  # Gone already when something else on this machine detached it: the checks
  # of the image below tell whether prepare's writes reached it.
  loop_detach "$menu30_dev" || log "$menu30_dev was detached already"
  read -r m_start m_size _ < <(partitions "$menu30" | tr '\n' ' ') || true
  mkdir -p "$WORK/small/live"
  echo x >"$WORK/small/live/vmlinuz"
  echo x >"$WORK/small/live/initrd.img"
  loop_attach part -o $((m_start * 512)) --sizelimit $((m_size * 512)) "$menu30"
  mnt=$(mktemp -d /tmp/kelmo-stick-menu30.XXXXXX)
  TMP_PATHS+=("$mnt")
  fuse_daemon "$part" "$mnt" "$WORK/exfat-fuse.log" || die "$FUSE_ERROR"
  # Written in reverse order, in the root and two folder levels: the menu sorts.
  for i in $(seq 30 -1 1); do
    n=$(printf %02d "$i")
    case $((i % 3)) in
      0) d= ;;
      1) d=/ISOs ;;
      2) d="/ISOs/mais $((i % 2))" ;;
    esac
    mkdir -p "$mnt$d"
    xorriso -as mkisofs -quiet -V "MENU_$n" -o "$mnt$d/iso-$n.iso" "$WORK/small" 2>/dev/null
  done
  fuse_daemon_stop || die "mount.exfat-fuse failed"
  loop_detach "$part"
  mapfile -t MENU30 < <("$stick_cmd" list "$menu30" 2>/dev/null | cut -d: -f1)
  check "kelmo-stick list sees the 30 ISOs" [ "${#MENU30[@]}" = 30 ]
}
if [[ " ${LATER[*]} " == *"|menu30 "* ]]; then menu30_stick; fi

# menu_boot NAME FIRMWARE: boots the 30-ISO stick; NAME.menutime is the time
# from the menu's first line to GRUB's menu on the screen, in tenths of a
# second.
menu_boot() {
  local name=$1 fw=$2
  cp --sparse=always "$menu30" "$WORK/$name.img"
  qemu_boot "$WORK/$name.log" 150 --firmware "$fw" --disk "usb:$WORK/$name.img" &
  local qpid=$! t0='' t1='' now
  while kill -0 "$qpid" 2>/dev/null; do
    now=$(date +%s%N)
    if [ -z "$t0" ] && grep -aq 'kelmo: ' "$WORK/$name.log" 2>/dev/null; then t0=$now; fi
    if [ -n "$t0" ] && grep -aq 'Use the' "$WORK/$name.log" 2>/dev/null; then t1=$now; break; fi
    sleep 0.1
  done
  # The menu's default boots 10 s later; nothing more to see here.
  sleep 2
  kill $(pgrep -P "$qpid") 2>/dev/null || true
  wait "$qpid" || true
  [ -n "$t0" ] && [ -n "$t1" ] && echo "$(((t1 - t0) / 100000000))" >"$WORK/$name.menutime"
  return 0
}

# --- run everything, two at a time
((${#BOOTS[@]} == 0)) || side_by_side "$WORK" boot_one "${BOOTS[@]}"
((${#LATER[@]} == 0)) || side_by_side "$WORK" boot_one "${LATER[@]}"

for entry in "${BOOTS[@]}" "${LATER[@]}"; do
  IFS='|' read -r name fw path expect <<<"$entry"
  [ "$expect" = menu30 ] && continue
  job_result "$WORK/$name.status"
  log "boot $name: $took s, status $status"
  txt=$WORK/$name.log.txt
  before=$failed
  case $expect in
    other)
      check "$name: the unrecognised ISO's entry ran and said why" \
        grep -aqF "$path:" "$txt"
      check "$name: it says it has nothing to boot" grep -aq 'nada para iniciar' "$txt"
      check "$name: no kernel was started" bash -c '! grep -aq "Linux version" "$1"' _ "$txt"
      ;;
    secure)
      # No ISO was recorded for Secure Boot (none added, no update since the copies).
      check "$name: under Secure Boot the menu's one entry says no ISO was recorded for it" \
        grep -aq 'Secure Boot: nenhum ISO anotado para o Secure Boot' "$txt"
      check "$name: that entry ran and said why" grep -aq 'Com Secure Boot ligado, este GRUB n' "$txt"
      check "$name: no ISO was listed, no kernel started" \
        bash -c '! grep -aq "KELMO_DEBIAN_LIVE\|Linux version" "$1"' _ "$txt"
      ;;
    menu)
      # Entries as GRUB draws them, in order: those of entries.cfg first,
      # then one per ISO sorted by path (names beyond ASCII shown as ?).
      titles=$(tr '\n' ' ' <"$txt" | sed 's/executed automatically.*//' |
        grep -ao "Tom's debian live.iso (KELMO_DEBIAN_LIVE)"'\|dracut cdlabel.iso[: ][^|]\{0,30\}\|dracut-live.iso (KELMO_DRACUT_LIVE)\|dracut-nosystemd.ISO (KELMO_DRACUT_NOSYSTEMD)\|outro.iso (KELMO_OTHER)\|a-partial.iso: n\|\._Tom' |
        sed 's/  .*//' | awk '!seen[$0]++' | tr '\n' '|')
      check "$name: the menu lists its entries in order, without the ._ file ($titles)" \
        [ "$titles" = "dracut cdlabel.iso: Start (root=live:CDLABEL=)|Tom's debian live.iso (KELMO_DEBIAN_LIVE)|a-partial.iso: n|dracut-live.iso (KELMO_DRACUT_LIVE)|dracut-nosystemd.ISO (KELMO_DRACUT_NOSYSTEMD)|outro.iso (KELMO_OTHER)|" ]
      check "$name: the unrecognised ISO's title says so" grep -aq '(KELMO_OTHER): n.\{1,4\}o reconhecido' "$txt"
      # Its default, the first entry, boots 10 s later.
      check_live "$name" "$DRC" dracut
      ;;
    *) check_live "$name" "$path" "$expect" ;;
  esac
  case $expect in other | secure) ;; *) check "$name: guest powered off by itself" [ "$status" = 0 ] ;; esac
  check_after "$name"
  if ((failed > before)); then
    grep -av '^KELMO-' "$txt" | tail -n 25 | sed "s/^/# $name: /" >&2 || true
  fi
done
for entry in "${LATER[@]}"; do
  IFS='|' read -r name _ _ expect <<<"$entry"
  [ "$expect" = menu30 ] || continue
  t=$(cat "$WORK/$name.menutime" 2>/dev/null || true)
  check "$name: the menu of 30 ISOs appeared (${t:+$((t / 10)).$((t % 10)) s after its first line})" [ -n "$t" ]
  first=$(grep -ao 'iso-[0-9][0-9].iso (MENU_[0-9][0-9])' "$WORK/$name.log.txt" | awk '!seen[$0]++' | head -n 5 | tr '\n' ' ')
  # Sorted by path: the root's ISOs come after "/ISOs/..." ("/I" < "/i").
  want=$(printf '%s\n' "${MENU30[@]}" | head -n 5 | sed 's|.*/\(iso-\(..\).iso\)$|\1 (MENU_\2)|' | tr '\n' ' ')
  check "$name: its first entries in kelmo-stick list's order ($first)" [ "$first" = "$want" ]
done

log "total $(($(date +%s) - started)) s"
keep_logs kelmo-stick-logs "$WORK"/*.log "$WORK"/*.log.txt "$WORK"/*.next.log "$WORK"/prepare*.log
summary
