// The open exFAT volume: probe, geometry, and the one way to read it.
#pragma once

#include <cstdint>

struct VolumeGeometry {
  int device;              // open device or image; -1 when none
  uint64_t base_offset;    // bytes added to every read (test run only)
  uint64_t fat_offset;     // FatOffset, in 512-byte sectors
  uint64_t heap_offset;    // ClusterHeapOffset, in 512-byte sectors
  uint32_t cluster_count;  // ClusterCount
  uint32_t root_cluster;   // FirstClusterOfRootDirectory
  uint32_t cluster_shift;  // log2 of 512-byte sectors per cluster, at most 16
  uint32_t cluster_size;   // bytes
};

extern VolumeGeometry g_volume;

// Reads exactly `length` bytes at `position` + base offset; 0 or -1.
int read_at(uint64_t position, void* buffer, uint64_t length);

// Small reads that fall near each other (FAT entries, directory entries) go
// through a window of whole sectors the volume keeps, one per kind of read,
// so one positioned read serves many. volume_open empties them.
constexpr uint32_t kWindowSize = 65536;

enum class Window { fat, directory };

// The same result as read_at(position, buffer, length), served from the
// window where it can be. A window cut short by the end of the device is not
// used: the exact read decides there.
int read_windowed(Window window, uint64_t position, void* buffer, uint32_t length);

// Opens `path` and accepts it when it is exFAT with sectors of 512 to 4096
// bytes, clusters of at most 32 MiB and a ClusterCount within the format's
// limit, and, if `serial` is not null, its serial text ("1A2B-3C4D") equals
// `serial` without regard to ASCII case. On success the device stays open and
// g_volume is filled, its offsets and cluster shift counted in 512-byte
// sectors; on failure no device is open.
int volume_open(const char* path, const char* serial);

// Writes the "%04X-%04X" text of a VolumeSerialNumber into `out` (10 bytes).
void format_serial(uint32_t serial, char out[10]);
