# shellcheck shell=bash
# SPDX-License-Identifier: MIT
# Live ISOs as the distributions make them, from Debian's own packages
# (sourced, never run; after tools.sh, images.sh, initramfs.sh, qemu.sh, and
# fetch_kernel). Each ISO's squashfs root runs tests/packaging/guest/live-init,
# which reports what it sees ("KELMO-LIVE-UP TOKEN NAME" first) and powers off.
#   debian            live/vmlinuz, live/initrd.img (mkinitramfs with
#                     live-boot), live/filesystem.squashfs; label
#                     KELMO_DEBIAN_LIVE
#   dracut            boot/vmlinuz, boot/initrd.img (dracut with
#                     dmsquash-live: with systemd, the host having it),
#                     LiveOS/squashfs.img; label KELMO_DRACUT_LIVE
#   dracut-nosystemd  the same, its initrd made with --omit systemd (dracut's
#                     shell init); label KELMO_DRACUT_NOSYSTEMD
# None of their initrds knows kelmo-map.
#
#   live_stacks                 unpacks live-boot and dracut-live into
#                               $LIVE_ROOT (a /usr tree for with_installed)
#   live_isos NAME...           the named ISOs, built once per set of inputs
#                               and kept in the boot tests' cache: sets
#                               LIVE_ISO_DIR (NAME.iso, NAME.initrd, their
#                               NAME.build status and NAME.build.log) and
#                               LIVE_TOKEN (the token the roots report)
#   live_mkinitramfs ROOT OUT   an initrd as the Debian ISO's, from ROOT/usr
#   live_dracut ROOT OUT OPTION...  an initrd as the dracut ISO's

[ -z "${_KELMO_LIB_LIVE_ISOS-}" ] || return 0
_KELMO_LIB_LIVE_ISOS=1

LIVE_LIB=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
LIVE_PACKAGES=(live-boot live-boot-initramfs-tools dracut-live)
# As a live ISO's initrd: USB host and storage drivers, ISO 9660, the exFAT
# driver, there to show that it is not what finds the ISO, and ext4, which a
# distribution's live initrd carries for a persistent overlay.
LIVE_DRIVERS="xhci_pci ehci_pci uhci_hcd ohci_pci usb_storage uas sd_mod exfat ext4"
LIVE_ROOT=
LIVE_CONF=

# The live stacks, unpacked (never installed): live-boot for initramfs-tools,
# and dracut-live. Debian's /bin and /lib are /usr/bin and /usr/lib, so
# everything lands in usr/. Also the initramfs-tools configuration of the
# live initrds.
live_stacks() {
  [ -z "$LIVE_ROOT" ] || return 0
  local dir=$BOOT_CACHE/live-packages p deb d missing=()
  mkdir -p "$dir"
  for p in "${LIVE_PACKAGES[@]}"; do
    compgen -G "$dir/${p}_*.deb" >/dev/null || missing+=("$p")
  done
  if ((${#missing[@]})); then
    log "downloading ${missing[*]} into $dir"
    (cd "$dir" && apt-get download "${missing[@]}" >download.log 2>&1) ||
      die "apt-get download ${missing[*]} failed: $(tail -n 3 "$dir/download.log")"
  fi
  LIVE_DEBS=()
  for p in "${LIVE_PACKAGES[@]}"; do LIVE_DEBS+=("$(ls "$dir/${p}"_*.deb | tail -n 1)"); done
  LIVE_ROOT=$(mktemp -d /tmp/kelmo-liveroot.XXXXXX)
  TMP_PATHS+=("$LIVE_ROOT")
  mkdir -p "$LIVE_ROOT/usr"
  for deb in "${LIVE_DEBS[@]}"; do
    log "unpacked: $(basename "$deb")"
    dpkg -x "$deb" "$LIVE_ROOT"
  done
  for d in bin sbin lib; do
    if [ -d "$LIVE_ROOT/$d" ]; then
      mkdir -p "$LIVE_ROOT/usr/$d"
      cp -a "$LIVE_ROOT/$d"/. "$LIVE_ROOT/usr/$d"/
      rm -rf "${LIVE_ROOT:?}/$d"
    fi
  done
  LIVE_CONF=$(mktemp -d /tmp/kelmo-liveconf.XXXXXX)
  TMP_PATHS+=("$LIVE_CONF")
  local conf=$LIVE_CONF/initramfs-tools
  mkdir -p "$conf"/{conf.d,hooks,scripts} "$LIVE_CONF/dracut.conf.d" "$LIVE_CONF/tmp"
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
}

live_mkinitramfs() {
  local root=$1 out=$2
  with_installed "$root" mkinitramfs -d "$LIVE_CONF/initramfs-tools" -o "$out" "$KERNEL_VERSION"
}
live_dracut() {
  local root=$1 out=$2
  shift 2
  dracut_with "$root" "$LIVE_CONF/dracut.conf.d" "$LIVE_CONF/tmp" --drivers "$LIVE_DRIVERS" --nostrip \
    --compress "zstd -3 -q -T0" --no-early-microcode --add dmsquash-live "$@" "$out"
}

# The cache holds one directory per set of inputs: the kernel, the live
# packages, the versions of the tools that build the ISOs, and the files
# that say how.
_live_key() {
  {
    echo "$KERNEL_PACKAGE"
    printf '%s\n' "${LIVE_DEBS[@]##*/}"
    dpkg-query -W -f='${Package} ${Version}\n' initramfs-tools-core dracut-core busybox-static \
      squashfs-tools xorriso zstd udev systemd 2>/dev/null
    cat "$LIVE_LIB/live_isos.sh" "$LIVE_LIB/initramfs.sh" "$LIVE_LIB/../packaging/guest/live-init"
  } | sha256sum | cut -c1-16
}

# _live_build DIR NAME: DIR/NAME.initrd, then DIR/NAME.iso (written last:
# its presence says the build is whole).
_live_build() {
  local dir=$1 name=$2 root=$1/$2.root tree=$1/$2.tree label
  rm -rf "$root" "$tree"
  mkdir -p "$root"/{bin,sbin,etc,dev,proc,sys,run,tmp,root,var,mnt}
  busybox_root "$root"
  install -m 0755 "$LIVE_LIB/../packaging/guest/live-init" "$root/sbin/init"
  printf 'NAME="kelmo-map live test"\nID=kelmo-live\n' >"$root/etc/os-release"
  cp "$dir/token" "$root/kelmo-token"
  echo "$name" >"$root/kelmo-layout"
  case $name in
    debian)
      live_mkinitramfs "$LIVE_ROOT" "$dir/$name.initrd" || return 1
      mkdir -p "$tree/live"
      mksquashfs "$root" "$tree/live/filesystem.squashfs" -noappend -quiet -no-progress >/dev/null || return 1
      cp "$KERNEL_IMAGE" "$tree/live/vmlinuz"
      cp "$dir/$name.initrd" "$tree/live/initrd.img"
      label=KELMO_DEBIAN_LIVE
      ;;
    dracut | dracut-nosystemd)
      if [ "$name" = dracut ]; then
        live_dracut "$LIVE_ROOT" "$dir/$name.initrd" || return 1
        label=KELMO_DRACUT_LIVE
      else
        live_dracut "$LIVE_ROOT" "$dir/$name.initrd" --omit systemd || return 1
        # dracut leaves systemd out quietly when asked to: make sure it did.
        if grep -q 'Including module: systemd ' "$dir/$name.build.log"; then
          echo "the initrd took systemd in spite of --omit systemd"
          return 1
        fi
        label=KELMO_DRACUT_NOSYSTEMD
      fi
      mkdir -p "$tree/boot" "$tree/LiveOS"
      mksquashfs "$root" "$tree/LiveOS/squashfs.img" -noappend -quiet -no-progress >/dev/null || return 1
      cp "$KERNEL_IMAGE" "$tree/boot/vmlinuz"
      cp "$dir/$name.initrd" "$tree/boot/initrd.img"
      ;;
    *) echo "no live ISO named $name"; return 1 ;;
  esac
  xorriso -as mkisofs -quiet -R -V "$label" -o "$dir/$name.iso.part" "$tree" 2>/dev/null || return 1
  rm -rf "$root" "$tree"
  mv "$dir/$name.iso.part" "$dir/$name.iso"
}
_live_job() {
  local entry=$1
  _live_build "$LIVE_ISO_DIR" "$entry" >"$LIVE_ISO_DIR/$entry.build.log" 2>&1
}

live_isos() {
  live_stacks
  LIVE_ISO_DIR=$BOOT_CACHE/live-isos/$(_live_key)
  mkdir -p "$LIVE_ISO_DIR"
  # One run at a time builds into a directory; another waits, then finds
  # the ISOs there.
  exec {_live_lock}>"$LIVE_ISO_DIR/lock"
  flock "$_live_lock"
  [ -s "$LIVE_ISO_DIR/token" ] || head -c 8 /dev/urandom | od -An -tx1 | tr -d ' \n' >"$LIVE_ISO_DIR/token"
  # shellcheck disable=SC2034 # read by the scripts that source this
  LIVE_TOKEN=$(cat "$LIVE_ISO_DIR/token")
  local name todo=()
  for name in "$@"; do
    if [ -s "$LIVE_ISO_DIR/$name.iso" ]; then
      log "live ISO $name: built already, in $LIVE_ISO_DIR"
    else
      todo+=("$name")
    fi
  done
  if ((${#todo[@]})); then
    log "building the live ISOs ${todo[*]} into $LIVE_ISO_DIR"
    # NAME.build: the status and time job_result reads.
    side_by_side "$LIVE_ISO_DIR" _live_job "${todo[@]}"
    for name in "${todo[@]}"; do mv "$LIVE_ISO_DIR/$name.status" "$LIVE_ISO_DIR/$name.build"; done
  fi
  flock -u "$_live_lock"
  exec {_live_lock}>&-
}
