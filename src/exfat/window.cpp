// SPDX-License-Identifier: MIT
#include "exfat/window.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "exfat/volume.h"

struct ReadWindow {
  uint64_t start;     // volume position of bytes[0], a multiple of kFirstFill
  uint32_t asked;     // bytes the last fill asked for; 0: none since the volume opened
  uint32_t length;    // bytes it got: bytes[] holds [start, start + length)
  uint32_t jumps;     // fills that did not follow on from the one before
  uint32_t capacity;  // size of bytes[], a power of two
  uint8_t* bytes;
};

static uint8_t g_fat_bytes[kFatWindowSize];
static uint8_t g_directory_bytes[kDirectoryWindowSize];
static ReadWindow g_windows[2] = {{0, 0, 0, 0, kFatWindowSize, g_fat_bytes},  // Window::fat
                                  {0, 0, 0, 0, kDirectoryWindowSize, g_directory_bytes}};

// Read-ahead hints go to the kernel a 1 MiB block at a time; a block once
// advised is remembered (block number + 1, direct-mapped) so it is not asked
// for again at every jump into it.
static constexpr uint64_t kAdviseBlock = 1 << 20;
static constexpr uint32_t kAdviseAfterJumps = 8;
static uint64_t g_advised[256];
static uint32_t g_filled_for;  // volume_opens() when the windows were last emptied

// What the windows hold belongs to the volume opened before.
static void empty_after_open() {
  if (g_filled_for == volume_opens()) return;
  g_filled_for = volume_opens();
  for (ReadWindow& window : g_windows) window.asked = window.jumps = 0;
  for (uint64_t& block : g_advised) block = 0;
}

static void advise(uint64_t block) {
  uint64_t& slot = g_advised[block % 256];
  if (slot == block + 1) return;
  slot = block + 1;
  uint64_t at = block * kAdviseBlock + g_volume.base_offset;
  if (at < block * kAdviseBlock || at > uint64_t(INT64_MAX) - kAdviseBlock) return;
  posix_fadvise(g_volume.device, off_t(at), off_t(kAdviseBlock), POSIX_FADV_WILLNEED);
}

// Fills `window` at `start` with `size` bytes, or as many as the device gives.
static void fill(ReadWindow& window, uint64_t start, uint32_t size) {
  window.start = start;
  window.asked = size;
  window.length = 0;
  uint64_t at = start + g_volume.base_offset;
  if (at < start || at > uint64_t(INT64_MAX) - size) return;
  ssize_t got = pread(g_volume.device, window.bytes, size, off_t(at));
  window.length = got > 0 ? uint32_t(got) : 0;
}

const uint8_t* window_bytes(Window which, uint64_t position, uint32_t length, uint32_t& held) {
  empty_after_open();
  ReadWindow& window = g_windows[int(which)];
  uint64_t offset = position - window.start;
  if (window.asked != 0 && position >= window.start && offset < window.length &&
      length <= window.length - offset) {
    held = uint32_t(window.length - offset);
    return window.bytes + offset;
  }
  uint64_t start = position & ~uint64_t(kFirstFill - 1);
  uint64_t need = position - start + length;
  if (need > window.capacity) return nullptr;
  // Asked for already and not given: the device ends there, or failed.
  if (window.asked != 0 && position >= window.start && offset + length <= window.asked) return nullptr;

  uint64_t end = window.start + window.asked;
  bool forward = window.asked != 0 && start >= end && start - end < window.asked;
  uint32_t size = forward ? window.asked * 2 : kFirstFill;
  while (size < need) size *= 2;
  if (size > window.capacity) size = window.capacity;
  if (!forward) ++window.jumps;
  // The hint goes first, so that the read waits on the larger one.
  if (forward && size >= kDirectoryWindowSize) {
    advise(start / kAdviseBlock);
    advise(start / kAdviseBlock + 1);
  } else if (window.jumps > kAdviseAfterJumps) {
    advise(start / kAdviseBlock);
  }
  fill(window, start, size);
  if (need > window.length) return nullptr;
  held = uint32_t(window.length - (position - start));
  return window.bytes + (position - start);
}

int read_windowed(Window which, uint64_t position, void* buffer, uint32_t length) {
  uint32_t held;
  const uint8_t* bytes = window_bytes(which, position, length, held);
  if (!bytes) return read_at(position, buffer, length);
  memcpy(buffer, bytes, length);
  return 0;
}
