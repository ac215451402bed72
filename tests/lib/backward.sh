# shellcheck shell=bash
# SPDX-License-Identifier: MIT
# A file whose cluster chain jumps backwards, again and again, on a real
# exFAT volume (sourced, never run). exfat-fuse gives a growing file the
# first free cluster after its own last one, and wraps to the volume's start
# when there is none; a new file starts at the first free cluster. So on a
# volume with no free cluster but one hole, an append fills that hole. Holes
# made one at a time, from the volume's end towards its start, each filled
# by the next piece of the file, lay the file's pieces in reverse disk
# order, each a jump back over the spacer between two holes.
#
# write_backward DIR SOURCE TARGET [PIECE [SPACER]]
#   DIR     a mounted exFAT volume (exfat-fuse), with room for SOURCE and the
#           spacers; everything written besides TARGET is removed again
#   SOURCE  the file whose bytes TARGET gets
#   TARGET  a path inside DIR, for example isos/back.iso; its directory is
#           made if need be, and an existing TARGET is replaced
#   PIECE   bytes of each piece, a multiple of the cluster size (default
#           64 KiB: a multiple of every cluster size up to 64 KiB)
#   SPACER  bytes between two holes (default: 2 x 16384 clusters, so each
#           jump back passes over a whole 64 KiB block of the FAT at least)
# Fails (status 1, with a line on stderr) if the volume cannot be filled,
# and leaves DIR's free space as it found it less TARGET's clusters.
write_backward() {
  local dir=$1 source=$2 target=$3 piece=${4:-65536} spacer=${5:-} cluster size pieces work k free
  cluster=$(stat -f -c %S "$dir") || return 1
  [ -n "$spacer" ] || spacer=$((2 * 16384 * cluster))
  if ((piece % cluster != 0 || spacer % cluster != 0)); then
    echo "write_backward: $piece and $spacer must be multiples of the $cluster-byte cluster" >&2
    return 1
  fi
  size=$(stat -c %s "$source") || return 1
  pieces=$(((size + piece - 1) / piece))
  work=$dir/.write_backward
  rm -rf "$work" "${dir:?}/$target"
  mkdir -p "$work" "$(dirname "$dir/$target")" || return 1
  # The target's entry first, and every directory entry the holes need,
  # so that no directory grows into a hole; the file itself has no cluster yet.
  : >"$dir/$target" || return 1
  for ((k = 1; k <= pieces; k++)); do
    truncate -s "$piece" "$work/hole$k" && truncate -s "$spacer" "$work/spacer$k" || break
  done
  if ((k <= pieces)); then
    echo "write_backward: no room for $pieces pieces of $piece bytes with $spacer between them" >&2
    rm -rf "$work"
    return 1
  fi
  # The rest of the volume, so the holes are its only free clusters (its
  # entry first: the directory may grow by a cluster for it).
  : >"$work/rest" || { rm -rf "$work"; return 1; }
  free=$(($(stat -f -c %a "$dir") * cluster))
  ((free == 0)) || truncate -s "$free" "$work/rest" || { rm -rf "$work"; return 1; }
  if (($(stat -f -c %a "$dir") != 0)); then
    echo "write_backward: the volume still has free clusters" >&2
    rm -rf "$work"
    return 1
  fi
  for ((k = pieces; k >= 1; k--)); do
    rm "$work/hole$k"
    dd if="$source" iflag=skip_bytes,count_bytes skip=$(((pieces - k) * piece)) count="$piece" bs=64K \
      status=none >>"$dir/$target" || { rm -rf "$work"; return 1; }
  done
  rm -rf "$work"
}
