// SPDX-License-Identifier: MIT
// libFuzzer harness: an arbitrary volume image through the probe, the path
// walk, the run builder and the device-mapper table, opened by path as the
// program opens a device. Beyond crashes it checks the promise that matters
// most: every run lies inside the cluster heap, no sector is in two runs, the
// runs add up to exactly the file's whole clusters, and the table never
// leaves its buffer.

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dm/dm.h"
#include "exfat/chain.h"
#include "exfat/dir.h"
#include "exfat/format.h"
#include "exfat/volume.h"
#include "support/reference_walk.h"

static int g_memory_file = -1;
static char g_memory_path[64];
static ExtentTable g_runs;

static void check(bool ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "broken promise: %s\n", what);
    abort();
  }
}

static ExtentTable g_direct_runs;

static bool same_runs(const ExtentTable& a, const ExtentTable& b) {
  if (a.count != b.count) return false;
  for (int32_t i = 0; i < a.count; ++i)
    if (a.runs[i].start != b.runs[i].start || a.runs[i].count != b.runs[i].count) return false;
  return true;
}

static void check_no_overlap(const ExtentTable& table) { check(!reference::runs_overlap(table), "two runs overlap"); }

static void check_runs(const EntryMatch& found) {
  uint64_t heap_start = g_volume.heap_offset;
  uint64_t heap_end = heap_start + (uint64_t(g_volume.cluster_count) << g_volume.cluster_shift);
  uint64_t total = 0;
  for (int32_t i = 0; i < g_runs.count; ++i) {
    const Extent& run = g_runs.runs[i];
    check(run.count > 0, "empty run");
    check(run.start >= heap_start && run.start <= heap_end && run.count <= heap_end - run.start,
          "run outside the cluster heap");
    total += run.count;
  }
  // Exactly the file's whole clusters: no more, no fewer.
  uint64_t cluster_size = g_volume.cluster_size;
  uint64_t clusters = found.data_length + cluster_size - 1 < cluster_size
                          ? 0
                          : (found.data_length + cluster_size - 1) / cluster_size;
  check(total == clusters << g_volume.cluster_shift, "runs do not add up to the file's clusters");

  check_no_overlap(g_runs);

  size_t size = dm_buffer_size(g_runs.count);
  uint8_t* buffer = static_cast<uint8_t*>(malloc(size));  // exact size: ASan sees any overrun
  // Logical blocks of 512 to 4096 bytes, picked by the volume's own bytes.
  uint32_t block_size = 512u << (found.first_cluster % 4);
  uint32_t targets = dm_fill_table(buffer, kDeviceName, true, g_runs.count, g_runs.runs, found.data_length, block_size, 259, 1048575);
  check(targets <= uint32_t(g_runs.count), "more targets than runs");
  free(buffer);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (g_memory_file < 0) {
    g_memory_file = memfd_create("volume", 0);
    snprintf(g_memory_path, sizeof g_memory_path, "/proc/self/fd/%d", g_memory_file);
  }
  if (ftruncate(g_memory_file, 0) != 0 || pwrite(g_memory_file, data, size, 0) != ssize_t(size)) return 0;

  if (volume_open(g_memory_path, nullptr, 0) != 0) {
    check(g_volume.device == -1, "rejected volume left open");
    return 0;
  }
  check(g_volume.cluster_shift <= 16 && g_volume.cluster_size == uint32_t(kSectorSize) << g_volume.cluster_shift,
        "geometry");
  check(g_volume.cluster_count <= kMaxClusterCount, "ClusterCount above the format's limit");

  // The windows must answer exactly as single reads would: FAT entries,
  // and reads of both windows at positions and lengths taken from the data,
  // in the data's order (jumps, steps forward, reads at the device's end).
  for (size_t i = 0; i + 4 <= size && i < 256; i += 4) {
    uint32_t c = le32(data + i) & 0x0FFFFFFF;
    check(fat_next(c) == reference::fat_direct(c), "FAT window differs from the direct read");
    uint64_t position = data[i + 3] & 0x10 ? c : size - c % 4096;
    uint32_t length = 1 + data[i] % 64;
    Window which = data[i + 3] & 0x20 ? Window::fat : Window::directory;
    static uint8_t expected[64], got[64];
    int want = read_at(position, expected, length);
    check(read_windowed(which, position, got, length) == want, "a window read differs from the direct read");
    check(want != 0 || memcmp(expected, got, length) == 0, "a window read gives other bytes");
  }
  // Names beyond ASCII as seeded by make-seeds.sh (UTF-8, one of 255 units),
  // and components that are not UTF-8 (an overlong "/", an encoded surrogate).
  static char longest[512];
  if (!longest[0])
    for (int i = 0; i < 85; ++i) strcat(longest, "\xc3\xa7\xc3\xa3o");
  static const char* const paths[] = {"isos/live.iso",
                                      "UPPER.txt",
                                      "a/b/c",
                                      "/",
                                      "isos",
                                      "Imagens ISO/Instala\xc3\xa7\xc3\xa3o.iso",
                                      "\xf0\x9f\x98\x80/\xe6\x97\xa5\xe6\x9c\xac.iso",
                                      "Imagens ISO\xc0\xaf\xed\xa0\x80",
                                      longest};
  for (const char* p : paths) {
    char path[512];
    snprintf(path, sizeof path, "%s", p);
    EntryMatch found;
    const char* missing = nullptr;
    if (resolve_path(path, found, missing) != 0) {
      check(missing && *missing, "failure without a component");
      continue;
    }
    // The directory searched last was read through runs that must not overlap either.
    if (strcmp(p, "/") != 0) check_no_overlap(last_directory_runs());
    int mapped = chain_to_extents(found.first_cluster, found.data_length, found.contiguous, g_runs);
    if (mapped == 0) check_runs(found);
    // Through the FAT, the same runs as one exact read per cluster gives, and
    // success only where that walk reaches the length too.
    if (!found.contiguous) {
      int direct = reference::walk_direct(found.first_cluster, found.data_length, g_direct_runs);
      check(same_runs(g_runs, g_direct_runs), "the walk's runs differ from the walk by exact reads");
      check(direct == 1 || mapped == -1, "the walk maps where the walk by exact reads fails");
      check(direct == -1 || mapped == 0 || reference::runs_overlap(g_direct_runs),
            "the walk fails where the walk by exact reads maps runs that do not overlap");
    }
  }
  close(g_volume.device);
  g_volume.device = -1;
  return 0;
}
