/* The reference for the mapping cost: reads LENGTH bytes of FILE from OFFSET
 * once, front to back, 64 KiB at a time into one buffer (the size of
 * kelmo-map's read window), and nothing else. Built static like kelmo-map,
 * so both pay the same process start.
 *
 *   readrange FILE OFFSET LENGTH
 */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static char buffer[65536];

int main(int argc, char **argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: readrange FILE OFFSET LENGTH\n");
    return 2;
  }
  int fd = open(argv[1], O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    perror(argv[1]);
    return 1;
  }
  unsigned long long at = strtoull(argv[2], NULL, 0), left = strtoull(argv[3], NULL, 0);
  while (left > 0) {
    size_t want = left < sizeof buffer ? (size_t)left : sizeof buffer;
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
