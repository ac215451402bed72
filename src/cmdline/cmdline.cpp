// SPDX-License-Identifier: MIT
#include "cmdline/cmdline.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

static char g_cmdline[8192];

int cmdline_get(const char* key, char* out, size_t size) {
  int fd = open("/proc/cmdline", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  ssize_t got = read(fd, g_cmdline, sizeof g_cmdline - 1);
  close(fd);
  if (got <= 0) return -1;
  g_cmdline[got] = '\0';
  return cmdline_find(g_cmdline, key, out, size);
}

int cmdline_find(const char* line, const char* key, char* out, size_t size) {
  size_t n = strlen(key);
  char token[4096];
  const char* p = line;
  while (*p) {
    while (*p == ' ' || *p == '\n') ++p;
    size_t length = 0;
    bool quoted = false;
    for (; *p && (quoted || (*p != ' ' && *p != '\n')); ++p) {
      char c = *p;
      if (c == '"') {
        quoted = !quoted;
        continue;
      }
      // GRUB puts a backslash before " ' and \ (lib/cmdline.c); exFAT names
      // hold no " nor \, so undoing it loses nothing.
      if (c == '\\' && (p[1] == '"' || p[1] == '\'' || p[1] == '\\')) c = *++p;
      if (length < sizeof token - 1) token[length++] = c;  // the rest of an overlong token is dropped
    }
    token[length] = '\0';
    if (strncmp(token, key, n) == 0 && token[n] == '=') {
      snprintf(out, size, "%s", token + n + 1);
      return 0;
    }
  }
  return -1;
}
