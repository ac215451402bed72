#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Host tests of files whose chains jump backwards over the FAT, again and
# again: written through exfat-fuse into holes made from the volume's end
# towards its start (tests/lib/backward.sh), on a volume of 512-byte
# clusters, where a 64 KiB block of the FAT covers 8 MiB. After the eighth
# jump back past a FAT block the walk reads the FAT through its index of
# breaks: strace shows it reading whole blocks. The runs `kelmo-map --test`
# prints must equal our own reader's (tests/lib/exfat_runs.py), and the
# bytes at them the files'.
#   backward.sh PATH_TO_KELMO_MAP
# Needs root (loop device, FUSE mount); exits 77 (skip) without it or a tool,
# or 1 when KELMO_NO_SKIP is set.
set -euo pipefail

BIN=$(realpath "$1")
RUNS=$(dirname "$0")/../lib/exfat_runs.py
unset KELMO_MAP_OFFSET

HOST_TOOLS="mkfs.exfat mount.exfat-fuse losetup blockdev strace python3"
# shellcheck source=prelude.sh
source "$(dirname "$0")/prelude.sh"
# shellcheck source=../lib/backward.sh
source "$(dirname "$0")/../lib/backward.sh"
LOOP=""

# Entries in a 64 KiB block of the FAT, and the jumps back past the block
# before their own after which the walk takes to its index.
BLOCK_ENTRIES=16384
INDEX_AFTER_JUMPS=8

# --- the volume: two files written backwards, one after the other -------------

# 14 pieces of 64 KiB and 12 of 4 KiB, 16 MiB apart, and room to spare.
truncate -s 260M "$T/img"
mkfs.exfat -c 512 "$T/img" >/dev/null
loop_attach LOOP "$T/img"
mkdir -p "$T/m"
mount_track "$T/m"
mount.exfat-fuse "$LOOP" "$T/m" 2>"$T/fuse.log"
head -c $((14 * 65536 - 3000)) /dev/urandom >"$T/wide"
head -c $((12 * 4096)) /dev/urandom >"$T/narrow"
write_backward "$T/m" "$T/wide" "isos/wide.iso"
write_backward "$T/m" "$T/narrow" "isos/narrow.iso" 4096
check "wide.iso reads back through exfat-fuse as written" cmp -s "$T/wide" "$T/m/isos/wide.iso"
check "narrow.iso reads back through exfat-fuse as written" cmp -s "$T/narrow" "$T/m/isos/narrow.iso"
umount "$T/m"
blockdev --flushbufs "$LOOP"

# The volume's FatOffset and cluster geometry, from its boot sector.
read -r FAT_BYTES HEAP SPC < <(python3 - "$T/img" <<'PY'
import struct, sys
boot = open(sys.argv[1], "rb").read(512)
fat, heap = struct.unpack_from("<I", boot, 80)[0], struct.unpack_from("<I", boot, 88)[0]
scale = 1 << (boot[108] - 9)
print(fat * scale * 512, heap * scale, (1 << boot[109]) * scale)
PY
)

# jumps_back RUNS_FILE: the jumps from a run's last cluster back to a cluster
# of a FAT block before the one before its own, in exfat_runs.py's output.
jumps_back() {
  tail -n +2 "$1" | awk -v heap="$HEAP" -v spc="$SPC" -v b="$BLOCK_ENTRIES" '
    { first = ($2 - heap) / spc + 2; last = first + substr($3, 2) / spc - 1 }
    NR > 1 && int(first / b) + 1 < int(previous / b) { n++ }
    { previous = last }
    END { print n + 0 }'
}

# index_reads STRACE_LOG: reads of a whole 64 KiB block of the FAT, from the
# block's first byte, as the index reads them (the window reads 4 KiB after
# a jump, and its larger reads start where the last one ended).
index_reads() {
  grep -E '^pread64\(' "$1" | sed -n 's/.*, \([0-9]*\), \([0-9]*\)) = [0-9]*$/\1 \2/p' |
    awk -v fat="$FAT_BYTES" '$1 == 65536 && $2 >= fat && ($2 - fat) % 65536 == 0 { n++ } END { print n + 0 }'
}

# descending RUNS_FILE: each run starts before the one before it on disk.
descending() { tail -n +2 "$1" | awk '{print $2}' | sort -n -r -c 2>/dev/null; }

for file in wide:65536 narrow:4096; do
  name=${file%:*} piece=${file#*:}
  pieces=$((($(stat -c %s "$T/$name") + piece - 1) / piece))
  python3 "$RUNS" "$T/img" 0 "/isos/$name.iso" >"$T/$name.runs"
  check "$name.iso: our reader finds its $pieces pieces of $piece bytes" \
    test "$(sed -n 's/.*trechos=\([0-9]*\).*/\1/p' "$T/$name.runs")" = "$pieces"
  check "$name.iso: the pieces lie in reverse disk order" descending "$T/$name.runs"
  jumps=$(jumps_back "$T/$name.runs")
  check "$name.iso: $jumps jumps back past a FAT block, more than the $INDEX_AFTER_JUMPS before the index" \
    test "$jumps" -gt "$INDEX_AFTER_JUMPS"

  kel "$LOOP" "isos/$name.iso"
  check "$name.iso: kelmo-map --test prints our reader's runs" succeeded_as "$T/$name.runs"
  check "$name.iso: the bytes at the runs are the file's" \
    eval 'assemble "$LOOP" 0 "$T/assembled" && cmp -s "$T/assembled" "$T/$name"'

  # LeakSanitizer, in a sanitizer build, cannot run under ptrace.
  rc=0
  ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 strace -o "$T/$name.strace" -e trace=pread64 \
    "$BIN" --test "$T/img" "/isos/$name.iso" >"$T/out" 2>"$T/err" || rc=$?
  reads=$(index_reads "$T/$name.strace")
  check "$name.iso: the walk read $reads FAT blocks whole through its index, one for each jump after the $INDEX_AFTER_JUMPS" \
    test "$reads" -ge $((jumps - INDEX_AFTER_JUMPS))
  check "$name.iso: the same runs under strace" succeeded_as "$T/$name.runs"
done

keep_logs backward "$T"/*.runs "$T"/*.strace "$T/fuse.log"
summary
