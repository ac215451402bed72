// The two runs the entry point can make, and the inputs they share.
#pragma once

extern char g_serial[64];
extern char g_path[4096];

// Copies `text` into `buffer`, cut to size - 1 characters.
void copy_cut(char* buffer, unsigned long size, const char* text);

// `kelmo-map --test DEVICE PATH`: prints the file's length, contiguous flag
// and sector runs on standard output. Returns the exit status.
int show_runs(const char* device, const char* path);
