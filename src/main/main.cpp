// SPDX-License-Identifier: MIT
// kelmo-map: maps an ISO file stored on an exFAT USB partition to the
// read-only block device /dev/mapper/kelmo-iso, at early boot.
//
//   kelmo-map                        serial and path from kelmo.uuid / kelmo.iso
//                                    on the kernel command line
//   kelmo-map SERIAL PATH            serial (1A2B-3C4D) and path given here
//   kelmo-map --test DEVICE PATH     print PATH's sector runs on DEVICE
//
// One line on standard error tells how a boot run ended; the exit status is
// 0 on success or when the machine was booted without the kernel parameters.
// A boot run from the kernel command line may map more once kelmo-iso is
// live, each with one more line, in this order: with kelmo.persist=PATH the
// file PATH on the same volume, writable, to /dev/mapper/kelmo-persist; with
// kelmo.usb=ro or kelmo.usb=rw the whole partition to /dev/mapper/kelmo-usb
// (read-only beside a persistence file). Their failures leave the status 0.

#include <cstdio>
#include <cstring>

#include "cmdline/cmdline.h"
#include "dm/dm.h"
#include "exfat/chain.h"
#include "exfat/dir.h"
#include "exfat/volume.h"
#include "main/show_runs.h"
#include "report/report.h"
#include "scan/scan.h"

static char g_serial[64];
static char g_path[4096];
static Partition g_partition;
static ExtentTable g_file_extents;

// kelmo.persist=: the persistence file's path, and its runs in a table of
// their own, since the ISO's must stay whole to be checked against them.
static bool g_persistence = false;
static char g_persist_path[4096];
static ExtentTable g_persist_extents;

// What kelmo.usb= asks for beside the ISO.
static bool g_stick = false;
static StickAccess g_stick_access = StickAccess::read_only;

// Copies `text` into `buffer`, cut to size - 1 characters.
static void copy_cut(char* buffer, unsigned long size, const char* text) { snprintf(buffer, size, "%s", text); }

// Resolves `path`, which must name a file, and builds its runs into `runs`;
// on -1 the line, after `label`, says why.
static int file_runs(char* path, const char* label, EntryMatch& found, ExtentTable& runs) {
  found = {0, 0, 0, 1};
  const char* missing = nullptr;
  if (resolve_path(path, found, missing) != 0) {
    fprintf(stderr, "kelmo-map: %snão achei %s\n", label, missing);
    return -1;
  }
  if (found.directory) {
    report_after(label, "o caminho é uma pasta");
    return -1;
  }
  if (chain_to_extents(found.first_cluster, found.data_length, found.contiguous, runs) != 0) {
    report_after(label, "não consegui ler a lista de clusters");
    return -1;
  }
  return 0;
}

// The runs are read afresh at every boot, so a file that was moved is mapped
// where it now is. A file sharing a sector with the ISO (two files on one
// cluster: a corrupt or hostile volume) is never made writable.
static void persistence_run() {
  EntryMatch found;
  if (file_runs(g_persist_path, kPersistLabel, found, g_persist_extents) != 0) return;
  if (runs_overlap(g_persist_extents.runs, g_persist_extents.count, g_file_extents.runs, g_file_extents.count)) {
    report_after(kPersistLabel, "trechos em comum com o ISO");
    return;
  }
  map_persistence(g_persist_extents.runs, g_persist_extents.count, found.data_length, g_partition.block_size,
                  g_partition.major, g_partition.minor);
}

// The serial and the path are used as given: a malformed serial simply never
// matches, and an empty path names the root directory.
static int boot_run() {
  if (find_partition(g_serial, g_partition) != 0) {
    report("partição do Kelmo USB não encontrada");
    return 1;
  }
  EntryMatch found;
  if (file_runs(g_path, "", found, g_file_extents) != 0) return 1;
  if (map_iso(g_file_extents.runs, g_file_extents.count, found.data_length, g_partition.block_size,
              g_partition.major, g_partition.minor) != 0)
    return 1;
  // The ISO is live: a failure from here on has its own line, and must not
  // make an initramfs give up a working ISO.
  if (g_persistence) persistence_run();
  if (g_stick) map_partition(g_volume.device, g_partition.major, g_partition.minor, g_stick_access);
  return 0;
}

// Writable only when asked for exactly, and never beside a persistence file;
// any other value still wants the stick, and read-only cannot harm the ISO.
static void read_extra_keys() {
  g_persistence = cmdline_get("kelmo.persist", g_persist_path, sizeof g_persist_path) == 0;
  char value[8];
  if (cmdline_get("kelmo.usb", value, sizeof value) != 0) return;
  g_stick = true;
  if (strcmp(value, "rw") != 0)
    g_stick_access = StickAccess::read_only;
  else
    g_stick_access = g_persistence ? StickAccess::read_only_beside_persistence : StickAccess::writable;
}

int main(int argc, char** argv) {
  int args = argc - 1;
  if (args == 3 && strcmp(argv[1], "--test") == 0) {
    copy_cut(g_path, sizeof g_path, argv[3]);
    return show_runs(argv[2], g_path);
  }
  if (args >= 2) {
    copy_cut(g_serial, sizeof g_serial, argv[1]);
    copy_cut(g_path, sizeof g_path, argv[2]);
    return boot_run();
  }
  // A machine booted without the parameters is not an error: nothing to map.
  if (cmdline_get("kelmo.uuid", g_serial, sizeof g_serial) != 0 ||
      cmdline_get("kelmo.iso", g_path, sizeof g_path) != 0) {
    report("sem kelmo.uuid/kelmo.iso no cmdline");
    return 0;
  }
  read_extra_keys();
  return boot_run();
}
