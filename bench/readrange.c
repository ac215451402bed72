// SPDX-License-Identifier: MIT
/* The reference for the mapping cost: reads LENGTH bytes of FILE from OFFSET
 * once, front to back, CHUNK bytes at a time (64 KiB unless given, at most
 * 1 MiB) into one buffer, and nothing else. Built static like kelmo-map, so
 * both pay the same process start.
 *
 *   readrange FILE OFFSET LENGTH [CHUNK]
 */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static char buffer[1 << 20];

int main(int argc, char **argv) {
  size_t chunk = argc == 5 ? (size_t)strtoull(argv[4], NULL, 0) : 65536;
  if ((argc != 4 && argc != 5) || chunk == 0 || chunk > sizeof buffer) {
    fprintf(stderr, "usage: readrange FILE OFFSET LENGTH [CHUNK]\n");
    return 2;
  }
  int fd = open(argv[1], O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    perror(argv[1]);
    return 1;
  }
  unsigned long long at = strtoull(argv[2], NULL, 0), left = strtoull(argv[3], NULL, 0);
  while (left > 0) {
    size_t want = left < chunk ? (size_t)left : chunk;
    ssize_t got = pread(fd, buffer, want, (off_t)at);
    if (got <= 0) {
      fprintf(stderr, "readrange: short read at %llu\n", at);
      return 1;
    }
    at += (unsigned long long)got;
    left -= (unsigned long long)got;
  }
  return 0;
}
