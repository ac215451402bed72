# shellcheck shell=bash
# SPDX-License-Identifier: MIT
# Tools and the kernel package of the boot and packaging tests (sourced,
# never run): messages, the host tools every boot needs, and the Debian kernel
# the boots run, fetched once into a cache.

[ -z "${_KELMO_LIB_TOOLS-}" ] || return 0
_KELMO_LIB_TOOLS=1

BOOT_CACHE=${KELMO_BOOT_CACHE:-/var/cache/kelmo-boot}

log() { printf '# %s\n' "$*" >&2; }
die() { printf 'error: %s\n' "$*" >&2; exit 2; }

need_tools() {
  local missing=() t
  for t in busybox cpio qemu-system-x86_64 xorriso mkfs.exfat tune.exfat mount.exfat-fuse sfdisk \
    losetup xz modinfo apt-get dpkg timeout sha256sum python3; do
    command -v "$t" >/dev/null || missing+=("$t")
  done
  if ((${#missing[@]})); then
    log "installing tools (missing: ${missing[*]})"
    DEBIAN_FRONTEND=noninteractive apt-get install -y busybox-static cpio qemu-system-x86 xorriso \
      exfatprogs exfat-fuse fdisk xz-utils kmod python3 >/dev/null ||
      die "apt-get install failed"
  fi
  # The guest has no libraries: the shell tools must be the static busybox.
  file -L "$(command -v busybox)" 2>/dev/null | grep -q 'statically linked' ||
    die "busybox is not static (install busybox-static)"
}

# The kernel linux-image-amd64 points at, downloaded once and unpacked (never
# installed) into the cache. Sets KERNEL_IMAGE, KERNEL_MODULES (the
# lib/modules/VERSION directory), KERNEL_PACKAGE, KERNEL_ROOT (the unpacked
# package's root) and KERNEL_VERSION. Which accelerator boots it is the
# caller's choice (qemu_accel in qemu.sh).
kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9]/ {print $2; exit}'
}
fetch_kernel() {
  KERNEL_PACKAGE=$(kernel_package)
  # A machine whose package lists were never fetched knows no kernel yet.
  if [ -z "$KERNEL_PACKAGE" ]; then
    apt-get update -qq >/dev/null 2>&1 || true
    KERNEL_PACKAGE=$(kernel_package)
  fi
  [ -n "$KERNEL_PACKAGE" ] || die "apt-cache depends linux-image-amd64 named no kernel package"
  local dir=$BOOT_CACHE/$KERNEL_PACKAGE
  if [ ! -f "$dir/unpacked" ]; then
    log "downloading $KERNEL_PACKAGE into $dir"
    rm -rf "$dir.part"
    mkdir -p "$dir.part/root"
    # _apt cannot write to a root-only directory; the download then runs as root.
    (cd "$dir.part" && apt-get download "$KERNEL_PACKAGE" >download.log 2>&1) ||
      die "apt-get download $KERNEL_PACKAGE failed (see $dir.part/download.log)"
    dpkg -x "$dir.part"/*.deb "$dir.part/root"
    rm -f "$dir.part"/*.deb
    rm -rf "$dir"
    mv "$dir.part" "$dir"
    touch "$dir/unpacked"
  fi
  KERNEL_IMAGE=$(ls "$dir"/root/boot/vmlinuz-* | head -n1)
  local builtin
  builtin=$(find "$dir/root" -path '*/modules/*/modules.builtin' | head -n1)
  [ -f "$KERNEL_IMAGE" ] && [ -n "$builtin" ] || die "unexpected layout in $dir"
  KERNEL_MODULES=$(dirname "$builtin")
  # shellcheck disable=SC2034 # read by the scripts that source this
  KERNEL_ROOT=${KERNEL_MODULES%/lib/modules/*}
  # shellcheck disable=SC2034 # read by the scripts that source this
  KERNEL_VERSION=${KERNEL_MODULES##*/}
}
