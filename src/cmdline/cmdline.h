// SPDX-License-Identifier: MIT
// Parameters from the kernel command line.
#pragma once

#include <cstddef>

// Finds the first token "key=value" on /proc/cmdline and copies the value,
// cut to size - 1 characters, into `out`. Tokens are separated by spaces and
// newlines; double quotes, wherever they stand in a token, protect spaces and
// are removed. A backslash before ", ' or \ (GRUB's escaping) is removed and
// the character after it taken as it is (a \" flips no quoting); before any
// other character it stays. Returns -1, leaving `out` untouched, when the key
// is absent or /proc/cmdline cannot be read.
int cmdline_get(const char* key, char* out, size_t size);

// The same search over a zero-terminated command line already in memory.
int cmdline_find(const char* line, const char* key, char* out, size_t size);
