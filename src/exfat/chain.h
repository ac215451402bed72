// SPDX-License-Identifier: MIT
// Cluster allocations turned into runs of 512-byte sectors.
#pragma once

#include <cstdint>

// One run of contiguous sectors, counted from the first sector of the volume.
struct Extent {
  uint64_t start;
  uint64_t count;
};

constexpr int32_t kMaxExtents = 4096;

struct ExtentTable {
  Extent runs[kMaxExtents];
  int32_t count;
};

// The FAT entry of cluster `c` from the first FAT; kFatEndOfChain when
// unreadable.
uint32_t fat_next(uint32_t c);

// Clusters in the root directory's chain (exFAT records no root length),
// at most 65536.
uint32_t root_cluster_count();

// Fills `table` with the sector runs of an allocation of `length` bytes from
// cluster `first`, contiguous or through the FAT. The runs cover whole
// clusters. -1 on a broken chain, one that meets a cluster twice within the
// allocation, a run outside the cluster heap, or more than kMaxExtents runs;
// `table` then holds what was built so far.
int chain_to_extents(uint32_t first, uint64_t length, int contiguous, ExtentTable& table);
