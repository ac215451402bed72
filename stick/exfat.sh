# shellcheck shell=bash
# SPDX-License-Identifier: MIT
# Sourced by kelmo-stick: the exFAT partition: its serial, its mounts (an
# existing one, or a private one of ours), the runs kelmo-map finds, the ISOs
# the menu finds, and what add needs of its geometry.
# Its variables are set and read across kelmo-stick's files: the whole
# command is checked as one program (tests/shellcheck.sh).
# shellcheck disable=SC2034,SC2154

# The exFAT volume serial of p1 (1A2B-3C4D), if p1 is exFAT.
exfat_serial() {
  local name hex
  name=$(dd if="$target" bs=1 skip=$((p1_start * 512 + 3)) count=8 status=none)
  [[ $name == "EXFAT   " ]] || return 1
  hex=$(od -An -tx1 -j $((p1_start * 512 + 100)) -N4 "$target" | tr -d ' \n')
  [[ ${#hex} == 8 ]] || return 1
  printf '%s%s-%s%s\n' "${hex:6:2}" "${hex:4:2}" "${hex:2:2}" "${hex:0:2}" | tr a-f A-F
}

exfat_dir='' exfat_own=0

# Sets exfat_dir to a mount of p1: an existing one, else a private one (this
# process runs in its own mount namespace), undone on exit; read-only unless
# asked for rw.
mount_exfat() {
  local mode=${1:-ro}
  if exfat_dir=$(partition_mount "$p1_start"); then
    if [[ $mode == rw && $(findmnt -n -o OPTIONS --target "$exfat_dir" | head -n 1) =~ (^|,)ro(,|$) ]]; then
      die "a partição exFAT de $target está montada só para leitura em $exfat_dir"
    fi
    return 0
  fi
  scratch_dir
  local loop ro=-r
  [[ $mode == rw ]] && ro=
  loop=$(losetup $ro -f --show -o $((p1_start * 512)) --sizelimit $((p1_size * 512)) "$target") ||
    die "losetup falhou"
  exfat_loop=$loop
  cleanups+=(release_exfat_loop)
  mkdir -p "$tmp/exfat"
  fuse_pid=
  if grep -qw exfat /proc/filesystems || modprobe -q exfat 2>/dev/null; then
    mount -t exfat -o "$mode" "$loop" "$tmp/exfat" 2>/dev/null
  else
    false
  fi || fuse_start "$loop" "$tmp/exfat" "$mode" || die "não consegui montar a partição exFAT de $target"
  cleanups+=(umount_exfat_dir)
  exfat_dir=$tmp/exfat exfat_own=1
}

release_exfat_loop() { release_loop "$exfat_loop"; }

umount_exfat_dir() { umount "$tmp/exfat"; }

# fuse_start DEVICE DIR MODE: exfat-fuse mounts DEVICE on DIR (within 10 s),
# in the foreground as our child, fuse_pid: its last writes are on the stick
# once it has exited, which its unmount waits for. Should this process be
# killed, the driver is told to end too (and unmounts), so no mount is left
# alive in a namespace nobody can reach; in a session of its own, so that
# Ctrl-C stops this process (which then cleans up) and not the driver.
fuse_start() {
  local tries=0 opts=()
  [[ $3 == ro ]] && opts=(-o ro)
  setsid setpriv --pdeathsig TERM mount.exfat-fuse -d "${opts[@]}" "$1" "$2" >"$tmp/exfat-fuse.log" 2>&1 &
  fuse_pid=$!
  until mountpoint -q "$2"; do
    kill -0 "$fuse_pid" 2>/dev/null && ((++tries < 100)) || return 1
    sleep 0.1
  done
}

# Ends our own mount of p1, so that everything written is on the stick.
umount_exfat() {
  if ((exfat_own)); then
    umount "$exfat_dir" || die "não consegui desmontar a partição exFAT de $target"
    unset 'cleanups[-1]'
    if [[ -n $fuse_pid ]]; then
      wait "$fuse_pid" || die "o mount.exfat-fuse da partição exFAT falhou: $(tail -n 2 "$tmp/exfat-fuse.log")"
    fi
    losetup -d "$exfat_loop" && unset 'cleanups[-1]'
    exfat_own=0
  else
    sync -f "$exfat_dir"
  fi
}

# runs FILE: the number of runs kelmo-map builds for FILE on p1, or nothing
# when it cannot map it.
runs_of() {
  local out
  out=$(KELMO_MAP_OFFSET=$((p1_start * 512)) "$kelmo_map" --test "$target" "$1" </dev/null 2>/dev/null) || return 1
  sed -n 's/.* trechos=\([0-9]*\).*/\1/p' <<<"$out" | head -n 1
}

trechos() { if (($1 == 1)); then echo "1 trecho"; else echo "$1 trechos"; fi; }

# The ISOs the boot menu finds, one path per line, sorted: *.iso and *.ISO in
# the root and in folders up to two levels down; macOS's ._* files skipped.
find_isos() {
  local f rel
  (
    shopt -s nullglob dotglob
    cd "$exfat_dir" || exit 1
    for f in *.iso *.ISO */*.iso */*.ISO */*/*.iso */*/*.ISO; do
      [[ -f $f ]] || continue
      rel=${f##*/}
      [[ $rel == ._* ]] && continue
      printf '/%s\n' "$f"
    done
  ) | LC_ALL=C sort
}

# exfat_geometry DEVICE: the exFAT values add needs from the boot sector
# and the root directory: bytes per cluster, the heap's first sector, the
# cluster count, and the allocation bitmap's first cluster and length.
fat_u32() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '; }

fat_u8() { od -An -tu1 -j "$2" -N1 "$1" | tr -d ' '; }

exfat_geometry() {
  local dev=$1 bps_shift spc_shift root e off type
  bps_shift=$(fat_u8 "$dev" 108) spc_shift=$(fat_u8 "$dev" 109)
  ((bps_shift >= 9 && bps_shift <= 12 && spc_shift <= 25 - bps_shift)) || return 1
  sector_bytes=$((1 << bps_shift))
  cluster_bytes=$((1 << (bps_shift + spc_shift)))
  heap_sector=$(fat_u32 "$dev" 88) cluster_count=$(fat_u32 "$dev" 92) root=$(fat_u32 "$dev" 96)
  ((root >= 2 && root < cluster_count + 2)) || return 1
  # The bitmap's entry (type 0x81) is in the root directory's first cluster.
  bitmap_cluster='' bitmap_bytes=''
  for ((e = 0; e < cluster_bytes / 32 && e < 4096; e++)); do
    off=$((heap_sector * sector_bytes + (root - 2) * cluster_bytes + e * 32))
    type=$(fat_u8 "$dev" "$off")
    if ((type == 0x81)); then
      bitmap_cluster=$(fat_u32 "$dev" $((off + 20))) bitmap_bytes=$(fat_u32 "$dev" $((off + 24)))
      break
    fi
    ((type != 0)) || break
  done
  [[ -n $bitmap_cluster ]] && ((bitmap_cluster >= 2 && bitmap_bytes >= (cluster_count + 7) / 8))
}

# free_run DEVICE: the longest run of free clusters, from the allocation
# bitmap (read as one stretch from its first cluster, as mkfs.exfat and
# every driver lay it out).
free_run() {
  local dev=$1
  od -An -v -tu1 -j $((heap_sector * sector_bytes + (bitmap_cluster - 2) * cluster_bytes)) \
    -N $(((cluster_count + 7) / 8)) "$dev" |
    awk -v n="$cluster_count" '
      { for (i = 1; i <= NF; i++) {
          b = $i
          for (k = 0; k < 8 && c < n; k++) {
            if (b % 2) { run = 0 } else { run++; if (run > best) best = run }
            b = int(b / 2); c++
          }
        } }
      END { print best + 0 }'
}

# rw_mount DEVICE: the exFAT partition read-write at $tmp/rw, its driver in
# the foreground as our child; rw_umount: once the driver has exited after
# the unmount, its last writes are on the device.
rw_mount() { fuse_start "$1" "$tmp/rw" rw; }

rw_umount() {
  umount "$tmp/rw" && wait "$fuse_pid"
}

# exfat_name_ok NAME: a name the exFAT partition can hold: no control
# characters, none of " * / : < > ? \ |, at most 255 UTF-16 units of valid
# UTF-8.
exfat_name_ok() {
  local units
  [[ -n $1 && $1 != *[[:cntrl:]]* && $1 != *[\"*/:\<\>?\\\|]* ]] || return 1
  units=$(printf '%s' "$1" | iconv -f UTF-8 -t UTF-16LE 2>/dev/null | wc -c) || return 1
  ((units > 0 && units <= 510))
}
