# SPDX-License-Identifier: MIT
"""Small exFAT volumes written byte by byte, for the fuzz seeds and the
regression inputs: a boot sector, FAT entries, and one entry set (File,
Stream Extension, File Name) at the start of a directory's cluster."""
import struct

END = 0xFFFFFFFF  # FAT: end of chain
BAD = 0xFFFFFFF7  # FAT: bad cluster


class Volume:
    def __init__(self, size, sector_shift, fat_offset, heap_offset, cluster_count, root=2):
        """`size` bytes; offsets in sectors of 2**sector_shift bytes; one
        sector per cluster."""
        self.img = bytearray(size)
        self.sector = 1 << sector_shift
        self.fat_at = fat_offset * self.sector
        self.heap_at = heap_offset * self.sector
        img = self.img
        img[3:11] = b"EXFAT   "
        # FatOffset, FatLength (not read), ClusterHeapOffset, ClusterCount,
        # FirstClusterOfRootDirectory, VolumeSerialNumber
        struct.pack_into("<IIIIII", img, 80, fat_offset, 1, heap_offset, cluster_count, root, 0x1A2B3C4D)
        img[108], img[109] = sector_shift, 0
        img[510:512] = b"\x55\xaa"

    def fat(self, c, value):
        struct.pack_into("<I", self.img, self.fat_at + 4 * c, value)

    def cluster(self, c):
        return self.heap_at + (c - 2) * self.sector

    def entry_set(self, directory, name, first, length, flags, attributes):
        """The entry set of `name` at the start of cluster `directory`;
        flags: GeneralSecondaryFlags (1 allocated, 2 NoFatChain)."""
        img, at = self.img, self.cluster(directory)
        units = name.encode("utf-16-le")
        img[at] = 0x85; img[at + 1] = 2; img[at + 4] = attributes
        img[at + 32] = 0xC0; img[at + 33] = flags; img[at + 35] = len(name)
        struct.pack_into("<Q4xIQ", img, at + 40, length, first, length)
        img[at + 64] = 0xC1; img[at + 66:at + 66 + len(units)] = units
