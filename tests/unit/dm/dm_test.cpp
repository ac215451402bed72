// The table-load request checked byte for byte, without a kernel.

#include "dm/dm.h"

#include <gtest/gtest.h>

#include <cstring>
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
std::vector<uint8_t> build(const std::vector<Extent>& runs, uint64_t data_length, uint32_t& targets) {
  std::vector<uint8_t> buffer(dm_buffer_size(int32_t(runs.size())), 0xA5);  // junk the fill must clear
  targets = dm_fill_table(buffer.data(), int32_t(runs.size()), runs.data(), data_length, 8, 17);
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
  // Texts of 8 to 42 characters: `next` = (k + 48) rounded down to 8.
  std::vector<Extent> runs = {{0, 1}, {1234567, 1}, {18446744073709551615ull, 1}, {99999999, 1}};
  uint32_t n;
  std::vector<uint8_t> b(dm_buffer_size(4), 0);
  n = dm_fill_table(b.data(), 4, runs.data(), 4 * 512, 4294967295u, 4294967295u);
  ASSERT_EQ(n, 4u);
  std::vector<Target> t = records(b, n);
  const char* expected[] = {"4294967295:4294967295 0", "4294967295:4294967295 1234567",
                            "4294967295:4294967295 18446744073709551615", "4294967295:4294967295 99999999"};
  size_t at = 312;
  for (uint32_t i = 0; i < n; ++i) {
    EXPECT_EQ(t[i].params, expected[i]);
    EXPECT_EQ(t[i].next, (strlen(expected[i]) + 48) & ~size_t(7));
    EXPECT_EQ(t[i].next % 8, 0u);
    EXPECT_EQ(t[i].sector_start, i);
    at += t[i].next;
  }
  EXPECT_LE(at, b.size());
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
