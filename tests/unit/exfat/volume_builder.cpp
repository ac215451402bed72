// SPDX-License-Identifier: MIT
#include "exfat/volume_builder.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "exfat/format.h"
#include "exfat/volume.h"

static void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
static void put64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i));
}

VolumeBuilder::VolumeBuilder(uint32_t shift, uint32_t heap, uint32_t count, uint32_t fat, uint32_t sector)
    : cluster_shift(shift), heap_offset(heap), cluster_count(count), fat_offset(fat), sector_shift(sector) {
  image.assign((uint64_t(heap) + (uint64_t(count) << shift)) << sector, 0);
  uint8_t* b = boot();
  memcpy(b + 3, "EXFAT   ", 8);
  put32(b + 80, fat);
  put32(b + 84, (count + 2) * 4 / sector_bytes() + 1);  // FatLength: not read by the program
  put32(b + 88, heap);
  put32(b + 92, count);
  b[108] = uint8_t(sector);
  b[109] = uint8_t(shift);
  b[510] = 0x55;
  b[511] = 0xAA;
  set_root(4);
  set_serial(0x1A2B3C4D);
}

uint64_t VolumeBuilder::cluster_offset(uint32_t c) const {
  return (uint64_t(heap_offset) + (uint64_t(c - 2) << cluster_shift)) << sector_shift;
}

void VolumeBuilder::set_root(uint32_t c) { put32(boot() + 96, c); }
void VolumeBuilder::set_serial(uint32_t serial) { put32(boot() + 100, serial); }

void VolumeBuilder::set_fat(uint32_t c, uint32_t value) {
  uint64_t at = fat_entry_position(uint64_t(fat_offset) << (sector_shift - kMinSectorShift), c);
  if (at + kFatEntrySize > image.size()) throw std::out_of_range("FAT entry outside the image");
  put32(image.data() + at, value);
}

void VolumeBuilder::chain(const std::vector<uint32_t>& clusters) {
  for (size_t i = 0; i < clusters.size(); ++i)
    set_fat(clusters[i], i + 1 < clusters.size() ? clusters[i + 1] : kFatEndOfChain);
}

void VolumeBuilder::write_dir(const std::vector<uint32_t>& clusters, const std::vector<Entry>& entries) {
  uint32_t per_cluster = cluster_bytes() / 32;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (i / per_cluster >= clusters.size()) throw std::out_of_range("directory too small");
    uint64_t at = cluster_offset(clusters[i / per_cluster]) + (i % per_cluster) * 32;
    memcpy(image.data() + at, entries[i].data(), 32);
  }
}

std::string VolumeBuilder::path() {
  int fd = memfd_create("exfat-volume", 0);
  if (fd < 0) throw std::runtime_error("memfd_create");
  for (size_t done = 0; done < image.size();) {
    ssize_t n = write(fd, image.data() + done, image.size() - done);
    if (n <= 0) throw std::runtime_error("write");
    done += size_t(n);
  }
  // The program opens by path; the memory file stays alive through this
  // descriptor for the rest of the test process.
  memory_file = fd;
  return "/proc/self/fd/" + std::to_string(fd);
}

int VolumeBuilder::open(const char* serial, uint64_t base_offset) {
  int result = volume_open(path().c_str(), serial, base_offset);
  close(memory_file);  // the reader holds its own descriptor
  memory_file = -1;
  return result;
}

Entry file_entry(uint8_t secondary_count, uint8_t attributes) {
  Entry e{};
  e[0] = 0x85;
  e[1] = secondary_count;
  e[4] = attributes;
  return e;
}

Entry stream_entry(uint8_t name_length, uint32_t first_cluster, uint64_t data_length, bool no_fat_chain) {
  Entry e{};
  e[0] = 0xC0;
  e[1] = 0x01 | (no_fat_chain ? 0x02 : 0);  // AllocationPossible, NoFatChain
  e[3] = name_length;
  put64(e.data() + 8, data_length);  // ValidDataLength
  put32(e.data() + 20, first_cluster);
  put64(e.data() + 24, data_length);
  return e;
}

Entry name_entry(const std::u16string& units) {
  Entry e{};
  e[0] = 0xC1;
  for (size_t i = 0; i < units.size() && i < 15; ++i) {
    e[2 + 2 * i] = uint8_t(units[i]);
    e[3 + 2 * i] = uint8_t(units[i] >> 8);
  }
  return e;
}

Entry raw_entry(uint8_t type) {
  Entry e{};
  e[0] = type;
  return e;
}

std::vector<Entry> entry_set(const std::u16string& name, uint32_t first_cluster, uint64_t data_length,
                             bool no_fat_chain, bool directory) {
  size_t names = (name.size() + 14) / 15;
  std::vector<Entry> set;
  set.push_back(file_entry(uint8_t(1 + names), directory ? 0x10 : 0x20));
  set.push_back(stream_entry(uint8_t(name.size()), first_cluster, data_length, no_fat_chain));
  for (size_t i = 0; i < names; ++i) set.push_back(name_entry(name.substr(i * 15, 15)));
  return set;
}

void append(std::vector<Entry>& a, const std::vector<Entry>& b) { a.insert(a.end(), b.begin(), b.end()); }

void close_volume() {
  if (g_volume.device >= 0) close(g_volume.device);
  g_volume = {-1, 0, 0, 0, 0, 0, 0, 0};
}

// Every pread of the program's code passes through here: tests count reads
// instead of timing them.
static uint64_t g_device_reads = 0;
extern "C" ssize_t __real_pread(int fd, void* buffer, size_t length, off_t position);
static BadRange g_bad = {0, 0, false};
extern "C" ssize_t __wrap_pread(int fd, void* buffer, size_t length, off_t position) {
  ++g_device_reads;
  uint64_t from = uint64_t(position), to = from + length;
  if (length > 0 && from < g_bad.end && to > g_bad.start) {
    if (!g_bad.short_read || from >= g_bad.start) {
      errno = EIO;
      return -1;
    }
    length = g_bad.start - from;  // the device gives what lies before the bad range
  }
  return __real_pread(fd, buffer, length, position);
}
uint64_t device_reads() { return g_device_reads; }
void set_bad_range(BadRange bad) { g_bad = bad; }
