// SPDX-License-Identifier: MIT
#include "scan/scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "exfat/volume.h"

static constexpr int kPasses = 300;
static constexpr useconds_t kPause = 100000;
// The logical block size of a disk that does not tell it: the smallest any has.
static constexpr uint32_t kUnknownBlockSize = 512;

// Loop and RAM disks and device-mapper devices never hold the stick.
static bool skipped(const char* name) {
  return name[0] == '.' || strncmp(name, "loop", 4) == 0 || strncmp(name, "ram", 3) == 0 ||
         strncmp(name, "dm-", 3) == 0;
}

// Creates /dev/NAME from the "MAJOR:MINOR" line of /sys/class/block/NAME/dev.
static void make_node(const char* name, const char* node) {
  char sys_path[320];
  snprintf(sys_path, sizeof sys_path, "/sys/class/block/%s/dev", name);
  int fd = open(sys_path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  char line[32];
  memset(line, 0, sizeof line);
  ssize_t got = read(fd, line, sizeof line - 1);
  close(fd);
  unsigned major_number, minor_number;
  if (got > 0 && sscanf(line, "%u:%u", &major_number, &minor_number) == 2)
    mknod(node, S_IFBLK | 0600, makedev(major_number, minor_number));
}

// One pass over the block devices; 0 when one of them was accepted.
static int scan_once(const char* serial, Partition& found) {
  DIR* dir = opendir("/sys/class/block");
  if (!dir) return -1;
  int result = -1;
  while (dirent* entry = readdir(dir)) {
    const char* name = entry->d_name;
    if (skipped(name)) continue;
    char node[kNodePathSize];
    snprintf(node, sizeof node, "/dev/%s", name);
    struct stat st;
    if (stat(node, &st) != 0 || !S_ISBLK(st.st_mode)) {
      make_node(name, node);
      if (stat(node, &st) != 0) continue;
    }
    if (volume_open(node, serial, 0) != 0) continue;
    snprintf(found.node, sizeof found.node, "%s", node);
    found.device = g_volume.device;
    found.major = major(st.st_rdev);
    found.minor = minor(st.st_rdev);
    // The device mapper sizes its targets in this disk's blocks.
    int block_size = 0;
    bool known = ioctl(found.device, BLKSSZGET, &block_size) == 0 && block_size > 0;
    found.block_size = known ? uint32_t(block_size) : kUnknownBlockSize;
    result = 0;
    break;
  }
  closedir(dir);
  return result;
}

int find_partition(const char* serial, Partition& found) {
  found.node[0] = '\0';
  found.device = -1;
  for (int pass = 0; pass < kPasses; ++pass) {
    if (scan_once(serial, found) == 0) return 0;
    usleep(kPause);  // the stick may still be coming up
  }
  return -1;
}
