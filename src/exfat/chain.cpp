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

// A chain that jumps about the FAT (a file written in pieces, or by several
// writers at once) would cost a read of the window at every jump. Once a
// walk has jumped back kIndexAfterJumps times, each time past the FAT block
// before its own (a chain that only goes forward is read best through the
// window), each block of kBlockEntries entries it enters is read once and
// kept as the list of its entries that do not link c -> c + 1, its breaks;
// later visits read nothing. A block the device does not give whole, or
// with more than kMaxBreaks records of breaks, is not kept: the window
// serves it. Static memory: 1024 block slots (16 KiB) and 32768 records
// (256 KiB); when the records are used up the index starts afresh.
static constexpr uint32_t kBlockEntries = 16384;  // 64 KiB of FAT
static constexpr uint32_t kMaxBreaks = 1024;
static constexpr uint32_t kIndexSlots = 1024;
static constexpr uint32_t kBreakPool = 32768;
static constexpr uint32_t kIndexAfterJumps = 8;
static constexpr uint32_t kNotKept = UINT32_MAX;

// Entries [at, at + count) of a block, each of them `value`: equal breaks in
// a row (free clusters, bad ones) take one record.
struct Break {
  uint16_t at;
  uint16_t count;
  uint32_t value;
};
static_assert(kBlockEntries <= 65535);

struct IndexedBlock {
  uint32_t epoch;  // the index's epoch it belongs to; 0 is none
  uint32_t block;
  uint32_t first;  // its breaks: g_breaks[first, first + count), by entry
  uint32_t count;  // kNotKept: the window serves this block
};

static IndexedBlock g_index[kIndexSlots];
static Break g_breaks[kBreakPool];
static uint32_t g_break_count;
static uint32_t g_epoch;

// Empties the index: each walk starts afresh, as the volume may be another.
static void index_restart() {
  if (++g_epoch == 0) {
    for (IndexedBlock& slot : g_index) slot.epoch = 0;
    g_epoch = 1;
  }
  g_break_count = 0;
}

static const IndexedBlock* indexed(uint32_t block) {
  IndexedBlock& slot = g_index[block % kIndexSlots];
  if (slot.epoch == g_epoch && slot.block == block) return slot.count == kNotKept ? nullptr : &slot;
  uint32_t held;
  uint32_t base = block * kBlockEntries;
  const uint8_t* entries = window_bytes(Window::fat, fat_position(base), kBlockEntries * kFatEntrySize, held);
  if (kBreakPool - g_break_count < kMaxBreaks) index_restart();
  slot = {g_epoch, block, g_break_count, kNotKept};
  if (!entries) return nullptr;
  Break* breaks = g_breaks + g_break_count;
  uint32_t count = 0;
  for (uint32_t k = 0; k < kBlockEntries; ++k) {
    uint32_t value = le32(entries + k * kFatEntrySize);
    if (value == base + k + 1) continue;
    Break* last = count > 0 ? &breaks[count - 1] : nullptr;
    if (last && last->at + last->count == k && last->value == value) {
      ++last->count;
      continue;
    }
    if (count == kMaxBreaks) return nullptr;
    breaks[count++] = {uint16_t(k), 1, value};
  }
  g_break_count += count;
  slot.count = count;
  return &slot;
}

// From cluster c: how many links c -> c + 1 follow, at most `limit`, into
// `n`, and the entry of cluster c + n into `next`. -1 where only an exact
// read of c's entry may decide.
static int follow(uint32_t c, uint64_t limit, bool use_index, uint32_t& n, uint32_t& next) {
  if (use_index) {
    if (const IndexedBlock* block = indexed(c / kBlockEntries)) {
      uint32_t at = c % kBlockEntries;
      if (limit > kBlockEntries - 1 - at) limit = kBlockEntries - 1 - at;
      // The first record that ends past c's entry.
      const Break* low = g_breaks + block->first;
      const Break* end = low + block->count;
      const Break* high = end;
      while (low != high) {
        const Break* middle = low + (high - low) / 2;
        if (uint32_t(middle->at + middle->count) <= at) low = middle + 1;
        else high = middle;
      }
      uint32_t to_break = low == end ? kBlockEntries : low->at > at ? low->at - at : 0;
      n = to_break < limit ? to_break : uint32_t(limit);
      next = n == to_break ? low->value : c + n + 1;
      return 0;
    }
  }
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
  uint32_t back_jumps = 0;
  index_restart();
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
    // Links c -> c + 1 are followed as a stretch, from the FAT window or
    // the index: such a stretch lies in the run just extended, and is
    // checked as a whole. It stops short of the heap's end, of the file's
    // length and of the next move of the mark, so every cluster of it is
    // valid and compared with the one mark the step-by-step walk would
    // compare it with.
    uint64_t limit = clusters - i;
    if (limit > stride - since_mark - 1) limit = stride - since_mark - 1;
    if (limit > uint64_t(g_volume.cluster_count) + 1 - c) limit = uint64_t(g_volume.cluster_count) + 1 - c;
    uint32_t n, next;
    if (follow(c, limit, back_jumps >= kIndexAfterJumps, n, next) != 0) {
      c = fat_next(c);  // the exact read decides
      continue;
    }
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
    if (next / kBlockEntries + 1 < c / kBlockEntries) ++back_jumps;
    c = next;
  }
  return no_runs_overlap(table) ? 0 : -1;
}
