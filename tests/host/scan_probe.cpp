// SPDX-License-Identifier: MIT
// scan_probe SERIAL: runs the partition scan alone and prints the accepted
// device as "NODE MAJOR:MINOR"; prints nothing and exits 1 when none is found.
// Used by scan.sh to watch the scan inside a private mount namespace.

#include <cstdio>

#include "scan/scan.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: scan_probe SERIAL\n");
    return 2;
  }
  Partition found;
  if (find_partition(argv[1], found) != 0) return 1;
  printf("%s %u:%u\n", found.node, found.major, found.minor);
  return 0;
}
