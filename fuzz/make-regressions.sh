#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Remakes the regression inputs: small inputs that once got past the checks
# (or would, if their fault came back). Every test build replays them
# (ctest fuzz.replay.*), and so does every fuzz run. Needs python3 only.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$here/regressions/volume" "$here/regressions/cmdline"

python3 - "$here" "$here/regressions/volume" <<'PY'
import os, random, sys
sys.dont_write_bytecode = True  # no __pycache__ in the tree
sys.path.insert(0, sys.argv[1])
from exfat_image import Volume, END, BAD
out = sys.argv[2]

# 512-byte clusters, FAT at sector 8, heap at sector 16, root in cluster 2,
# isos/ in cluster 3, isos/live.iso from cluster 4; 32 clusters.
def volume(fat, live_length, cluster_count=32, isos_length=512):
    v = Volume(512 * 48, 9, fat_offset=8, heap_offset=16, cluster_count=cluster_count)
    for c, value in {2: END, 3: END, **fat}.items(): v.fat(c, value)
    v.entry_set(2, "isos", 3, isos_length, 1, 0x10)
    v.entry_set(3, "live.iso", 4, live_length, 1, 0x20)
    return v.img

def write(name, img):
    open(os.path.join(out, name), "wb").write(img)

# a -> b -> c -> b, a file of 4 clusters: the walk's mark missed the repeat
# and cluster 6 was mapped twice.
write("chain-loop-a-b-c-b", volume({4: 6, 6: 5, 5: 6}, 4 * 512))
# A lead-in of 3 clusters into a ring of 3, a file of 8 clusters, all adjacent
# on disk: two overlapping runs.
write("chain-lead-in-3-ring-3", volume({4: 5, 5: 6, 6: 7, 7: 8, 8: 9, 9: 7}, 8 * 512 - 100))
# The directory isos/ of 4 clusters over 3 -> 20 -> 21 -> 20: searched
# through overlapping runs, it yielded live.iso.
write("directory-over-a-loop", volume({3: 20, 20: 21, 21: 20, 4: END}, 512, isos_length=4 * 512))
# ClusterCount 0xFFFFFFFD: the bad-cluster mark 0xFFFFFFF7 passed as a cluster.
write("cluster-count-above-limit", volume({4: BAD}, 2 * 512, cluster_count=0xFFFFFFFD))

# isos/live.iso in 600 pieces of 8 clusters chained in shuffled order over
# five blocks of 16384 FAT entries, free and bad clusters between them: the
# walk jumps between FAT blocks far apart and follows its index of their
# breaks. Larger than the fuzzer's inputs, so only replayed. The heap lies
# past the image's end; the walk reads only the FAT.
def scattered():
    count = 5 * 16384
    heap = 8 + (count + 2) * 4 // 512 + 1
    v = Volume((heap + 2) * 512, 9, fat_offset=8, heap_offset=heap, cluster_count=count)
    for c in range(40000, 42000): v.fat(c, BAD)
    pieces = [16 + 130 * k for k in range(600)]
    random.Random(16).shuffle(pieces)
    order = [p + i for p in pieces for i in range(8)]
    for a, b in zip(order, order[1:] + [END]): v.fat(a, b)
    v.fat(2, END); v.fat(3, END)
    v.entry_set(2, "isos", 3, 512, 1, 0x10)
    v.entry_set(3, "live.iso", order[0], len(order) * 512, 1, 0x20)
    return v.img
write("chain-scattered-over-fat-blocks", scattered())
PY

# A value longer than the reader's token buffer, and a quote never closed.
{ printf 'ro kelmo.uuid=1A2B-3C4D kelmo.iso=/'; head -c 5000 /dev/zero | tr '\0' 'a'; printf '.iso quiet\n'; } \
  > "$here/regressions/cmdline/overlong-token"
printf 'kelmo.uuid=1A2B-3C4D kelmo.iso="/Meus ISOs/a b.iso\n' > "$here/regressions/cmdline/unterminated-quote"
echo "regression inputs written to $here/regressions"
