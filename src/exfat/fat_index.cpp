// SPDX-License-Identifier: MIT
#include "exfat/fat_index.h"

#include "exfat/format.h"
#include "exfat/volume.h"
#include "exfat/window.h"

// A block with more than kMaxBreaks records of breaks is not kept. Static
// memory: 1024 block slots (16 KiB), direct-mapped by block number, and
// 32768 records (256 KiB); when the records are used up the index starts
// afresh.
static constexpr uint32_t kMaxBreaks = 1024;
static constexpr uint32_t kIndexSlots = 1024;
static constexpr uint32_t kBreakPool = 32768;
static constexpr uint32_t kNotKept = UINT32_MAX;

// Entries [at, at + count) of a block, each of them `value`: equal breaks in
// a row (free clusters, bad ones) take one record.
struct Break {
  uint16_t at;
  uint16_t count;
  uint32_t value;
};
static_assert(kFatBlockEntries <= 65535);

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

void fat_index_restart() {
  if (++g_epoch == 0) {
    for (IndexedBlock& slot : g_index) slot.epoch = 0;
    g_epoch = 1;
  }
  g_break_count = 0;
}

// The breaks of the block's `entries` (kFatBlockEntries of them, the first
// of cluster `base`) into `breaks`; -1 past kMaxBreaks records.
static int list_breaks(const uint8_t* entries, uint32_t base, Break* breaks, uint32_t& count) {
  count = 0;
  for (uint32_t k = 0; k < kFatBlockEntries; ++k) {
    uint32_t value = le32(entries + k * kFatEntrySize);
    if (value == base + k + 1) continue;
    Break* last = count > 0 ? &breaks[count - 1] : nullptr;
    if (last && last->at + last->count == k && last->value == value) {
      ++last->count;
      continue;
    }
    if (count == kMaxBreaks) return -1;
    breaks[count++] = {uint16_t(k), 1, value};
  }
  return 0;
}

// The kept block `block`, read and listed if need be; null when not kept.
static const IndexedBlock* indexed(uint32_t block) {
  IndexedBlock& slot = g_index[block % kIndexSlots];
  if (slot.epoch == g_epoch && slot.block == block) return slot.count == kNotKept ? nullptr : &slot;
  uint32_t held;
  uint32_t base = block * kFatBlockEntries;
  uint64_t position = fat_entry_position(g_volume.fat_offset, base);
  const uint8_t* entries = window_bytes(Window::fat, position, kFatBlockEntries * kFatEntrySize, held);
  if (kBreakPool - g_break_count < kMaxBreaks) fat_index_restart();
  slot = {g_epoch, block, g_break_count, kNotKept};
  uint32_t count;
  if (!entries || list_breaks(entries, base, g_breaks + g_break_count, count) != 0) return nullptr;
  g_break_count += count;
  slot.count = count;
  return &slot;
}

int fat_index_follow(uint32_t c, uint64_t limit, uint32_t& n, uint32_t& next) {
  const IndexedBlock* block = indexed(c / kFatBlockEntries);
  if (!block) return -1;
  uint32_t at = c % kFatBlockEntries;
  if (limit > kFatBlockEntries - 1 - at) limit = kFatBlockEntries - 1 - at;
  // The first record that ends past c's entry.
  const Break* low = g_breaks + block->first;
  const Break* end = low + block->count;
  const Break* high = end;
  while (low != high) {
    const Break* middle = low + (high - low) / 2;
    if (uint32_t(middle->at + middle->count) <= at) low = middle + 1;
    else high = middle;
  }
  uint32_t to_break = low == end ? kFatBlockEntries : low->at > at ? low->at - at : 0;
  n = to_break < limit ? to_break : uint32_t(limit);
  next = n == to_break ? low->value : c + n + 1;
  return 0;
}
