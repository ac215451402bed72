#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Live ISOs booted from power-on. A stick made as people make them (MBR, GRUB
# for BIOS in it, an exFAT partition, an EFI system partition with GRUB for
# UEFI beside it), attached to QEMU as USB mass storage, holds two live ISOs
# built here from Debian's own packages, each scattered over the exFAT
# partition:
#   Debian live: live/vmlinuz, live/initrd.img (mkinitramfs with live-boot),
#                live/filesystem.squashfs
#   dracut live: boot/vmlinuz, boot/initrd.img (dracut with dmsquash-live),
#                LiveOS/squashfs.img
# Neither initrd knows kelmo-map. GRUB boots each through the shipped example
# entry, which adds kelmo-map's add-on initramfs; the squashfs root's init
# reports what it sees. The same entries without the add-on must not find
# their medium. Then the host side: images built by mkinitramfs with live-boot
# and by dracut with dmsquash-live, with kelmo-map's hooks as installed, boot
# the same ISOs' live roots with no add-on.
#
#   tests/packaging/live.sh BUILD_DIR          (configured and built if needed)
#   tests/packaging/live.sh BUILD_DIR --demo   one GRUB boot, its console shown
#
# Cost under TCG on two cores: about 2.5 minutes for the four initrds, the
# ISOs and the stick, and 4 for the eight boots, two at a time (30 to 55 s
# each; the Debian entry without the add-on takes 85 s, live-boot's fixed 60
# tries). --demo: one initrd and one boot, about 1.5 minutes.
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

[ "$(id -u)" = 0 ] || die "run as root: loop devices, FUSE and mount namespaces"
need_tools
for t in mkinitramfs lsinitramfs dracut lsinitrd unshare dpkg-deb cpack grub-install grub-mkimage \
  mksquashfs mkfs.vfat mmd mcopy zstd; do
  command -v "$t" >/dev/null || die "$t is missing (tools/deps.sh installs it)"
done
OVMF_CODE=/usr/share/OVMF/OVMF_CODE_4M.fd
OVMF_VARS=/usr/share/OVMF/OVMF_VARS_4M.fd
[ -f "$OVMF_CODE" ] && [ -f "$OVMF_VARS" ] || die "OVMF is missing (tools/deps.sh installs ovmf)"
[ -d /usr/lib/grub/i386-pc ] && [ -d /usr/lib/grub/x86_64-efi ] ||
  die "GRUB's images are missing (tools/deps.sh installs grub-pc-bin and grub-efi-amd64-bin)"
pkg_configure "$build" || die "configuring or building $build failed"
addon=$build/packaging/kelmo-addon.img
[ -s "$addon" ] || die "$addon was not built"
started=$(date +%s)
make_work kelmo-live
fetch_kernel
kernel_vars
log "kernel: $KERNEL_PACKAGE ($KERNEL_VERSION)"

# --- the live stacks, unpacked: live-boot for initramfs-tools, dracut-live.
# Debian's /bin and /lib are /usr/bin and /usr/lib, so everything lands in usr/.
LIVE_PACKAGES=(live-boot live-boot-initramfs-tools dracut-live)
fetch_live_packages() {
  local dir=$BOOT_CACHE/live-packages p missing=()
  mkdir -p "$dir"
  for p in "${LIVE_PACKAGES[@]}"; do
    compgen -G "$dir/${p}_*.deb" >/dev/null || missing+=("$p")
  done
  if ((${#missing[@]})); then
    log "downloading ${missing[*]} into $dir"
    (cd "$dir" && apt-get download "${missing[@]}" >"$WORK/download.log" 2>&1) ||
      die "apt-get download ${missing[*]} failed: $(tail -n 3 "$WORK/download.log")"
  fi
  LIVE_DEBS=()
  for p in "${LIVE_PACKAGES[@]}"; do LIVE_DEBS+=("$(ls "$dir/${p}"_*.deb | tail -n 1)"); done
}
fetch_live_packages
liveroot=$WORK/liveroot
mkdir -p "$liveroot/usr"
for deb in "${LIVE_DEBS[@]}"; do
  log "unpacked: $(basename "$deb")"
  dpkg -x "$deb" "$liveroot"
done
for d in bin sbin lib; do
  if [ -d "$liveroot/$d" ]; then
    mkdir -p "$liveroot/usr/$d"
    cp -a "$liveroot/$d"/. "$liveroot/usr/$d"/
    rm -rf "${liveroot:?}/$d"
  fi
done
# The host side: the same stacks with kelmo-map's package installed by dpkg.
debroot=$WORK/debroot
dpkg_root_init "$debroot"
mkdir "$WORK/deb"
deb=$(pkg_deb "$build" "$WORK/deb") || die "cpack failed"
dpkg --root="$debroot" --log=/dev/null -i "$deb" >/dev/null || die "dpkg -i $deb failed"
hostroot=$WORK/hostroot
mkdir -p "$hostroot"
cp -a "$liveroot/usr" "$hostroot/"
cp -a "$debroot/usr" "$hostroot/"

# --- the live roots: busybox, the reporting init, an os-release, a token
token=$(head -c 8 /dev/urandom | od -An -tx1 | tr -d ' \n')
make_root() {
  local root=$1 layout=$2
  mkdir -p "$root"/{bin,sbin,etc,dev,proc,sys,run,tmp,root,var,mnt}
  busybox_root "$root"
  install -m 0755 "$PKG_TESTS/guest/live-init" "$root/sbin/init"
  printf 'NAME="kelmo-map live test"\nID=kelmo-live\n' >"$root/etc/os-release"
  echo "$token" >"$root/kelmo-token"
  echo "$layout" >"$root/kelmo-layout"
}

# --- the initrds, two at a time (two cores), each leaving status and time
conf=$WORK/initramfs-tools
mkdir -p "$conf"/{conf.d,hooks,scripts}
# As a live ISO's initrd: USB host and storage drivers, ISO 9660, and the exFAT driver,
# there to show that it is not what finds the ISO.
cat >"$conf/initramfs.conf" <<'EOF'
MODULES=list
BUSYBOX=auto
COMPRESS=zstd
COMPRESSLEVEL=3
RESUME=none
EOF
: >"$conf/modules"
# Carried, not loaded at start (what /conf/modules lists is): udev and the
# live stack load them as they need them.
cat >"$conf/hooks/live-iso-drivers" <<'EOF'
#!/bin/sh
[ "$1" = prereqs ] && exit 0
. /usr/share/initramfs-tools/hook-functions
manual_add_modules xhci_pci ehci_pci uhci_hcd ohci_pci usb_storage uas sd_mod isofs exfat
EOF
chmod 0755 "$conf/hooks/live-iso-drivers"
mkdir -p "$WORK/dracut.conf.d"
live_drivers="xhci_pci ehci_pci uhci_hcd ohci_pci usb_storage uas sd_mod exfat"
mkinitramfs_in() {
  local root=$1 out=$2
  with_installed "$root" mkinitramfs -d "$conf" -o "$out" "$KERNEL_VERSION"
}
dracut_in() {
  local root=$1 out=$2
  shift 2
  with_installed "$root" /bin/sh -c 'depmod "$1" && shift && exec "$@"' sh "$KERNEL_VERSION" \
    dracut --force --no-hostonly --kver "$KERNEL_VERSION" --conf /dev/null --confdir "$WORK/dracut.conf.d" \
    --tmpdir "$WORK" --drivers "$live_drivers" --nostrip --compress "zstd -3 -q -T0" --no-early-microcode \
    --add dmsquash-live "$@" "$out"
}
IMAGES=(
  "iso-itools|mkinitramfs with live-boot, for the Debian live ISO"
  "iso-dracut|dracut with dmsquash-live, for the dracut live ISO"
  "host-itools|mkinitramfs with live-boot and kelmo-map's hooks (host)"
  "host-dracut|dracut with dmsquash-live and kelmo-map's module (host)"
)
if ((demo)); then IMAGES=("${IMAGES[0]}"); fi
build_image iso-itools mkinitramfs_in "$liveroot" "$WORK/iso-itools.img" &
((demo)) || build_image iso-dracut dracut_in "$liveroot" "$WORK/iso-dracut.img" &
wait
if ((!demo)); then
  build_image host-itools mkinitramfs_in "$hostroot" "$WORK/host-itools.img" &
  build_image host-dracut dracut_in "$hostroot" "$WORK/host-dracut.img" &
  wait
fi
images_ok=1
for entry in "${IMAGES[@]}"; do
  IFS='|' read -r name what <<<"$entry"
  job_result "$WORK/$name.build"
  if [ "$status" = 0 ] && [ -s "$WORK/$name.img" ]; then
    ok "$what: built ($took s, $(($(stat -c %s "$WORK/$name.img") / 1048576)) MiB)"
  else
    not_ok "$what: failed ($status): $(grep -v '^dracut: \*\*\*' "$WORK/$name.build.log" | tail -n 5 | tr '\n' ' ')"
    images_ok=0
  fi
done
((images_ok)) || { summary; exit 1; }

# What each image holds, from the tools' own listers.
image_has() {
  local lister=$1 img=$2 what=$3 pattern=$4 listing
  listing=$($lister "$img" 2>/dev/null || true)
  if grep -Eq "$pattern" <<<"$listing"; then ok "$(basename "$img"): $what"; else not_ok "$(basename "$img"): no $what"; fi
}
image_lacks() {
  local lister=$1 img=$2 what=$3 pattern=$4 listing
  listing=$($lister "$img" 2>/dev/null || true)
  if [ -n "$listing" ] && ! grep -Eq "$pattern" <<<"$listing"; then
    ok "$(basename "$img"): no $what"
  else
    not_ok "$(basename "$img"): has $what (or could not be listed)"
  fi
}
image_has lsinitramfs "$WORK/iso-itools.img" "live-boot" '^(usr/)?bin/live-boot$'
image_lacks lsinitramfs "$WORK/iso-itools.img" "kelmo-map" 'kelmo-map'
image_has lsinitramfs "$WORK/iso-itools.img" "exFAT driver (there, to stay unused)" '/fs/exfat/exfat\.ko'
if ((!demo)); then
  image_has lsinitrd "$WORK/iso-dracut.img" "dmsquash-live" ' usr/sbin/dmsquash-live-root$'
  image_lacks lsinitrd "$WORK/iso-dracut.img" "kelmo-map" 'kelmo-map'
  image_has lsinitrd "$WORK/iso-dracut.img" "exFAT driver (there, to stay unused)" '/fs/exfat/exfat\.ko'
  image_has lsinitramfs "$WORK/host-itools.img" "live-boot" '^(usr/)?bin/live-boot$'
  image_has lsinitramfs "$WORK/host-itools.img" "kelmo-map in live-top" '^scripts/live-top/kelmo-map$'
  image_has lsinitrd "$WORK/host-dracut.img" "dmsquash-live" ' usr/sbin/dmsquash-live-root$'
  image_has lsinitrd "$WORK/host-dracut.img" "kelmo-map" ' usr/sbin/kelmo-map$'
fi
if grep -q 'Including module: systemd ' "$WORK/iso-dracut.build.log" 2>/dev/null; then
  log "dracut's live image runs systemd"
fi

# --- the ISOs
debian_iso=$WORK/debian
mkdir -p "$debian_iso/live"
make_root "$WORK/root-debian" debian
mksquashfs "$WORK/root-debian" "$debian_iso/live/filesystem.squashfs" -noappend -quiet -no-progress >/dev/null
cp "$KERNEL_IMAGE" "$debian_iso/live/vmlinuz"
cp "$WORK/iso-itools.img" "$debian_iso/live/initrd.img"
xorriso -as mkisofs -quiet -R -V KELMO_DEBIAN_LIVE -o "$WORK/debian.iso" "$debian_iso" 2>/dev/null
if ((!demo)); then
  dracut_iso=$WORK/dracut
  mkdir -p "$dracut_iso/boot" "$dracut_iso/LiveOS"
  make_root "$WORK/root-dracut" dracut
  mksquashfs "$WORK/root-dracut" "$dracut_iso/LiveOS/squashfs.img" -noappend -quiet -no-progress >/dev/null
  cp "$KERNEL_IMAGE" "$dracut_iso/boot/vmlinuz"
  cp "$WORK/iso-dracut.img" "$dracut_iso/boot/initrd.img"
  xorriso -as mkisofs -quiet -R -V KELMO_DRACUT_LIVE -o "$WORK/dracut.iso" "$dracut_iso" 2>/dev/null
fi

# --- the stick: 256 MiB, MBR; 1: exFAT (serial 1A2B-3C4D), 2: EFI system
# partition, 32 MiB, at the end. GRUB's i386-pc core in the gap before 1,
# its modules and grub.cfg in /boot/grub on the exFAT partition.
DEBIAN_PATH="/Kelmo ISOs/debian live.iso"
DRACUT_PATH=/isos/dracut-live.iso
stick=$WORK/stick.img
truncate -s 256M "$stick"
printf 'label: dos\nstart=2048, size=458752, type=7, bootable\nstart=460800, type=ef\n' | sfdisk -q "$stick"
read -r p1_start p1_size p2_start p2_size < <(partitions "$stick" | tr '\n' ' ') || true
[ -n "${p2_size:-}" ] || die "could not read the partitions from sfdisk"

# The GRUB configuration: a header for the test (serial console; the entry is
# chosen by the machine's SMBIOS product name, so one stick serves every boot
# and stays as it was), then the shipped examples with this stick's serial and
# paths, the console and fail-fast parameters added; then the same entries
# without the add-on (and its rdinit=), each with the stack's own short wait.
example() { # FILE ISO_PATH EXTRA_PARAMS
  sed -e "s|^\(\s*set kelmo_uuid=\).*|\1\"$STICK_SERIAL\"|" -e "s|^\(\s*set kelmo_iso=\).*|\1\"$2\"|" \
    -e "s|^\(\s*linux .*\)$|\1 console=ttyS0 panic=-1 $3|" -e '/^#/d' "$PKG_DIR/live/grub/$1"
}
without_addon() { # the entry, --id ID-noaddon, no add-on, no rdinit=, with EXTRA
  sed -e 's|\(--id [a-z-]*\)|\1-noaddon|' -e 's|" --id|, no add-on" --id|' -e 's| /boot/kelmo-addon.img||' \
    -e 's| rdinit=/kelmo/init||' -e "s|^\(\s*linux .*\)$|\1 $1|"
}
PKG_DIR=$TOP/packaging
dracut_fast="rd.shell=0 rd.emergency=poweroff"
{
  cat <<'EOF'
serial --unit=0 --speed=115200
terminal_input serial console
terminal_output serial console
set timeout=0
smbios --type 1 --get-string 5 --set kelmo_entry
set default="$kelmo_entry"
EOF
  example debian-live.cfg "$DEBIAN_PATH" ""
  example dracut-live.cfg "$DRACUT_PATH" "$dracut_fast"
  # The Debian entry again with kelmo.usb=ro: the stick reachable beside the ISO.
  example debian-live.cfg "$DEBIAN_PATH" "kelmo.usb=ro" |
    sed -e 's|--id kelmo-debian-live|--id kelmo-debian-live-usb|' -e 's|(kelmo-map)"|(kelmo-map, kelmo.usb=ro)"|'
  example debian-live.cfg "$DEBIAN_PATH" "" | without_addon ""
  example dracut-live.cfg "$DRACUT_PATH" "$dracut_fast" | without_addon "rd.retry=10"
} >"$WORK/grub.cfg"
grep -q 'kelmo-addon.img' "$WORK/grub.cfg" || die "the examples have no add-on line"

loop_attach part -o $((p1_start * 512)) --sizelimit $((p1_size * 512)) "$stick"
mkfs.exfat -L KELMO "$part" >/dev/null
tune.exfat -I "$STICK_SERIAL_HEX" "$part" >/dev/null
mnt=$(mktemp -d /tmp/kelmo-live-stick.XXXXXX)
TMP_PATHS+=("$mnt")
fuse_daemon "$part" "$mnt" "$WORK/exfat-fuse.log" || die "$FUSE_ERROR"
# Each ISO in 1 MiB pieces, a piece of filler after each: the ISO's clusters
# are scattered.
scatter() {
  mkdir -p "$(dirname "$2")"
  append_interleaved "$1" "$2" "$3" 1048576
}
scatter "$WORK/debian.iso" "$mnt$DEBIAN_PATH" "$mnt/filler-1.bin"
((demo)) || scatter "$WORK/dracut.iso" "$mnt$DRACUT_PATH" "$mnt/filler-2.bin"
mkdir -p "$mnt/boot/grub"
cp "$addon" "$mnt/boot/kelmo-addon.img"
cp "$WORK/grub.cfg" "$mnt/boot/grub/grub.cfg"
loop_attach disk "$stick"
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
dd if="$WORK/esp.img" of="$stick" bs=512 seek="$p2_start" conv=notrunc,sparse status=none
STICK_SHA=$(sha256sum <"$stick" | cut -d' ' -f1)
# The runs kelmo-map must announce, read by our own exFAT reader, not by it.
iso_runs() {
  python3 "$BOOT_DIR/exfat_runs.py" "$stick" $((p1_start * 512)) "$1" | sed -n '1s/.*trechos=\([0-9]*\)$/\1/p'
}
DEBIAN_RUNS=$(iso_runs "$DEBIAN_PATH")
log "stick: Debian live ISO in ${DEBIAN_RUNS:-?} runs"
check "the Debian live ISO is scattered (more than one run)" [ "${DEBIAN_RUNS:-0}" -gt 1 ]
if ((!demo)); then
  DRACUT_RUNS=$(iso_runs "$DRACUT_PATH")
  log "stick: dracut live ISO in ${DRACUT_RUNS:-?} runs"
  check "the dracut live ISO is scattered (more than one run)" [ "${DRACUT_RUNS:-0}" -gt 1 ]
fi
log "stick ready in $(($(date +%s) - started)) s"

# --- the boots
# power_on LOG SECONDS FIRMWARE ENTRY: the stick's copy LOG.img as USB mass
# storage on an xHCI controller, the machine's only disk; FIRMWARE bios or uefi.
power_on() {
  local log=$1 seconds=$2 fw=$3 entry=$4 status=0 pid firmware=()
  if [ "$fw" = uefi ]; then
    cp "$OVMF_VARS" "$log.vars"
    firmware=(-drive "if=pflash,format=raw,readonly=on,file=$OVMF_CODE" -drive "if=pflash,format=raw,file=$log.vars")
  fi
  timeout -k 5 "$seconds" qemu-system-x86_64 -accel "$KELMO_QEMU_ACCEL" -machine q35 -nographic -nodefaults \
    -serial stdio -m 1024 -no-reboot "${firmware[@]}" -smbios "type=1,product=$entry" \
    -device qemu-xhci,id=xhci -drive "if=none,id=stick,file=$log.img,format=raw" \
    -device usb-storage,bus=xhci.0,drive=stick,bootindex=0 </dev/null >"$log" 2>&1 &
  pid=$!
  echo "$pid" >"$log.pid"
  wait "$pid" || status=$?
  rm -f "$log.pid" "$log.vars"
  tr -d '\r' <"$log" | sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' >"$log.txt"
  return $status
}
# name|how|firmware or initrd|entry or parameters|expect
# "kernel" boots start the kernel directly (-kernel) with an initrd of the
# host's and the stick as USB mass storage; "nokeys" boots the Debian live
# ISO itself as the USB disk, its initrd followed by the add-on, with
# rdinit=/kelmo/init and no kelmo.uuid=: live-boot must find the ISO by
# itself as if the add-on were not there.
keys="kelmo.uuid=$STICK_SERIAL \"kelmo.iso=$DEBIAN_PATH\""
dkeys="kelmo.uuid=$STICK_SERIAL kelmo.iso=$DRACUT_PATH"
BOOTS=(
  "bios-debian|grub|bios|kelmo-debian-live|debian"
  "bios-dracut|grub|bios|kelmo-dracut-live|dracut"
  "uefi-debian-usb|grub|uefi|kelmo-debian-live-usb|debian"
  "bios-debian-noaddon|grub|bios|kelmo-debian-live-noaddon|none"
  "bios-dracut-noaddon|grub|bios|kelmo-dracut-live-noaddon|none"
  "host-itools|kernel|host-itools.img|boot=live live-media=/dev/mapper/kelmo-iso $keys|debian"
  "host-dracut|kernel|host-dracut.img|root=live:/dev/mapper/kelmo-iso rd.live.image rd.live.overlay.overlayfs=1 $dracut_fast rd.retry=60 $dkeys|dracut"
  "nokeys-debian|nokeys|iso-itools+addon.img|boot=live rdinit=/kelmo/init|nokeys"
)
# As GRUB loads them: each initrd starts on a 4-byte boundary.
cp "$WORK/iso-itools.img" "$WORK/iso-itools+addon.img"
truncate -s %4 "$WORK/iso-itools+addon.img"
cat "$addon" >>"$WORK/iso-itools+addon.img"
((demo)) && BOOTS=("${BOOTS[0]}")
boot_one() {
  local name=$1 how=$2 a=$3 b=$4 status=0 t0
  t0=$(date +%s)
  cp --sparse=always "$stick" "$WORK/$name.log.img"
  case $how in
    grub) power_on "$WORK/$name.log" 400 "$a" "$b" || status=$? ;;
    kernel) INITRAMFS=$WORK/$a STICK_IMG=$WORK/$name.log.img boot_vm "$WORK/$name.log" 300 usb "$b" || status=$? ;;
    nokeys)
      cp "$WORK/debian.iso" "$WORK/$name.log.img"
      INITRAMFS=$WORK/$a STICK_IMG=$WORK/$name.log.img boot_vm "$WORK/$name.log" 300 usb "$b" || status=$?
      ;;
  esac
  echo "$status $(($(date +%s) - t0))" >"$WORK/$name.status"
}
jobs_max=${KELMO_BOOT_JOBS:-$(nproc)}
for entry in "${BOOTS[@]}"; do
  IFS='|' read -r name how a b expect <<<"$entry"
  while (($(jobs -rp | wc -l) >= jobs_max)); do wait -n || true; done
  if ((demo)); then
    log "booting the stick from power-on (GRUB, BIOS): the Debian live ISO with kelmo-map's add-on"
    boot_one "$name" "$how" "$a" "$b" &
    # The console as it comes.
    sleep 1
    tail -n +1 -f "$WORK/$name.log" --pid=$! 2>/dev/null || true
  else
    boot_one "$name" "$how" "$a" "$b" &
  fi
done
wait

said() { grep -a -o -m1 "$2 .*" "$1" | cut -d' ' -f2- || true; }
for entry in "${BOOTS[@]}"; do
  IFS='|' read -r name how a b expect <<<"$entry"
  job_result "$WORK/$name.status"
  log "boot $name: $took s, qemu status $status"
  txt=$WORK/$name.log.txt
  before=$failed
  up=$(said "$txt" KELMO-LIVE-UP)
  case $expect in
    debian | dracut)
      if [ "$up" = "$token $expect" ]; then
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
      if [[ $b == *-usb ]]; then
        # kelmo.usb=ro: the whole exFAT partition (sda1), read-only, beside the ISO.
        check "$name: the device mapper holds kelmo-iso and kelmo-usb" \
          [ "$(said "$txt" KELMO-LIVE-DM)" = "kelmo-iso kelmo-usb" ]
        check "$name: kelmo-usb is sda1 whole ($p1_size sectors), read-only" \
          [ "$(said "$txt" KELMO-LIVE-USB)" = "1 $p1_size sda1" ]
        check "$name: kelmo-map said the stick is mapped read-only" \
          grep -aqF "kelmo-map: USB -> /dev/mapper/kelmo-usb (somente leitura)" "$txt"
      else
        check "$name: the device mapper holds kelmo-iso only" [ "$(said "$txt" KELMO-LIVE-DM)" = kelmo-iso ]
        check "$name: no kelmo-usb without kelmo.usb=" [ -z "$(said "$txt" KELMO-LIVE-USB)" ]
      fi
      check "$name: no exFAT driver was loaded" [ "$(said "$txt" KELMO-LIVE-EXFAT)" = no ]
      runs=$DEBIAN_RUNS
      [ "$expect" = dracut ] && runs=$DRACUT_RUNS
      check "$name: kelmo-map mapped the ISO in its $runs runs" \
        grep -aqF "kelmo-map: ISO -> /dev/mapper/kelmo-iso ($runs trechos)" "$txt"
      if [ "$(sha256sum <"$WORK/$name.log.img" | cut -d' ' -f1)" = "$STICK_SHA" ]; then
        ok "$name: stick image unchanged"
      else
        not_ok "$name: stick image changed during the boot"
      fi
      ;;
    nokeys)
      check "$name: the Debian live ISO's root ran its /sbin/init" [ "$up" = "$token debian" ]
      check "$name: guest powered off by itself" [ "$status" = 0 ]
      check "$name: the live medium is the USB disk itself" \
        [ "$(said "$txt" KELMO-LIVE-MEDIUM)" = "/dev/sda /run/live/medium" ]
      check "$name: no device-mapper device was made" [ -z "$(said "$txt" KELMO-LIVE-DM)" ]
      check "$name: kelmo-map did not run" bash -c '! grep -aq "kelmo-map:" "$1"' _ "$txt"
      ;;
    none)
      check "$name: the live root never ran" [ -z "$up" ]
      check "$name: kelmo-map did not run" bash -c '! grep -aq "kelmo-map:" "$1"' _ "$txt"
      check "$name: GRUB started the kernel (it printed)" grep -aq 'Linux version\|Run /init\|live-boot\|dracut' "$txt"
      case $b in
        *debian*) check "$name: live-boot did not find its medium" \
          grep -aqF "Unable to find a medium containing a live file system" "$txt" ;;
        *dracut*) check "$name: dracut did not find its root" \
          grep -aqE "Could not boot|/dev/root does not exist|Timed out waiting for device" "$txt" ;;
      esac
      ;;
  esac
  if ((failed > before)); then
    grep -av '^KELMO-' "$txt" | tail -n 25 | sed "s/^/# $name: /" >&2 || true
  fi
  rm -f "$WORK/$name.log.img"
done

log "total $(($(date +%s) - started)) s"
keep_logs kelmo-live-logs "$WORK"/*.log "$WORK"/*.log.txt "$WORK"/*.build.log "$WORK/grub.cfg"
summary
