// SPDX-License-Identifier: MIT
#include "exfat/chain.h"

#include "exfat/format.h"
#include "exfat/volume.h"

static constexpr uint32_t kRootClusterLimit = 65536;

// No FAT value is special: end-of-chain, bad and free all fall outside this.
static bool cluster_valid(uint32_t c) { return c >= 2 && c < g_volume.cluster_count + 2u; }

static uint64_t cluster_to_sector(uint32_t c) {
  return (uint64_t(c - 2) << g_volume.cluster_shift) + g_volume.heap_offset;
}

// Within one run the clusters follow each other on disk, so a cluster met
// twice always lies in two runs that overlap. When the runs are not in disk
// order already, they are checked in the order of a sorted copy of their
// starts, each carrying its run's index in the low 12 bits (a start is below
// 2^49, so the key cannot overflow). Bottom-up merge sort over two static
// arrays: no allocation, n log n.
static_assert(kMaxExtents <= 4096);
static uint64_t g_keys[2][kMaxExtents];

static const uint64_t* sorted_keys(const Extent* runs, int32_t n) {
  uint64_t* from = g_keys[0];
  uint64_t* to = g_keys[1];
  for (int32_t k = 0; k < n; ++k) from[k] = runs[k].start << 12 | uint64_t(k);
  for (int32_t width = 1; width < n; width *= 2) {
    for (int32_t low = 0; low < n; low += 2 * width) {
      int32_t middle = low + width < n ? low + width : n;
      int32_t high = low + 2 * width < n ? low + 2 * width : n;
      int32_t i = low, j = middle, k = low;
      while (i < middle && j < high) to[k++] = from[j] < from[i] ? from[j++] : from[i++];
      while (i < middle) to[k++] = from[i++];
      while (j < high) to[k++] = from[j++];
    }
    uint64_t* done = to;
    to = from;
    from = done;
  }
  return from;
}

// Runs lie inside the heap, so start + count cannot wrap.
static bool apart(const Extent& a, const Extent& b) { return a.start + a.count <= b.start; }

static bool no_runs_overlap(const ExtentTable& table) {
  const Extent* runs = table.runs;
  int32_t n = table.count;
  int32_t i = 1;
  for (; i < n && runs[i - 1].start <= runs[i].start; ++i)
    if (!apart(runs[i - 1], runs[i])) return false;
  if (i >= n) return true;  // in disk order, as a file written in one go

  const uint64_t* keys = sorted_keys(runs, n);
  for (int32_t k = 1; k < n; ++k)
    if (!apart(runs[keys[k - 1] & 0xFFF], runs[keys[k] & 0xFFF])) return false;
  return true;
}

static uint64_t fat_position(uint32_t c) { return fat_entry_position(g_volume.fat_offset, c); }

uint32_t fat_next(uint32_t c) {
  uint8_t entry[kFatEntrySize];
  if (read_windowed(Window::fat, fat_position(c), entry, kFatEntrySize) != 0) return kFatEndOfChain;
  return le32(entry);
}

uint32_t root_cluster_count() {
  uint32_t c = g_volume.root_cluster;
  uint32_t count = 0;
  while (cluster_valid(c) && count != kRootClusterLimit) {
    c = fat_next(c);
    ++count;
  }
  return count;
}

int chain_to_extents(uint32_t first, uint64_t length, int contiguous, ExtentTable& table) {
  table.count = 0;
  uint64_t cluster_size = g_volume.cluster_size;
  // A length of 0, or one so large that rounding up wraps, has no clusters.
  if (length + cluster_size - 1 < cluster_size) return 0;
  uint64_t clusters = (length + cluster_size - 1) / cluster_size;
  uint64_t sectors_per_cluster = uint64_t(1) << g_volume.cluster_shift;

  if (contiguous) {
    // The whole run must lie inside the cluster heap, or the mapping would
    // reach sectors that belong to no file.
    if (!cluster_valid(first) || uint64_t(first - 2) + clusters > g_volume.cluster_count) return -1;
    table.runs[0] = {cluster_to_sector(first), clusters << g_volume.cluster_shift};
    table.count = 1;
    return 0;
  }

  // A cluster met twice means the FAT loops; a valid chain never repeats one.
  // Brent's method stops a long ring early at no extra reads: each cluster is
  // compared with a mark moved at powers of two, so the walk ends within a
  // few turns of the ring. It sees a repeat only once the walk has gone
  // around far enough, so the verdict comes from no_runs_overlap below.
  uint32_t mark = first;
  uint64_t since_mark = 0, stride = 1;
  uint32_t c = first;
  uint64_t i = 0;
  while (i < clusters) {
    if (!cluster_valid(c)) return -1;
    if (i > 0 && c == mark) return -1;
    uint64_t s = cluster_to_sector(c);
    Extent* last = table.count > 0 ? &table.runs[table.count - 1] : nullptr;
    if (last && last->start + last->count == s) {
      last->count += sectors_per_cluster;
    } else {
      if (table.count == kMaxExtents) return -1;
      last = &table.runs[table.count++];
      *last = {s, sectors_per_cluster};
    }
    ++i;
    if (++since_mark == stride) {
      mark = c;
      stride <<= 1;
      since_mark = 0;
    }
    // Links c -> c + 1 are read straight from the FAT window: such a stretch
    // lies in the run just extended, and is checked as a whole. It stops
    // short of the window's end, of the heap's end, of the file's length
    // and of the next move of the mark, so every cluster of it is valid and
    // compared with the one mark the step-by-step walk would compare it with.
    uint32_t held;
    const uint8_t* entries = window_bytes(Window::fat, fat_position(c), kFatEntrySize, held);
    if (!entries) {
      c = fat_next(c);  // the exact read decides
      continue;
    }
    uint64_t limit = held / 4 - 1;
    if (limit > clusters - i) limit = clusters - i;
    if (limit > stride - since_mark - 1) limit = stride - since_mark - 1;
    if (limit > uint64_t(g_volume.cluster_count) + 1 - c) limit = uint64_t(g_volume.cluster_count) + 1 - c;
    const uint8_t* entry = entries;
    const uint8_t* stop = entries + 4 * limit;
    uint32_t next = c + 1;
    while (entry != stop && le32(entry) == next) {
      entry += 4;
      ++next;
    }
    uint32_t n = next - c - 1;
    if (n > 0) {
      if (mark > c && mark <= c + n) {
        last->count += uint64_t(mark - c - 1) << g_volume.cluster_shift;  // as far as a step-by-step walk gets
        return -1;
      }
      last->count += uint64_t(n) << g_volume.cluster_shift;
      i += n;
      since_mark += n;
      c += n;
    }
    c = le32(entries + 4 * n);
  }
  return no_runs_overlap(table) ? 0 : -1;
}
