// SPDX-License-Identifier: MIT
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
// through a window the volume keeps, one per kind of read, so one positioned
// read serves many. volume_open empties them. A window is filled from a
// 4 KiB boundary: 4 KiB after a jump, twice the last fill when the reads
// move on just past it, up to the window's size; a shuffled chain then
// reads little at each jump, one in disk order reads in large pieces. Once
// the reads move forward in large pieces, or after many jumps, the kernel
// is asked to read ahead (posix_fadvise WILLNEED) a 1 MiB block at a time.
// Static memory: the two windows and a table of 256 advised blocks,
// 256 KiB + 64 KiB + 2 KiB.
constexpr uint32_t kFirstFill = 4096;
constexpr uint32_t kFatWindowSize = 262144;
constexpr uint32_t kDirectoryWindowSize = 65536;

enum class Window { fat, directory };

// Where the window of `which` holds `length` bytes at `position`: their
// address in it, and in `held` how many bytes from `position` on it holds
// (at least `length`). The window is filled if need be. Null where only an
// exact read may decide: bytes the device did not give (a short or failed
// read at its end) or more than a window. The address is good until the
// next call for the same window or volume_open.
const uint8_t* window_bytes(Window which, uint64_t position, uint32_t length, uint32_t& held);

// The same result as read_at(position, buffer, length), served from the
// window where it can be.
int read_windowed(Window which, uint64_t position, void* buffer, uint32_t length);

// Opens `path`, whose volume begins `base_offset` bytes in (0 but for the
// test run's whole-disk images), and accepts it when it is exFAT with sectors
// of 512 to 4096 bytes, clusters of at most 32 MiB and a ClusterCount within
// the format's limit, and, if `serial` is not null, its serial text
// ("1A2B-3C4D") equals `serial` without regard to ASCII case. On success the
// device stays open and g_volume is filled, its offsets and cluster shift
// counted in 512-byte sectors; on failure no device is open.
int volume_open(const char* path, const char* serial, uint64_t base_offset);

// Writes the "%04X-%04X" text of a VolumeSerialNumber into `out` (10 bytes).
void format_serial(uint32_t serial, char out[10]);
