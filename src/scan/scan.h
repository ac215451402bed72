// Finding the exFAT partition among the machine's block devices.
#pragma once

#include <cstdint>

struct Partition {
  char node[300];  // "/dev/NAME"; empty until a device is accepted
  uint32_t major;
  uint32_t minor;
  uint32_t block_size;  // logical block size in bytes; 512 when the device does not say
};

// Scans /sys/class/block up to 300 times, 0.1 s apart, for the exFAT volume
// whose serial text is `serial`, creating missing nodes under /dev from each
// entry's `dev` file. On success the volume is open (see volume_open) and
// `found` names its node, device number and logical block size.
int find_partition(const char* serial, Partition& found);
