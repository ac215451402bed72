// SPDX-License-Identifier: MIT
// exFAT on-disk layout: the few boot-sector and directory-entry fields this
// reader uses, named as the exFAT format names them. All multi-byte values on
// disk are little-endian and may sit at any alignment, so they are assembled
// from bytes, never read through a cast pointer.
#pragma once

#include <cstdint>

// Every sector number past the probe counts 512-byte sectors, whatever the
// volume's own sector size: the unit of the runs and of the device mapper.
constexpr uint64_t kSectorSize = 512;
constexpr uint32_t kEntrySize = 32;    // one directory entry

// Main boot sector (sector 0), byte offsets.
constexpr unsigned kFileSystemName = 3;  // 8 bytes, "EXFAT   "
constexpr unsigned kFatOffset = 80;
constexpr unsigned kClusterHeapOffset = 88;
constexpr unsigned kClusterCount = 92;
constexpr unsigned kFirstClusterOfRootDirectory = 96;
constexpr unsigned kVolumeSerialNumber = 100;
constexpr unsigned kBytesPerSectorShift = 108;
constexpr unsigned kSectorsPerClusterShift = 109;
constexpr uint32_t kMinSectorShift = 9;        // BytesPerSectorShift: 512 bytes
constexpr uint32_t kMaxSectorShift = 12;       // to 4096 bytes
constexpr uint32_t kMaxClusterSizeShift = 25;  // both shifts together: 32 MiB clusters

// FAT: one little-endian 32-bit entry per cluster, from FatOffset.
constexpr uint32_t kFatEntrySize = 4;
constexpr uint32_t kFatBadCluster = 0xFFFFFFF7;  // entry of a bad cluster
constexpr uint32_t kFatEndOfChain = 0xFFFFFFFF;  // entry of a chain's last cluster
// Clusters 2 .. 0xFFFFFFF6: no cluster number reaches the marks.
constexpr uint32_t kMaxClusterCount = kFatBadCluster - 2;

// Directory entry types (byte 0).
constexpr uint8_t kEntryEndOfDirectory = 0x00;
constexpr uint8_t kEntryFile = 0x85;
constexpr uint8_t kEntryStreamExtension = 0xC0;
constexpr uint8_t kEntryFileName = 0xC1;
constexpr uint8_t kEntryInUse = 0x80;  // TypeCode bit 7

// File entry.
constexpr unsigned kSecondaryCount = 1;
constexpr unsigned kFileAttributes = 4;
constexpr uint8_t kAttributeDirectory = 0x10;
// Stream Extension entry.
constexpr unsigned kGeneralSecondaryFlags = 1;
constexpr uint8_t kNoFatChain = 0x02;
constexpr unsigned kNameLength = 3;
constexpr unsigned kMaxNameLength = 255;  // NameLength is one byte: UTF-16 units
constexpr unsigned kFirstCluster = 20;
constexpr unsigned kDataLength = 24;
// File Name entry: 15 UTF-16LE units from byte 2.
constexpr unsigned kFileName = 2;
constexpr unsigned kFileNameUnits = 15;

inline uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

inline uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline uint64_t le64(const uint8_t* p) { return uint64_t(le32(p)) | uint64_t(le32(p + 4)) << 32; }

// Byte position of cluster `c`'s entry in the first FAT, for a FatOffset
// counted in 512-byte sectors.
inline uint64_t fat_entry_position(uint64_t fat_offset, uint32_t c) {
  return fat_offset * kSectorSize + uint64_t(c) * kFatEntrySize;
}
