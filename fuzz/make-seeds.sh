#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Remakes the seed corpora: small real exFAT volumes made by mkfs.exfat and
# filled through FUSE (cut after their metadata, which is all the reader
# looks at), one volume written byte by byte, and a few command lines.
# Needs root for the loop device and the FUSE mount.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$here/corpus
work=$(mktemp -d)
loop=
cleanup() {
  mountpoint -q "$work/mnt" && umount "$work/mnt"
  [ -n "$loop" ] && losetup -d "$loop"
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/mnt" "$out/volume" "$out/cmdline"

# name, cluster size, how the ISO is written
real_volume() {
  local name=$1 cluster=$2 style=$3
  truncate -s 0 "$work/v.img"
  truncate -s 4M "$work/v.img"
  mkfs.exfat -c "$cluster" -b 4K "$work/v.img" >/dev/null
  tune.exfat -I 0x1a2b3c4d "$work/v.img" >/dev/null
  loop=$(losetup -f --show "$work/v.img")
  mount.exfat-fuse "$loop" "$work/mnt"
  mkdir -p "$work/mnt/isos" "$work/mnt/a/b"
  echo c > "$work/mnt/a/b/c"
  echo upper > "$work/mnt/Upper.TXT"
  if [ "$style" = names ]; then
    # UTF-16 names: accents, CJK, an emoji (a surrogate pair), 255 units,
    # made first so that the directories lie inside the cut
    mkdir -p "$work/mnt/Imagens ISO" "$work/mnt/😀"
    head -c 3000 /dev/urandom > "$work/mnt/Imagens ISO/Instalação.iso"
    echo cjk > "$work/mnt/😀/日本.iso"
    echo longest > "$work/mnt/$(printf 'ção%.0s' {1..85})"
  fi
  if [ "$style" = fragmented ]; then
    # Interleaved appends leave the two files' clusters alternating.
    for _ in 1 2 3 4 5 6; do
      head -c 700 /dev/urandom >> "$work/mnt/isos/live.iso"; sync
      head -c 700 /dev/urandom >> "$work/mnt/isos/filler"; sync
    done
  else
    head -c 5000 /dev/urandom > "$work/mnt/isos/live.iso"
  fi
  umount "$work/mnt"
  losetup -d "$loop"
  loop=
  head -c 65536 "$work/v.img" > "$out/volume/$name"
}
real_volume mkfs-512-fragmented 512 fragmented
real_volume mkfs-512-contiguous 512 contiguous
real_volume mkfs-4k-fragmented 4K fragmented
real_volume mkfs-512-names 512 names

# A volume built byte by byte: 512-byte clusters, FAT at sector 8, heap at
# sector 16, root in cluster 2, isos/ in cluster 3, live.iso in 4 -> 6 -> 5.
python3 - "$here" "$out/volume" <<'PY'
import sys
sys.dont_write_bytecode = True  # no __pycache__ in the tree
sys.path.insert(0, sys.argv[1])
from exfat_image import Volume, END
v = Volume(512 * 32, 9, fat_offset=8, heap_offset=16, cluster_count=16)
for c, value in {2: END, 3: END, 4: 6, 6: 5, 5: END}.items(): v.fat(c, value)
v.entry_set(2, "isos", 3, 512, 3, 0x10)
v.entry_set(3, "live.iso", 4, 1300, 1, 0x20)
open(sys.argv[2] + "/built-chained", "wb").write(v.img)

# The same files on a volume of 4096-byte sectors (BytesPerSectorShift 12),
# small enough for the fuzzer: 4 KiB clusters, FAT at sector 1, heap at
# sector 2 (bytes 4096 and 8192). Real 4K-sector volumes from mkfs.exfat
# start their FAT past 64 KiB, beyond what a seed keeps.
v = Volume(4096 * 8, 12, fat_offset=1, heap_offset=2, cluster_count=6)
for c, value in {2: END, 3: END, 4: 6, 6: 5, 5: END}.items(): v.fat(c, value)
v.entry_set(2, "isos", 3, 4096, 3, 0x10)
v.entry_set(3, "live.iso", 4, 9000, 1, 0x20)
open(sys.argv[2] + "/built-sector4k", "wb").write(v.img)
PY

printf 'BOOT_IMAGE=/vmlinuz ro quiet kelmo.uuid=1A2B-3C4D kelmo.iso=/isos/live.iso\n' > "$out/cmdline/plain"
printf 'kelmo.iso="/Meus ISOs/a b.iso" "kelmo.uuid"=1a2b-3c4d\n' > "$out/cmdline/quoted"
printf 'kelmo.uuidX=1 kelmo.uuid kelmo.iso= kelmo.uuid=A kelmo.uuid=B\n' > "$out/cmdline/tricky"
# GRUB's escaping: a backslash before " ' and \, a lone one, one at the end.
printf '"kelmo.iso=/Tom\\'"'"'s big\\\\.iso" kelmo.uuid=a\\"b\\x kelmo.persist=\\\n' > "$out/cmdline/escaped"
echo "seeds written to $out"
