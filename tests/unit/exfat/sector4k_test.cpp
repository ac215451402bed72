// SPDX-License-Identifier: MIT
// A volume with 4096-byte sectors, built byte by byte: the boot sector counts
// 4 KiB sectors, while every run the reader yields counts 512-byte ones.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "dm/dm.h"
#include "exfat/chain.h"
#include "exfat/dir.h"
#include "exfat/format.h"
#include "exfat/volume.h"
#include "exfat/volume_builder.h"
#include "exfat/volume_fixture.h"

namespace {

// BytesPerSectorShift 12, SectorsPerClusterShift 1: 8 KiB clusters, 16
// 512-byte sectors each. FatOffset 4 and ClusterHeapOffset 8 are 4 KiB
// sectors: bytes 16384 and 32768, 512-byte sectors 32 and 64.
constexpr uint64_t kHeap512 = 64;
constexpr uint64_t kSectorsPerCluster = 16;
uint64_t sector_of(uint32_t c) { return kHeap512 + (c - 2) * kSectorsPerCluster; }

class Sector4kTest : public VolumeFixture {
 protected:
  Sector4kTest() : VolumeFixture(VolumeBuilder(1, 8, 32, 4, 12)) {}

  ExtentTable table;

  // Each cluster's bytes tell its number, so a run read back shows which
  // clusters it covers.
  void SetUp() override {
    for (uint32_t c = 2; c < 34; ++c) memset(v.image.data() + v.cluster_offset(c), int(c), v.cluster_bytes());
    // Root in clusters 4 and 9; 255 deleted entries make the isos entry set
    // start in the last entry of cluster 4 and end in cluster 9.
    v.set_root(4);
    v.chain({4, 9});
    std::vector<Entry> root(255, raw_entry(0x05));
    append(root, entry_set(u"isos", 10, 8192, true, true));
    root.push_back(raw_entry(0x00));
    v.write_dir({4, 9}, root);
    // isos: a fragmented file of 3 clusters and 1000 bytes, a contiguous one
    // of 2 clusters and a byte.
    std::vector<Entry> isos = entry_set(u"Live.iso", 12, 3 * 8192 + 1000);
    append(isos, entry_set(u"contig.iso", 22, 2 * 8192 + 1, true));
    isos.push_back(raw_entry(0x00));
    v.write_dir({10}, isos);
    v.chain({12, 13, 20, 5});
  }

  // The bytes at the runs, read from the image in 512-byte sectors.
  std::vector<uint8_t> bytes_at_runs() {
    std::vector<uint8_t> out;
    for (int32_t i = 0; i < table.count; ++i) {
      const uint8_t* at = v.image.data() + table.runs[i].start * 512;
      out.insert(out.end(), at, at + table.runs[i].count * 512);
    }
    return out;
  }
};

TEST_F(Sector4kTest, GeometryIsCountedIn512ByteSectors) {
  ASSERT_EQ(v.open(), 0);
  EXPECT_EQ(g_volume.fat_offset, 32u);
  EXPECT_EQ(g_volume.heap_offset, kHeap512);
  EXPECT_EQ(g_volume.cluster_shift, 4u);
  EXPECT_EQ(g_volume.cluster_size, 8192u);
  // The FAT entries are found at byte FatOffset * 4096.
  EXPECT_EQ(fat_next(12), 13u);
  EXPECT_EQ(fat_next(20), 5u);
  EXPECT_EQ(fat_next(5), kFatEndOfChain);
  EXPECT_EQ(root_cluster_count(), 2u);
}

TEST_F(Sector4kTest, FragmentedFileThroughTheFat) {
  ASSERT_EQ(v.open(), 0);
  ASSERT_EQ(resolve("/ISOS/live.ISO"), 0);
  EXPECT_EQ(found.first_cluster, 12u);
  EXPECT_EQ(found.contiguous, 0);
  ASSERT_EQ(chain_to_extents(found.first_cluster, found.data_length, found.contiguous, table), 0);
  ASSERT_EQ(table.count, 3);
  EXPECT_EQ(table.runs[0].start, sector_of(12));
  EXPECT_EQ(table.runs[0].count, 2 * kSectorsPerCluster);  // 12 and 13 are adjacent
  EXPECT_EQ(table.runs[1].start, sector_of(20));
  EXPECT_EQ(table.runs[1].count, kSectorsPerCluster);
  EXPECT_EQ(table.runs[2].start, sector_of(5));
  EXPECT_EQ(table.runs[2].count, kSectorsPerCluster);
  EXPECT_EQ(table.runs[0].start, 224u);  // the same numbers, worked by hand
  EXPECT_EQ(table.runs[1].start, 352u);
  EXPECT_EQ(table.runs[2].start, 112u);

  std::vector<uint8_t> got = bytes_at_runs();
  ASSERT_EQ(got.size(), 4u * 8192);
  const uint8_t order[] = {12, 13, 20, 5};
  for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], order[i / 8192]) << "byte " << i;
}

TEST_F(Sector4kTest, ContiguousFile) {
  ASSERT_EQ(v.open(), 0);
  ASSERT_EQ(resolve("isos/CONTIG.iso"), 0);
  EXPECT_EQ(found.contiguous, 1);
  ASSERT_EQ(chain_to_extents(found.first_cluster, found.data_length, found.contiguous, table), 0);
  ASSERT_EQ(table.count, 1);
  EXPECT_EQ(table.runs[0].start, sector_of(22));
  EXPECT_EQ(table.runs[0].count, 3 * kSectorsPerCluster);
}

TEST_F(Sector4kTest, ContiguousRunPastTheHeapFails) {
  ASSERT_EQ(v.open(), 0);
  // Clusters 31..33 are the heap's last three; 31..34 runs past it.
  EXPECT_EQ(chain_to_extents(31, 3 * 8192, 1, table), 0);
  EXPECT_EQ(chain_to_extents(31, 3 * 8192 + 1, 1, table), -1);
}

TEST_F(Sector4kTest, DirectoryRunsAndMissingNames) {
  ASSERT_EQ(v.open(), 0);
  ASSERT_EQ(resolve("isos"), 0);
  EXPECT_EQ(found.directory, 1);
  ASSERT_EQ(chain_to_extents(found.first_cluster, found.data_length, found.contiguous, table), 0);
  ASSERT_EQ(table.count, 1);
  EXPECT_EQ(table.runs[0].start, sector_of(10));
  EXPECT_EQ(table.runs[0].count, kSectorsPerCluster);
  EXPECT_EQ(resolve("isos/nope.iso"), -1);
  EXPECT_STREQ(missing, "nope.iso");
}

// The table for this file on a disk of 4 KiB blocks: 25576 bytes make 7
// blocks, 56 sectors; the last run is cut at the block, not at 512 bytes.
TEST_F(Sector4kTest, TableOnA4kDiskEndsAtTheFilesLastBlock) {
  ASSERT_EQ(v.open(), 0);
  ASSERT_EQ(resolve("isos/live.iso"), 0);
  ASSERT_EQ(chain_to_extents(found.first_cluster, found.data_length, found.contiguous, table), 0);
  std::vector<uint8_t> buffer(dm_buffer_size(table.count));
  ASSERT_EQ(dm_fill_table(buffer.data(), "kelmo-iso", true, table.count, table.runs, found.data_length, 4096, 8, 17), 3u);
  uint64_t lengths[3], length;
  size_t at = 312;
  for (uint64_t& l : lengths) {
    memcpy(&l, buffer.data() + at + 8, 8);
    uint32_t next;
    memcpy(&next, buffer.data() + at + 20, 4);
    at += next;
  }
  EXPECT_EQ(lengths[0], 32u);
  EXPECT_EQ(lengths[1], 16u);
  EXPECT_EQ(lengths[2], 8u);
  length = lengths[0] + lengths[1] + lengths[2];
  EXPECT_EQ(length % 8, 0u);  // whole 4 KiB blocks
  EXPECT_GE(length * 512, found.data_length);
}

}  // namespace
