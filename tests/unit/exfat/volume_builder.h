// SPDX-License-Identifier: MIT
// exFAT volumes built byte by byte in test code, so each fixture shows the
// exact case it tests. The image lives in a memory file opened by path, the
// way the program opens a device.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

using Entry = std::array<uint8_t, 32>;

struct VolumeBuilder {
  uint32_t cluster_shift;  // SectorsPerClusterShift
  uint32_t heap_offset;    // sectors of the volume's own size
  uint32_t cluster_count;
  uint32_t fat_offset;     // sectors of the volume's own size
  uint32_t sector_shift;   // BytesPerSectorShift
  std::vector<uint8_t> image;
  int memory_file = -1;  // the last image written by path()

  // A volume whose image holds the boot sector, the FAT and every cluster.
  explicit VolumeBuilder(uint32_t cluster_shift = 3, uint32_t heap_offset = 2048, uint32_t cluster_count = 64,
                         uint32_t fat_offset = 128, uint32_t sector_shift = 9);

  uint8_t* boot() { return image.data(); }
  uint32_t sector_bytes() const { return 1u << sector_shift; }
  uint32_t cluster_bytes() const { return sector_bytes() << cluster_shift; }
  uint64_t cluster_offset(uint32_t c) const;
  void set_root(uint32_t c);
  void set_serial(uint32_t serial);
  void set_fat(uint32_t c, uint32_t value);
  // Links the clusters in order and ends the chain with kFatEndOfChain.
  void chain(const std::vector<uint32_t>& clusters);
  // Writes entries one after another through the clusters of a directory,
  // crossing from one cluster to the next as a real directory does.
  void write_dir(const std::vector<uint32_t>& clusters, const std::vector<Entry>& entries);

  // Writes the image to a fresh memory file; returns "/proc/self/fd/N".
  std::string path();
  // path() then volume_open(path, serial, base_offset).
  int open(const char* serial = nullptr, uint64_t base_offset = 0);
};

// Directory entries.
Entry file_entry(uint8_t secondary_count, uint8_t attributes = 0);
Entry stream_entry(uint8_t name_length, uint32_t first_cluster, uint64_t data_length, bool no_fat_chain = false);
Entry name_entry(const std::u16string& units);
Entry raw_entry(uint8_t type);

// A complete entry set: File, Stream Extension and as many File Name entries
// as the name needs.
std::vector<Entry> entry_set(const std::u16string& name, uint32_t first_cluster, uint64_t data_length,
                             bool no_fat_chain = false, bool directory = false);

// Appends b to a.
void append(std::vector<Entry>& a, const std::vector<Entry>& b);

// Closes the device the reader holds and resets its geometry.
void close_volume();

// Positioned reads the program has made on any device since the test binary
// started (the unit tests link with -Wl,--wrap=pread).
uint64_t device_reads();

// Reads of the device (by byte position, base offset included) that touch
// [start, end) fail with EIO, or, with short_read, give only the bytes
// before start, as a stick with a bad area may. {0, 0, false}: none.
struct BadRange {
  uint64_t start;
  uint64_t end;
  bool short_read;
};
void set_bad_range(BadRange bad);
