#include "exfat/dir.h"

#include <cstring>

#include "exfat/format.h"
#include "exfat/volume.h"

ExtentTable g_dir_extents;
static ReadWindow g_dir_window;

static uint8_t ascii_lower(uint8_t c) { return c >= 'A' && c <= 'Z' ? uint8_t(c - 'A' + 'a') : c; }

// `collected` holds one byte per UTF-16 unit, with "?" for units outside ASCII.
static bool name_matches(const uint8_t* collected, uint32_t length, const char* name, size_t n) {
  if (length != n) return false;
  for (size_t i = 0; i < n; ++i) {
    uint8_t want = uint8_t(name[i]);
    if (ascii_lower(collected[i]) == ascii_lower(want)) continue;
    if (collected[i] == '?' && want >= 0x80) continue;
    return false;
  }
  return true;
}

int dir_lookup(uint32_t first, uint64_t length, int contiguous, const char* name, EntryMatch& out) {
  if (chain_to_extents(first, length, contiguous, g_dir_extents) != 0) return -1;
  size_t n = strlen(name);

  // State of the entry set in progress; a set may straddle clusters and runs.
  int32_t remaining = 0;
  uint32_t name_length = 0, collected = 0;
  EntryMatch pending = {0, 0, 0, 0};
  uint8_t collected_name[256];

  for (int32_t r = 0; r < g_dir_extents.count; ++r) {
    const Extent& run = g_dir_extents.runs[r];
    uint64_t run_bytes = run.count * kSectorSize;
    for (uint64_t k = 0; k * kEntrySize < run_bytes; ++k) {
      uint8_t e[kEntrySize];
      if (read_windowed(g_dir_window, run.start * kSectorSize + k * kEntrySize, e, kEntrySize) != 0) return -1;
      uint8_t type = e[0];
      if (type == kEntryEndOfDirectory) return -1;
      if (type == kEntryFile) {
        remaining = e[kSecondaryCount];
        collected = 0;
        // Forget the previous set's stream too: a set that lacks its own
        // Stream Extension must never be taken for another file.
        pending = {0, 0, 0, (e[kFileAttributes] & kAttributeDirectory) ? 1 : 0};
        name_length = 0;
      } else if (type == kEntryStreamExtension && remaining > 0) {
        name_length = e[kNameLength];
        --remaining;
        pending.contiguous = (e[kGeneralSecondaryFlags] & kNoFatChain) ? 1 : 0;
        pending.first_cluster = le32(e + kFirstCluster);
        pending.data_length = le64(e + kDataLength);
      } else if (type == kEntryFileName && remaining > 0) {
        for (unsigned u = 0; u < kFileNameUnits && collected < name_length; ++u) {
          uint16_t unit = le16(e + kFileName + 2 * u);
          collected_name[collected++] = unit <= 0x7F ? uint8_t(unit) : uint8_t('?');
        }
        --remaining;
        if (remaining == 0 && collected == name_length &&
            name_matches(collected_name, collected, name, n)) {
          out = pending;
          return 0;
        }
      } else if (!(type & kEntryInUse)) {
        remaining = 0;  // a deleted or unused entry ends the set in progress
      }
      // Other in-use types (bitmap, up-case, label, GUID, vendor) are skipped.
    }
  }
  return -1;
}

int resolve_path(char* path, EntryMatch& result, const char*& missing) {
  result = {0, 0, 0, 1};
  uint32_t first = g_volume.root_cluster;
  uint64_t length = uint64_t(root_cluster_count()) * g_volume.cluster_size;
  int contiguous = 0;  // the root is always read through the FAT

  char* p = path;
  while (*p) {
    if (*p == '/') {
      ++p;
      continue;
    }
    char* component = p;
    while (*p && *p != '/') ++p;
    if (*p) *p++ = '\0';
    if (dir_lookup(first, length, contiguous, component, result) != 0) {
      missing = component;
      return -1;
    }
    first = result.first_cluster;
    length = result.data_length;
    contiguous = result.contiguous;
  }
  return 0;
}
