// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "exfat/chain.h"
#include "exfat/format.h"
#include "exfat/volume.h"
#include "exfat/window.h"
#include "exfat/volume_builder.h"
#include "exfat/volume_fixture.h"

static ExtentTable table;

static std::vector<std::pair<uint64_t, uint64_t>> runs() {
  std::vector<std::pair<uint64_t, uint64_t>> out;
  for (int32_t i = 0; i < table.count; ++i) out.push_back({table.runs[i].start, table.runs[i].count});
  return out;
}

using Runs = std::vector<std::pair<uint64_t, uint64_t>>;

// 4 KiB clusters, heap at sector 2048: cluster c starts at 2048 + (c - 2) * 8.
using ChainTest = VolumeFixture;
// Tests that build volumes of their own shape.
using ChainLoop = ClosesVolume;
using ChainBounds = ClosesVolume;
using ChainRandom = ClosesVolume;

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
  for (uint32_t bad : {0u, 1u, 66u, kFatBadCluster, kFatEndOfChain}) {
    v.set_fat(10, bad);
    ASSERT_EQ(v.open(), 0);
    EXPECT_EQ(chain_to_extents(10, 2 * 4096, 0, table), -1) << bad;
    EXPECT_EQ(chain_to_extents(bad, 4096, 0, table), -1) << bad;
    close_volume();
  }
  v.set_fat(10, 65);
  v.set_fat(65, kFatEndOfChain);
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

// Clusters the walk has put into the table: one FAT read each.
static uint64_t clusters_in_table(uint32_t cluster_shift) {
  uint64_t sectors = 0;
  for (int32_t i = 0; i < table.count; ++i) sectors += table.runs[i].count;
  return sectors >> cluster_shift;
}

TEST_F(ChainLoop, LongRingFailsAfterAFewTurns) {
  // 60000 one-sector clusters after a lead-in of 1000, adjacent on disk, so
  // each turn makes only one new run: followed to the 4097th run the walk
  // would read some 245 million FAT entries. ClusterCount is raised past the
  // image so that the file's length in clusters does not give it away.
  constexpr uint32_t kLead = 1000, kRing = 60000;
  VolumeBuilder v(0, 512, kLead + kRing, 16);
  std::vector<uint32_t> order;
  for (uint32_t c = 2; c < 2 + kLead + kRing; ++c) order.push_back(c);
  v.chain(order);
  v.set_fat(order.back(), 2 + kLead);
  uint32_t huge = 0xFFFFFFF5;
  memcpy(v.boot() + 92, &huge, 4);
  ASSERT_EQ(v.open(), 0);
  for (uint64_t length : {uint64_t(UINT64_MAX / 2), uint64_t(kLead + 3 * kRing) * 512}) {
    uint64_t reads = device_reads();
    EXPECT_EQ(chain_to_extents(2, length, 0, table), -1);
    reads = device_reads() - reads;
    // The FAT is read through a window that starts small after a jump and
    // doubles as the walk moves on: a turn of the ring costs at most this
    // many reads, and the walk ends within 3 turns.
    uint64_t per_turn = uint64_t(kRing) * kFatEntrySize / kFatWindowSize + std::bit_width(kFatWindowSize / kFirstFill) + 2;
    EXPECT_GT(reads, 0u) << "reads are not being counted";
    EXPECT_LE(reads, 3 * per_turn + 2) << length;
    EXPECT_LE(clusters_in_table(0), kLead + 3 * kRing) << length;
  }
}

// Files of 4096 one-cluster runs, in order on disk or alternating between two
// areas, whose last cluster is one met before: the table is full, every run
// but one is new, and still nothing is mapped.
TEST_F(ChainLoop, FileOf4096RunsWhoseLastClusterRepeatsAnEarlierOne) {
  std::vector<uint32_t> in_order, alternating;
  for (uint32_t i = 0; i < 4096; ++i) in_order.push_back(2 + 2 * i);
  for (uint32_t i = 0; i < 2048; ++i) {
    alternating.push_back(2 + i);
    alternating.push_back(9002 + i);
  }
  for (const std::vector<uint32_t>& order : {in_order, alternating}) {
    VolumeBuilder v(0, 128, 12000, 8);
    v.chain(order);
    ASSERT_EQ(v.open(), 0);
    ASSERT_EQ(chain_to_extents(order[0], 4096 * 512, 0, table), 0);
    EXPECT_EQ(table.count, 4096);
    close_volume();
    for (uint32_t again : {order[0], order[100], order[4093]}) {
      v.set_fat(order[4094], again);
      ASSERT_EQ(v.open(), 0);
      EXPECT_EQ(chain_to_extents(order[0], 4096 * 512, 0, table), -1) << again;
      EXPECT_EQ(chain_to_extents(order[0], 4095 * 512, 0, table), 0) << again;
      close_volume();
    }
  }
}

// ClusterCount 0xFFFFFFF5 is the format's largest: clusters 2 .. 0xFFFFFFF6,
// so the bad-cluster mark 0xFFFFFFF7 and the end mark stay invalid. A larger
// count would make them clusters and wrap cluster_count + 2: refused.
TEST_F(ChainBounds, ClusterCountAboveTheFormatsLimitIsRefused) {
  for (uint32_t count : {0xFFFFFFF6u, 0xFFFFFFF7u, 0xFFFFFFFDu, 0xFFFFFFFEu, 0xFFFFFFFFu}) {
    VolumeBuilder v(3, 64, 8, 24);
    memcpy(v.boot() + 92, &count, 4);
    EXPECT_EQ(v.open(), -1) << count;
    EXPECT_EQ(g_volume.device, -1);
  }
  VolumeBuilder v(3, 64, 8, 24);
  uint32_t count = 0xFFFFFFF5;
  memcpy(v.boot() + 92, &count, 4);
  v.set_fat(2, 0xFFFFFFF6);  // the last cluster the format allows
  v.set_fat(3, kFatBadCluster);
  ASSERT_EQ(v.open(), 0);
  EXPECT_EQ(g_volume.cluster_count, 0xFFFFFFF5u);
  // Cluster 0xFFFFFFF6 is valid; its FAT entry lies far past the image.
  ASSERT_EQ(chain_to_extents(2, 2 * 4096, 0, table), 0);
  EXPECT_EQ(runs(), (Runs{{64, 8}, {64 + (uint64_t(0xFFFFFFF4) << 3), 8}}));
  EXPECT_EQ(chain_to_extents(2, 3 * 4096, 0, table), -1);
  EXPECT_EQ(chain_to_extents(3, 2 * 4096, 0, table), -1);
  EXPECT_EQ(chain_to_extents(kFatBadCluster, 4096, 0, table), -1);
}

// Chains that meet a cluster again: a lead-in of `lead` clusters, then a ring
// of `ring` clusters that closes on its first. The first repeat is the
// (lead + ring + 1)th cluster of the walk. A file that ends before it maps
// exactly its clusters; a file that reaches it fails, whatever the shape.
enum class Layout { kAdjacent, kScattered };
enum class End { kTwoBefore, kJustBefore, kAtTheRepeat, kOneAfter, kTurnLater, kHuge };

struct Shape {
  uint32_t lead, ring;
  Layout layout;
  End end;
};

static const char* const kEndNames[] = {"TwoBefore", "JustBefore", "AtTheRepeat", "OneAfter", "TurnLater", "Huge"};

static std::string shape_text(const Shape& s) {
  return "Lead" + std::to_string(s.lead) + "Ring" + std::to_string(s.ring) +
         (s.layout == Layout::kAdjacent ? "Adjacent" : "Scattered") + kEndNames[int(s.end)];
}

static std::ostream& operator<<(std::ostream& os, const Shape& s) { return os << shape_text(s); }

// 4 KiB clusters, heap at sector 2048: cluster c starts at 2048 + (c - 2) * 8.
class ChainShape : public VolumeFixture, public ::testing::WithParamInterface<Shape> {};

// Clusters in the order the chain takes them the first time round.
static std::vector<uint32_t> shape_clusters(const Shape& s) {
  static const uint32_t scattered[] = {40, 12, 55, 20, 33, 8, 61, 27, 15, 47};
  std::vector<uint32_t> out;
  for (uint32_t k = 0; k < s.lead + s.ring; ++k) out.push_back(s.layout == Layout::kAdjacent ? 10 + k : scattered[k]);
  return out;
}

TEST_P(ChainShape, MapsOnlyWhatEndsBeforeTheFirstRepeat) {
  const Shape s = GetParam();
  std::vector<uint32_t> first_round = shape_clusters(s);
  for (size_t k = 0; k + 1 < first_round.size(); ++k) v.set_fat(first_round[k], first_round[k + 1]);
  v.set_fat(first_round.back(), first_round[s.lead]);  // the ring closes

  const uint64_t before = s.lead + s.ring;  // clusters up to the first repeat
  uint64_t clusters = 0;
  switch (s.end) {
    case End::kTwoBefore: clusters = before - 1; break;
    case End::kJustBefore: clusters = before; break;
    case End::kAtTheRepeat: clusters = before + 1; break;
    case End::kOneAfter: clusters = before + 2; break;
    case End::kTurnLater: clusters = before + s.ring + 1; break;
    case End::kHuge: clusters = uint64_t(1) << 40; break;
  }
  ASSERT_EQ(v.open(), 0);
  // One byte into the last cluster: the length is rounded up to it.
  uint64_t length = clusters == 0 ? 0 : (clusters - 1) * 4096 + 1;
  int result = chain_to_extents(first_round[0], length, 0, table);
  if (clusters > before) {
    EXPECT_EQ(result, -1) << clusters << " clusters";
    return;
  }
  ASSERT_EQ(result, 0) << clusters << " clusters";
  // The runs, read back cluster by cluster, are the file's clusters in order.
  std::vector<uint32_t> mapped;
  for (auto [start, count] : runs()) {
    ASSERT_EQ((start - 2048) % 8, 0u);
    ASSERT_EQ(count % 8, 0u);
    for (uint64_t sector = start; sector < start + count; sector += 8) mapped.push_back(uint32_t((sector - 2048) / 8 + 2));
  }
  EXPECT_EQ(mapped, std::vector<uint32_t>(first_round.begin(), first_round.begin() + clusters));
}

static std::vector<Shape> all_shapes() {
  std::vector<Shape> out;
  for (uint32_t lead : {0u, 1u, 3u})
    for (uint32_t ring : {1u, 2u, 3u, 7u})
      for (Layout layout : {Layout::kAdjacent, Layout::kScattered})
        for (End end : {End::kTwoBefore, End::kJustBefore, End::kAtTheRepeat, End::kOneAfter, End::kTurnLater,
                        End::kHuge})
          out.push_back({lead, ring, layout, end});
  return out;
}

static std::string shape_name(const ::testing::TestParamInfo<Shape>& info) { return shape_text(info.param); }

INSTANTIATE_TEST_SUITE_P(Loops, ChainShape, ::testing::ValuesIn(all_shapes()), shape_name);

// The FAT of a 4096-run file corrupted at random, checked against a plain
// model of the chain: the clusters taken in order, and a set of those seen.
// A chain that stays valid and meets no cluster twice within the file maps
// to exactly its clusters; any other fails.
TEST_F(ChainRandom, CorruptedFatOfA4096RunFileMapsOnlyExactChains) {
  constexpr uint32_t kClusters = 4096;
  VolumeBuilder v(0, 128, 12000, 8);
  std::vector<uint32_t> order;
  for (uint32_t i = 0; i < kClusters / 2; ++i) {
    order.push_back(2 + i);
    order.push_back(6002 + i);
  }
  v.chain(order);
  // The clusters outside the file form one more chain, so that a corrupted
  // link may lead on through them as well as end or loop.
  std::vector<uint32_t> rest;
  for (uint32_t c = 2050; c < 6002; ++c) rest.push_back(c);
  for (uint32_t c = 8050; c < 12002; ++c) rest.push_back(c);
  v.chain(rest);
  v.image.resize(fat_entry_position(8, 12002));  // the walk reads the FAT only
  const std::vector<uint8_t> clean = v.image;
  auto fat = [&](uint32_t c) { return le32(v.image.data() + fat_entry_position(8, c)); };
  std::mt19937 random(20261210);
  int mapped = 0, refused = 0;
  for (int round = 0; round < 300; ++round) {
    v.image = clean;
    for (int k = 1 + int(random() % 3); k > 0; --k) {
      uint32_t at = order[random() % kClusters];
      uint32_t pick = random() % 4;
      uint32_t value = pick == 0 ? order[random() % kClusters]  // into the file: often a loop
                       : pick == 1 ? 2 + random() % 12000       // anywhere in the heap
                       : pick == 2 ? kFatBadCluster
                                   : fat(order[random() % kClusters]);
      v.set_fat(at, value);
    }
    // The model: follow the FAT for the file's clusters.
    std::vector<uint32_t> walk;
    std::set<uint32_t> seen;
    bool valid = true;
    for (uint32_t c = order[0]; walk.size() < kClusters; c = fat(c)) {
      if (c < 2 || c >= 12002 || !seen.insert(c).second) {
        valid = false;
        break;
      }
      walk.push_back(c);
    }
    int32_t model_runs = 0;
    for (size_t i = 0; i < walk.size(); ++i) model_runs += i == 0 || walk[i] != walk[i - 1] + 1;
    if (model_runs > kMaxExtents) valid = false;

    ASSERT_EQ(v.open(), 0);
    int result = chain_to_extents(order[0], uint64_t(kClusters) * 512, 0, table);
    close_volume();
    ASSERT_EQ(result, valid ? 0 : -1) << "round " << round;
    if (!valid) {
      ++refused;
      continue;
    }
    ++mapped;
    std::vector<uint32_t> got;
    for (auto [start, count] : runs())
      for (uint64_t s = start; s < start + count; ++s) got.push_back(uint32_t(s - 128 + 2));
    ASSERT_EQ(got, walk) << "round " << round;
  }
  // Both outcomes must have been met, or the rounds prove little.
  EXPECT_GT(mapped, 10);
  EXPECT_GT(refused, 10);
}
