// SPDX-License-Identifier: MIT
#include "exfat/chain.h"

#include "exfat/fat_index.h"
#include "exfat/format.h"
#include "exfat/volume.h"
#include "exfat/window.h"

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

// A chain that jumps about the FAT (a file written in pieces, or by several
// writers at once) would cost a read of the window at every jump. Once a
// walk has jumped back kIndexAfterJumps times, each time past the FAT block
// before its own (a chain that only goes forward is read best through the
// window), it reads the FAT through the index of the blocks it enters
// (exfat/fat_index.h).
static constexpr uint32_t kIndexAfterJumps = 8;

// From cluster c: how many links c -> c + 1 follow, at most `limit`, into
// `n`, and the entry of cluster c + n into `next`. -1 where only an exact
// read of c's entry may decide.
static int follow(uint32_t c, uint64_t limit, bool use_index, uint32_t& n, uint32_t& next) {
  if (use_index && fat_index_follow(c, limit, n, next) == 0) return 0;
  uint32_t held;
  const uint8_t* entries = window_bytes(Window::fat, fat_position(c), kFatEntrySize, held);
  if (!entries) return -1;
  if (limit > held / 4 - 1) limit = held / 4 - 1;
  const uint8_t* entry = entries;
  const uint8_t* stop = entries + 4 * limit;
  uint32_t following = c + 1;
  while (entry != stop && le32(entry) == following) {
    entry += 4;
    ++following;
  }
  n = following - c - 1;
  next = le32(entries + 4 * n);
  return 0;
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

// The clusters of an allocation of `length` bytes; 0 for a length of 0, or
// one so large that rounding up wraps.
static uint64_t clusters_for(uint64_t length) {
  uint64_t cluster_size = g_volume.cluster_size;
  if (length + cluster_size - 1 < cluster_size) return 0;
  return (length + cluster_size - 1) / cluster_size;
}

// A NoFatChain allocation: one run, which must lie inside the cluster heap,
// or the mapping would reach sectors that belong to no file.
static int contiguous_run(uint32_t first, uint64_t clusters, ExtentTable& table) {
  if (!cluster_valid(first) || uint64_t(first - 2) + clusters > g_volume.cluster_count) return -1;
  table.runs[0] = {cluster_to_sector(first), clusters << g_volume.cluster_shift};
  table.count = 1;
  return 0;
}

// Where a walk through the FAT is. A cluster met twice means the FAT loops;
// a valid chain never repeats one. Brent's method stops a long ring early at
// no extra reads: each cluster is compared with a mark moved at powers of
// two, so the walk ends within a few turns of the ring. It sees a repeat
// only once the walk has gone around far enough, so the verdict comes from
// no_runs_overlap.
struct Walk {
  uint32_t c;           // the cluster to take next
  uint64_t taken;       // clusters in the runs so far
  uint32_t mark;        // Brent's mark
  uint64_t since_mark;  // clusters taken since the mark moved
  uint64_t stride;      // when it moves next
  uint32_t back_jumps;  // jumps back past the FAT block before the one jumped from
};

// Adds cluster w.c to the runs, the last one extended where it follows on
// disk; its run, or null when a new one would pass kMaxExtents.
static Extent* take_cluster(Walk& w, ExtentTable& table) {
  uint64_t s = cluster_to_sector(w.c);
  Extent* last = table.count > 0 ? &table.runs[table.count - 1] : nullptr;
  if (last && last->start + last->count == s) {
    last->count += uint64_t(1) << g_volume.cluster_shift;
  } else {
    if (table.count == kMaxExtents) return nullptr;
    last = &table.runs[table.count++];
    *last = {s, uint64_t(1) << g_volume.cluster_shift};
  }
  ++w.taken;
  if (++w.since_mark == w.stride) {
    w.mark = w.c;
    w.stride <<= 1;
    w.since_mark = 0;
  }
  return last;
}

// How many links c -> c + 1 may be taken as one stretch after w.c: short of
// the file's length, of the next move of the mark and of the heap's end, so
// every cluster of it is valid and compared with the one mark the
// step-by-step walk would compare it with.
static uint64_t stretch_limit(const Walk& w, uint64_t clusters) {
  uint64_t limit = clusters - w.taken;
  if (limit > w.stride - w.since_mark - 1) limit = w.stride - w.since_mark - 1;
  if (limit > uint64_t(g_volume.cluster_count) + 1 - w.c) limit = uint64_t(g_volume.cluster_count) + 1 - w.c;
  return limit;
}

// Takes the stretch of `n` clusters after w.c into `run`, the run just
// extended with w.c, where they lie. -1 when the mark lies in it: the runs
// then go as far as a step-by-step walk gets.
static int take_stretch(Walk& w, Extent& run, uint32_t n) {
  if (w.mark > w.c && w.mark <= w.c + n) {
    run.count += uint64_t(w.mark - w.c - 1) << g_volume.cluster_shift;
    return -1;
  }
  run.count += uint64_t(n) << g_volume.cluster_shift;
  w.taken += n;
  w.since_mark += n;
  w.c += n;
  return 0;
}

// The walk from `first` through the FAT over `clusters` clusters into the
// runs of `table`. Links c -> c + 1 are followed as a stretch, from the FAT
// window or the index; other links one at a time.
static int walk_chain(uint32_t first, uint64_t clusters, ExtentTable& table) {
  Walk w = {first, 0, first, 0, 1, 0};
  fat_index_restart();
  while (w.taken < clusters) {
    if (!cluster_valid(w.c)) return -1;
    if (w.taken > 0 && w.c == w.mark) return -1;
    Extent* run = take_cluster(w, table);
    if (!run) return -1;
    uint32_t n, next;
    if (follow(w.c, stretch_limit(w, clusters), w.back_jumps >= kIndexAfterJumps, n, next) != 0) {
      w.c = fat_next(w.c);  // the exact read decides
      continue;
    }
    if (n > 0 && take_stretch(w, *run, n) != 0) return -1;
    if (next / kFatBlockEntries + 1 < w.c / kFatBlockEntries) ++w.back_jumps;
    w.c = next;
  }
  return 0;
}

int chain_to_extents(uint32_t first, uint64_t length, int contiguous, ExtentTable& table) {
  table.count = 0;
  uint64_t clusters = clusters_for(length);
  if (clusters == 0) return 0;
  if (contiguous) return contiguous_run(first, clusters, table);
  if (walk_chain(first, clusters, table) != 0) return -1;
  return no_runs_overlap(table) ? 0 : -1;
}
