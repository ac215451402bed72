// SPDX-License-Identifier: MIT
// Directory entry sets and path resolution.
#pragma once

#include <cstdint>

#include "exfat/chain.h"

// What a directory lookup yields for one name.
struct EntryMatch {
  uint32_t first_cluster;
  uint64_t data_length;  // bytes
  int contiguous;        // NoFatChain: 0 or 1
  int directory;         // FileAttributes directory bit: 0 or 1
};

// Searches the directory allocated at `first`/`length`/`contiguous` for the
// entry set named `name` (non-empty). A stored name matches by either rule:
// - bytes: one byte of `name` per stored unit; a unit outside ASCII matches
//   any byte of 0x80 or above;
// - UTF-8: `name` is well-formed UTF-8 with a multi-byte sequence, and
//   decoded to UTF-16 it has the stored units, one for one.
// ASCII letters match without regard to case, in both rules; no other
// character folds. The first matching set in directory order wins. On
// success `out` is written; on -1 it is untouched.
int dir_lookup(uint32_t first, uint64_t length, int contiguous, const char* name, EntryMatch& out);

// The runs of the directory dir_lookup searched last, as far as they were
// built: one table serves every directory.
const ExtentTable& last_directory_runs();

// Resolves a slash-separated path from the root directory, splitting `path`
// in place. Empty components are skipped; a path without any yields the root
// (directory 1, length 0). On -1, `missing` points at the component that was
// not found.
int resolve_path(char* path, EntryMatch& result, const char*& missing);
