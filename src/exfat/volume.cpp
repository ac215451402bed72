#include "exfat/volume.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "exfat/format.h"

VolumeGeometry g_volume = {-1, 0, 0, 0, 0, 0, 0, 0};

struct ReadWindow {
  uint64_t start;   // volume position of bytes[0]
  uint32_t length;  // kWindowSize when bytes[] holds the window, else 0
  bool filled;      // whether start has been read since the volume opened
  uint8_t bytes[kWindowSize];
};

static ReadWindow g_windows[2];  // Window::fat, Window::directory

int read_at(uint64_t position, void* buffer, uint64_t length) {
  uint64_t at = position + g_volume.base_offset;
  // pread takes a signed offset; a position past its range cannot be read.
  if (at > uint64_t(INT64_MAX)) return -1;
  ssize_t got = pread(g_volume.device, buffer, length, off_t(at));
  return got >= 0 && uint64_t(got) == length ? 0 : -1;
}

int read_windowed(Window which, uint64_t position, void* buffer, uint32_t length) {
  ReadWindow& window = g_windows[int(which)];
  uint64_t start = position & ~uint64_t(kWindowSize - 1);
  if (length > kWindowSize - (position - start)) return read_at(position, buffer, length);
  if (!window.filled || window.start != start) {
    window.start = start;
    window.filled = true;
    window.length = read_at(start, window.bytes, kWindowSize) == 0 ? kWindowSize : 0;
  }
  // A window that could not be read whole is remembered as such, so the
  // exact read alone decides there, without the window being tried again.
  if (window.length != kWindowSize) return read_at(position, buffer, length);
  memcpy(buffer, window.bytes + (position - start), length);
  return 0;
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

static int reject() {
  close(g_volume.device);
  g_volume.device = -1;
  return -1;
}

int volume_open(const char* path, const char* serial) {
  // What the windows hold belongs to the volume opened before.
  for (ReadWindow& window : g_windows) window.filled = false;
  g_volume.device = open(path, O_RDONLY | O_CLOEXEC);
  if (g_volume.device < 0) {
    g_volume.device = -1;
    return -1;
  }
  uint8_t boot[kSectorSize];
  if (read_at(0, boot, sizeof boot) != 0) return reject();
  if (memcmp(boot + kFileSystemName, "EXFAT   ", 8) != 0) return reject();
  char text[10];
  format_serial(le32(boot + kVolumeSerialNumber), text);
  if (serial && !same_text_ignoring_case(serial, text)) return reject();

  g_volume.fat_offset = le32(boot + kFatOffset);
  g_volume.heap_offset = le32(boot + kClusterHeapOffset);
  g_volume.cluster_count = le32(boot + kClusterCount);
  g_volume.root_cluster = le32(boot + kFirstClusterOfRootDirectory);
  g_volume.cluster_shift = boot[kSectorsPerClusterShift];
  uint32_t sector_shift = boot[kBytesPerSectorShift];
  if (sector_shift < kMinSectorShift || sector_shift > kMaxSectorShift ||
      sector_shift + g_volume.cluster_shift > kMaxClusterSizeShift)
    return reject();
  // The boot sector counts the volume's own sectors; from here on everything
  // counts 512-byte ones. A 4096-byte-sector offset may exceed 32 bits.
  uint32_t scale = sector_shift - kMinSectorShift;
  g_volume.fat_offset <<= scale;
  g_volume.heap_offset <<= scale;
  g_volume.cluster_shift += scale;
  // Above the format's limit the FAT marks (bad cluster 0xFFFFFFF7, end of
  // chain) would pass as cluster numbers, and cluster_count + 2 would wrap.
  if (g_volume.cluster_count > kMaxClusterCount) return reject();

  g_volume.cluster_size = uint32_t(kSectorSize) << g_volume.cluster_shift;
  return 0;
}
