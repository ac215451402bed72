// SPDX-License-Identifier: MIT
#include "exfat/volume.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "exfat/format.h"

VolumeGeometry g_volume = {-1, 0, 0, 0, 0, 0, 0, 0};
static uint32_t g_opens;

uint32_t volume_opens() { return g_opens; }

int read_at(uint64_t position, void* buffer, uint64_t length) {
  uint64_t at = position + g_volume.base_offset;
  // pread takes a signed offset; a position past its range cannot be read.
  if (at > uint64_t(INT64_MAX)) return -1;
  ssize_t got = pread(g_volume.device, buffer, length, off_t(at));
  return got >= 0 && uint64_t(got) == length ? 0 : -1;
}

void format_serial(uint32_t serial, char out[10]) {
  snprintf(out, 10, "%04X-%04X", unsigned(serial >> 16), unsigned(serial & 0xFFFF));
}

static char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

static bool same_text_ignoring_case(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b)
    if (ascii_lower(*a) != ascii_lower(*b)) return false;
  return *a == *b;
}

bool valid_boot_sector(const uint8_t* boot) {
  if (memcmp(boot + kFileSystemName, "EXFAT   ", 8) != 0) return false;
  uint32_t sector_shift = boot[kBytesPerSectorShift];
  if (sector_shift < kMinSectorShift || sector_shift > kMaxSectorShift) return false;
  if (sector_shift + boot[kSectorsPerClusterShift] > kMaxClusterSizeShift) return false;
  // Above the format's limit the FAT marks (kFatBadCluster, kFatEndOfChain)
  // would pass as cluster numbers, and cluster_count + 2 would wrap.
  return le32(boot + kClusterCount) <= kMaxClusterCount;
}

static bool serial_matches(const uint8_t* boot, const char* serial) {
  char text[10];
  format_serial(le32(boot + kVolumeSerialNumber), text);
  return same_text_ignoring_case(serial, text);
}

// The geometry of the volume whose valid boot sector is `boot`. The boot
// sector counts the volume's own sectors; from here on everything counts
// 512-byte ones. A 4096-byte-sector offset may exceed 32 bits.
static void read_geometry(const uint8_t* boot) {
  uint32_t scale = boot[kBytesPerSectorShift] - kMinSectorShift;
  g_volume.fat_offset = uint64_t(le32(boot + kFatOffset)) << scale;
  g_volume.heap_offset = uint64_t(le32(boot + kClusterHeapOffset)) << scale;
  g_volume.cluster_count = le32(boot + kClusterCount);
  g_volume.root_cluster = le32(boot + kFirstClusterOfRootDirectory);
  g_volume.cluster_shift = boot[kSectorsPerClusterShift] + scale;
  g_volume.cluster_size = uint32_t(kSectorSize) << g_volume.cluster_shift;
}

static int reject() {
  close(g_volume.device);
  g_volume.device = -1;
  return -1;
}

int volume_open(const char* path, const char* serial, uint64_t base_offset) {
  ++g_opens;
  g_volume.device = open(path, O_RDONLY | O_CLOEXEC);
  if (g_volume.device < 0) {
    g_volume.device = -1;
    return -1;
  }
  g_volume.base_offset = base_offset;
  uint8_t boot[kSectorSize];
  if (read_at(0, boot, sizeof boot) != 0 || !valid_boot_sector(boot)) return reject();
  if (serial && !serial_matches(boot, serial)) return reject();
  read_geometry(boot);
  return 0;
}
