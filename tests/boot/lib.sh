# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# The boot tests' own pieces: the initramfs whose /init runs the guest's
# cases, and what the kelmo.usb boots add to it. Sourced by run.sh and
# demo.sh (and bench/run.sh); the stick images with their ISOs, the kernel,
# the initramfs builders and QEMU are tests/lib's.

BOOT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# shellcheck source=../lib/tools.sh
. "$BOOT_DIR/../lib/tools.sh"
# shellcheck source=../lib/images.sh
. "$BOOT_DIR/../lib/images.sh"
# shellcheck source=../lib/initramfs.sh
. "$BOOT_DIR/../lib/initramfs.sh"
# shellcheck source=../lib/qemu.sh
. "$BOOT_DIR/../lib/qemu.sh"
# shellcheck source=../lib/messages.sh
. "$BOOT_DIR/../lib/messages.sh"
# shellcheck source=../lib/sticks.sh
. "$BOOT_DIR/../lib/sticks.sh"

# Two groups: what every boot loads at once, and the USB stack, which one boot
# loads only after kelmo-map has started scanning.
BASE_MODULES=(virtio_pci virtio_blk dm_mod isofs loop)
USB_MODULES=(xhci_pci usb_storage sd_mod)

# build_initramfs OUT BINARY EXPECT_FILE
build_initramfs() {
  local out=$1 binary=$2 expect=$3
  local root
  root=$(mktemp -d /tmp/kelmo-initramfs.XXXXXX)
  TMP_PATHS+=("$root")
  mkdir -p "$root"/{bin,dev,proc,sys,tmp,mnt,etc/kelmo,lib/kelmo/modules}
  busybox_root "$root"
  install -m 0755 "$binary" "$root/bin/kelmo-map"
  # Without a console node in the archive the kernel starts /init with no output.
  mknod -m 0600 "$root/dev/console" c 5 1
  install -m 0755 "$BOOT_DIR/guest/init" "$root/init"
  install -m 0644 "$BOOT_DIR/guest/cases.sh" "$root/lib/kelmo/cases.sh"
  install -m 0644 "$BOOT_DIR/../lib/messages.sh" "$root/lib/kelmo/messages.sh"
  install -m 0644 "$expect" "$root/etc/kelmo/expect.sh"
  MOD_SEEN=()
  module_group "$root" base "${BASE_MODULES[@]}"
  module_group "$root" usb "${USB_MODULES[@]}"
  cpio_tree "$root" | gzip -1 >"$out"
}

# What the kelmo.usb boots need beyond the base image, in an uncompressed
# archive appended to INITRAMFS (the kernel unpacks one after the other): the
# exfat group, loaded only by the boots that mount the stick, dmsetup with
# its libraries, to read back and remove the devices kelmo-map made, and
# hold (guest/hold.c).
# Called after build_initramfs, whose module index it reuses.
append_stick_tools() {
  local out=$1 root lib dmsetup
  dmsetup=$(command -v dmsetup) || die "dmsetup is missing (install dmsetup)"
  root=$(mktemp -d /tmp/kelmo-initramfs-usb.XXXXXX)
  TMP_PATHS+=("$root")
  chmod 0755 "$root"
  mkdir -p "$root/bin"
  module_group "$root" exfat exfat
  cp -L "$dmsetup" "$root/bin/dmsetup"
  # hold: stops kelmo-map at a chosen read while the stick is pulled out.
  cc -static -O2 -o "$root/bin/hold" "$BOOT_DIR/guest/hold.c" || die "could not build hold"
  # The libraries and the loader at the paths ldd names: the loader finds
  # them there without a cache.
  while IFS= read -r lib; do
    mkdir -p "$root$(dirname "$lib")"
    cp -L "$lib" "$root$lib"
  done < <(ldd "$dmsetup" | awk '$2 == "=>" && $3 ~ /^\// {print $3} $1 ~ /^\// {print $1}')
  # An uncompressed archive is only looked for at a multiple of 4 bytes from
  # the start; the zeros before it are skipped.
  truncate -s %4 "$out"
  cpio_tree "$root" >>"$out"
}
