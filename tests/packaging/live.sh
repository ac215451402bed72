#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Live ISOs booted from power-on. A stick made as people make them (MBR, GRUB
# for BIOS in it, an exFAT partition, an EFI system partition with GRUB for
# UEFI beside it), attached to QEMU as USB mass storage, holds two live ISOs
# built from Debian's own packages (tests/lib/live_isos.sh), each scattered
# over the exFAT partition:
#   Debian live: live/vmlinuz, live/initrd.img (mkinitramfs with live-boot),
#                live/filesystem.squashfs
#   dracut live: boot/vmlinuz, boot/initrd.img (dracut with dmsquash-live),
#                LiveOS/squashfs.img
# Neither initrd knows kelmo-map. GRUB boots each through the shipped example
# entry, which adds kelmo-map's add-on initramfs; the squashfs root's init
# reports what it sees. The same entries without the add-on must not find
# their medium; with the add-on and a serial or a path kelmo-map does not
# find, its line comes first and then the distribution's init fails just as
# without the add-on. Then the host side: images built by mkinitramfs with
# live-boot and by dracut with dmsquash-live, with kelmo-map's hooks as
# installed, boot the same ISOs' live roots with no add-on.
#
#   tests/packaging/live.sh BUILD_DIR          (configured and built if needed)
#   tests/packaging/live.sh BUILD_DIR --demo   one GRUB boot, its console shown
#
# Cost under TCG on two cores: about 2.5 minutes for the four initrds, the
# ISOs and the stick (the ISOs are kept in the boot tests' cache, for the
# next run with the same inputs), and 7 for the twelve boots, two at a time
# (20 to 55 s each; the Debian entry without the add-on takes 80 s,
# live-boot's fixed 60 tries, and with a wrong serial kelmo-map's 30 s wait
# come first). --demo: one initrd and one boot, about 1.5 minutes.
#
# KELMO_BOOT_ONLY="NAME..." boots only those of the table in boot_table.
#
# Needs root. The initramfs tools run with live-boot and dracut-live unpacked
# (never installed) over /usr in a private mount namespace; the host is left
# as it was. The packages are fetched with apt-get download into the boot
# tests' cache.
set -euo pipefail
[ $# -ge 1 ] && [ $# -le 2 ] || { echo "usage: $0 BUILD_DIR [--demo]" >&2; exit 2; }
build=$1
demo=0
[ "${2:-}" = --demo ] && demo=1
. "$(dirname "$0")/common.sh"
# shellcheck source=../lib/live_isos.sh
. "$TOP/tests/lib/live_isos.sh"

DEBIAN_PATH="/Kelmo ISOs/debian live.iso"
DRACUT_PATH=/isos/dracut-live.iso
ADDON=$build/packaging/kelmo-addon.img

# The tools, the build tree and its add-on, the kernel.
test_setup() {
  [ "$(id -u)" = 0 ] || die "run as root: loop devices, FUSE and mount namespaces"
  need_tools
  local t
  for t in mkinitramfs lsinitramfs dracut lsinitrd unshare dpkg-deb cpack grub-install grub-mkimage \
    mksquashfs mkfs.vfat mmd mcopy zstd; do
    command -v "$t" >/dev/null || die "$t is missing (tools/deps.sh installs it)"
  done
  [ -f /usr/share/OVMF/OVMF_CODE_4M.fd ] && [ -f /usr/share/OVMF/OVMF_VARS_4M.fd ] ||
    die "OVMF is missing (tools/deps.sh installs ovmf)"
  [ -d /usr/lib/grub/i386-pc ] && [ -d /usr/lib/grub/x86_64-efi ] ||
    die "GRUB's images are missing (tools/deps.sh installs grub-pc-bin and grub-efi-amd64-bin)"
  pkg_configure "$build" || die "configuring or building $build failed"
  [ -s "$ADDON" ] || die "$ADDON was not built"
  started=$(date +%s)
  make_work kelmo-live
  fetch_kernel
  qemu_accel
  log "kernel: $KERNEL_PACKAGE ($KERNEL_VERSION)"
}

# The ISOs (their initrds as iso-itools.img and iso-dracut.img), and the
# host side's images: the same live stacks with kelmo-map's package
# installed by dpkg.
build_initrds() {
  if ((demo)); then live_isos debian; else live_isos debian dracut; fi
  # Copies: the initramfs tools' listers take no symbolic link.
  cp "$LIVE_ISO_DIR/debian.initrd" "$WORK/iso-itools.img"
  ln -s "$LIVE_ISO_DIR/debian.iso" "$WORK/debian.iso"
  if ((!demo)); then
    cp "$LIVE_ISO_DIR/dracut.initrd" "$WORK/iso-dracut.img"
    ln -s "$LIVE_ISO_DIR/dracut.iso" "$WORK/dracut.iso"
    local debroot=$WORK/debroot hostroot=$WORK/hostroot deb
    dpkg_root_init "$debroot"
    mkdir "$WORK/deb"
    deb=$(pkg_deb "$build" "$WORK/deb") || die "cpack failed"
    dpkg --root="$debroot" --log=/dev/null -i "$deb" >/dev/null || die "dpkg -i $deb failed"
    mkdir -p "$hostroot"
    cp -a "$LIVE_ROOT/usr" "$hostroot/"
    cp -a "$debroot/usr" "$hostroot/"
    build_image host-itools live_mkinitramfs "$hostroot" "$WORK/host-itools.img" &
    build_image host-dracut live_dracut "$hostroot" "$WORK/host-dracut.img" &
    wait
  fi
  # name|what|build status|build log
  local images=(
    "iso-itools|mkinitramfs with live-boot, for the Debian live ISO|$LIVE_ISO_DIR/debian.build|$LIVE_ISO_DIR/debian.build.log"
    "iso-dracut|dracut with dmsquash-live, for the dracut live ISO|$LIVE_ISO_DIR/dracut.build|$LIVE_ISO_DIR/dracut.build.log"
    "host-itools|mkinitramfs with live-boot and kelmo-map's hooks (host)|$WORK/host-itools.build|$WORK/host-itools.build.log"
    "host-dracut|dracut with dmsquash-live and kelmo-map's module (host)|$WORK/host-dracut.build|$WORK/host-dracut.build.log"
  )
  ((demo)) && images=("${images[0]}")
  local entry name what status_file build_log images_ok=1
  for entry in "${images[@]}"; do
    IFS='|' read -r name what status_file build_log <<<"$entry"
    image_built "$what" built "$WORK/$name.img" "$status_file" "$build_log" \
      ", $(($(stat -c %s "$WORK/$name.img" 2>/dev/null || echo 0) / 1048576)) MiB" || images_ok=0
  done
  ((images_ok)) || { summary; exit 1; }
}

# What each image holds, from the tools' own listers.
check_initrds() {
  image_has lsinitramfs "$WORK/iso-itools.img" "live-boot" '^(usr/)?bin/live-boot$'
  image_lacks lsinitramfs "$WORK/iso-itools.img" "kelmo-map" 'kelmo-map'
  image_has lsinitramfs "$WORK/iso-itools.img" "exFAT driver (there, to stay unused)" '/fs/exfat/exfat\.ko'
  ((!demo)) || return 0
  image_has lsinitrd "$WORK/iso-dracut.img" "dmsquash-live" ' usr/sbin/dmsquash-live-root$'
  image_lacks lsinitrd "$WORK/iso-dracut.img" "kelmo-map" 'kelmo-map'
  image_has lsinitrd "$WORK/iso-dracut.img" "exFAT driver (there, to stay unused)" '/fs/exfat/exfat\.ko'
  image_has lsinitramfs "$WORK/host-itools.img" "live-boot" '^(usr/)?bin/live-boot$'
  image_has lsinitramfs "$WORK/host-itools.img" "kelmo-map in live-top" '^scripts/live-top/kelmo-map$'
  image_has lsinitrd "$WORK/host-dracut.img" "dmsquash-live" ' usr/sbin/dmsquash-live-root$'
  image_has lsinitrd "$WORK/host-dracut.img" "kelmo-map" ' usr/sbin/kelmo-map$'
  if grep -q 'Including module: systemd ' "$LIVE_ISO_DIR/dracut.build.log"; then
    log "dracut's live image runs systemd"
  fi
}

# The GRUB configuration: a header for the test (serial console; the entry is
# chosen by the machine's SMBIOS product name, so one stick serves every boot
# and stays as it was), then the shipped examples with this stick's serial and
# paths, the console and fail-fast parameters added; then the same entries
# without the add-on (and its rdinit=), each with the stack's own short wait.
example() { # FILE ISO_PATH EXTRA_PARAMS
  sed -e "s|^\(\s*set kelmo_uuid=\).*|\1\"$STICK_SERIAL\"|" -e "s|^\(\s*set kelmo_iso=\).*|\1\"$2\"|" \
    -e "s|^\(\s*linux .*\)$|\1 console=ttyS0 panic=-1 no_timer_check $3|" -e '/^#/d' "$TOP/packaging/live/grub/$1"
}
without_addon() { # the entry, --id ID-noaddon, no add-on, no rdinit=, with EXTRA
  sed -e 's|\(--id [a-z-]*\)|\1-noaddon|' -e 's|" --id|, no add-on" --id|' -e 's| /boot/kelmo-addon.img||' \
    -e 's| rdinit=/kelmo/init||' -e "s|^\(\s*linux .*\)$|\1 $1|"
}
# with_failure serial|path: the entry with the add-on, kelmo-map told a serial
# no partition has or a path not on the stick (GRUB still finds the ISO).
with_failure() {
  case $1 in
    serial) sed -e 's|kelmo\.uuid=\$kelmo_uuid|kelmo.uuid=DEAD-BEEF|' -e 's|\(--id [a-z-]*\)|\1-wrongserial|' \
      -e 's|(kelmo-map)"|(kelmo-map, wrong serial)"|' ;;
    path) sed -e 's|"kelmo\.iso=\$kelmo_iso"|"kelmo.iso='"$MISSING_PATH"'"|' -e 's|\(--id [a-z-]*\)|\1-wrongpath|' \
      -e 's|(kelmo-map)"|(kelmo-map, wrong path)"|' ;;
  esac
}
DRACUT_FAST="rd.shell=0 rd.emergency=poweroff"
MISSING_PATH=/isos/nada.iso
grub_cfg() {
  cat <<'EOF'
serial --unit=0 --speed=115200
terminal_input serial console
terminal_output serial console
set timeout=0
smbios --type 1 --get-string 5 --set kelmo_entry
set default="$kelmo_entry"
EOF
  example debian-live.cfg "$DEBIAN_PATH" ""
  example dracut-live.cfg "$DRACUT_PATH" "$DRACUT_FAST"
  # The Debian entry again with kelmo.usb=ro: the stick reachable beside the ISO.
  example debian-live.cfg "$DEBIAN_PATH" "kelmo.usb=ro" |
    sed -e 's|--id kelmo-debian-live|--id kelmo-debian-live-usb|' -e 's|(kelmo-map)"|(kelmo-map, kelmo.usb=ro)"|'
  example debian-live.cfg "$DEBIAN_PATH" "" | without_addon ""
  example dracut-live.cfg "$DRACUT_PATH" "$DRACUT_FAST" | without_addon "rd.retry=10"
  local failure
  for failure in serial path; do
    example debian-live.cfg "$DEBIAN_PATH" "" | with_failure "$failure"
    example dracut-live.cfg "$DRACUT_PATH" "$DRACUT_FAST rd.retry=10" | with_failure "$failure"
  done
}

# The stick: 256 MiB, MBR; 1: exFAT (serial 1A2B-3C4D), 2: EFI system
# partition, 32 MiB, at the end. GRUB's i386-pc core in the gap before 1,
# its modules and grub.cfg in /boot/grub on the exFAT partition.
make_stick() {
  STICK=$WORK/stick.img
  truncate -s 256M "$STICK"
  printf 'label: dos\nstart=2048, size=458752, type=7, bootable\nstart=460800, type=ef\n' | sfdisk -q "$STICK"
  local p2_start p2_size
  read -r P1_START P1_SIZE p2_start p2_size < <(partitions "$STICK" | tr '\n' ' ') || true
  [ -n "${p2_size:-}" ] || die "could not read the partitions from sfdisk"
  grub_cfg >"$WORK/grub.cfg"
  grep -q 'kelmo-addon.img' "$WORK/grub.cfg" || die "the examples have no add-on line"

  local part disk mnt
  loop_attach part -o $((P1_START * 512)) --sizelimit $((P1_SIZE * 512)) "$STICK"
  mkfs.exfat -L KELMO "$part" >/dev/null
  tune.exfat -I "$STICK_SERIAL_HEX" "$part" >/dev/null
  scratch mnt kelmo-live-stick
  fuse_daemon "$part" "$mnt" "$WORK/exfat-fuse.log" || die "$FUSE_ERROR"
  # Each ISO in 1 MiB pieces, a piece of filler after each: the ISO's
  # clusters are scattered.
  mkdir -p "$mnt$(dirname "$DEBIAN_PATH")" "$mnt$(dirname "$DRACUT_PATH")"
  append_interleaved "$WORK/debian.iso" "$mnt$DEBIAN_PATH" "$mnt/filler-1.bin" 1048576
  ((demo)) || append_interleaved "$WORK/dracut.iso" "$mnt$DRACUT_PATH" "$mnt/filler-2.bin" 1048576
  mkdir -p "$mnt/boot/grub"
  cp "$ADDON" "$mnt/boot/kelmo-addon.img"
  cp "$WORK/grub.cfg" "$mnt/boot/grub/grub.cfg"
  loop_attach disk "$STICK"
  grub-install --target=i386-pc --boot-directory="$mnt/boot" --modules="part_msdos exfat" "$disk" \
    >"$WORK/grub-install.log" 2>&1 || die "grub-install failed: $(tail -n 3 "$WORK/grub-install.log")"
  fuse_daemon_stop || die "mount.exfat-fuse failed: $(tail -n 3 "$WORK/exfat-fuse.log")"
  loop_detach "$disk"
  loop_detach "$part"
  # GRUB for UEFI, as the removable-media path BOOTX64.EFI: finds the exFAT
  # partition by its serial and reads the same grub.cfg there.
  printf 'search --no-floppy --fs-uuid --set=root %s\nset prefix=($root)/boot/grub\n' "$STICK_SERIAL" >"$WORK/efi-early.cfg"
  grub-mkimage -O x86_64-efi -o "$WORK/BOOTX64.EFI" -p /boot/grub -c "$WORK/efi-early.cfg" \
    part_msdos exfat fat search search_fs_uuid normal configfile linux loopback iso9660 echo test \
    smbios serial terminal gzio all_video sleep halt reboot || die "grub-mkimage failed"
  mkfs.vfat -C -n KELMO-EFI "$WORK/esp.img" $((p2_size / 2)) >/dev/null
  mmd -i "$WORK/esp.img" ::/EFI ::/EFI/BOOT
  mcopy -i "$WORK/esp.img" "$WORK/BOOTX64.EFI" ::/EFI/BOOT/BOOTX64.EFI
  dd if="$WORK/esp.img" of="$STICK" bs=512 seek="$p2_start" conv=notrunc,sparse status=none
  STICK_SHA=$(sha256sum <"$STICK" | cut -d' ' -f1)
}

# The runs kelmo-map must announce, read by our own exFAT reader, not by it.
iso_runs() {
  python3 "$EXFAT_RUNS" "$STICK" $((P1_START * 512)) "$1" | sed -n '1s/.*trechos=\([0-9]*\)$/\1/p'
}
check_stick() {
  DEBIAN_RUNS=$(iso_runs "$DEBIAN_PATH")
  log "stick: Debian live ISO in ${DEBIAN_RUNS:-?} runs"
  check "the Debian live ISO is scattered (more than one run)" [ "${DEBIAN_RUNS:-0}" -gt 1 ]
  if ((!demo)); then
    DRACUT_RUNS=$(iso_runs "$DRACUT_PATH")
    log "stick: dracut live ISO in ${DRACUT_RUNS:-?} runs"
    check "the dracut live ISO is scattered (more than one run)" [ "${DRACUT_RUNS:-0}" -gt 1 ]
  fi
  log "stick ready in $(($(date +%s) - started)) s"
}

# name|how|firmware or initrd|entry or parameters|expect
# "grub" boots start the stick's copy from power-on, as USB mass storage on
# an xHCI controller, the machine's only disk, GRUB choosing the entry.
# "kernel" boots start the kernel directly (-kernel) with an initrd of the
# host's and the stick as USB mass storage; "nokeys" boots the Debian live
# ISO itself as the USB disk, its initrd followed by the add-on, with
# rdinit=/kelmo/init and no kelmo.uuid=: live-boot must find the ISO by
# itself as if the add-on were not there.
boot_table() {
  local keys="kelmo.uuid=$STICK_SERIAL \"kelmo.iso=$DEBIAN_PATH\""
  local dkeys="kelmo.uuid=$STICK_SERIAL kelmo.iso=$DRACUT_PATH"
  BOOTS=(
    "bios-debian|grub|bios|kelmo-debian-live|debian"
    "bios-dracut|grub|bios|kelmo-dracut-live|dracut"
    "uefi-debian-usb|grub|uefi|kelmo-debian-live-usb|debian"
    "bios-debian-noaddon|grub|bios|kelmo-debian-live-noaddon|none"
    "bios-dracut-noaddon|grub|bios|kelmo-dracut-live-noaddon|none"
    "host-itools|kernel|host-itools.img|boot=live live-media=/dev/mapper/kelmo-iso $keys|debian"
    "host-dracut|kernel|host-dracut.img|root=live:/dev/mapper/kelmo-iso rd.live.image rd.live.overlay.overlayfs=1 $DRACUT_FAST rd.retry=60 $dkeys|dracut"
    "nokeys-debian|nokeys|iso-itools+addon.img|boot=live rdinit=/kelmo/init|nokeys"
    "bios-debian-wrongserial|grub|bios|kelmo-debian-live-wrongserial|failed"
    "bios-dracut-wrongserial|grub|bios|kelmo-dracut-live-wrongserial|failed"
    "bios-debian-wrongpath|grub|bios|kelmo-debian-live-wrongpath|failed"
    "bios-dracut-wrongpath|grub|bios|kelmo-dracut-live-wrongpath|failed"
  )
  ((demo)) && BOOTS=("${BOOTS[0]}")
  only_boots
  # As GRUB loads them: each initrd starts on a 4-byte boundary.
  cp "$WORK/iso-itools.img" "$WORK/iso-itools+addon.img"
  truncate -s %4 "$WORK/iso-itools+addon.img"
  cat "$ADDON" >>"$WORK/iso-itools+addon.img"
}

boot_one() {
  local name how a b
  IFS='|' read -r name how a b _ <<<"$1"
  local log=$WORK/$name.log
  case $how in
    grub | kernel) cp --sparse=always "$STICK" "$log.img" ;;
    nokeys) cp "$WORK/debian.iso" "$log.img" ;;
  esac
  case $how in
    grub) qemu_boot "$log" 400 --firmware "$a" --product "$b" --disk "usb:$log.img" ;;
    kernel | nokeys) kernel_boot "$log" 300 "$WORK/$a" "usb:$log.img" "$b" ;;
  esac
}
test_run() {
  boot_table
  if ((demo)); then
    log "booting the stick from power-on (GRUB, BIOS): the Debian live ISO with kelmo-map's add-on"
    side_by_side "$WORK" boot_one "${BOOTS[@]}" &
    # The console as it comes.
    tail -n +1 -F "$WORK/${BOOTS[0]%%|*}.log" --pid=$! 2>/dev/null || true
    wait
  else
    side_by_side "$WORK" boot_one "${BOOTS[@]}"
  fi
}

# What a boot whose live root ran must show.
check_live_root() {
  local name=$1 entry=$2 expect=$3 txt=$4 up medium loopfile want runs
  up=$(said "$txt" KELMO-LIVE-UP)
  if [ "$up" = "$LIVE_TOKEN $expect" ]; then
    ok "$name: the $expect live ISO's root ran its /sbin/init"
  else
    not_ok "$name: the $expect live ISO's root never ran ('$up')"
  fi
  check "$name: guest powered off by itself" [ "$status" = 0 ]
  check "$name: the live root is an overlay" [ "$(said "$txt" KELMO-LIVE-ROOT)" = overlay ]
  medium=$(said "$txt" KELMO-LIVE-MEDIUM)
  if [[ $medium =~ ^(/dev/mapper/kelmo-iso|/dev/dm-[0-9]+)\  ]]; then
    ok "$name: the live medium is the mapped ISO ($medium)"
  else
    not_ok "$name: the live medium is '$medium', not the mapped ISO"
  fi
  loopfile=$(said "$txt" KELMO-LIVE-LOOP)
  case $expect in
    debian) want=${medium#* }/live/filesystem.squashfs ;;
    dracut) want=${medium#* }/LiveOS/squashfs.img ;;
  esac
  check "$name: the squashfs is looped from the medium ($loopfile)" [ "$loopfile" = "$want" ]
  if [[ $entry == *-usb ]]; then
    # kelmo.usb=ro: the whole exFAT partition (sda1), read-only, beside the ISO.
    check "$name: the device mapper holds kelmo-iso and kelmo-usb" \
      [ "$(said "$txt" KELMO-LIVE-DM)" = "kelmo-iso kelmo-usb" ]
    check "$name: kelmo-usb is sda1 whole ($P1_SIZE sectors), read-only" \
      [ "$(said "$txt" KELMO-LIVE-USB)" = "1 $P1_SIZE sda1" ]
    check "$name: kelmo-map said the stick is mapped read-only" \
      grep -aqF "$(msg_line "$(msg_usb_mapped ro)")" "$txt"
  else
    check "$name: the device mapper holds kelmo-iso only" [ "$(said "$txt" KELMO-LIVE-DM)" = kelmo-iso ]
    check "$name: no kelmo-usb without kelmo.usb=" [ -z "$(said "$txt" KELMO-LIVE-USB)" ]
  fi
  check "$name: no exFAT driver was loaded" [ "$(said "$txt" KELMO-LIVE-EXFAT)" = no ]
  runs=$DEBIAN_RUNS
  [ "$expect" = dracut ] && runs=$DRACUT_RUNS
  check "$name: kelmo-map mapped the ISO in its $runs runs" \
    grep -aqF "$(msg_line "$(msg_iso_mapped "$runs")")" "$txt"
  if [ "$(sha256sum <"$WORK/$name.log.img" | cut -d' ' -f1)" = "$STICK_SHA" ]; then
    ok "$name: stick image unchanged"
  else
    not_ok "$name: stick image changed during the boot"
  fi
}

# A boot whose live stack must not find its medium: the entry without the
# add-on. The distribution's own failure, kelmo-map silent.
check_no_medium() {
  local name=$1 entry=$2 txt=$3
  check "$name: the live root never ran" [ -z "$(said "$txt" KELMO-LIVE-UP)" ]
  check "$name: kelmo-map did not run" bash -c '! grep -aq "kelmo-map:" "$1"' _ "$txt"
  check "$name: GRUB started the kernel (it printed)" grep -aq 'Linux version\|Run /init\|live-boot\|dracut' "$txt"
  check_stack_failed "$name" "$entry" "$txt"
}
# The live stack's own failure: STACK_FAILED is the line it ends with.
check_stack_failed() {
  local name=$1 entry=$2 txt=$3
  case $entry in
    *debian*)
      STACK_FAILED="Unable to find a medium containing a live file system"
      check "$name: live-boot did not find its medium" grep -aqF "$STACK_FAILED" "$txt"
      ;;
    *dracut*)
      STACK_FAILED="Could not boot|/dev/root does not exist|Timed out waiting for device"
      check "$name: dracut did not find its root" grep -aqE "$STACK_FAILED" "$txt"
      ;;
  esac
}

# A boot whose add-on ran kelmo-map and kelmo-map failed: its line, then the
# distribution's init, which ends as it does without the add-on, never a
# kernel panic from an add-on that did not hand over.
check_add_on_failed() {
  local name=$1 entry=$2 txt=$3 said_line first stack_at
  case $entry in
    *-wrongserial) said_line=$(msg_line "$MSG_NO_PARTITION") ;;
    *-wrongpath) said_line=$(msg_line "$(msg_not_found "${MISSING_PATH##*/}")") ;;
  esac
  check "$name: the live root never ran" [ -z "$(said "$txt" KELMO-LIVE-UP)" ]
  check "$name: kelmo-map said '$said_line'" grep -aqF "$said_line" "$txt"
  check_stack_failed "$name" "$entry" "$txt"
  first=$(grep -anF -m1 "$said_line" "$txt" | cut -d: -f1 || true)
  stack_at=$(grep -anE -m1 "$STACK_FAILED" "$txt" | cut -d: -f1 || true)
  check "$name: the distribution's init gave up after kelmo-map's line (line ${first:-?} < ${stack_at:-?})" \
    test "${first:-0}" -gt 0 -a "${stack_at:-0}" -gt "${first:-0}"
  check "$name: no kernel panic" bash -c '! grep -aqE "Attempted to kill init|Kernel panic" "$1"' _ "$txt"
  check "$name: guest powered off by itself" [ "$status" = 0 ]
}

check_boots() {
  local entry name how a b expect txt before
  for entry in "${BOOTS[@]}"; do
    IFS='|' read -r name how a b expect <<<"$entry"
    job_result "$WORK/$name.status"
    log "boot $name: $took s, qemu status $status"
    txt=$WORK/$name.log.txt
    before=$failed
    case $expect in
      debian | dracut) check_live_root "$name" "$b" "$expect" "$txt" ;;
      nokeys)
        check "$name: the Debian live ISO's root ran its /sbin/init" [ "$(said "$txt" KELMO-LIVE-UP)" = "$LIVE_TOKEN debian" ]
        check "$name: guest powered off by itself" [ "$status" = 0 ]
        check "$name: the live medium is the USB disk itself" \
          [ "$(said "$txt" KELMO-LIVE-MEDIUM)" = "/dev/sda /run/live/medium" ]
        check "$name: no device-mapper device was made" [ -z "$(said "$txt" KELMO-LIVE-DM)" ]
        check "$name: kelmo-map did not run" bash -c '! grep -aq "kelmo-map:" "$1"' _ "$txt"
        ;;
      none) check_no_medium "$name" "$b" "$txt" ;;
      failed) check_add_on_failed "$name" "$b" "$txt" ;;
    esac
    if ((failed > before)); then
      grep -av '^KELMO-' "$txt" | tail -n 25 | sed "s/^/# $name: /" >&2 || true
    fi
    rm -f "$WORK/$name.log.img"
  done
}

test_cleanup() {
  log "total $(($(date +%s) - started)) s"
  keep_logs kelmo-live-logs "$WORK"/*.log "$WORK"/*.log.txt "$WORK"/*.build.log "$WORK/grub.cfg"
}

test_setup
build_initrds
check_initrds
make_stick
check_stick
test_run
check_boots
test_cleanup
summary
