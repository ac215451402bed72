// SPDX-License-Identifier: MIT
/* Times one command in the benchmark guest, where busybox's date has no
 * sub-second field: runs CMD with its standard output on /dev/null and
 * appends "MICROSECONDS STATUS" to OUT.
 *
 *   timeit OUT CMD [ARG...]
 */
#include <fcntl.h>
#include <stdio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: timeit OUT CMD [ARG...]\n");
    return 2;
  }
  struct timespec t0, t1;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, 1);
    execvp(argv[2], argv + 2);
    _exit(127);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) < 0) return 1;
  clock_gettime(CLOCK_MONOTONIC, &t1);
  long long us = (t1.tv_sec - t0.tv_sec) * 1000000LL + (t1.tv_nsec - t0.tv_nsec) / 1000;
  FILE *out = fopen(argv[1], "a");
  if (!out) return 1;
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  fprintf(out, "%lld %d\n", us, code);
  fclose(out);
  return code;
}
