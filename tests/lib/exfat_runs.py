#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The sector runs of a file on an exFAT image, read here from the boot
sector, the FAT and the directory entries, so that the tests' expected
values do not come from kelmo-map itself.

    exfat_runs.py IMAGE OFFSET PATH [--sha256 | --fat-sectors | --valid]

OFFSET is the volume's byte offset in IMAGE. Prints what `kelmo-map --test`
prints for a file (length, NoFatChain flag, runs of whole clusters counted
in 512-byte sectors from the start of the volume); with --sha256, the
sha256 of the file's bytes read at those runs instead; with --fat-sectors,
the sectors of the FAT (counted as the runs are) whose entries a reader
follows on the way to the file, "dir SECTOR" for the directories' chains
(the root's included), "file SECTOR" for the file's; with --valid, its
valid data length (how much of it was written, as exFAT records it).
"""
import hashlib
import struct
import sys


def main():
    image, offset, path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    want_sha = "--sha256" in sys.argv[4:]
    want_fat = "--fat-sectors" in sys.argv[4:]
    want_valid = "--valid" in sys.argv[4:]
    f = open(image, "rb")

    def read(pos, n):
        f.seek(offset + pos)
        data = f.read(n)
        if len(data) != n:
            sys.exit("short read at %d" % pos)
        return data

    boot = read(0, 512)
    if boot[3:11] != b"EXFAT   ":
        sys.exit("not exFAT")
    fat_offset, _, heap_offset, cluster_count, root = struct.unpack_from("<5I", boot, 80)
    sector_shift, cluster_shift = boot[108], boot[109]
    if not 9 <= sector_shift <= 12 or sector_shift + cluster_shift > 25:
        sys.exit("sectors of 512 to 4096 bytes, clusters of at most 32 MiB only")
    # Everything below counts 512-byte sectors, whatever the volume's own.
    scale = 1 << (sector_shift - 9)
    fat_offset, heap_offset = fat_offset * scale, heap_offset * scale
    spc = (1 << cluster_shift) * scale
    cluster_bytes = 512 * spc

    followed = []  # (kind, FAT sector) of each entry read

    def fat(c):
        followed.append((kind, fat_offset + 4 * c // 512))
        return struct.unpack("<I", read(fat_offset * 512 + 4 * c, 4))[0]

    def clusters(first, count, contiguous):
        """The first `count` clusters of a chain; None (whole chain) for count."""
        out = []
        c = first
        while count is None or len(out) < count:
            if not 2 <= c < cluster_count + 2 or c in out:
                if count is None and c >= 0xFFFFFFF8:
                    break
                sys.exit("bad chain at cluster %d" % c)
            out.append(c)
            c = c + 1 if contiguous else fat(c)
        return out

    def entries(first, length, contiguous):
        count = None if length is None else -(-length // cluster_bytes)
        for c in clusters(first, count, contiguous):
            data = read((heap_offset + (c - 2) * spc) * 512, cluster_bytes)
            for i in range(0, cluster_bytes, 32):
                yield data[i : i + 32]

    def lookup(first, length, contiguous, name):
        it = entries(first, length, contiguous)
        for e in it:
            if e[0] == 0x00:
                break
            if e[0] != 0x85:
                continue
            secondary = e[1]
            attributes = struct.unpack_from("<H", e, 4)[0]
            group = [next(it) for _ in range(secondary)]
            stream = group[0]
            if stream[0] != 0xC0:
                continue
            flags, name_length = stream[1], stream[3]
            first_cluster, data_length = struct.unpack_from("<IQ", stream, 20)
            valid_length = struct.unpack_from("<Q", stream, 8)[0]
            units = b"".join(g[2:32] for g in group[1:] if g[0] == 0xC1)
            got = units.decode("utf-16-le")[:name_length]
            if got.upper() == name.upper():
                return attributes, flags, first_cluster, data_length, valid_length
        sys.exit("not found: %s" % name)

    # The root directory has no stream entry: its chain is in the FAT.
    kind = "dir"
    where = (0x10, 0x01, root, None, None)
    for name in [p for p in path.split("/") if p]:
        attributes, flags, first, length, _ = where
        if not attributes & 0x10:
            sys.exit("not a directory on the way: %s" % name)
        where = lookup(first, length, flags & 0x02, name)
    attributes, flags, first, length, valid = where
    if want_valid:
        print(valid)
        return
    nofat = 1 if flags & 0x02 else 0
    count = -(-length // cluster_bytes)
    kind = "file"
    runs = []
    for c in clusters(first, count, nofat) if count else []:
        sector = heap_offset + (c - 2) * spc
        if runs and runs[-1][0] + runs[-1][1] == sector:
            runs[-1][1] += spc
        else:
            runs.append([sector, spc])

    if want_fat:
        for k, sector in sorted(set(followed)):
            print(k, sector)
        return
    if want_sha:
        h = hashlib.sha256()
        left = length
        for sector, n in runs:
            data = read(sector * 512, min(n * 512, left))
            h.update(data)
            left -= len(data)
        print(h.hexdigest())
        return
    print("tamanho=%d nofat=%d trechos=%d" % (length, nofat, len(runs)))
    for sector, n in runs:
        print("  setor %d  +%d" % (sector, n))


main()
