// SPDX-License-Identifier: MIT
// The read-only device-mapper device that shows the ISO file's sectors, and
// on request a writable one over the persistence file and one over the whole
// partition.
#pragma once

#include <cstddef>
#include <cstdint>

#include "exfat/chain.h"

constexpr const char* kDeviceName = "kelmo-iso";
// The whole partition, so the running system can reach the stick's files.
constexpr const char* kPartitionDeviceName = "kelmo-usb";
// A file on the same volume that the live system keeps its changes in.
constexpr const char* kPersistDeviceName = "kelmo-persist";
// Every line about it begins so, from the entry point's lookup to the
// device mapper's answer, so that none is read as the ISO's.
constexpr const char* kPersistLabel = "kelmo-persist: ";

// What kelmo-usb may do. Beside a persistence file it is never writable: the
// file's sectors have one writer, kelmo-persist.
enum class StickAccess { read_only, writable, read_only_beside_persistence };

// Bytes of the control buffer for a table of `n` runs: the header, one
// 40-byte target record with up to 64 bytes of parameters per run, and slack.
size_t dm_buffer_size(int32_t n);

// Fills the table-load request in `buffer` (dm_buffer_size(n) bytes, zeroed
// here) for the device `name` (cut to the request's 127 bytes), read-only
// when `read_only`: one `linear` target per run over the partition
// `major`:`minor`, laid back to back from sector 0 and cut at `data_length`
// rounded up to whole blocks of `block_size` bytes (the partition's logical
// block size: a power of two from 512; anything else counts as 512), or at
// the end of the runs if that comes first. Returns the number of targets
// written.
uint32_t dm_fill_table(uint8_t* buffer, const char* name, bool read_only, int32_t n, const Extent* runs,
                       uint64_t data_length, uint32_t block_size, uint32_t major, uint32_t minor);

// The request for kelmo-usb in `buffer` (dm_buffer_size(1) bytes): one
// `linear` target of `sectors` sectors (below 2^55) from sector 0 of the
// partition `major`:`minor`, read-only only when `read_only`. Returns the
// number of targets written: 1, or 0 for an empty partition.
uint32_t dm_fill_partition_table(uint8_t* buffer, uint64_t sectors, uint32_t major, uint32_t minor,
                                 bool read_only);

// Creates, loads and resumes /dev/mapper/kelmo-iso over the partition
// `major`:`minor`, whose logical blocks are `block_size` bytes, then prints
// the final line. Prints the line of the failing step and returns -1 on
// failure.
int map_iso(const Extent* runs, int32_t n, uint64_t data_length, uint32_t block_size, uint32_t major,
            uint32_t minor);

// The same, writable, for /dev/mapper/kelmo-persist over the persistence
// file's runs. Its lines, failures included, name it; kelmo-iso is left as it
// is.
int map_persistence(const Extent* runs, int32_t n, uint64_t data_length, uint32_t block_size, uint32_t major,
                    uint32_t minor);

// The same for /dev/mapper/kelmo-usb over the whole partition `major`:`minor`,
// sized from `partition`, its open descriptor. Its lines, failures included,
// name kelmo-usb; kelmo-iso is left as it is.
int map_partition(int partition, uint32_t major, uint32_t minor, StickAccess access);

// Whether a sector lies in a run of `a` and in one of `b`. Every pair is
// compared (at most 4096 x 4096): the lists keep the file's order, which a
// writable device must not lose, and sorting them would need room.
bool runs_overlap(const Extent* a, int32_t na, const Extent* b, int32_t nb);
