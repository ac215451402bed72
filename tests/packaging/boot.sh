#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Real boots through the real initramfs tools: Debian's mkinitramfs and
# dracut build images for the boot tests' kernel with kelmo-map's hooks as
# installed (initramfs-tools: the files dpkg installed from the .deb; dracut:
# a cmake --install), and QEMU boots them against the boot tests' stick with
# root=/dev/mapper/kelmo-iso. The ISO holds a tiny /sbin/init that reports
# what it sees and powers off: the boot passes when the root file system
# running is the ISO, mapped from the stick.
#
#   tests/packaging/boot.sh BUILD_DIR      (configured and built if needed)
#
# Needs root: a private mount namespace shows the installed files and the
# unpacked kernel at their usual paths to the tools, leaving the host as it was.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
build=$1
. "$(dirname "$0")/common.sh"

[ "$(id -u)" = 0 ] || die "run as root: loop device, FUSE and mount namespaces"
need_tools
for t in mkinitramfs lsinitramfs dracut lsinitrd unshare dpkg-deb cpack; do
  command -v "$t" >/dev/null || die "$t is missing (tools/deps.sh installs it)"
done
pkg_configure "$build" || die "configuring or building $build failed"
started=$(date +%s)
make_work kelmo-pkgboot
fetch_kernel
qemu_accel
log "kernel: $KERNEL_PACKAGE ($KERNEL_VERSION)"

# --- the ISO's root: busybox, the reporting init, an os-release (systemd
# switches only into something that looks like an OS) and a token of this run.
token=$(head -c 8 /dev/urandom | od -An -tx1 | tr -d ' \n')
iso=$WORK/isoroot
mkdir -p "$iso"/{bin,sbin,etc,dev,proc,sys,run,tmp}
busybox_root "$iso"
install -m 0755 "$PKG_TESTS/guest/init" "$iso/sbin/init"
printf 'NAME="kelmo-map test root"\nID=kelmo-test\n' >"$iso/etc/os-release"
echo "$token" >"$iso/kelmo-token"
build_stick "$WORK" "$build/kelmo-map" "$iso"
. "$WORK/expect.sh"
STICK_SHA=$(sha256sum <"$WORK/stick.img" | cut -d' ' -f1)

# --- the installed files: the .deb through dpkg, and a cmake --install
debroot=$WORK/debroot
dpkg_root_init "$debroot"
mkdir "$WORK/deb"
deb=$(pkg_deb "$build" "$WORK/deb") || die "cpack failed"
dpkg --root="$debroot" --log=/dev/null -i "$deb" >/dev/null || die "dpkg -i $deb failed"
instroot=$WORK/instroot
pkg_install "$build" "$instroot" || die "cmake --install failed"

# --- the images
# initramfs-tools, with a configuration of our own (-d) so the host's is not
# used: only the listed modules, which the virtio disk needs; the hooks and
# scripts are the ones installed under /usr/share/initramfs-tools.
conf=$WORK/initramfs-tools
mkdir -p "$conf"/{conf.d,hooks,scripts}
cat >"$conf/initramfs.conf" <<'EOF'
MODULES=list
BUSYBOX=auto
COMPRESS=gzip
RESUME=none
EOF
printf '%s\n' virtio_pci virtio_blk >"$conf/modules"
images_ok=1
# dracut: modules.dep is made where dracut looks (in the namespace only); no
# host configuration; of the kernel's drivers only the virtio ones, besides
# what the modules ask for; files neither stripped nor compressed, to save time.
# "default" is dracut's own choice of modules, on this systemd host a systemd
# image as Debian's dracut makes, less its dm module, as in a hostonly image
# of a machine with no device-mapper volume: kelmo-map must join it unasked,
# and bring what systemd needs to see the device. "shell" is dracut's shell
# init, kelmo-map asked for.
dracut_image() {
  local out=$1
  shift
  dracut_with "$instroot" "$WORK/dracut.conf.d" "$WORK" --drivers "virtio_pci virtio_blk" --nostrip --no-compress \
    --no-early-microcode "$@" "$out"
}
# The three images are made at once (build_image, in common.sh).
build_image itools with_installed "$debroot" mkinitramfs -d "$conf" -o "$WORK/itools.img" "$KERNEL_VERSION" &
build_image dracut-default dracut_image "$WORK/dracut-default.img" --omit dm &
build_image dracut-shell dracut_image "$WORK/dracut-shell.img" -m "base rootfs-block kelmo-map" &
wait
for entry in "itools|mkinitramfs, with the hooks the .deb installed" \
  "dracut-default|dracut, its default modules less dm, with the installed module" \
  "dracut-shell|dracut, shell init, with the installed module"; do
  IFS='|' read -r name what <<<"$entry"
  image_built "$what" "image built" "$WORK/$name.img" "$WORK/$name.build" "$WORK/$name.build.log" || images_ok=0
done
check "dracut's default image took kelmo-map unasked" grep -q 'Including module: kelmo-map ' "$WORK/dracut-default.build.log"
if grep -q 'Including module: systemd ' "$WORK/dracut-default.build.log"; then
  log "dracut's default image runs systemd"
else
  log "dracut's default image runs dracut's shell init (no systemd here)"
fi
# Without its binary the module declines (check() fails), and dracut says so.
nobin=$WORK/instroot-nobin
cp -a "$instroot" "$nobin"
rm "$nobin/usr/sbin/kelmo-map"
if with_installed "$nobin" dracut --force --no-hostonly --no-kernel --kver "$KERNEL_VERSION" --conf /dev/null \
  --confdir "$WORK/dracut.conf.d" --tmpdir "$WORK" -m "base kelmo-map" --no-compress "$WORK/nobin.img" \
  >"$WORK/nobin.log" 2>&1; then
  not_ok "dracut took kelmo-map without its binary"
else
  check "dracut declines kelmo-map without its binary" \
    grep -q "kelmo-map' will not be installed, because command '/usr/sbin/kelmo-map' could not be found" "$WORK/nobin.log"
fi

# What each image must hold, from the tools' own listers.
image_has lsinitramfs "$WORK/itools.img" "kelmo-map binary" '^usr/sbin/kelmo-map$'
image_has lsinitramfs "$WORK/itools.img" "local-top script" '^scripts/local-top/kelmo-map$'
image_has lsinitramfs "$WORK/itools.img" "dm-mod module" '/kernel/drivers/md/dm-mod\.ko$'
image_has lsinitramfs "$WORK/itools.img" "isofs module" '/kernel/fs/isofs/isofs\.ko$'
for mode in default shell; do
  img=$WORK/dracut-$mode.img
  image_has lsinitrd "$img" "kelmo-map binary" ' usr/sbin/kelmo-map$'
  image_has lsinitrd "$img" "kelmo-map job" ' usr/sbin/kelmo-map-job$'
  image_has lsinitrd "$img" "cmdline hook" ' usr/lib/dracut/hooks/cmdline/90-kelmo-map-cmdline\.sh$'
  image_has lsinitrd "$img" "udev rule" ' etc/udev/rules\.d/90-kelmo-map\.rules$'
  image_has lsinitrd "$img" "dm-mod module" '/kernel/drivers/md/dm-mod\.ko$'
  image_has lsinitrd "$img" "isofs module" '/kernel/fs/isofs/isofs\.ko$'
done
log "images ready in $(($(date +%s) - started)) s"

# --- the boots
# name|image|disk|kernel parameters. "map" boots get the stick and the keys;
# "nokeys" boots get the ISO itself as their disk and no keys: the hooks
# must stay out of the way: no dm_mod loaded, no kelmo-map run.
keys="kelmo.uuid=$SERIAL kelmo.iso=\"$B_PATH\""
fail_fast="rd.shell=0 rd.emergency=poweroff rd.retry=60"
BOOTS=(
  "itools-map|itools.img|stick|ro root=/dev/mapper/kelmo-iso $keys"
  "itools-nokeys|itools.img|iso|ro root=/dev/vda"
  "dracut-default-map|dracut-default.img|stick|ro root=/dev/mapper/kelmo-iso $fail_fast $keys"
  "dracut-default-nokeys|dracut-default.img|iso|ro root=/dev/vda $fail_fast"
  "dracut-shell-map|dracut-shell.img|stick|ro root=/dev/mapper/kelmo-iso $fail_fast $keys"
  "itools-usb|itools.img|stick|ro root=/dev/mapper/kelmo-iso $keys kelmo.usb=ro"
  "dracut-default-usb|dracut-default.img|stick|ro root=/dev/mapper/kelmo-iso $fail_fast $keys kelmo.usb=ro"
)
# The "-usb" boots pass kelmo.usb=ro: the running system must also have
# kelmo-usb, read-only, the whole partition.
read -r _ part_sectors < <(partitions "$WORK/stick.img")
boot_one() {
  local name image disk params
  IFS='|' read -r name image disk params <<<"$1"
  case $disk in
    stick) cp --sparse=always "$WORK/stick.img" "$WORK/$name.img" ;;
    iso) cp "$WORK/b.iso" "$WORK/$name.img" ;;
  esac
  kernel_boot "$WORK/$name.log" 180 "$WORK/$image" "virtio:$WORK/$name.img" "$params"
}
if ((images_ok)); then side_by_side "$WORK" boot_one "${BOOTS[@]}"; fi

for entry in "${BOOTS[@]}"; do
  IFS='|' read -r name image disk params <<<"$entry"
  if ((!images_ok)); then
    not_ok "$name: not booted, an image is missing"
    continue
  fi
  job_result "$WORK/$name.status"
  log "boot $name: $took s, qemu status $status"
  txt=$WORK/$name.log.txt
  before=$failed
  if [ "$(said "$txt" KELMO-ROOT-UP)" = "$token" ]; then
    ok "$name: the ISO's /sbin/init ran as PID 1"
  else
    not_ok "$name: the ISO's /sbin/init never ran"
  fi
  check "$name: the ISO's data read back whole" [ "$(said "$txt" KELMO-ROOT-DATA)" = "$B_DATA_SHA" ]
  check "$name: guest powered off by itself" [ "$status" = 0 ]
  mounted=$(said "$txt" KELMO-ROOT-MOUNT)
  case $disk in
    stick)
      if [[ $mounted =~ ^(/dev/mapper/kelmo-iso|/dev/dm-[0-9]+)\ iso9660$ ]]; then
        ok "$name: root is the mapped ISO ($mounted)"
      else
        not_ok "$name: root is '$mounted', not the mapped ISO"
      fi
      want_dm=kelmo-iso
      [[ $name == *-usb ]] && want_dm="kelmo-iso kelmo-usb"
      check "$name: the device mapper holds $want_dm" [ "$(said "$txt" KELMO-ROOT-DM)" = "$want_dm" ]
      if [[ $name == *-usb ]]; then
        check "$name: kelmo-map reported kelmo-usb read-only" \
          grep -aqF "$(msg_line "$(msg_usb_mapped ro)")" "$txt"
        got=$(said "$txt" KELMO-ROOT-USB)
        check "$name: the running system has kelmo-usb, read-only, the whole vda1 ($got)" \
          [ "$got" = "1 $part_sectors vda1 $((part_sectors * 512))" ]
      fi
      check "$name: kelmo-map reported the mapping in $B_RUNS runs" \
        grep -aqF "$(msg_line "$(msg_iso_mapped "$B_RUNS")")" "$txt"
      if [ "$(sha256sum <"$WORK/$name.img" | cut -d' ' -f1)" = "$STICK_SHA" ]; then
        ok "$name: stick image unchanged"
      else
        not_ok "$name: stick image changed during the boot"
      fi
      ;;
    iso)
      check "$name: root is the ISO disk itself" [ "$mounted" = "/dev/vda iso9660" ]
      check "$name: no device-mapper device was made" \
        bash -c 'grep -aqx "KELMO-ROOT-DM *" "$1"' _ "$txt"
      check "$name: kelmo-map did not run (no line from it)" bash -c '! grep -aq "kelmo-map:" "$1"' _ "$txt"
      check "$name: dm_mod was not loaded" [ "$(said "$txt" KELMO-ROOT-DM_MOD)" = no ]
      ;;
  esac
  if ((failed > before)); then
    grep -av '^KELMO-' "$txt" | tail -n 15 | sed "s/^/# $name: /" >&2 || true
  fi
  rm -f "$WORK/$name.img"
done

log "total $(($(date +%s) - started)) s"
keep_logs kelmo-pkgboot-logs "$WORK"/*.log "$WORK"/*.log.txt "$WORK/expect.sh"
summary
