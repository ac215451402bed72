#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what building and testing kelmo-map need on Debian 12, as root.
# Packages already present are left alone, so a second run costs nothing.
set -euo pipefail
packages=(
  cmake g++ make musl-tools libgtest-dev   # the program (linked against musl) and its unit tests
  shellcheck                               # every shell file checked
  clang-14 libclang-rt-14-dev              # fuzz harnesses
  exfatprogs exfat-fuse fuse3 fdisk util-linux e2fsprogs strace file python3   # host tests
  qemu-system-x86 busybox-static cpio xorriso xz-utils kmod dmsetup  # boot tests
  initramfs-tools-core dracut-core dpkg-dev lintian man-db mandoc git  # packaging tests
  grub-pc-bin grub-efi-amd64-bin grub2-common ovmf squashfs-tools mtools dosfstools zstd udev  # live ISO boots
  grub-efi-amd64-signed shim-signed shim-helpers-amd64-signed   # kelmo-stick: the signed UEFI boot chain
  grub-emu                                 # kelmo-stick: both boot menus run in GRUB's emulator
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
