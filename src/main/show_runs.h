// SPDX-License-Identifier: MIT
// The test run, beside the boot run of the entry point.
#pragma once

// `kelmo-map --test DEVICE PATH`: prints the file's length, contiguous flag
// and sector runs on standard output. `path` is split in place. Returns the
// exit status.
int show_runs(const char* device, char* path);
