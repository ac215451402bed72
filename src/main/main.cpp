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
// With kelmo.usb=ro or kelmo.usb=rw as well, a boot run from the kernel
// command line then maps the whole partition to /dev/mapper/kelmo-usb and
// says how that went on a second line.

#include <cstdio>
#include <cstring>

#include "cmdline/cmdline.h"
#include "dm/dm.h"
#include "exfat/chain.h"
#include "exfat/dir.h"
#include "main/show_runs.h"
#include "report/report.h"
#include "scan/scan.h"

static char g_serial[64];
static char g_path[4096];
static Partition g_partition;
static ExtentTable g_file_extents;

// What kelmo.usb= asks for beside the ISO.
enum class StickAccess { none, read_only, writable };
static StickAccess g_stick = StickAccess::none;

// Copies `text` into `buffer`, cut to size - 1 characters.
static void copy_cut(char* buffer, unsigned long size, const char* text) { snprintf(buffer, size, "%s", text); }

// The serial and the path are used as given: a malformed serial simply never
// matches, and an empty path names the root directory.
static int boot_run() {
  if (find_partition(g_serial, g_partition) != 0) {
    report("partição do Kelmo USB não encontrada");
    return 1;
  }
  EntryMatch found = {0, 0, 0, 1};
  const char* missing = nullptr;
  if (resolve_path(g_path, found, missing) != 0) {
    fprintf(stderr, "kelmo-map: não achei %s\n", missing);
    return 1;
  }
  if (found.directory) {
    report("o caminho é uma pasta");
    return 1;
  }
  if (chain_to_extents(found.first_cluster, found.data_length, found.contiguous, g_file_extents) != 0) {
    report("não consegui ler a lista de clusters");
    return 1;
  }
  if (map_iso(g_file_extents.runs, g_file_extents.count, found.data_length, g_partition.block_size,
              g_partition.major, g_partition.minor) != 0)
    return 1;
  // The ISO is live: a failure here has its own line, and must not make an
  // initramfs give up a working ISO.
  if (g_stick != StickAccess::none)
    map_partition(g_partition.device, g_partition.major, g_partition.minor, g_stick == StickAccess::read_only);
  return 0;
}

// Writable only when asked for exactly; any other value still wants the
// stick, and read-only cannot harm the ISO.
static void read_stick_access() {
  char value[8];
  if (cmdline_get("kelmo.usb", value, sizeof value) != 0) return;
  g_stick = strcmp(value, "rw") == 0 ? StickAccess::writable : StickAccess::read_only;
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
  read_stick_access();
  return boot_run();
}
