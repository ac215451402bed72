// SPDX-License-Identifier: MIT
// The walk's index of FAT blocks: each 64 KiB block of the FAT a walk
// enters is read once and kept as the list of its entries that do not link
// c -> c + 1, its breaks, so later visits to the block read nothing.
#pragma once

#include <cstdint>

constexpr uint32_t kFatBlockEntries = 16384;  // 64 KiB of FAT

// Empties the index: each walk starts afresh, as the volume may be another.
void fat_index_restart();

// From cluster c, by the index of c's block: how many links c -> c + 1
// follow, at most `limit` and never past the block's last entry, into `n`,
// and the entry of cluster c + n into `next`. -1 where the block is not kept
// (the device does not give it whole, or it has too many breaks): the
// window serves it.
int fat_index_follow(uint32_t c, uint64_t limit, uint32_t& n, uint32_t& next);
