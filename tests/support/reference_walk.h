// SPDX-License-Identifier: MIT
// The cluster walk as it was before it read stretches out of the FAT window:
// one exact read per cluster, each cluster compared with Brent's mark. The
// unit tests and the volume fuzzer hold the window's walk against it.
#pragma once

#include <algorithm>
#include <cstdint>

#include "exfat/chain.h"
#include "exfat/format.h"
#include "exfat/volume.h"

namespace reference {

// The FAT entry of `c` by one exact read; the end mark where it fails.
inline uint32_t fat_direct(uint32_t c) {
  uint8_t raw[kFatEntrySize];
  if (read_at(fat_entry_position(g_volume.fat_offset, c), raw, kFatEntrySize) != 0) return kFatEndOfChain;
  return le32(raw);
}

// 1 when the walk reaches the length (the overlap check is left to the
// caller: runs_overlap), -1 where it fails.
inline int walk_direct(uint32_t first, uint64_t length, ExtentTable& table) {
  table.count = 0;
  uint64_t cluster_size = g_volume.cluster_size;
  if (length + cluster_size - 1 < cluster_size) return 1;
  uint64_t clusters = (length + cluster_size - 1) / cluster_size;
  uint64_t sectors_per_cluster = uint64_t(1) << g_volume.cluster_shift;
  uint32_t mark = first, c = first;
  uint64_t since_mark = 0, stride = 1;
  for (uint64_t i = 0; i < clusters; ++i) {
    if (c < 2 || c >= g_volume.cluster_count + 2u) return -1;
    if (i > 0 && c == mark) return -1;
    uint64_t s = (uint64_t(c - 2) << g_volume.cluster_shift) + g_volume.heap_offset;
    Extent* last = table.count > 0 ? &table.runs[table.count - 1] : nullptr;
    if (last && last->start + last->count == s) {
      last->count += sectors_per_cluster;
    } else {
      if (table.count == kMaxExtents) return -1;
      table.runs[table.count++] = {s, sectors_per_cluster};
    }
    if (++since_mark == stride) {
      mark = c;
      stride <<= 1;
      since_mark = 0;
    }
    c = fat_direct(c);
  }
  return 1;
}

// Some sector twice: sorted by start, a run reaches past the next one's start.
inline bool runs_overlap(const ExtentTable& table) {
  static Extent sorted[kMaxExtents];
  std::copy(table.runs, table.runs + table.count, sorted);
  std::sort(sorted, sorted + table.count, [](const Extent& a, const Extent& b) { return a.start < b.start; });
  for (int32_t i = 1; i < table.count; ++i)
    if (sorted[i - 1].start + sorted[i - 1].count > sorted[i].start) return true;
  return false;
}

}  // namespace reference
