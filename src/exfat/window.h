// SPDX-License-Identifier: MIT
// The read windows of the open volume: small reads that fall near each
// other (FAT entries, directory entries) go through a window the volume
// keeps, one per kind of read, so one positioned read serves many.
#pragma once

#include <cstdint>

// A window is filled from a 4 KiB boundary: 4 KiB after a jump, twice the
// last fill when the reads move on just past it, up to the window's size; a
// shuffled chain then reads little at each jump, one in disk order reads in
// large pieces. Once the reads move forward in large pieces, or after many
// jumps, the kernel is asked to read ahead (posix_fadvise WILLNEED) a 1 MiB
// block at a time. Static memory: the two windows and a table of 256
// advised blocks, 256 KiB + 64 KiB + 2 KiB.
constexpr uint32_t kFirstFill = 4096;
constexpr uint32_t kFatWindowSize = 262144;
constexpr uint32_t kDirectoryWindowSize = 65536;

enum class Window { fat, directory };

// Where the window of `which` holds `length` bytes at `position`: their
// address in it, and in `held` how many bytes from `position` on it holds
// (at least `length`). The window is filled if need be. Null where only an
// exact read may decide: bytes the device did not give (a short or failed
// read at its end) or more than a window. The address is good until the
// next call for the same window or volume_open. The windows and the table
// of advised blocks start empty at each volume_open.
const uint8_t* window_bytes(Window which, uint64_t position, uint32_t length, uint32_t& held);

// The same result as read_at(position, buffer, length), served from the
// window where it can be.
int read_windowed(Window which, uint64_t position, void* buffer, uint32_t length);
