// SPDX-License-Identifier: MIT
// The device-mapper control interface, spoken directly: one buffer holding a
// struct dm_ioctl header and, for a table load, the target records after it.

#include "dm/dm.h"

#include <fcntl.h>
#include <linux/dm-ioctl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "report/report.h"

// The request layout the buffer is built on (interface version 4).
static_assert(sizeof(dm_ioctl) == 312);
static_assert(offsetof(dm_ioctl, version) == 0);
static_assert(offsetof(dm_ioctl, data_size) == 12);
static_assert(offsetof(dm_ioctl, data_start) == 16);
static_assert(offsetof(dm_ioctl, target_count) == 20);
static_assert(offsetof(dm_ioctl, flags) == 28);
static_assert(offsetof(dm_ioctl, dev) == 40);
static_assert(offsetof(dm_ioctl, name) == 48);
static_assert(sizeof(dm_target_spec) == 40);
static_assert(offsetof(dm_target_spec, sector_start) == 0);
static_assert(offsetof(dm_target_spec, length) == 8);
static_assert(offsetof(dm_target_spec, status) == 16);
static_assert(offsetof(dm_target_spec, next) == 20);
static_assert(offsetof(dm_target_spec, target_type) == 24);
static_assert(DM_DEV_CREATE == 0xC138FD03 && DM_TABLE_LOAD == 0xC138FD09 && DM_DEV_SUSPEND == 0xC138FD06);

static constexpr size_t kHeader = sizeof(dm_ioctl);
static constexpr size_t kParams = 64;  // room for "4294967295:4294967295 18446744073709551615"
static constexpr size_t kRecordAlign = 8;  // each target record starts 8-byte aligned
// The device mapper counts 512-byte sectors, whatever the disk's block size.
static constexpr uint64_t kDmSectorSize = 512;
// "/dev/mapper/NAME": the prefix with its zero byte, and a name that fills
// the request's name field at most.
static constexpr size_t kNodeSize = sizeof "/dev/mapper/" + DM_NAME_LEN;

size_t dm_buffer_size(int32_t n) { return size_t(n) * (sizeof(dm_target_spec) + kParams) + kHeader + kParams; }

static void set_header(uint8_t* buffer, uint32_t data_size, uint32_t data_start, uint32_t flags,
                       const char* name) {
  dm_ioctl* io = reinterpret_cast<dm_ioctl*>(buffer);
  memset(io, 0, kHeader);
  io->version[0] = 4;
  io->data_size = data_size;
  io->data_start = data_start;
  io->flags = flags;
  snprintf(io->name, sizeof io->name, "%s", name);
}

uint32_t dm_fill_table(uint8_t* buffer, const char* name, bool read_only, int32_t n, const Extent* runs,
                       uint64_t data_length, uint32_t block_size, uint32_t major_number, uint32_t minor_number) {
  size_t size = dm_buffer_size(n);
  memset(buffer, 0, size);
  set_header(buffer, uint32_t(size), kHeader, read_only ? DM_READONLY_FLAG : 0, name);
  char device[32];
  snprintf(device, sizeof device, "%u:%u", major_number, minor_number);

  // The kernel takes only targets of whole logical blocks: the device shows
  // the file rounded up to whole blocks, the bytes past its end coming from
  // its own last cluster (a cluster is never smaller than a block of the
  // disk it was formatted on). Computed so that a length near 2^64 cannot
  // wrap to 0.
  uint64_t block = block_size >= kDmSectorSize && std::has_single_bit(block_size) ? block_size : kDmSectorSize;
  uint64_t file_sectors = (data_length / block + (data_length % block != 0)) * (block / kDmSectorSize);
  uint64_t position = 0;
  uint32_t targets = 0;
  uint8_t* record = buffer + kHeader;
  for (int32_t i = 0; i < n && position < file_sectors; ++i) {
    uint64_t length = runs[i].count;
    // The last run covers whole clusters; the device ends with the file's
    // last block.
    if (length > file_sectors - position) length = file_sectors - position;
    dm_target_spec* target = reinterpret_cast<dm_target_spec*>(record);
    target->sector_start = position;
    target->length = length;
    snprintf(target->target_type, sizeof target->target_type, "linear");
    char* params = reinterpret_cast<char*>(record + sizeof(dm_target_spec));
    int k = snprintf(params, kParams, "%s %llu", device, (unsigned long long)runs[i].start);
    // Record, text and its zero byte, padded to the alignment.
    size_t used = sizeof(dm_target_spec) + size_t(k) + 1;
    target->next = uint32_t((used + kRecordAlign - 1) & ~(kRecordAlign - 1));
    record += target->next;
    position += length;
    ++targets;
  }
  reinterpret_cast<dm_ioctl*>(buffer)->target_count = targets;
  return targets;
}

uint32_t dm_fill_partition_table(uint8_t* buffer, uint64_t sectors, uint32_t major_number, uint32_t minor_number,
                                 bool read_only) {
  // The table of a file filling the partition from its first sector. Whole
  // 512-byte sectors are whole blocks of any disk: the partition is.
  Extent whole = {0, sectors};
  return dm_fill_table(buffer, kPartitionDeviceName, read_only, 1, &whole, sectors * kDmSectorSize, kDmSectorSize,
                       major_number, minor_number);
}

// Every line of the kelmo-usb stage names it, so that it is never read as
// a failure of the ISO's own mapping.
static constexpr const char* kPartitionLabel = "kelmo-usb: ";

// perror's line for the refused `request`, after the stage's label.
static void request_failed(const char* label, const char* request) {
  int error = errno;
  char what[64];
  snprintf(what, sizeof what, "kelmo-map: %s%s", label, request);
  errno = error;
  perror(what);
}

static int open_control() {
  int fd = open("/dev/mapper/control", O_RDWR | O_CLOEXEC);
  if (fd >= 0) return fd;
  // No udev at early boot: make the node ourselves.
  mkdir("/dev/mapper", 0755);
  mknod("/dev/mapper/control", S_IFCHR | 0600, makedev(10, 236));
  return open("/dev/mapper/control", O_RDWR | O_CLOEXEC);
}

// Create, load, resume the device that the filled table-load request `table`
// names; prints the line of a refused request. A device made by an earlier
// step stays when a later one is refused. The create and resume requests are
// the header alone, in `request`, which ends holding the resume's answer.
static int send_requests(int control, uint8_t* table, const char* label, dm_ioctl& request) {
  uint8_t* header = reinterpret_cast<uint8_t*>(&request);
  char name[sizeof request.name];
  snprintf(name, sizeof name, "%s", reinterpret_cast<dm_ioctl*>(table)->name);
  set_header(header, kHeader, 0, 0, name);
  if (ioctl(control, DM_DEV_CREATE, &request) != 0) {
    request_failed(label, "DM_DEV_CREATE");
    return -1;
  }
  if (ioctl(control, DM_TABLE_LOAD, table) != 0) {
    request_failed(label, "DM_TABLE_LOAD");
    return -1;
  }
  // With DM_SUSPEND_FLAG clear this resumes the device: the table goes live.
  set_header(header, kHeader, 0, 0, name);
  if (ioctl(control, DM_DEV_SUSPEND, &request) != 0) {
    request_failed(label, "DM_DEV_SUSPEND");
    return -1;
  }
  return 0;
}

// Creates the device of the filled request `table` and its node
// /dev/mapper/NAME, written into `node`, with `mode`.
static int create_device(uint8_t* table, const char* label, mode_t mode, char (&node)[kNodeSize]) {
  int control = open_control();
  if (control < 0) {
    report_after(label, "sem /dev/mapper/control");
    return -1;
  }
  dm_ioctl request;
  int result = send_requests(control, table, label, request);
  close(control);
  if (result != 0) return -1;
  // The resume answered with the new device's number.
  mkdir("/dev/mapper", 0755);
  snprintf(node, sizeof node, "/dev/mapper/%s", request.name);
  unlink(node);  // a node left from an earlier device may carry an old number
  mknod(node, S_IFBLK | mode, dev_t(request.dev));
  return 0;
}

// The device `name` over a file's runs, with `mode` for its node; on
// success the line "`what` -> NODE (N trechos)".
static int map_runs(const char* name, const char* label, const char* what, bool read_only, mode_t mode,
                    const Extent* runs, int32_t n, uint64_t data_length, uint32_t block_size, uint32_t major_number,
                    uint32_t minor_number) {
  uint8_t* buffer = static_cast<uint8_t*>(calloc(1, dm_buffer_size(n)));
  if (!buffer) {
    report_after(label, "sem memória para a tabela do device-mapper");
    return -1;
  }
  dm_fill_table(buffer, name, read_only, n, runs, data_length, block_size, major_number, minor_number);
  char node[kNodeSize];
  int result = create_device(buffer, label, mode, node);
  if (result == 0) fprintf(stderr, "kelmo-map: %s -> %s (%d trecho%s)\n", what, node, n, n > 1 ? "s" : "");
  free(buffer);
  return result;
}

int map_iso(const Extent* runs, int32_t n, uint64_t data_length, uint32_t block_size, uint32_t major_number,
            uint32_t minor_number) {
  return map_runs(kDeviceName, "", "ISO", true, 0400, runs, n, data_length, block_size, major_number, minor_number);
}

int map_persistence(const Extent* runs, int32_t n, uint64_t data_length, uint32_t block_size, uint32_t major_number,
                    uint32_t minor_number) {
  return map_runs(kPersistDeviceName, kPersistLabel, "persistência", false, 0600, runs, n, data_length, block_size,
                  major_number, minor_number);
}

int map_partition(int partition, uint32_t major_number, uint32_t minor_number, StickAccess access) {
  bool read_only = access != StickAccess::writable;
  uint64_t bytes = 0;
  if (ioctl(partition, BLKGETSIZE64, &bytes) != 0) {
    request_failed(kPartitionLabel, "BLKGETSIZE64");
    return -1;
  }
  uint8_t* buffer = static_cast<uint8_t*>(calloc(1, dm_buffer_size(1)));
  if (!buffer) {
    report_after(kPartitionLabel, "sem memória para a tabela do device-mapper");
    return -1;
  }
  dm_fill_partition_table(buffer, bytes / kDmSectorSize, major_number, minor_number, read_only);
  char node[kNodeSize];
  int result = create_device(buffer, kPartitionLabel, read_only ? 0400 : 0600, node);
  const char* says = access == StickAccess::writable    ? "leitura e escrita"
                     : access == StickAccess::read_only ? "somente leitura"
                                                        : "somente leitura por causa de kelmo.persist";
  if (result == 0) fprintf(stderr, "kelmo-map: USB -> %s (%s)\n", node, says);
  free(buffer);
  return result;
}

bool runs_overlap(const Extent* a, int32_t na, const Extent* b, int32_t nb) {
  for (int32_t i = 0; i < na; ++i)
    for (int32_t k = 0; k < nb; ++k) {
      // Distances, not ends: a run's end may lie past 2^64. The later run
      // begins inside the earlier one, and holds a sector.
      const Extent& x = a[i];
      const Extent& y = b[k];
      if (x.start >= y.start ? x.start - y.start < y.count && x.count != 0
                             : y.start - x.start < x.count && y.count != 0)
        return true;
    }
  return false;
}
