// SPDX-License-Identifier: MIT
// scan_probe SERIAL: runs the partition scan alone and prints the accepted
// device as "NODE MAJOR:MINOR"; prints nothing and exits 1 when none is found,
// 3 when the descriptor handed back is not that node's file. Used by scan.sh to
// watch the scan inside a private mount namespace.

#include <sys/stat.h>

#include <cstdio>

#include "scan/scan.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: scan_probe SERIAL\n");
    return 2;
  }
  Partition found;
  if (find_partition(argv[1], found) != 0) return 1;
  // The same file as the node, block device or not.
  struct stat open_file, node;
  if (fstat(found.device, &open_file) != 0 || stat(found.node, &node) != 0 || open_file.st_dev != node.st_dev ||
      open_file.st_ino != node.st_ino) {
    fprintf(stderr, "scan_probe: descriptor %d is not %s\n", found.device, found.node);
    return 3;
  }
  printf("%s %u:%u\n", found.node, found.major, found.minor);
  return 0;
}
