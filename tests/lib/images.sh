# shellcheck shell=bash
# Images for the shell tests (sourced, never run): loop devices, FUSE mounts
# and scratch paths, each torn down on exit, even after a failure or Ctrl-C;
# the partitions of a disk image; a busybox root.
#
# On exit the functions in EXIT_HOOKS run first, last added first (a script's
# own teardown: boots to stop, a FUSE daemon to wait for), then the mounts
# are unmounted, the loop devices detached and the scratch paths removed.
# Loop devices are attached and detached here only, so a number another
# program takes afterwards is never touched.

EXIT_HOOKS=()
IMG_MOUNTS=()
IMG_LOOPS=()
TMP_PATHS=()

teardown() {
  local i m
  for ((i = ${#EXIT_HOOKS[@]} - 1; i >= 0; i--)); do "${EXIT_HOOKS[i]}" || true; done
  for m in "${IMG_MOUNTS[@]}"; do
    if mountpoint -q "$m"; then umount "$m" 2>/dev/null || umount -l "$m" || true; fi
  done
  IMG_MOUNTS=()
  for m in "${IMG_LOOPS[@]}"; do losetup -d "$m" 2>/dev/null || true; done
  IMG_LOOPS=()
  for m in "${TMP_PATHS[@]}"; do mountpoint -q "$m" || rm -rf "$m"; done
  TMP_PATHS=()
  # With results.sh: a run that ends before its summary ends failed.
  if ((${SUMMARY_REQUIRED:-0})); then stopped_early; fi
}
trap teardown EXIT
trap 'exit 130' INT TERM HUP

# loop_attach VAR LOSETUP_ARGS...: VAR gets a free loop device holding what
# the arguments say, detached on exit unless loop_detach came first.
loop_attach() {
  local _img_loop # not named like the caller's variable, which it would hide
  _img_loop=$(losetup -f --show "${@:2}") || return 1
  IMG_LOOPS+=("$_img_loop")
  printf -v "$1" %s "$_img_loop"
}

# loop_detach DEVICE
loop_detach() {
  local i
  for i in "${!IMG_LOOPS[@]}"; do
    if [[ ${IMG_LOOPS[i]} == "$1" ]]; then unset 'IMG_LOOPS[i]'; fi
  done
  IMG_LOOPS=("${IMG_LOOPS[@]}")
  losetup -d "$1"
}

# mount_track DIR: DIR will be a mount point, unmounted on exit.
mount_track() { IMG_MOUNTS+=("$1"); }

# partitions DISK: "START SIZE" of each partition, in DISK's own sectors, as
# sfdisk reads the table of the image file or device.
partitions() {
  sfdisk -d "$1" | sed -n 's/.*start= *\([0-9]*\), *size= *\([0-9]*\),.*/\1 \2/p'
}

# busybox_root DIR: DIR/bin holds the static busybox and a link for each of
# its applets.
busybox_root() {
  local applet
  mkdir -p "$1/bin"
  cp "$(command -v busybox)" "$1/bin/busybox"
  for applet in $(busybox --list); do
    [ "$applet" = busybox ] || ln -s busybox "$1/bin/$applet"
  done
}
