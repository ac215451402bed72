// SPDX-License-Identifier: MIT
#include "exfat/dir.h"

#include <cstring>

#include "exfat/format.h"
#include "exfat/volume.h"
#include "exfat/window.h"

static ExtentTable g_dir_extents;  // reused for every directory

static uint16_t ascii_lower(uint16_t c) { return c >= 'A' && c <= 'Z' ? uint16_t(c - 'A' + 'a') : c; }

// The component decoded from UTF-8, once per lookup.
static uint16_t g_wanted_units[kMaxNameLength];

// Decodes `name` (n bytes) from UTF-8 into UTF-16 units, code points above
// U+FFFF as surrogate pairs. Returns the number of units, or -1 when the name
// is not well-formed UTF-8 (overlong forms, encoded surrogates and code points
// past U+10FFFF included), has no multi-byte sequence, or needs more units
// than a stored name can hold. Such names are left to the byte rule.
static int utf8_to_units(const char* name, size_t n, uint16_t* units) {
  int count = 0;
  bool multi_byte = false;
  for (size_t i = 0; i < n;) {
    uint8_t lead = uint8_t(name[i]);
    uint32_t code, least;
    size_t length;
    if (lead < 0x80) {
      code = lead, least = 0, length = 1;
    } else if (lead >= 0xC0 && lead < 0xE0) {
      code = lead & 0x1F, least = 0x80, length = 2;
    } else if (lead >= 0xE0 && lead < 0xF0) {
      code = lead & 0x0F, least = 0x800, length = 3;
    } else if (lead >= 0xF0 && lead < 0xF8) {
      code = lead & 0x07, least = 0x10000, length = 4;
    } else {
      return -1;  // a continuation byte where a sequence should begin, or 0xF8..0xFF
    }
    if (length > n - i) return -1;
    for (size_t k = 1; k < length; ++k) {
      uint8_t next = uint8_t(name[i + k]);
      if ((next & 0xC0) != 0x80) return -1;
      code = code << 6 | (next & 0x3F);
    }
    if (code < least || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return -1;
    i += length;
    multi_byte = multi_byte || length > 1;
    if (count + (code > 0xFFFF ? 2 : 1) > int(kMaxNameLength)) return -1;
    if (code > 0xFFFF) {
      code -= 0x10000;
      units[count++] = uint16_t(0xD800 | code >> 10);
      units[count++] = uint16_t(0xDC00 | (code & 0x3FF));
    } else {
      units[count++] = uint16_t(code);
    }
  }
  return multi_byte ? count : -1;
}

// The byte rule: one byte of `name` per stored unit. A unit above 0x7F counts
// as "?", which any byte of 0x80 or above (and "?" itself) matches.
static bool bytes_match(const uint16_t* stored, uint32_t length, const char* name, size_t n) {
  if (length != n) return false;
  for (size_t i = 0; i < n; ++i) {
    uint8_t have = stored[i] <= 0x7F ? uint8_t(stored[i]) : uint8_t('?');
    uint8_t want = uint8_t(name[i]);
    if (ascii_lower(have) == ascii_lower(want)) continue;
    if (have == '?' && want >= 0x80) continue;
    return false;
  }
  return true;
}

// The UTF-8 rule: the decoded component, unit by unit. Only ASCII letters
// fold: the volume's up-case table is not read.
static bool units_match(const uint16_t* stored, uint32_t length, const uint16_t* wanted, int count) {
  if (count < 0 || length != uint32_t(count)) return false;
  for (uint32_t i = 0; i < length; ++i)
    if (ascii_lower(stored[i]) != ascii_lower(wanted[i])) return false;
  return true;
}

int dir_lookup(uint32_t first, uint64_t length, int contiguous, const char* name, EntryMatch& out) {
  if (chain_to_extents(first, length, contiguous, g_dir_extents) != 0) return -1;
  size_t n = strlen(name);
  int wanted = utf8_to_units(name, n, g_wanted_units);

  // State of the entry set in progress; a set may straddle clusters and runs.
  int32_t remaining = 0;
  uint32_t name_length = 0, collected = 0;
  EntryMatch pending = {0, 0, 0, 0};
  uint16_t collected_name[kMaxNameLength];  // the stored units, as they are

  for (int32_t r = 0; r < g_dir_extents.count; ++r) {
    const Extent& run = g_dir_extents.runs[r];
    uint64_t run_bytes = run.count * kSectorSize;
    for (uint64_t k = 0; k * kEntrySize < run_bytes; ++k) {
      uint8_t e[kEntrySize];
      if (read_windowed(Window::directory, run.start * kSectorSize + k * kEntrySize, e, kEntrySize) != 0) return -1;
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
        for (unsigned u = 0; u < kFileNameUnits && collected < name_length; ++u)
          collected_name[collected++] = le16(e + kFileName + 2 * u);
        --remaining;
        if (remaining == 0 && collected == name_length &&
            (bytes_match(collected_name, collected, name, n) ||
             units_match(collected_name, collected, g_wanted_units, wanted))) {
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

const ExtentTable& last_directory_runs() { return g_dir_extents; }

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
