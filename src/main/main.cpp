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

#include <cstdio>
#include <cstring>

#include "exfat/chain.h"
#include "exfat/dir.h"
#include "exfat/volume.h"
#include "main/report.h"
#include "main/run.h"

char g_serial[64];
char g_path[4096];

void copy_cut(char* buffer, unsigned long size, const char* text) { snprintf(buffer, size, "%s", text); }

static int boot_run() {
  report("partição do Kelmo USB não encontrada");
  return 1;
}

int main(int argc, char** argv) {
  int args = argc - 1;
  if (args == 3 && strcmp(argv[1], "--test") == 0) return test_run(argv[2], argv[3]);
  if (args >= 2) {
    copy_cut(g_serial, sizeof g_serial, argv[1]);
    copy_cut(g_path, sizeof g_path, argv[2]);
    return boot_run();
  }
  return boot_run();
}
