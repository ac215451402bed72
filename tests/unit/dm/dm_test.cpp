// SPDX-License-Identifier: MIT
// The table-load request checked byte for byte, without a kernel.

#include "dm/dm.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

namespace {

uint32_t u32(const std::vector<uint8_t>& b, size_t at) {
  uint32_t v;
  memcpy(&v, b.data() + at, 4);
  return v;
}
uint64_t u64(const std::vector<uint8_t>& b, size_t at) {
  uint64_t v;
  memcpy(&v, b.data() + at, 8);
  return v;
}
std::string text(const std::vector<uint8_t>& b, size_t at) { return reinterpret_cast<const char*>(b.data() + at); }

struct Target {
  uint64_t sector_start, length;
  std::string params;
  uint32_t next;
};

// Builds the request and reads back the header fields and the target records.
std::vector<uint8_t> build(const std::vector<Extent>& runs, uint64_t data_length, uint32_t& targets,
                           uint32_t block_size = 512) {
  std::vector<uint8_t> buffer(dm_buffer_size(int32_t(runs.size())), 0xA5);  // junk the fill must clear
  targets = dm_fill_table(buffer.data(), "kelmo-iso", true, int32_t(runs.size()), runs.data(), data_length, block_size, 8, 17);
  return buffer;
}

std::vector<Target> records(const std::vector<uint8_t>& b, uint32_t count) {
  std::vector<Target> out;
  size_t at = 312;
  for (uint32_t i = 0; i < count; ++i) {
    EXPECT_EQ(u32(b, at + 16), 0u) << "status";
    EXPECT_EQ(text(b, at + 24), "linear");
    Target t{u64(b, at), u64(b, at + 8), text(b, at + 40), u32(b, at + 20)};
    out.push_back(t);
    at += t.next;
  }
  return out;
}

void expect_header(const std::vector<uint8_t>& b, uint32_t targets, const std::string& name = "kelmo-iso",
                   uint32_t flags = 1) {
  EXPECT_EQ(u32(b, 0), 4u);
  EXPECT_EQ(u32(b, 4), 0u);
  EXPECT_EQ(u32(b, 8), 0u);
  EXPECT_EQ(u32(b, 12), b.size()) << "data_size";
  EXPECT_EQ(u32(b, 16), 312u) << "data_start";
  EXPECT_EQ(u32(b, 20), targets) << "target_count";
  EXPECT_EQ(u32(b, 28), flags) << "flags: 1 is read-only";
  EXPECT_EQ(u64(b, 40), 0u) << "dev";
  EXPECT_EQ(text(b, 48), name);
  // Every other header byte stays zero: no uuid, no event cookie.
  for (size_t i = 0; i < 312; ++i) {
    bool field = i < 24 || (i >= 28 && i < 32) || (i >= 48 && i < 48 + name.size() + 1);
    if (!field) EXPECT_EQ(b[i], 0) << "header byte " << i;
  }
}

TEST(DmTable, BufferIsTheHeaderSlackAndOneRecordPerRun) {
  EXPECT_EQ(dm_buffer_size(0), 376u);
  EXPECT_EQ(dm_buffer_size(1), 104u + 376);
  EXPECT_EQ(dm_buffer_size(2), 2 * 104u + 376);
}

TEST(DmTable, RecordsAreAlignedAndSizedByTheirText) {
  // Each record: 40 bytes, the text and its zero byte, then zeros up to a
  // multiple of 8. Texts of 7, 8, 15 and 16 characters sit on both sides of
  // that boundary.
  struct Case {
    uint32_t major, minor;
    uint64_t start;
    const char* params;
    uint32_t next;
  };
  const Case cases[] = {
      {8, 1, 211, "8:1 211", 48},
      {8, 1, 2112, "8:1 2112", 56},
      {8, 1, 12345678901ull, "8:1 12345678901", 56},
      {8, 1, 123456789012ull, "8:1 123456789012", 64},
      {4294967295u, 4294967295u, 0, "4294967295:4294967295 0", 64},
      {4294967295u, 4294967295u, 18446744073709551615ull, "4294967295:4294967295 18446744073709551615", 88},
  };
  for (const Case& c : cases) {
    std::vector<Extent> runs = {{c.start, 1}, {7, 1}};
    std::vector<uint8_t> b(dm_buffer_size(2), 0xA5);
    ASSERT_EQ(dm_fill_table(b.data(), "kelmo-iso", true, 2, runs.data(), 2 * 512, 512, c.major, c.minor), 2u);
    std::vector<Target> t = records(b, 2);
    EXPECT_EQ(t[0].params, c.params);
    EXPECT_EQ(t[0].next, c.next) << c.params;
    // Zeros from the text's end to the next record, which follows at `next`.
    for (size_t i = 312 + 40 + strlen(c.params); i < 312 + c.next; ++i) EXPECT_EQ(b[i], 0) << c.params << " " << i;
    EXPECT_EQ(t[1].sector_start, 1u);
    EXPECT_EQ(t[1].params, std::to_string(c.major) + ":" + std::to_string(c.minor) + " 7");
  }
}

// The targets for each file: laid back to back from sector 0, one per run,
// the device the file rounded up to whole logical blocks of the partition,
// never past the last run.
struct TableCase {
  const char* name;
  std::vector<Extent> runs;
  uint64_t data_length;
  uint32_t block_size;
  std::vector<uint64_t> lengths;  // of the targets, in 512-byte sectors
  friend std::ostream& operator<<(std::ostream& os, const TableCase& c) { return os << c.name; }
};

class DmTargets : public ::testing::TestWithParam<TableCase> {};

TEST_P(DmTargets, BackToBackAndCutAtTheFilesLastBlock) {
  const TableCase& c = GetParam();
  uint32_t n;
  std::vector<uint8_t> b = build(c.runs, c.data_length, n, c.block_size);
  ASSERT_EQ(n, c.lengths.size());
  expect_header(b, n);
  std::vector<Target> t = records(b, n);
  uint64_t position = 0;
  size_t at = 312;
  for (uint32_t i = 0; i < n; ++i) {
    EXPECT_EQ(t[i].sector_start, position) << i;
    EXPECT_EQ(t[i].length, c.lengths[i]) << i;
    EXPECT_EQ(t[i].params, "8:17 " + std::to_string(c.runs[i].start)) << i;
    // Each record: 40 bytes, the text and its zero byte, then zeros up to
    // the next multiple of 8, where the next record begins.
    size_t used = 40 + t[i].params.size() + 1;
    EXPECT_EQ(t[i].next % 8, 0u) << i;
    EXPECT_GE(t[i].next, used) << i;
    EXPECT_LT(t[i].next, used + 8) << i;
    for (size_t k = at + used; k < at + t[i].next && k < b.size(); ++k) EXPECT_EQ(b[k], 0) << i << " " << k;
    position += t[i].length;
    at += t[i].next;
  }
  // Nothing after the last record.
  for (; at < b.size(); ++at) EXPECT_EQ(b[at], 0) << at;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DmTargets,
    ::testing::Values(
        TableCase{"NoRunsGivesAnEmptyTable", {}, 0, 512, {}},
        TableCase{"OneRunCutToTheFileLength", {{2112, 24}}, 10000, 512, {20}},
        TableCase{"TwoRunsBackToBack", {{2112, 24}, {2192, 8}}, 16384, 512, {24, 8}},
        // Whole-cluster runs reaching past the data: the device ends with the file.
        TableCase{"StopsAtTheFileEndEvenWithRunsLeft", {{100, 8}, {200, 8}, {300, 8}}, 8 * 512 + 1, 512, {8, 1}},
        TableCase{"LengthNearTheTopDoesNotWrapToNothing", {{100, 8}}, UINT64_MAX, 512, {8}},
        // 32 KiB clusters (64 sectors): 10000 bytes are 20 sectors on a
        // 512-byte disk and 3 blocks of 4 KiB (24 sectors) on a 4K one.
        TableCase{"Disk512", {{2112, 64}}, 10000, 512, {20}},
        TableCase{"Disk4096", {{2112, 64}}, 10000, 4096, {24}},
        TableCase{"Disk4096WholeBlock", {{2112, 64}}, 8192, 4096, {16}},
        TableCase{"Disk4096OneByteOver", {{2112, 64}}, 8193, 4096, {24}},
        TableCase{"Disk4096SecondRun", {{2112, 64}, {4000, 64}}, 64 * 512 + 1, 4096, {64, 8}},
        // 4 KiB clusters: the file's last block is its last cluster, whole.
        TableCase{"Disk4096ClusterSized", {{800, 8}, {1600, 8}}, 8 * 512 + 100, 4096, {8, 8}},
        // The runs end first (a block larger than a cluster): nothing past them.
        TableCase{"RunsEndFirst", {{800, 8}, {1600, 8}}, 8 * 512 + 100, 65536, {8, 8}},
        TableCase{"Disk65536", {{800, 256}}, 100, 65536, {128}},
        // Sizes no disk reports count as 512.
        TableCase{"Zero", {{2112, 64}}, 10000, 0, {20}},
        TableCase{"Under512", {{2112, 64}}, 10000, 256, {20}},
        TableCase{"NotAPowerOfTwo", {{2112, 64}}, 10000, 3072, {20}},
        // A length near 2^64 rounds up without wrapping.
        TableCase{"HugeLength", {{100, 8}}, UINT64_MAX, 4096, {8}},
        TableCase{"HugeBlock", {{100, 8}}, UINT64_MAX, 2147483648u, {8}}),
    [](const auto& info) { return info.param.name; });

// kelmo-usb: the whole partition as one target, read-only only for ro.
struct PartitionCase {
  const char* name;
  bool read_only;
  uint32_t flags;
  friend std::ostream& operator<<(std::ostream& os, const PartitionCase& c) { return os << c.name; }
};

class DmPartitionTable : public ::testing::TestWithParam<PartitionCase> {};

TEST_P(DmPartitionTable, OneTargetOverTheWholePartition) {
  const PartitionCase& c = GetParam();
  // 64 MiB less the 1 MiB before the partition, an odd count on purpose.
  uint64_t sectors = 129023;
  std::vector<uint8_t> b(dm_buffer_size(1), 0xA5);
  uint32_t n = dm_fill_partition_table(b.data(), sectors, 8, 17, c.read_only);
  EXPECT_EQ(b.size(), 480u);
  ASSERT_EQ(n, 1u);
  expect_header(b, 1, "kelmo-usb", c.flags);
  std::vector<Target> t = records(b, n);
  EXPECT_EQ(t[0].sector_start, 0u);
  EXPECT_EQ(t[0].length, sectors) << "not cut, not rounded";
  EXPECT_EQ(t[0].params, "8:17 0") << "from the partition's own first sector";
  EXPECT_EQ(t[0].next, 48u);
  for (size_t i = 312 + 48; i < b.size(); ++i) EXPECT_EQ(b[i], 0) << i;
}

INSTANTIATE_TEST_SUITE_P(Access, DmPartitionTable,
                         ::testing::Values(PartitionCase{"ro", true, 1}, PartitionCase{"rw", false, 0}),
                         [](const ::testing::TestParamInfo<PartitionCase>& info) { return info.param.name; });

TEST(DmPartitionTableSize, LargestAndEmptyPartitions) {
  std::vector<uint8_t> b(dm_buffer_size(1), 0xA5);
  // A partition of 2^64 - 512 bytes: every sector mapped.
  uint64_t top = UINT64_MAX / 512;
  ASSERT_EQ(dm_fill_partition_table(b.data(), top, 259, 1048575, false), 1u);
  std::vector<Target> t = records(b, 1);
  EXPECT_EQ(t[0].length, top);
  EXPECT_EQ(t[0].params, "259:1048575 0");
  expect_header(b, 1, "kelmo-usb", 0);

  std::vector<uint8_t> e(dm_buffer_size(1), 0xA5);
  EXPECT_EQ(dm_fill_partition_table(e.data(), 0, 8, 17, true), 0u);
  expect_header(e, 0, "kelmo-usb", 1);
}

// Any device: the header carries the name given, cut to the request's
// 127 bytes, and the read-only flag only when asked for; the targets are
// the same whatever the name.
TEST(DmTableDevice, NameAndAccessAsGiven) {
  struct Case {
    std::string name;
    bool read_only;
    uint32_t flags;
    std::string stored;
  };
  const Case cases[] = {
      {"kelmo-iso", true, 1, "kelmo-iso"},
      {"kelmo-other", false, 0, "kelmo-other"},
      {std::string(127, 'n'), true, 1, std::string(127, 'n')},
      {std::string(200, 'm'), false, 0, std::string(127, 'm')},
  };
  std::vector<Extent> runs = {{2112, 24}, {4000, 8}};
  for (const Case& c : cases) {
    std::vector<uint8_t> b(dm_buffer_size(2), 0xA5);
    ASSERT_EQ(dm_fill_table(b.data(), c.name.c_str(), c.read_only, 2, runs.data(), 32 * 512, 512, 8, 17), 2u);
    expect_header(b, 2, c.stored, c.flags);
    std::vector<Target> t = records(b, 2);
    EXPECT_EQ(t[0].params, "8:17 2112");
    EXPECT_EQ(t[1].sector_start, 24u);
    EXPECT_EQ(t[1].length, 8u);
  }
}

// A persistence file is made writable only when it shares no sector with
// the ISO: every run of one list against every run of the other, both ways.
struct OverlapCase {
  const char* name;
  std::vector<Extent> a, b;
  bool overlap;
  friend std::ostream& operator<<(std::ostream& os, const OverlapCase& c) { return os << c.name; }
};

class RunsOverlap : public ::testing::TestWithParam<OverlapCase> {};

TEST_P(RunsOverlap, SharedSectorsFoundEitherWay) {
  const OverlapCase& c = GetParam();
  EXPECT_EQ(runs_overlap(c.a.data(), int32_t(c.a.size()), c.b.data(), int32_t(c.b.size())), c.overlap);
  EXPECT_EQ(runs_overlap(c.b.data(), int32_t(c.b.size()), c.a.data(), int32_t(c.a.size())), c.overlap);
}

constexpr uint64_t kTop = UINT64_MAX;

INSTANTIATE_TEST_SUITE_P(
    Cases, RunsOverlap,
    ::testing::Values(
        OverlapCase{"NoRuns", {}, {}, false},
        OverlapCase{"OneListEmpty", {{100, 8}}, {}, false},
        OverlapCase{"FarApart", {{2112, 64}}, {{9000, 64}}, false},
        OverlapCase{"EndsWhereTheOtherBegins", {{100, 8}}, {{108, 8}}, false},
        OverlapCase{"OneSectorShared", {{100, 9}}, {{108, 8}}, true},
        OverlapCase{"SameStart", {{100, 1}}, {{100, 64}}, true},
        OverlapCase{"Inside", {{100, 64}}, {{130, 2}}, true},
        OverlapCase{"SameRun", {{2112, 24}}, {{2112, 24}}, true},
        OverlapCase{"EmptyRunInside", {{100, 64}}, {{130, 0}}, false},
        // Interleaved files: each run of one lies between two of the other.
        OverlapCase{"Interleaved", {{0, 8}, {100, 8}, {200, 8}}, {{50, 8}, {150, 8}, {208, 8}}, false},
        // Only the last run of one meets only the first of the other.
        OverlapCase{"LastMeetsFirst", {{0, 8}, {100, 8}, {200, 8}}, {{207, 1}, {150, 8}, {50, 8}}, true},
        OverlapCase{"MiddlePair", {{0, 8}, {100, 8}, {200, 8}}, {{50, 8}, {104, 1}, {300, 8}}, true},
        // Runs at the top of the sector numbers: no end wraps to a small one.
        OverlapCase{"AtTheTop", {{kTop - 8, 8}}, {{kTop - 1, 1}}, true},
        OverlapCase{"AtTheTopAndTheBottom", {{kTop - 8, 8}}, {{0, 8}}, false},
        OverlapCase{"EndPastTheTop", {{kTop - 7, 16}}, {{kTop - 3, 1}}, true},
        OverlapCase{"EndPastTheTopIsNotTheBottom", {{kTop - 7, 16}}, {{2, 8}}, false}),
    [](const auto& info) { return info.param.name; });

}  // namespace
