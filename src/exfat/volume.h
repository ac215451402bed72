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

// Reads exactly `length` bytes at `position` + base offset; 0 or -1. Small
// reads near each other go through the volume's windows (exfat/window.h).
int read_at(uint64_t position, void* buffer, uint64_t length);

// Whether `boot`, a main boot sector (512 bytes), is one this reader takes:
// exFAT with sectors of 512 to 4096 bytes, clusters of at most 32 MiB and a
// ClusterCount within the format's limit.
bool valid_boot_sector(const uint8_t* boot);

// Opens `path`, whose volume begins `base_offset` bytes in (0 but for the
// test run's whole-disk images), and accepts it when its boot sector is
// valid and, if `serial` is not null, its serial text ("1A2B-3C4D") equals
// `serial` without regard to ASCII case. On success the device stays open
// and g_volume is filled, its offsets and cluster shift counted in 512-byte
// sectors; on failure no device is open.
int volume_open(const char* path, const char* serial, uint64_t base_offset);

// How many times volume_open has been called: what was read before the
// last call belongs to another volume, or to another offset.
uint32_t volume_opens();

// Writes the "%04X-%04X" text of a VolumeSerialNumber into `out` (10 bytes).
void format_serial(uint32_t serial, char out[10]);
