// SPDX-License-Identifier: MIT
// libFuzzer harness: arbitrary kernel command lines through the parameter
// reader. The value must fit the caller's buffer and be zero-terminated.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "cmdline/cmdline.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The reader sees at most 8191 bytes followed by a zero byte.
  static char line[8192];
  size_t n = size < sizeof line - 1 ? size : sizeof line - 1;
  memcpy(line, data, n);
  line[n] = '\0';
  for (size_t out_size : {size_t(1), size_t(64), size_t(4096)}) {
    char* out = static_cast<char*>(malloc(out_size));  // exact size: ASan sees any overrun
    memset(out, 'u', out_size);
    for (const char* key : {"kelmo.uuid", "kelmo.iso"}) {
      if (cmdline_find(line, key, out, out_size) == 0) {
        if (!memchr(out, '\0', out_size)) abort();
      }
    }
    free(out);
  }
  return 0;
}
