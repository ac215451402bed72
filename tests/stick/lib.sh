# shellcheck shell=bash
# SPDX-License-Identifier: MIT
# The sticks of the power-on boots, filled as a person fills them (sourced by
# boot.sh and persist.sh, after tests/boot/lib.sh and tests/lib/*).

# fill IMAGE [FUNCTION]: the ISOs of ISOS ("PATH|FILE|..." entries) onto
# IMAGE's exFAT partition (p1_start, p1_size) through exfat-fuse, each in
# 1 MiB pieces between filler appends (their clusters scattered); FUNCTION
# MOUNTPOINT, when given, adds what else the stick needs before the unmount.
fill() {
  local img=$1 more=${2:-} part mnt entry path file
  loop_attach part -o $((p1_start * 512)) --sizelimit $((p1_size * 512)) "$img"
  mnt=$(mktemp -d /tmp/kelmo-stick-fill.XXXXXX)
  TMP_PATHS+=("$mnt")
  fuse_daemon "$part" "$mnt" "$WORK/exfat-fuse.log" || die "$FUSE_ERROR"
  for entry in "${ISOS[@]}"; do
    IFS='|' read -r path file _ <<<"$entry"
    mkdir -p "$mnt$(dirname "$path")"
    append_interleaved "$file" "$mnt$path" "$mnt/filler.bin" 1048576
  done
  [ -z "$more" ] || "$more" "$mnt"
  fuse_daemon_stop || die "mount.exfat-fuse failed: $(tail -n 3 "$WORK/exfat-fuse.log")"
  loop_detach "$part"
}

# said LOG KEY: what the live root reported after KEY.
said() { grep -a -o -m1 "$2 .*" "$1" | cut -d' ' -f2- || true; }
