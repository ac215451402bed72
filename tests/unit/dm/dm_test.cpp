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
  targets = dm_fill_table(buffer.data(), int32_t(runs.size()), runs.data(), data_length, block_size, 8, 17);
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

TEST(DmTable, OneRunCutToTheFileLength) {
  uint32_t n;
  std::vector<uint8_t> b = build({{2112, 24}}, 10000, n);
  EXPECT_EQ(b.size(), 104u + 376);
  ASSERT_EQ(n, 1u);
  expect_header(b, 1);
  std::vector<Target> t = records(b, n);
  EXPECT_EQ(t[0].sector_start, 0u);
  EXPECT_EQ(t[0].length, 20u);
  EXPECT_EQ(t[0].params, "8:17 2112");
  EXPECT_EQ(t[0].next, 56u);
}

TEST(DmTable, TwoRunsBackToBack) {
  uint32_t n;
  std::vector<uint8_t> b = build({{2112, 24}, {2192, 8}}, 16384, n);
  ASSERT_EQ(n, 2u);
  expect_header(b, 2);
  std::vector<Target> t = records(b, n);
  EXPECT_EQ(t[0].sector_start, 0u);
  EXPECT_EQ(t[0].length, 24u);
  EXPECT_EQ(t[0].params, "8:17 2112");
  EXPECT_EQ(t[1].sector_start, 24u);
  EXPECT_EQ(t[1].length, 8u);
  EXPECT_EQ(t[1].params, "8:17 2192");
  // Each record: 40 bytes, the text and its zero byte, padded to 8.
  EXPECT_EQ(t[0].next, 56u);
  EXPECT_EQ(t[1].next, 56u);
}

TEST(DmTable, NoRunsGivesAnEmptyTable) {
  uint32_t n;
  std::vector<uint8_t> b = build({}, 0, n);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(b.size(), 376u);
  expect_header(b, 0);
  for (size_t i = 312; i < b.size(); ++i) EXPECT_EQ(b[i], 0) << i;
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
    ASSERT_EQ(dm_fill_table(b.data(), 2, runs.data(), 2 * 512, 512, c.major, c.minor), 2u);
    std::vector<Target> t = records(b, 2);
    EXPECT_EQ(t[0].params, c.params);
    EXPECT_EQ(t[0].next, c.next) << c.params;
    // Zeros from the text's end to the next record, which follows at `next`.
    for (size_t i = 312 + 40 + strlen(c.params); i < 312 + c.next; ++i) EXPECT_EQ(b[i], 0) << c.params << " " << i;
    EXPECT_EQ(t[1].sector_start, 1u);
    EXPECT_EQ(t[1].params, std::to_string(c.major) + ":" + std::to_string(c.minor) + " 7");
  }
}

TEST(DmTable, StopsAtTheFileEndEvenWithRunsLeft) {
  // Whole-cluster runs reaching past the data: the device ends with the file.
  uint32_t n;
  std::vector<uint8_t> b = build({{100, 8}, {200, 8}, {300, 8}}, 8 * 512 + 1, n);
  ASSERT_EQ(n, 2u);
  std::vector<Target> t = records(b, n);
  EXPECT_EQ(t[1].sector_start, 8u);
  EXPECT_EQ(t[1].length, 1u);
  EXPECT_EQ(u32(b, 20), 2u);
}

TEST(DmTable, LengthNearTheTopDoesNotWrapToNothing) {
  uint32_t n;
  std::vector<uint8_t> b = build({{100, 8}}, UINT64_MAX, n);
  ASSERT_EQ(n, 1u);
  EXPECT_EQ(records(b, n)[0].length, 8u);
}

// The device's size for each logical block size of the partition: the file
// rounded up to whole blocks, never past the last run.
struct BlockCase {
  const char* name;
  std::vector<Extent> runs;
  uint64_t data_length;
  uint32_t block_size;
  std::vector<uint64_t> lengths;  // of the targets, in 512-byte sectors
  friend std::ostream& operator<<(std::ostream& os, const BlockCase& c) { return os << c.name; }
};

class DmBlocks : public ::testing::TestWithParam<BlockCase> {};

TEST_P(DmBlocks, DeviceIsWholeBlocks) {
  const BlockCase& c = GetParam();
  uint32_t n;
  std::vector<uint8_t> b = build(c.runs, c.data_length, n, c.block_size);
  ASSERT_EQ(n, c.lengths.size());
  expect_header(b, n);
  std::vector<Target> t = records(b, n);
  uint64_t position = 0;
  for (uint32_t i = 0; i < n; ++i) {
    EXPECT_EQ(t[i].sector_start, position) << i;
    EXPECT_EQ(t[i].length, c.lengths[i]) << i;
    EXPECT_EQ(t[i].params, "8:17 " + std::to_string(c.runs[i].start)) << i;
    position += t[i].length;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DmBlocks,
    ::testing::Values(
        // 32 KiB clusters (64 sectors): 10000 bytes are 20 sectors on a
        // 512-byte disk and 3 blocks of 4 KiB (24 sectors) on a 4K one.
        BlockCase{"Disk512", {{2112, 64}}, 10000, 512, {20}},
        BlockCase{"Disk4096", {{2112, 64}}, 10000, 4096, {24}},
        BlockCase{"Disk4096WholeBlock", {{2112, 64}}, 8192, 4096, {16}},
        BlockCase{"Disk4096OneByteOver", {{2112, 64}}, 8193, 4096, {24}},
        BlockCase{"Disk4096SecondRun", {{2112, 64}, {4000, 64}}, 64 * 512 + 1, 4096, {64, 8}},
        // 4 KiB clusters: the file's last block is its last cluster, whole.
        BlockCase{"Disk4096ClusterSized", {{800, 8}, {1600, 8}}, 8 * 512 + 100, 4096, {8, 8}},
        // The runs end first (a block larger than a cluster): nothing past them.
        BlockCase{"RunsEndFirst", {{800, 8}, {1600, 8}}, 8 * 512 + 100, 65536, {8, 8}},
        BlockCase{"Disk65536", {{800, 256}}, 100, 65536, {128}},
        // Sizes no disk reports count as 512.
        BlockCase{"Zero", {{2112, 64}}, 10000, 0, {20}},
        BlockCase{"Under512", {{2112, 64}}, 10000, 256, {20}},
        BlockCase{"NotAPowerOfTwo", {{2112, 64}}, 10000, 3072, {20}},
        // A length near 2^64 rounds up without wrapping.
        BlockCase{"HugeLength", {{100, 8}}, UINT64_MAX, 4096, {8}},
        BlockCase{"HugeBlock", {{100, 8}}, UINT64_MAX, 2147483648u, {8}}),
    [](const auto& info) { return info.param.name; });

// kelmo-usb: the whole partition as one target, read-only only for ro.
struct PartitionCase {
  const char* name;
  bool read_only;
  uint32_t flags;
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

}  // namespace
