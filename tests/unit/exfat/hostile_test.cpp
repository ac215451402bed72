// SPDX-License-Identifier: MIT
// Corrupt and hostile volumes: each ends in a failure or a run list that
// stays inside the volume, never in a crash or an endless walk.

#include <gtest/gtest.h>

#include "exfat/dir.h"
#include "exfat/format.h"
#include "exfat/volume.h"
#include "exfat/volume_builder.h"
#include "exfat/volume_fixture.h"

namespace {

ExtentTable table;

// 4 KiB clusters, root directory in cluster 4 alone.
class Hostile : public VolumeFixture {
 protected:
  void SetUp() override { v.chain({4}); }
};

TEST_F(Hostile, ClusterShift16LengthThatWrapsWhenRoundedHasNoRuns) {
  VolumeBuilder big(0, 64, 8, 24);
  big.boot()[109] = 16;
  ASSERT_EQ(big.open(), 0);
  for (uint64_t length : {UINT64_MAX, UINT64_MAX - 33554430}) {
    EXPECT_EQ(chain_to_extents(2, length, 0, table), 0);
    EXPECT_EQ(table.count, 0);
  }
  // One byte less and the sum no longer wraps: far more clusters than exist.
  EXPECT_EQ(chain_to_extents(2, UINT64_MAX - 33554431, 1, table), -1);
  EXPECT_EQ(chain_to_extents(2, UINT64_MAX - 33554431, 0, table), -1);
}

TEST_F(Hostile, SecondaryCount255SwallowsTheFollowingSetsUntilTheNextFile) {
  std::vector<Entry> root = {file_entry(255)};
  append(root, entry_set(u"a", 10, 1, true));  // its File entry starts a set afresh
  v.write_dir({4}, root);
  ASSERT_EQ(v.open(), 0);
  EXPECT_EQ(resolve("a"), 0);
  close_volume();

  std::vector<Entry> swallowed = {file_entry(255), stream_entry(1, 10, 1, true), name_entry(u"a"),
                                  name_entry(u"b")};
  v.write_dir({4}, swallowed);
  ASSERT_EQ(v.open(), 0);
  EXPECT_EQ(resolve("a"), -1);
}

TEST_F(Hostile, EntrySetCutByTheEndOfTheDirectory) {
  // The root's only cluster ends inside the set: its name entry is never read.
  std::vector<Entry> root;
  for (int i = 0; i < 126; ++i) root.push_back(raw_entry(0x83));
  append(root, entry_set(u"cut.iso", 10, 1, true));  // File and Stream fit, the name does not
  root.resize(128);
  v.write_dir({4}, root);
  v.write_dir({5}, {name_entry(u"cut.iso")});  // the next cluster on disk is not part of the root
  ASSERT_EQ(v.open(), 0);
  EXPECT_EQ(resolve("cut.iso"), -1);
}

TEST_F(Hostile, TruncatedImageFailsWhereItsReadsFallPastTheEnd) {
  v.write_dir({4}, entry_set(u"isos", 20, 4096, false, true));
  v.chain({20});
  v.write_dir({20}, entry_set(u"live.iso", 30, 3 * 4096, false));
  v.chain({30, 31, 32});
  v.image.resize(v.cluster_offset(10));  // cut before the directory at cluster 20
  ASSERT_EQ(v.open(), 0);
  EXPECT_EQ(resolve("isos/live.iso"), -1);
  EXPECT_STREQ(missing, "live.iso");
  close_volume();

  v.image.resize(fat_entry_position(128, 10));  // cut inside the FAT
  ASSERT_EQ(v.open(), 0);
  EXPECT_EQ(resolve("isos"), -1);  // the root's data lies past the end
}

TEST_F(Hostile, FatEntryCutByTheEndOfTheImageEndsTheChain) {
  // Root chain 4 -> 12 -> 13. The image ends two bytes into the FAT entry of
  // 12, whose bytes there (0x0D 0x00) begin the link to 13: read in part, or
  // from a window padded past the end, it would lead on to cluster 13.
  v.chain({4, 12, 13});
  ASSERT_EQ(v.open(), 0);
  EXPECT_EQ(root_cluster_count(), 3u);
  close_volume();
  v.image.resize(fat_entry_position(128, 12) + 2);
  ASSERT_EQ(v.open(), 0);
  EXPECT_EQ(fat_next(4), 12u);
  EXPECT_EQ(fat_next(12), kFatEndOfChain);
  EXPECT_EQ(root_cluster_count(), 2u);
}

TEST_F(Hostile, BootSectorBeyondTheEndAtALargeOffset) {
  for (uint64_t offset : {uint64_t(1) << 40, UINT64_MAX - 100, uint64_t(INT64_MAX)}) {
    EXPECT_EQ(v.open(nullptr, offset), -1) << offset;
    EXPECT_EQ(g_volume.device, -1);
  }
}

TEST_F(Hostile, DirectoryOverALoopIsNotSearched) {
  // A directory of 3 clusters whose chain runs 20 -> 21 -> 20: its first
  // cluster would be read twice. The name sits there, yet the lookup fails.
  v.write_dir({4}, entry_set(u"loop", 20, 3 * 4096, false, true));
  v.set_fat(20, 21);
  v.set_fat(21, 20);
  v.write_dir({20}, entry_set(u"x", 30, 1, true));
  ASSERT_EQ(v.open(), 0);
  EXPECT_EQ(resolve("loop/x"), -1);
  EXPECT_STREQ(missing, "x");
}

TEST_F(Hostile, DirectoryOverALongRingEndsAfterAFewTurns) {
  // A directory of 1 GiB over the ring 20 -> 21 -> ... -> 60 -> 20, adjacent
  // on disk: one new run per turn, so the run cap alone would let the walk go
  // 4096 times round (some 168000 FAT entries). What the walk built before
  // it stopped is left in the directory table: a few turns at most.
  v.write_dir({4}, entry_set(u"ring", 20, uint64_t(1) << 30, false, true));
  std::vector<uint32_t> ring;
  for (uint32_t c = 20; c <= 60; ++c) ring.push_back(c);
  v.chain(ring);
  v.set_fat(60, 20);
  v.write_dir({20}, entry_set(u"x", 30, 1, true));
  ASSERT_EQ(v.open(), 0);
  EXPECT_EQ(resolve("ring/x"), -1);
  uint64_t sectors = 0;
  const ExtentTable& walked = last_directory_runs();
  for (int32_t i = 0; i < walked.count; ++i) sectors += walked.runs[i].count;
  EXPECT_LE(sectors / 8, 3u * 41);
}

TEST_F(Hostile, ContiguousFileReachingPastTheHeapIsRefused) {
  // A stream entry claiming far more than the heap holds, and one starting in
  // the reserved clusters: neither may become a run.
  std::vector<Entry> root = entry_set(u"huge.iso", 10, uint64_t(1) << 40, true);
  append(root, entry_set(u"zero.iso", 0, 4096, true));
  v.write_dir({4}, root);
  ASSERT_EQ(v.open(), 0);
  ASSERT_EQ(resolve("huge.iso"), 0);
  EXPECT_EQ(chain_to_extents(found.first_cluster, found.data_length, found.contiguous, table), -1);
  ASSERT_EQ(resolve("zero.iso"), 0);
  EXPECT_EQ(chain_to_extents(found.first_cluster, found.data_length, found.contiguous, table), -1);
}

}  // namespace
