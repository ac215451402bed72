// SPDX-License-Identifier: MIT
// `kelmo-map --test DEVICE PATH`, the test run: the whole exFAT reader on a
// named device or image, with no partition scan and no device mapper. Prints
// the runs as built, in whole clusters, counted from the start of the volume.

#include <cstdio>
#include <cstdlib>

#include "exfat/chain.h"
#include "exfat/dir.h"
#include "exfat/volume.h"
#include "main/show_runs.h"
#include "report/report.h"

static ExtentTable g_test_extents;

int show_runs(const char* device, char* path) {
  // Byte offset of the volume inside a whole-disk image. strtoull gives the
  // documented parse: automatic base, optional sign, saturation, 0 for junk.
  uint64_t base_offset = 0;
  if (const char* offset = getenv("KELMO_MAP_OFFSET")) base_offset = strtoull(offset, nullptr, 0);

  if (volume_open(device, nullptr, base_offset) != 0) {
    report("não é exFAT");
    return 1;
  }
  EntryMatch found;
  const char* missing = nullptr;
  if (resolve_path(path, found, missing) != 0) {
    report("não achei");
    return 1;
  }
  if (chain_to_extents(found.first_cluster, found.data_length, found.contiguous, g_test_extents) != 0)
    return 1;

  printf("tamanho=%llu nofat=%d trechos=%d\n", (unsigned long long)found.data_length, found.contiguous,
         g_test_extents.count);
  for (int32_t i = 0; i < g_test_extents.count; ++i)
    printf("  setor %llu  +%llu\n", (unsigned long long)g_test_extents.runs[i].start,
           (unsigned long long)g_test_extents.runs[i].count);
  return 0;
}
