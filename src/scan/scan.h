// SPDX-License-Identifier: MIT
// Finding the exFAT partition among the machine's block devices.
#pragma once

#include <cstddef>
#include <cstdint>

// "/dev/NAME" for any block device's name (at most 255 bytes).
constexpr size_t kNodePathSize = 300;

struct Partition {
  char node[kNodePathSize];  // "/dev/NAME"; empty until a device is accepted
  int device;                // its open descriptor, the volume's (g_volume.device)
  uint32_t major;
  uint32_t minor;
  uint32_t block_size;  // logical block size in bytes; 512 when the device does not say
};

// Scans /sys/class/block up to 300 times, 0.1 s apart, for the exFAT volume
// whose serial text is `serial`, creating missing nodes under /dev from each
// entry's `dev` file. On success the volume is open (see volume_open) and
// `found` names its node, open descriptor, device number and logical block
// size.
int find_partition(const char* serial, Partition& found);
