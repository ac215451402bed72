// SPDX-License-Identifier: MIT
// hold: runs COMMAND under ptrace and holds it at a chosen system call, so
// that the guest can pull the stick out while the program is in the middle
// of its reads. Built static by the boot tests and put in the initramfs.
//
//   hold list FILE -- COMMAND...
//       writes one line per read of a block device to FILE ("OFFSET LENGTH
//       PATH"), and kills COMMAND at its first device-mapper request, so
//       that nothing is mapped; exits 0.
//   hold read N FILE -- COMMAND...
//       holds COMMAND before its Nth read of a block device (from 1)
//   hold create FILE -- COMMAND...
//       holds COMMAND before its DM_DEV_CREATE request
//   At the hold, FILE is written with the held call; COMMAND goes on once
//   FILE has been removed (at most 60 s), and hold exits with its status.
//   Exits 125 when COMMAND never reached the call, 126 on its own failure.
#include <errno.h>
#include <fcntl.h>
#include <linux/dm-ioctl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

enum mode { LIST, READ, CREATE };

static int fd_is(pid_t pid, long fd, mode_t type, char* path, size_t size) {
  char link[64];
  struct stat st;
  snprintf(link, sizeof link, "/proc/%d/fd/%ld", (int)pid, fd);
  if (stat(link, &st) != 0 || (st.st_mode & S_IFMT) != type) return 0;
  ssize_t got = readlink(link, path, size - 1);
  path[got > 0 ? got : 0] = '\0';
  return 1;
}

static int usage(void) {
  fprintf(stderr, "usage: hold list FILE | read N FILE | create FILE -- COMMAND...\n");
  return 126;
}

int main(int argc, char** argv) {
  if (argc < 5) return usage();
  enum mode mode;
  long wanted = 0;
  int at = 2;
  if (strcmp(argv[1], "list") == 0) {
    mode = LIST;
  } else if (strcmp(argv[1], "read") == 0) {
    mode = READ;
    wanted = atol(argv[at++]);
  } else if (strcmp(argv[1], "create") == 0) {
    mode = CREATE;
  } else {
    return usage();
  }
  const char* file = argv[at++];
  if (at >= argc || strcmp(argv[at], "--") != 0 || at + 1 >= argc) return usage();
  char** command = argv + at + 1;
  FILE* list = NULL;
  if (mode == LIST && !(list = fopen(file, "w"))) return 126;

  pid_t pid = fork();
  if (pid < 0) return 126;
  if (pid == 0) {
    ptrace(PTRACE_TRACEME, 0, 0, 0);
    execv(command[0], command);
    _exit(126);
  }
  int status;
  if (waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status)) return 126;  // stopped at its exec
  ptrace(PTRACE_SETOPTIONS, pid, 0, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);

  long reads = 0;
  int entering = 1, sig = 0;
  for (;;) {
    if (ptrace(PTRACE_SYSCALL, pid, 0, sig) != 0) return 126;
    sig = 0;
    if (waitpid(pid, &status, 0) != pid) return 126;
    if (WIFEXITED(status)) return mode == LIST ? 0 : 125;
    if (WIFSIGNALED(status)) return mode == LIST ? 0 : 125;
    if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
      sig = WSTOPSIG(status);  // a signal of its own: delivered
      continue;
    }
    int enter = entering;
    entering = !entering;
    if (!enter) continue;

    struct user_regs_struct regs;
    if (ptrace(PTRACE_GETREGS, pid, 0, &regs) != 0) return 126;
    char path[256], what[400];
    what[0] = '\0';
    if (regs.orig_rax == SYS_pread64 && fd_is(pid, (long)regs.rdi, S_IFBLK, path, sizeof path)) {
      ++reads;
      snprintf(what, sizeof what, "%llu %llu %s\n", regs.r10, regs.rdx, path);
      if (mode == LIST) fputs(what, list);
      if (mode != READ || reads != wanted) continue;
    } else if (regs.orig_rax == SYS_ioctl && fd_is(pid, (long)regs.rdi, S_IFCHR, path, sizeof path) &&
               strcmp(path, "/dev/mapper/control") == 0) {
      if (mode == LIST) {
        fclose(list);
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return 0;
      }
      // The request is an int: compared in 32 bits, however it was widened.
      if (mode != CREATE || (unsigned)regs.rsi != DM_DEV_CREATE) continue;
      snprintf(what, sizeof what, "DM_DEV_CREATE\n");
    } else {
      continue;
    }

    // Held before the call: say which, wait for the word to go on.
    int fd = open(file, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || write(fd, what, strlen(what)) < 0 || close(fd) != 0) return 126;
    for (int i = 0; i < 600 && access(file, F_OK) == 0; ++i) usleep(100000);
    if (ptrace(PTRACE_DETACH, pid, 0, 0) != 0) return 126;
    if (waitpid(pid, &status, 0) != pid) return 126;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
}
