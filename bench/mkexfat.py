#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Builds exFAT volumes for the benchmarks with a known layout.

Only the boot region, the FAT, the allocation bitmap, the up-case table and
the directories are written (file data only where asked), so a 40 GiB volume
is a sparse file that takes seconds to make. Every file's cluster runs are
chosen here, so the runs kelmo-map must print are known exactly.

  mkexfat.py host IMAGE --cluster-kib K --manifest OUT.json
      /isos/{contig,frag,shuf}-{4g,8g}.iso (contiguous; 4096 runs in order;
      4096 runs in shuffled order), a filler file owning the one-cluster gap
      between runs, and /many/ with 10,000 files, the last one looked up.
  mkexfat.py stick IMAGE --offset BYTES --size BYTES --cluster-kib K
             --serial 0x1A2B3C4D --iso ISO --manifest OUT.json
      the ISO's bytes as /isos/contig.iso (one run) and /isos/frag.iso
      (4096 runs in order), in a partition at OFFSET of an existing image.

The manifest gives, for each file to look up: the exact --test output, and
the bytes no reader can avoid (boot sector, the directory entries up to the
match, the FAT entries of every FAT-chained directory and file on the path),
with where they start, for the one-read comparison.
"""
import argparse
import array
import hashlib
import json
import os
import random
import sys

SECTOR = 512
EOC = 0xFFFFFFFF
RUNS = 4096  # kelmo-map's limit of runs per file
FAT_OFFSET = 2048  # sectors, as mkfs.exfat aligns it


def checksum16(data, skip=()):
    c = 0
    for i, b in enumerate(data):
        if i in skip:
            continue
        c = (((c << 15) | (c >> 1)) + b) & 0xFFFF
    return c


def checksum32(data, skip=()):
    c = 0
    for i, b in enumerate(data):
        if i in skip:
            continue
        c = (((c << 31) | (c >> 1)) + b) & 0xFFFFFFFF
    return c


# Compressed up-case table: identity except a-z, which is all names here use.
UPCASE_UNITS = [0xFFFF, 0x61] + [0x41 + i for i in range(26)] + [0xFFFF, 0x10000 - 0x7B]
UPCASE = b"".join(u.to_bytes(2, "little") for u in UPCASE_UNITS)


def upcase(u):
    return u - 0x20 if 0x61 <= u <= 0x7A else u


def name_hash(name):
    h = 0
    for ch in name:
        u = upcase(ord(ch))
        for b in (u & 0xFF, u >> 8):
            h = (((h << 15) | (h >> 1)) + b) & 0xFFFF
    return h


def entry_set(name, first, length, directory, nofat):
    """File, Stream Extension and File Name entries of one file."""
    units = [ord(c) for c in name]
    assert all(u < 0x80 for u in units) and 0 < len(units) <= 255
    names = (len(units) + 14) // 15
    f = bytearray(32)
    f[0] = 0x85
    f[1] = 1 + names
    f[4:6] = (0x10 if directory else 0x20).to_bytes(2, "little")
    stamp = (((2024 - 1980) << 25) | (1 << 21) | (1 << 16)).to_bytes(4, "little")
    f[8:12] = f[12:16] = f[16:20] = stamp
    s = bytearray(32)
    s[0] = 0xC0
    s[1] = 0x01 | (0x02 if nofat else 0)
    s[3] = len(units)
    s[4:6] = name_hash(name).to_bytes(2, "little")
    s[8:16] = length.to_bytes(8, "little")
    s[20:24] = first.to_bytes(4, "little")
    s[24:32] = length.to_bytes(8, "little")
    out = f + s
    for i in range(names):
        n = bytearray(32)
        n[0] = 0xC1
        for j, u in enumerate(units[i * 15:(i + 1) * 15]):
            n[2 + 2 * j:4 + 2 * j] = u.to_bytes(2, "little")
        out += n
    out[2:4] = checksum16(out, skip=(2, 3)).to_bytes(2, "little")
    return bytes(out)


class Node:
    """A file or directory: its chain as runs of clusters, in chain order."""

    def __init__(self, name, length, runs, nofat, directory=False):
        self.name, self.length, self.runs, self.nofat = name, length, runs, nofat
        self.directory = directory
        self.children = []
        self.entries = b""  # a directory's bytes once laid out

    @property
    def first(self):
        return self.runs[0][0] if self.runs else 0

    @property
    def clusters(self):
        return sum(n for _, n in self.runs)


class Volume:
    def __init__(self, cluster_kib):
        self.cluster = cluster_kib * 1024
        self.shift = (self.cluster // SECTOR).bit_length() - 1
        assert SECTOR << self.shift == self.cluster
        self.next = 2
        self.nodes = []

    def take(self, count):
        start = self.next
        self.next += count
        return start

    def clusters_for(self, length):
        return (length + self.cluster - 1) // self.cluster

    # --- layout ------------------------------------------------------------

    def reserve_system(self, bitmap_clusters):
        self.bitmap = (self.take(bitmap_clusters), bitmap_clusters)
        n = self.clusters_for(len(UPCASE))
        self.upcase = (self.take(n), n)
        self.root = Node("", 0, [(self.take(1), 1)], nofat=False, directory=True)

    def mkdir(self, parent, name, clusters, nofat):
        d = Node(name, clusters * self.cluster, [(self.take(clusters), clusters)], nofat, directory=True)
        parent.children.append(d)
        return d

    def contiguous(self, parent, name, length):
        n = self.clusters_for(length)
        f = Node(name, length, [(self.take(n), n)] if n else [], nofat=True)
        parent.children.append(f)
        return f

    def fragmented(self, parent, name, length, shuffled, seed):
        """RUNS runs of (nearly) equal size separated by one cluster each,
        which a filler file owns (as when two files grow in turns); visited
        in slot order, or in a shuffled order of the slots."""
        n = self.clusters_for(length)
        assert n >= RUNS
        sizes = [n // RUNS + (1 if i < n % RUNS else 0) for i in range(RUNS)]
        slots = list(range(RUNS))
        if shuffled:
            random.Random(seed).shuffle(slots)
        slot_size = [0] * RUNS
        for i, s in enumerate(slots):
            slot_size[s] = sizes[i]
        base = self.take(n + RUNS - 1)
        slot_start, gaps, at = [], [], base
        for s in range(RUNS):
            slot_start.append(at)
            at += slot_size[s]
            if s + 1 < RUNS:
                gaps.append((at, 1))
                at += 1
        f = Node(name, length, [(slot_start[s], sizes[i]) for i, s in enumerate(slots)], nofat=False)
        filler = Node(name.rsplit(".", 1)[0] + ".fill", (RUNS - 1) * self.cluster, gaps, nofat=False)
        parent.children += [f, filler]
        return f

    # --- writing -----------------------------------------------------------

    def finish(self, cluster_count):
        assert cluster_count >= self.next - 2
        self.count = cluster_count
        fat_bytes = (cluster_count + 2) * 4
        spc = 1 << self.shift
        self.fat_length = -(-fat_bytes // SECTOR)
        self.fat_length = -(-self.fat_length // spc) * spc
        self.heap = -(-(FAT_OFFSET + self.fat_length) // spc) * spc
        self.volume_sectors = self.heap + cluster_count * spc
        assert -(-(-(-cluster_count // 8)) // self.cluster) <= self.bitmap[1]

    def sector_of(self, cluster):
        return self.heap + ((cluster - 2) << self.shift)

    def walk(self, node=None):
        node = node or self.root
        yield node
        for c in node.children:
            yield from self.walk(c)

    def layout_directories(self):
        for d in self.walk():
            if not d.directory:
                continue
            data = b""
            if d is self.root:
                bm = bytearray(32)
                bm[0] = 0x81
                bm[20:24] = self.bitmap[0].to_bytes(4, "little")
                bm[24:32] = (-(-self.count // 8)).to_bytes(8, "little")
                up = bytearray(32)
                up[0] = 0x82
                up[4:8] = checksum32(UPCASE).to_bytes(4, "little")
                up[20:24] = self.upcase[0].to_bytes(4, "little")
                up[24:32] = len(UPCASE).to_bytes(8, "little")
                data = bytes(bm + up)
            d.offsets = {}
            for c in d.children:
                s = entry_set(c.name, c.first, c.length, c.directory, c.nofat)
                d.offsets[c.name] = len(data) + len(s)  # bytes read up to the end of its set
                data += s
            assert len(data) <= d.clusters * self.cluster, d.name
            d.entries = data

    def write(self, path, offset, iso=None):
        self.layout_directories()
        fat = array.array("I", bytes((self.count + 2) * 4))
        fat[0], fat[1] = 0xFFFFFFF8, EOC
        bitmap = bytearray(-(-self.count // 8))

        def mark(start, n):
            a, b = start - 2, start - 2 + n
            while a < b and a % 8:
                bitmap[a // 8] |= 1 << (a % 8)
                a += 1
            while b > a and b % 8:
                b -= 1
                bitmap[b // 8] |= 1 << (b % 8)
            bitmap[a // 8:b // 8] = b"\xff" * (b // 8 - a // 8)

        def chain(runs, nofat):
            for i, (s, n) in enumerate(runs):
                mark(s, n)
                if nofat:
                    continue
                fat[s:s + n - 1] = array.array("I", range(s + 1, s + n))
                fat[s + n - 1] = runs[i + 1][0] if i + 1 < len(runs) else EOC

        chain([self.bitmap], False)
        chain([self.upcase], False)
        for node in self.walk():
            chain(node.runs, node.nofat)

        used = sum(bin(b).count("1") for b in bitmap)
        boot = bytearray(SECTOR * 12)
        b = boot
        b[0:3] = b"\xEB\x76\x90"
        b[3:11] = b"EXFAT   "
        b[64:72] = (offset // SECTOR).to_bytes(8, "little")
        b[72:80] = self.volume_sectors.to_bytes(8, "little")
        b[80:84] = FAT_OFFSET.to_bytes(4, "little")
        b[84:88] = self.fat_length.to_bytes(4, "little")
        b[88:92] = self.heap.to_bytes(4, "little")
        b[92:96] = self.count.to_bytes(4, "little")
        b[96:100] = self.root.first.to_bytes(4, "little")
        b[100:104] = self.serial.to_bytes(4, "little")
        b[104:106] = (0x0100).to_bytes(2, "little")
        b[108] = 9
        b[109] = self.shift
        b[110] = 1
        b[111] = 0x80
        b[112] = used * 100 // self.count
        b[510:512] = b"\x55\xAA"
        for s in range(1, 9):
            b[s * SECTOR + 510:s * SECTOR + 512] = b"\x55\xAA"
        c = checksum32(boot[:11 * SECTOR], skip=(106, 107, 112))
        boot[11 * SECTOR:] = c.to_bytes(4, "little") * (SECTOR // 4)

        with open(path, "r+b") as out:
            def put(position, data):
                out.seek(offset + position)
                out.write(data)

            put(0, boot)
            put(12 * SECTOR, boot)
            put(FAT_OFFSET * SECTOR, fat.tobytes())
            put(self.sector_of(self.bitmap[0]) * SECTOR, bitmap)
            put(self.sector_of(self.upcase[0]) * SECTOR, UPCASE)
            for d in self.walk():
                if not d.directory:
                    continue
                data = d.entries + bytes(d.clusters * self.cluster - len(d.entries))
                pos = 0
                for s, n in d.runs:
                    put(self.sector_of(s) * SECTOR, data[pos:pos + n * self.cluster])
                    pos += n * self.cluster
            if iso:
                for node in self.walk():
                    if node.name.endswith(".iso"):
                        self.write_data(put, node, iso)

    def write_data(self, put, node, iso):
        with open(iso, "rb") as src:
            left = node.length
            for s, n in node.runs:
                chunk = src.read(min(left, n * self.cluster))
                put(self.sector_of(s) * SECTOR, chunk)
                left -= len(chunk)
            assert left == 0

    # --- what a reader must see ----------------------------------------------

    def expected(self, path):
        """The --test output for PATH and the bytes any reader must read."""
        node, need = self.root, SECTOR
        start = None  # where the biggest piece of must-read bytes lies
        for part in path.strip("/").split("/"):
            if not node.nofat:
                need += 4 * node.clusters
            need += node.offsets[part]
            start = (self.sector_of(node.first) * SECTOR, node.offsets[part])
            node = next(c for c in node.children if c.name == part)
        runs = []
        spc = 1 << self.shift
        for s, n in node.runs:
            sector = self.sector_of(s)
            if runs and runs[-1][0] + runs[-1][1] == sector:
                runs[-1][1] += n * spc
            else:
                runs.append([sector, n * spc])
        if not node.nofat:
            fat_bytes = 4 * node.clusters
            need += fat_bytes
            if fat_bytes > start[1]:
                start = ((FAT_OFFSET * SECTOR) + 4 * min(s for s, _ in node.runs), fat_bytes)
        # The FAT bytes the file's chain spans, first to last entry.
        span = (0, 0)
        if not node.nofat and node.runs:
            low = min(s for s, _ in node.runs)
            high = max(s + n for s, n in node.runs)
            span = (FAT_OFFSET * SECTOR + 4 * low, 4 * (high - low))
        text = "tamanho=%d nofat=%d trechos=%d\n" % (node.length, int(node.nofat), len(runs))
        text += "".join("  setor %d  +%d\n" % (s, n) for s, n in runs)
        return {
            "path": path,
            "length": node.length,
            "clusters": node.clusters,
            "runs": len(runs),
            "nofat": node.nofat,
            "first_byte": runs[0][0] * SECTOR if runs else 0,
            "output": text,
            "output_sha256": hashlib.sha256(text.encode()).hexdigest(),
            "needed_bytes": need,
            "needed_offset": start[0],
            "fat_span_offset": span[0],
            "fat_span_bytes": span[1],
        }


def plan(cluster_kib, build, total=None):
    """Lays the volume out, growing the bitmap's reservation until it fits."""
    bitmap_clusters = 1
    while True:
        v = Volume(cluster_kib)
        v.reserve_system(bitmap_clusters)
        build(v)
        count = total(v) if total else v.next - 2 + 1024
        need = -(-(-(-count // 8)) // v.cluster)
        if need <= bitmap_clusters:
            v.finish(count)
            return v
        bitmap_clusters = need


def host(args):
    gib = 1 << 30
    names = 10000
    sizes = [("4g", 4 * gib), ("8g", 8 * gib)]

    def build(v):
        isos = v.mkdir(v.root, "isos", 1, nofat=True)
        for tag, size in sizes:
            v.contiguous(isos, "contig-%s.iso" % tag, size)
        for tag, size in sizes:
            v.fragmented(isos, "frag-%s.iso" % tag, size, shuffled=False, seed=0)
        for tag, size in sizes:
            v.fragmented(isos, "shuf-%s.iso" % tag, size, shuffled=True, seed=size)
        # Grown one cluster at a time, so read through the FAT like most directories.
        per_set = 96  # "file-00001.iso": File, Stream Extension, one File Name
        many = v.mkdir(v.root, "many", v.clusters_for(names * per_set), nofat=False)
        for i in range(1, names):
            many.children.append(Node("file-%05d.iso" % i, 0, [], nofat=False))
        v.contiguous(many, "file-%05d.iso" % names, 1 << 20)

    v = plan(args.cluster_kib, build)
    v.serial = args.serial
    size = (v.volume_sectors * SECTOR)
    with open(args.image, "wb") as f:
        f.truncate(size)
    v.write(args.image, 0)
    targets = ["/isos/%s-%s.iso" % (kind, tag) for kind in ("contig", "frag", "shuf") for tag, _ in sizes]
    targets.append("/many/file-%05d.iso" % names)
    return v, targets


def stick(args):
    length = os.path.getsize(args.iso)

    def build(v):
        isos = v.mkdir(v.root, "isos", 1, nofat=True)
        v.contiguous(isos, "contig.iso", length)
        v.fragmented(isos, "frag.iso", length, shuffled=False, seed=0)

    spc_bytes = args.cluster_kib * 1024

    def total(v):
        # The volume fills the partition; leave room for the FAT.
        fat_guess = -(-((args.size // spc_bytes) + 2) * 4 // SECTOR)
        return (args.size // SECTOR - FAT_OFFSET - fat_guess - (spc_bytes // SECTOR)) // (spc_bytes // SECTOR)

    v = plan(args.cluster_kib, build, total)
    v.serial = args.serial
    assert v.volume_sectors * SECTOR <= args.size, "partition too small"
    assert v.next - 2 <= v.count, "files do not fit"
    v.write(args.image, args.offset, iso=args.iso)
    return v, ["/isos/contig.iso", "/isos/frag.iso"]


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("mode", choices=["host", "stick"])
    p.add_argument("image")
    p.add_argument("--cluster-kib", type=int, required=True)
    p.add_argument("--manifest", required=True)
    p.add_argument("--serial", type=lambda s: int(s, 0), default=0x1A2B3C4D)
    p.add_argument("--offset", type=int, default=0)
    p.add_argument("--size", type=int)
    p.add_argument("--iso")
    args = p.parse_args()
    v, targets = host(args) if args.mode == "host" else stick(args)
    manifest = {
        "image": os.path.abspath(args.image),
        "offset": args.offset,
        "cluster": v.cluster,
        "cluster_count": v.count,
        "fat_offset": FAT_OFFSET * SECTOR,
        "targets": [v.expected(t) for t in targets],
    }
    with open(args.manifest, "w") as f:
        json.dump(manifest, f, indent=1)


if __name__ == "__main__":
    sys.exit(main())
