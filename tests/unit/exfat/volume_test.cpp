// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <algorithm>
#include <functional>
#include <ostream>

#include "exfat/volume.h"
#include "exfat/volume_builder.h"
#include "exfat/volume_fixture.h"

using VolumeTest = ClosesVolume;

TEST_F(VolumeTest, AcceptsExfatAndKeepsItsGeometry) {
  VolumeBuilder v(3, 2048, 64, 128);
  v.set_root(5);
  ASSERT_EQ(v.open(), 0);
  EXPECT_GE(g_volume.device, 0);
  EXPECT_EQ(g_volume.fat_offset, 128u);
  EXPECT_EQ(g_volume.heap_offset, 2048u);
  EXPECT_EQ(g_volume.cluster_count, 64u);
  EXPECT_EQ(g_volume.root_cluster, 5u);
  EXPECT_EQ(g_volume.cluster_shift, 3u);
  EXPECT_EQ(g_volume.cluster_size, 4096u);
}

struct Rejection {
  const char* name;
  std::function<void(VolumeBuilder&)> spoil;
  friend std::ostream& operator<<(std::ostream& os, const Rejection& c) { return os << c.name; }
};

class VolumeRejection : public ClosesVolume, public ::testing::WithParamInterface<Rejection> {};

TEST_P(VolumeRejection, IsRejectedAndClosed) {
  VolumeBuilder v(3, 64, 8, 24);
  GetParam().spoil(v);
  EXPECT_EQ(v.open(), -1);
  EXPECT_EQ(g_volume.device, -1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VolumeRejection,
    ::testing::Values(
        Rejection{"Fat32", [](VolumeBuilder& v) { memcpy(v.boot() + 3, "MSDOS5.0", 8); memcpy(v.boot() + 82, "FAT32   ", 8); }},
        Rejection{"NameLowerCase", [](VolumeBuilder& v) { memcpy(v.boot() + 3, "exfat   ", 8); }},
        Rejection{"NameLastByte", [](VolumeBuilder& v) { v.boot()[10] = 0; }},
        Rejection{"Ntfs", [](VolumeBuilder& v) { memcpy(v.boot() + 3, "NTFS    ", 8); }},
        Rejection{"SectorShift13", [](VolumeBuilder& v) { v.boot()[108] = 13; }},
        Rejection{"SectorShift8", [](VolumeBuilder& v) { v.boot()[108] = 8; }},
        Rejection{"SectorShift255", [](VolumeBuilder& v) { v.boot()[108] = 255; }},
        Rejection{"ClusterShift17", [](VolumeBuilder& v) { v.boot()[109] = 17; }},
        Rejection{"ShorterThanOneSector", [](VolumeBuilder& v) { v.image.resize(511); }},
        Rejection{"EmptyDevice", [](VolumeBuilder& v) { v.image.clear(); }}),
    [](const auto& info) { return info.param.name; });

TEST_F(VolumeTest, ClusterShift16IsAccepted) {
  VolumeBuilder v(0, 64, 8, 24);  // a small image; only the boot sector is read
  v.boot()[109] = 16;
  ASSERT_EQ(v.open(), 0);
  EXPECT_EQ(g_volume.cluster_size, 33554432u);
}

// BytesPerSectorShift 9 to 12, with clusters of at most 32 MiB (both shifts
// together at most 25). An accepted volume's offsets and cluster shift count
// 512-byte sectors, whatever its own sector size.
struct SectorCase {
  uint8_t sector_shift;
  uint8_t cluster_shift;
  bool accepted;
  friend std::ostream& operator<<(std::ostream& os, const SectorCase& c) {
    return os << "BytesPerSectorShift " << int(c.sector_shift) << ", SectorsPerClusterShift "
              << int(c.cluster_shift);
  }
};

class SectorShift : public ClosesVolume, public ::testing::WithParamInterface<SectorCase> {};

TEST_P(SectorShift, AcceptedWithinTheLimitsAndCountedIn512ByteSectors) {
  const SectorCase& c = GetParam();
  VolumeBuilder v(0, 64, 8, 24, 9);  // only the boot sector is read
  v.boot()[108] = c.sector_shift;
  v.boot()[109] = c.cluster_shift;
  ASSERT_EQ(v.open(), c.accepted ? 0 : -1);
  if (!c.accepted) {
    EXPECT_EQ(g_volume.device, -1);
    return;
  }
  uint32_t scale = c.sector_shift - 9;
  EXPECT_EQ(g_volume.fat_offset, uint64_t(24) << scale);
  EXPECT_EQ(g_volume.heap_offset, uint64_t(64) << scale);
  EXPECT_EQ(g_volume.cluster_shift, scale + c.cluster_shift);
  EXPECT_EQ(g_volume.cluster_size, uint32_t(1) << (c.sector_shift + c.cluster_shift));
  EXPECT_EQ(g_volume.cluster_count, 8u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SectorShift,
    ::testing::Values(SectorCase{9, 0, true}, SectorCase{9, 16, true}, SectorCase{9, 17, false},
                      SectorCase{10, 0, true}, SectorCase{10, 15, true}, SectorCase{10, 16, false},
                      SectorCase{11, 3, true}, SectorCase{11, 14, true}, SectorCase{11, 15, false},
                      SectorCase{12, 0, true}, SectorCase{12, 3, true}, SectorCase{12, 13, true},
                      SectorCase{12, 14, false}, SectorCase{12, 255, false}, SectorCase{13, 0, false},
                      SectorCase{13, 12, false}, SectorCase{8, 0, false}, SectorCase{8, 17, false},
                      SectorCase{0, 0, false}, SectorCase{255, 0, false}));

// A 4096-byte-sector heap offset near 2^32 sectors lies past 2^32 512-byte
// sectors: the offsets must not be cut to 32 bits.
TEST_F(VolumeTest, FourKSectorOffsetsPast32Bits) {
  VolumeBuilder v(0, 64, 8, 24, 12);
  uint8_t* b = v.boot();
  for (int i = 0; i < 4; ++i) b[80 + i] = b[88 + i] = 0xFF;
  b[91] = 0xF0;  // ClusterHeapOffset 0xF0FFFFFF
  ASSERT_EQ(v.open(), 0);
  EXPECT_EQ(g_volume.fat_offset, uint64_t(0xFFFFFFFF) * 8);
  EXPECT_EQ(g_volume.heap_offset, uint64_t(0xF0FFFFFF) * 8);
}

TEST_F(VolumeTest, MissingPathIsRejected) {
  EXPECT_EQ(volume_open("/nonexistent/kelmo-volume", nullptr, 0), -1);
  EXPECT_EQ(g_volume.device, -1);
}

TEST(SerialText, IsHighWordThenLowWordInUpperCaseHex) {
  char text[10];
  format_serial(0x1A2B3C4D, text);
  EXPECT_STREQ(text, "1A2B-3C4D");
  format_serial(0x00000001, text);
  EXPECT_STREQ(text, "0000-0001");
  format_serial(0xFFFFABCD, text);
  EXPECT_STREQ(text, "FFFF-ABCD");
}

struct SerialCase {
  const char* given;
  int result;
  friend std::ostream& operator<<(std::ostream& os, const SerialCase& c) {
    return os << '"' << c.given << "\" -> " << c.result;
  }
};

class SerialMatch : public ClosesVolume, public ::testing::WithParamInterface<SerialCase> {};

TEST_P(SerialMatch, ComparesWholeTextIgnoringAsciiCase) {
  VolumeBuilder v(3, 64, 8, 24);
  v.set_serial(0x1A2B3C4D);
  EXPECT_EQ(v.open(GetParam().given), GetParam().result) << GetParam().given;
  EXPECT_EQ(g_volume.device >= 0, GetParam().result == 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, SerialMatch,
                         ::testing::Values(SerialCase{"1A2B-3C4D", 0}, SerialCase{"1a2b-3c4d", 0},
                                           SerialCase{"1a2B-3C4d", 0}, SerialCase{"1A2B3C4D", -1},
                                           SerialCase{" 1A2B-3C4D", -1}, SerialCase{"1A2B-3C4D ", -1},
                                           SerialCase{"1A2B-3C4", -1}, SerialCase{"", -1},
                                           SerialCase{"3C4D-1A2B", -1}));

TEST_F(VolumeTest, FailedSerialLeavesEarlierGeometry) {
  VolumeBuilder first(3, 2048, 64, 128);
  ASSERT_EQ(first.open(), 0);
  close(g_volume.device);
  VolumeBuilder other(5, 64, 8, 24);
  other.set_serial(0x11112222);
  EXPECT_EQ(other.open("1A2B-3C4D"), -1);
  EXPECT_EQ(g_volume.heap_offset, 2048u);
  EXPECT_EQ(g_volume.cluster_size, 4096u);
}

TEST_F(VolumeTest, BaseOffsetAppliesToEveryRead) {
  VolumeBuilder v(3, 64, 8, 24);
  v.image.insert(v.image.begin(), size_t(1048576), uint8_t(0xEE));  // 1 MiB before the partition
  EXPECT_EQ(v.open(), -1);
  ASSERT_EQ(v.open(nullptr, 1048576), 0);
  EXPECT_EQ(g_volume.base_offset, 1048576u);
  uint8_t name[8];
  ASSERT_EQ(read_at(3, name, 8), 0);
  EXPECT_EQ(memcmp(name, "EXFAT   ", 8), 0);
  close_volume();
  // Each open takes its own offset: none lingers from the one before.
  ASSERT_EQ(v.open(nullptr, 1048576), 0);
  EXPECT_EQ(v.open(), -1);
}

TEST_F(VolumeTest, ReadAtFailsOnShortReadAndHugePosition) {
  VolumeBuilder v(3, 64, 8, 24);
  ASSERT_EQ(v.open(), 0);
  uint8_t buffer[32];
  uint64_t size = v.image.size();
  EXPECT_EQ(read_at(size - 32, buffer, 32), 0);
  EXPECT_EQ(read_at(size - 16, buffer, 32), -1);
  EXPECT_EQ(read_at(size, buffer, 1), -1);
  EXPECT_EQ(read_at(UINT64_MAX - 8, buffer, 4), -1);
  g_volume.base_offset = UINT64_MAX;  // the sum wraps to position - 1
  EXPECT_EQ(read_at(4, buffer, 8), 0);
  EXPECT_EQ(memcmp(buffer, "EXFAT   ", 8), 0);
}
