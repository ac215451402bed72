// Reads served through a window must equal the single positioned reads they
// replace, byte for byte and success for success, including at the end of
// a device whose size is not a whole number of windows.

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "exfat/chain.h"
#include "exfat/volume.h"
#include "exfat/volume_builder.h"

namespace {

uint32_t fat_direct(uint32_t c) {
  uint8_t b[4];
  if (read_at(uint64_t(g_volume.fat_offset) * 512 + uint64_t(c) * 4, b, 4) != 0) return 0xFFFFFFFF;
  return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

class WindowTest : public ::testing::TestWithParam<size_t> {
 protected:
  void TearDown() override { close_volume(); }
};

// Image sizes around window boundaries, cut inside sectors, entries and FAT entries.
TEST_P(WindowTest, EqualsTheExactReadsEverywhere) {
  VolumeBuilder v(0, 40, 1000, 8);  // FAT entries 0..1001 from byte 4096
  std::mt19937 random{uint32_t(GetParam())};
  for (size_t i = 512; i < v.image.size(); ++i) v.image[i] = uint8_t(random());
  v.image.resize(GetParam());
  ASSERT_EQ(v.open(), 0);
  const uint64_t size = GetParam();
  for (uint64_t position = 0; position < size + 200; position += 4) {
    uint8_t expected[32], got[32];
    int want = read_at(position, expected, 4);
    ASSERT_EQ(read_windowed(Window::directory, position, got, 4), want) << position;
    if (want == 0) ASSERT_EQ(memcmp(expected, got, 4), 0) << position;
    if (position % 32 == 0) {
      want = read_at(position, expected, 32);
      ASSERT_EQ(read_windowed(Window::directory, position, got, 32), want) << position;
      if (want == 0) ASSERT_EQ(memcmp(expected, got, 32), 0) << position;
    }
  }
  for (uint32_t c = 0; c < 70000; c += (c < 1100 ? 1 : 997)) ASSERT_EQ(fat_next(c), fat_direct(c)) << c;
}

INSTANTIATE_TEST_SUITE_P(Sizes, WindowTest,
                         ::testing::Values(512, 4096 + 2, 65536, 65536 + 31, 131072 - 3, 40 * 512 + 1000 * 512,
                                           200000, 262144 + 4));

TEST(Window, NeverOutlivesItsVolumeOrOffset) {
  VolumeBuilder a(3, 2048, 64, 128), b(3, 2048, 64, 128);
  a.set_fat(10, 11);
  b.set_fat(10, 22);
  ASSERT_EQ(a.open(), 0);
  EXPECT_EQ(fat_next(10), 11u);
  close_volume();
  ASSERT_EQ(b.open(), 0);  // same descriptor number, another volume
  EXPECT_EQ(fat_next(10), 22u);
  close_volume();
  // One image with a at 0 and b at 2 MiB: the same volume positions, read
  // from another base offset, must be read again.
  a.image.resize(size_t(2) << 20);
  a.image.insert(a.image.end(), b.image.begin(), b.image.end());
  ASSERT_EQ(a.open(), 0);
  EXPECT_EQ(fat_next(10), 11u);
  close_volume();
  g_volume.base_offset = uint64_t(2) << 20;
  ASSERT_EQ(a.open(), 0);
  EXPECT_EQ(fat_next(10), 22u);
  EXPECT_EQ(fat_next(10), fat_direct(10));
  close_volume();
}

TEST(Window, ReadsCrossingAWindowEdgeAreExact) {
  VolumeBuilder v(3, 2048, 64, 128);
  for (size_t i = 0; i < 70000; ++i) v.image[i + 512] = uint8_t(i * 7);
  ASSERT_EQ(v.open(), 0);
  uint8_t expected[64], got[64];
  ASSERT_EQ(read_at(65536 - 20, expected, 64), 0);
  ASSERT_EQ(read_windowed(Window::directory, 65536 - 20, got, 64), 0);
  EXPECT_EQ(memcmp(expected, got, 64), 0);
  close_volume();
}

}  // namespace
