# shellcheck shell=bash
# SPDX-License-Identifier: MIT
# Images for the shell tests (sourced, never run): loop devices, FUSE mounts
# and scratch paths, each torn down on exit, even after a failure or Ctrl-C;
# the partitions of a disk image; a busybox root.
#
# On exit the FUSE daemon's volume (fuse_daemon) is unmounted and the daemon
# waited for, the functions in EXIT_HOOKS run, last added first (a script's
# own teardown: boots to stop), then the other mounts are unmounted, the
# loop devices detached and the scratch paths removed.
# Loop devices are attached and detached here only, so a number another
# program takes afterwards is never touched.

[ -z "${_KELMO_LIB_IMAGES-}" ] || return 0
_KELMO_LIB_IMAGES=1

EXIT_HOOKS=()
FUSE_MNT=
FUSE_PID=
IMG_MOUNTS=()
IMG_LOOPS=()
TMP_PATHS=()

teardown() {
  local i m
  if [ -n "$FUSE_MNT" ]; then
    mountpoint -q "$FUSE_MNT" && { umount "$FUSE_MNT" || kill "$FUSE_PID" 2>/dev/null || true; }
    FUSE_MNT=
  fi
  if [ -n "$FUSE_PID" ]; then
    wait "$FUSE_PID" 2>/dev/null || true
    FUSE_PID=
  fi
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

# scratch VAR NAME: VAR names a new temporary directory, removed on exit.
scratch() {
  local -n _img_dir=$1
  _img_dir=$(mktemp -d "/tmp/$2.XXXXXX")
  TMP_PATHS+=("$_img_dir")
}

# make_work NAME: WORK, the scratch directory of this run.
# shellcheck disable=SC2034 # read by the scripts that source this
WORK=
make_work() { scratch WORK "$1"; }

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

# fuse_daemon DEVICE DIR LOG [OPTIONS...]: mounts DEVICE at DIR through
# mount.exfat-fuse in the foreground (-d), so the daemon is our child
# ($FUSE_PID); fails, with the reason in $FUSE_ERROR, unless mounted in 10 s.
# shellcheck disable=SC2034 # FUSE_ERROR is for the caller's message
fuse_daemon() {
  local dev=$1 dir=$2 log=$3 tries=0
  shift 3
  mount.exfat-fuse -d "$@" "$dev" "$dir" >"$log" 2>&1 &
  FUSE_PID=$!
  FUSE_MNT=$dir
  until mountpoint -q "$dir"; do
    if ! kill -0 "$FUSE_PID" 2>/dev/null; then
      FUSE_ERROR="mount.exfat-fuse failed: $(tail -n 3 "$log")"
      return 1
    fi
    if ((++tries >= 100)); then
      FUSE_ERROR="mount.exfat-fuse did not mount within 10 s"
      return 1
    fi
    sleep 0.1
  done
}

# fuse_daemon_stop: unmounts and waits for the daemon: once it has exited,
# its last metadata writes are on the device. Fails when the daemon did.
fuse_daemon_stop() {
  local status=0
  umount "$FUSE_MNT"
  FUSE_MNT=
  wait "$FUSE_PID" || status=$?
  FUSE_PID=
  return "$status"
}

# disk_with_partition IMAGE SIZE FIRST: IMAGE made anew, SIZE long (as
# truncate takes it), with a DOS table and one partition of type 7 from
# sector FIRST to the end; PART_START and PART_SECTORS (512-byte sectors)
# as sfdisk reads them back. Fails when it cannot read them.
# shellcheck disable=SC2034 # PART_START and PART_SECTORS are for the caller
disk_with_partition() {
  rm -f "$1"
  truncate -s "$2" "$1"
  printf 'label: dos\nstart=%s, type=7\n' "$3" | sfdisk -q "$1"
  read -r PART_START PART_SECTORS < <(partitions "$1")
  [ "${PART_START:-0}" -gt 0 ] && [ "${PART_SECTORS:-0}" -gt 0 ]
}

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
