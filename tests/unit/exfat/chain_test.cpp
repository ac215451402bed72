#include <gtest/gtest.h>

#include <vector>

#include "exfat/chain.h"
#include "exfat/volume.h"
#include "exfat/volume_builder.h"

static ExtentTable table;

static std::vector<std::pair<uint64_t, uint64_t>> runs() {
  std::vector<std::pair<uint64_t, uint64_t>> out;
  for (int32_t i = 0; i < table.count; ++i) out.push_back({table.runs[i].start, table.runs[i].count});
  return out;
}

using Runs = std::vector<std::pair<uint64_t, uint64_t>>;

class ChainTest : public ::testing::Test {
 protected:
  // 4 KiB clusters, heap at sector 2048: cluster c starts at 2048 + (c - 2) * 8.
  VolumeBuilder v{3, 2048, 64, 128};
  void TearDown() override { close_volume(); }
};

TEST_F(ChainTest, LengthZeroHasNoRunsWhateverTheFirstCluster) {
  ASSERT_EQ(v.open(), 0);
  for (uint32_t first : {0u, 1u, 10u, 0xFFFFFFFFu}) {
    for (int contiguous : {0, 1}) {
      table.count = 99;
      EXPECT_EQ(chain_to_extents(first, 0, contiguous, table), 0);
      EXPECT_EQ(table.count, 0);
    }
  }
}

TEST_F(ChainTest, LengthThatWrapsWhenRoundedHasNoRuns) {
  ASSERT_EQ(v.open(), 0);
  EXPECT_EQ(chain_to_extents(10, UINT64_MAX, 0, table), 0);
  EXPECT_EQ(table.count, 0);
  EXPECT_EQ(chain_to_extents(10, UINT64_MAX - 4094, 1, table), 0);
  EXPECT_EQ(table.count, 0);
}

TEST_F(ChainTest, ContiguousFileIsOneRunOfWholeClusters) {
  v.set_fat(10, 0);  // the FAT is not read for a contiguous file
  ASSERT_EQ(v.open(), 0);
  ASSERT_EQ(chain_to_extents(10, 10000, 1, table), 0);
  EXPECT_EQ(runs(), (Runs{{2112, 24}}));
}

TEST_F(ChainTest, ChainedRunsMergeOnlyWhenAdjacentOnDisk) {
  v.chain({10, 11, 12, 20});
  ASSERT_EQ(v.open(), 0);
  ASSERT_EQ(chain_to_extents(10, 16384, 0, table), 0);
  EXPECT_EQ(runs(), (Runs{{2112, 24}, {2192, 8}}));
}

TEST_F(ChainTest, ChainGoingBackStartsNewRun) {
  v.chain({20, 21, 10, 11});
  ASSERT_EQ(v.open(), 0);
  ASSERT_EQ(chain_to_extents(20, 4 * 4096, 0, table), 0);
  EXPECT_EQ(runs(), (Runs{{2192, 16}, {2112, 16}}));
}

TEST_F(ChainTest, ClustersBeyondTheLengthAreNotFollowed) {
  v.chain({10, 11});
  v.set_fat(11, 0);  // the entry after the last needed cluster is junk
  ASSERT_EQ(v.open(), 0);
  ASSERT_EQ(chain_to_extents(10, 8192, 0, table), 0);
  EXPECT_EQ(runs(), (Runs{{2112, 16}}));
}

TEST_F(ChainTest, ChainEndingEarlyFails) {
  v.chain({10, 11});
  ASSERT_EQ(v.open(), 0);
  EXPECT_EQ(chain_to_extents(10, 3 * 4096, 0, table), -1);
}

// Every invalid next value breaks the chain: free, reserved, bad, end, and
// one past the last cluster (count 64 means clusters 2..65).
TEST_F(ChainTest, ChainThroughAnInvalidClusterFails) {
  for (uint32_t bad : {0u, 1u, 66u, 0xFFFFFFF7u, 0xFFFFFFFFu}) {
    v.set_fat(10, bad);
    ASSERT_EQ(v.open(), 0);
    EXPECT_EQ(chain_to_extents(10, 2 * 4096, 0, table), -1) << bad;
    EXPECT_EQ(chain_to_extents(bad, 4096, 0, table), -1) << bad;
    close_volume();
  }
  v.set_fat(10, 65);
  v.set_fat(65, 0xFFFFFFFF);
  ASSERT_EQ(v.open(), 0);
  ASSERT_EQ(chain_to_extents(10, 2 * 4096, 0, table), 0);
  EXPECT_EQ(runs(), (Runs{{2112, 8}, {2048 + 63 * 8, 8}}));
}

// A looping FAT would map the same clusters twice as if they were more of
// the file; it is refused however short the loop and however long the file.
TEST_F(ChainTest, LoopingChainFails) {
  v.chain({10, 11});
  v.set_fat(11, 10);
  ASSERT_EQ(v.open(), 0);
  EXPECT_EQ(chain_to_extents(10, 3 * 4096, 0, table), -1);
  close_volume();
  v.set_fat(12, 12);
  ASSERT_EQ(v.open(), 0);
  EXPECT_EQ(chain_to_extents(12, 2 * 4096, 0, table), -1);
  EXPECT_EQ(chain_to_extents(12, 4096, 0, table), 0);  // one cluster never reaches the loop
}

TEST(ChainLoop, LongLoopInLargeFatIsCaughtEarly) {
  // 60000 one-sector clusters in one ring: followed to the 4097th run the
  // loop would take some 245 million reads; it ends after a few turns.
  VolumeBuilder v(0, 512, 60000, 16);
  std::vector<uint32_t> ring;
  for (uint32_t c = 2; c < 60002; ++c) ring.push_back(c);
  v.chain(ring);
  v.set_fat(60001, 2);
  ASSERT_EQ(v.open(), 0);
  EXPECT_EQ(chain_to_extents(2, UINT64_MAX / 2, 0, table), -1);
  close_volume();
}

TEST(ChainRuns, At4096RunsTheTableIsFullAndOneMoreFails) {
  // 512-byte clusters alternating between two distant areas: every cluster
  // is a run of its own.
  VolumeBuilder v(0, 128, 12000, 8);
  std::vector<uint32_t> order;
  for (uint32_t i = 0; i < 5000; ++i) {
    order.push_back(2 + i);
    order.push_back(6002 + i);
  }
  v.chain(order);
  ASSERT_EQ(v.open(), 0);
  ASSERT_EQ(chain_to_extents(2, 4096 * 512, 0, table), 0);
  EXPECT_EQ(table.count, 4096);
  EXPECT_EQ(table.runs[4095].start, 128u + 6000 + 2047);
  EXPECT_EQ(chain_to_extents(2, 4097 * 512, 0, table), -1);
  EXPECT_EQ(table.count, 4096);
  EXPECT_EQ(chain_to_extents(2, 10000 * 512, 0, table), -1);
  close_volume();
}

// A contiguous run must lie inside the cluster heap: otherwise it would
// map sectors that hold no part of the file, or lie past the volume.
TEST_F(ChainTest, ContiguousRunOutsideTheHeapFails) {
  ASSERT_EQ(v.open(), 0);
  struct Case {
    uint32_t first;
    uint64_t length;
    int result;
  };
  for (Case c : {Case{0, 1, -1}, Case{1, 4096, -1}, Case{66, 1, -1}, Case{0xFFFFFFFF, 1, -1},
                 Case{60, 6 * 4096, 0}, Case{60, 6 * 4096 + 1, -1}, Case{2, 64 * 4096, 0},
                 Case{2, uint64_t(1) << 62, -1}}) {
    EXPECT_EQ(chain_to_extents(c.first, c.length, 1, table), c.result) << c.first << " " << c.length;
  }
  ASSERT_EQ(chain_to_extents(60, 6 * 4096, 1, table), 0);
  EXPECT_EQ(runs(), (Runs{{2048 + 58 * 8, 48}}));
}

TEST_F(ChainTest, RootClusterCountFollowsTheFat) {
  v.set_root(5);
  v.chain({5, 6});
  ASSERT_EQ(v.open(), 0);
  EXPECT_EQ(root_cluster_count(), 2u);
}

TEST_F(ChainTest, RootChainThatLoopsStopsAt65536) {
  v.set_root(5);
  v.set_fat(5, 5);
  ASSERT_EQ(v.open(), 0);
  EXPECT_EQ(root_cluster_count(), 65536u);
}

TEST_F(ChainTest, RootOutsideTheHeapHasNoClusters) {
  v.set_root(0);
  ASSERT_EQ(v.open(), 0);
  EXPECT_EQ(root_cluster_count(), 0u);
}

TEST_F(ChainTest, FatNextOfUnreadableEntryIsEndOfChain) {
  v.set_fat(10, 11);
  ASSERT_EQ(v.open(), 0);
  EXPECT_EQ(fat_next(10), 11u);
  EXPECT_EQ(fat_next(0x7FFFFFFF), 0xFFFFFFFFu);  // far past the image
}

TEST(ChainBounds, ClusterCountNearTheTopMakesNoClusterValid) {
  // ClusterCount + 2 wraps: no cluster passes the validity test.
  VolumeBuilder v(3, 64, 8, 24);
  v.boot()[92] = v.boot()[93] = v.boot()[94] = v.boot()[95] = 0xFF;
  ASSERT_EQ(v.open(), 0);
  EXPECT_EQ(chain_to_extents(2, 4096, 0, table), -1);
  EXPECT_EQ(chain_to_extents(2, 4096, 1, table), -1);
  EXPECT_EQ(root_cluster_count(), 0u);
  close_volume();
}
