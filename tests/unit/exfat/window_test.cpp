// SPDX-License-Identifier: MIT
// Reads served through a window must equal the single positioned reads they
// replace, byte for byte and success for success, including at the end of
// a device whose size is not a whole number of windows.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "exfat/chain.h"
#include "exfat/format.h"
#include "exfat/volume.h"
#include "exfat/window.h"
#include "exfat/volume_builder.h"
#include "exfat/volume_fixture.h"
#include "support/reference_walk.h"

namespace {

using reference::fat_direct;

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
    ASSERT_EQ(read_windowed(::Window::directory, position, got, 4), want) << position;
    if (want == 0) ASSERT_EQ(memcmp(expected, got, 4), 0) << position;
    if (position % 32 == 0) {
      want = read_at(position, expected, 32);
      ASSERT_EQ(read_windowed(::Window::directory, position, got, 32), want) << position;
      if (want == 0) ASSERT_EQ(memcmp(expected, got, 32), 0) << position;
    }
  }
  for (uint32_t c = 0; c < 70000; c += (c < 1100 ? 1 : 997)) ASSERT_EQ(fat_next(c), fat_direct(c)) << c;
  // Jumps, steps back, and reads forward by uneven strides, through both
  // windows and at every length up to past the larger window.
  std::mt19937 walk{uint32_t(GetParam() * 7)};
  for (int k = 0; k < 20000; ++k) {
    uint64_t position = walk() % 4 == 0 ? walk() % (size + 8192) : (k * 4093ull) % (size + 4096);
    uint32_t length = walk() % 3 == 0 ? 1 + walk() % (kFatWindowSize + 8) : 4;
    Window which = walk() % 2 ? ::Window::fat : ::Window::directory;
    static uint8_t expected[kFatWindowSize + 8], got[kFatWindowSize + 8];
    int want = read_at(position, expected, length);
    ASSERT_EQ(read_windowed(which, position, got, length), want) << position << " " << length;
    if (want == 0) ASSERT_EQ(memcmp(expected, got, length), 0) << position << " " << length;
    uint32_t held = 0;
    const uint8_t* bytes = window_bytes(which, position, length, held);
    if (bytes) {
      ASSERT_EQ(want, 0) << "the window holds bytes the device does not give: " << position << " " << length;
      ASSERT_GE(held, length);
      ASSERT_LE(position + held, size);
      std::vector<uint8_t> all(held);
      ASSERT_EQ(read_at(position, all.data(), held), 0);
      ASSERT_EQ(memcmp(all.data(), bytes, held), 0) << position;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, WindowTest,
                         ::testing::Values(512, 4096 + 2, 65536, 65536 + 31, 131072 - 3, 40 * 512 + 1000 * 512,
                                           200000, 262144 + 4, 262144 + 4096 + 3, 600000 + 7));

using Window = ClosesVolume;

TEST_F(Window, NeverOutlivesItsVolumeOrOffset) {
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
  ASSERT_EQ(a.open(nullptr, uint64_t(2) << 20), 0);
  EXPECT_EQ(fat_next(10), 22u);
  EXPECT_EQ(fat_next(10), fat_direct(10));
  close_volume();
}

TEST_F(Window, ReadsCrossingAWindowEdgeAreExact) {
  VolumeBuilder v(3, 2048, 64, 128);
  for (size_t i = 0; i < 70000; ++i) v.image[i + 512] = uint8_t(i * 7);
  ASSERT_EQ(v.open(), 0);
  uint8_t expected[64], got[64];
  ASSERT_EQ(read_at(65536 - 20, expected, 64), 0);
  ASSERT_EQ(read_windowed(::Window::directory, 65536 - 20, got, 64), 0);
  EXPECT_EQ(memcmp(expected, got, 64), 0);
  close_volume();
}

ExtentTable walked, expected_runs;

// The walk from `first` over `length` bytes and the walk by exact reads give
// the same verdict and, also on failure, the same runs so far. The verdict
// goes to `verdict`: 0 mapped, -1 failed.
::testing::AssertionResult walks_agree(uint32_t first, uint64_t length, int& verdict) {
  int want = reference::walk_direct(first, length, expected_runs);
  if (want == 1) want = reference::runs_overlap(expected_runs) ? -1 : 0;
  verdict = chain_to_extents(first, length, 0, walked);
  if (verdict != want) return ::testing::AssertionFailure() << "verdict " << verdict << ", by exact reads " << want;
  if (walked.count != expected_runs.count)
    return ::testing::AssertionFailure() << walked.count << " runs, by exact reads " << expected_runs.count;
  for (int32_t i = 0; i < walked.count; ++i)
    if (walked.runs[i].start != expected_runs.runs[i].start || walked.runs[i].count != expected_runs.runs[i].count)
      return ::testing::AssertionFailure() << "run " << i << " differs";
  return ::testing::AssertionSuccess();
}

// Opens `v` with reads that fail or stop short over `bad`, then walks `walks`
// times from the first cluster and length `pick` gives; each walk must agree
// with the walk by exact reads. Counts the verdicts: [0] failed, [1] mapped.
template <class Pick>
void walks_agree_on(VolumeBuilder& v, BadRange bad, int walks, Pick pick, int verdicts[2]) {
  ASSERT_EQ(v.open(), 0);
  set_bad_range(bad);
  for (int k = 0; k < walks; ++k) {
    auto [first, length] = pick();
    int verdict;
    ASSERT_TRUE(walks_agree(first, length, verdict)) << first << " " << length;
    ++verdicts[verdict + 1];
  }
  set_bad_range({0, 0, false});
  close_volume();
}

// Runs of a random FAT: mostly c -> c + 1 links, jumps forward and back,
// links back into the chain (rings), bad and end marks, values past the
// heap; the image cut at random inside the FAT, and bad areas that fail or
// read short, at random places.
TEST(WindowWalk, EqualsTheWalkByExactReads) {
  std::mt19937 random{12};
  int verdicts[2] = {0, 0};  // failed, mapped: both must be seen many times
  for (int round = 0; round < 120; ++round) {
    uint32_t count = 64 + random() % 70000;
    VolumeBuilder v(0, 64, count, 8);
    for (uint32_t c = 2; c < count + 2; ++c) {
      // One link in 25, or in 500 every other round, is not c -> c + 1.
      uint32_t r = random() % (round % 2 ? 1000 : 20000), odd = (round % 2 ? 1000 : 20000) - 40;
      uint32_t next = r < odd ? c + 1 : r < odd + 15 ? 2 + random() % count : r < odd + 25 ? c - random() % 64
                    : r < odd + 30 ? 0xFFFFFFFF : r < odd + 35 ? 0xFFFFFFF7 : count + 2 + random() % 4;
      v.set_fat(c, next);
    }
    uint64_t fat_end = 8 * 512 + uint64_t(count + 2) * 4;
    if (round % 3 == 1) v.image.resize(8 * 512 + random() % (fat_end - 8 * 512));
    BadRange bad = {0, 0, false};
    if (round % 5 == 2) {
      uint64_t at = 8 * 512 + random() % (fat_end - 8 * 512);
      bad = {at, at + 1 + random() % 5000, random() % 2 == 0};
    }
    auto pick = [&] {
      uint32_t first = 2 + random() % count;
      uint64_t clusters = random() % 4 == 0 ? uint64_t(random()) << 20 : random() % 2 ? random() % 300 : random() % (2 * count);
      return std::pair{first, clusters * 512 + random() % 512};
    };
    ASSERT_NO_FATAL_FAILURE(walks_agree_on(v, bad, 20, pick, verdicts)) << round;
  }
  EXPECT_GT(verdicts[0], 300) << verdicts[1];
  EXPECT_GT(verdicts[1], 300) << verdicts[0];
}

// A FAT of `entries` entries whose heap lies past the image's end: a walk
// reads only the FAT, so the image stays small.
static VolumeBuilder fat_only(uint32_t entries) {
  VolumeBuilder v(0, 8 + entries * kFatEntrySize / 512 + 1, 2, 8);
  uint32_t count = entries - 2;
  memcpy(v.boot() + 92, &count, 4);
  return v;
}

// The clusters 2 .. entries - 1 cut into pieces (lengths from `piece`) and
// chained in shuffled order, as a file written a piece at a time among
// others: the walk jumps between FAT blocks far apart.
template <class Length>
static std::vector<uint32_t> shuffled_pieces(uint32_t entries, std::mt19937& random, Length piece) {
  std::vector<std::pair<uint32_t, uint32_t>> pieces;
  for (uint32_t c = 2; c < entries;) {
    uint32_t n = std::min<uint32_t>(piece(c), entries - c);
    pieces.push_back({c, n});
    c += n;
  }
  std::shuffle(pieces.begin(), pieces.end(), random);
  std::vector<uint32_t> order;
  for (auto [c, n] : pieces)
    for (uint32_t k = 0; k < n; ++k) order.push_back(c + k);
  return order;
}

// Scattered chains over FATs of many 64 KiB blocks: blocks of few and of
// very many breaks in the c -> c + 1 links, so many that the kept breaks run
// out and start afresh; free and bad clusters; broken links; the image cut
// inside the FAT; areas of the device that fail or read short.
TEST(WindowWalk, ScatteredChainsEqualTheWalkByExactReads) {
  std::mt19937 random{21};
  int verdicts[2] = {0, 0};
  for (int round = 0; round < 32; ++round) {
    int kind = round % 4;
    uint32_t entries = 16384 * (kind == 3 ? 40 + random() % 8 : 4 + random() % 28) + random() % 16384;
    VolumeBuilder v = fat_only(entries);
    std::vector<uint32_t> order = shuffled_pieces(entries, random, [&](uint32_t c) -> uint32_t {
      if (kind == 1) return 1 + random() % 40000;               // long runs, across blocks
      if (kind == 2 && c < entries / 2) return 1 + random() % 8;  // blocks too broken to keep
      if (kind == 3) return 17 + random() % 3;                  // some 900 breaks a block
      return 1 + random() % 600;
    });
    v.chain(order);
    // Free and bad areas: rows of equal entries, walked into at any point.
    for (int k = 0; k < int(random() % 6); ++k) {
      uint32_t c = 2 + random() % (entries - 2), value = random() % 3 ? 0 : kFatBadCluster;
      for (uint32_t end = std::min(entries, c + 1 + uint32_t(random() % 5000)); c < end; ++c) v.set_fat(c, value);
    }
    for (int k = 0; k < int(random() % 12); ++k) {
      uint32_t c = 2 + random() % (entries - 2), r = random() % 5;
      v.set_fat(c, r == 0 ? kFatEndOfChain : r == 1 ? kFatBadCluster : r == 2 ? entries + random() % 9
                 : r == 3 ? order[random() % order.size()] : uint32_t(random()));
    }
    uint64_t fat_start = 8 * 512, fat_end = fat_start + uint64_t(entries) * 4;
    if (round % 3 == 1) v.image.resize(fat_start + random() % (fat_end - fat_start));
    BadRange bad = {0, 0, false};
    if (round % 5 == 2) {
      uint64_t at = fat_start + random() % (fat_end - fat_start);
      bad = {at, at + 1 + random() % 200000, random() % 2 == 0};
    }
    auto pick = [&] {
      uint32_t first = random() % 2 ? order[random() % order.size()] : 2 + random() % (entries - 2);
      uint64_t clusters = random() % 4 == 0 ? uint64_t(random()) << 12 : random() % (entries / 8);
      return std::pair{first, clusters * 512 + random() % 512};
    };
    ASSERT_NO_FATAL_FAILURE(walks_agree_on(v, bad, 12, pick, verdicts)) << round;
  }
  EXPECT_GT(verdicts[0], 40) << verdicts[1];
  EXPECT_GT(verdicts[1], 40) << verdicts[0];
}

// A file of 4000 runs visited in shuffled order over 40 FAT blocks: each
// block is read about once, not once for every jump into it.
TEST(WindowWalk, ScatteredChainReadsEachFatBlockOnce) {
  constexpr uint32_t kEntries = 16384 * 40;
  VolumeBuilder v = fat_only(kEntries);
  std::mt19937 random{4};
  std::vector<uint32_t> order = shuffled_pieces(kEntries, random, [](uint32_t) { return 160u; });
  order.resize(4000 * 160);
  v.chain(order);
  ASSERT_EQ(v.open(), 0);
  uint64_t reads = device_reads();
  ASSERT_EQ(chain_to_extents(order[0], uint64_t(order.size()) * 512, 0, walked), 0);
  reads = device_reads() - reads;
  EXPECT_GT(walked.count, 3900);  // pieces that follow each other on disk make one run
  int verdict;
  EXPECT_TRUE(walks_agree(order[0], uint64_t(order.size()) * 512, verdict));
  EXPECT_EQ(verdict, 0);
  EXPECT_GT(reads, 0u) << "reads are not being counted";
  EXPECT_LE(reads, 2 * 40u + 20) << "FAT blocks read again at later jumps";
  close_volume();
}

// FATs of more than 1024 blocks of 64 KiB, as on volumes of over 16.7M
// clusters: blocks 1024 apart share one slot of the walk's index of breaks.
constexpr uint32_t kBlock = 16384;  // FAT entries in 64 KiB
constexpr uint32_t kSlots = 1024;

struct Piece {
  uint32_t first, count;
};

// The pieces' clusters, piece after piece.
static std::vector<uint32_t> clusters_of(const std::vector<Piece>& pieces) {
  std::vector<uint32_t> order;
  for (Piece p : pieces)
    for (uint32_t k = 0; k < p.count; ++k) order.push_back(p.first + k);
  return order;
}

// Takes one piece from each list in turn, so that the walk goes back and
// forth between the lists' blocks.
static std::vector<Piece> in_turn(std::vector<std::vector<Piece>> lists) {
  std::vector<Piece> out;
  for (size_t k = 0, more = 1; more; ++k) {
    more = 0;
    for (const std::vector<Piece>& list : lists)
      if (k < list.size()) out.push_back(list[k]), more = 1;
  }
  return out;
}

// The pieces of one FAT block `b`: one that starts on its first entry, one
// that ends on its last or, from a few entries before it, runs into the
// next block and ends on that block's first few entries, and some between;
// gaps between them free, bad, or rows of both, some ending with another
// file's last cluster. Shuffled.
static std::vector<Piece> block_pieces(VolumeBuilder& v, uint32_t b, std::mt19937& random) {
  std::vector<Piece> pieces;
  uint32_t base = b * kBlock, at = b == 0 ? 2 : 0;
  uint32_t head = 1 + random() % 2000;
  pieces.push_back({base + at, head});
  at += head;
  uint32_t tail_start = kBlock - 1 - random() % 2000;
  // Few enough records that the block is kept: a gap is one row, or a bad
  // row between free ones.
  while (at + 700 < tail_start) {
    uint32_t gap = random() % 3 == 0 ? 0 : 1 + random() % 300, n = 1 + random() % 400;
    uint32_t bad_from = random() % 2 ? gap : random() % 3 ? 0 : gap / 3, bad_to = random() % 2 ? gap : 2 * gap / 3;
    for (uint32_t k = bad_from; k < bad_to; ++k) v.set_fat(base + at + k, kFatBadCluster);
    if (gap > 0 && random() % 3 == 0) v.set_fat(base + at + gap - 1, kFatEndOfChain);  // another file ends there
    at += gap;
    pieces.push_back({base + at, n});
    at += n;
  }
  for (uint32_t k = at; k < tail_start && random() % 2; ++k) v.set_fat(base + k, kFatBadCluster);
  if (random() % 2) {
    pieces.push_back({base + tail_start, kBlock - tail_start});  // ends on the last entry
  } else {
    uint32_t before = 1 + random() % 5, after = 1 + random() % 4;  // crosses into the next block
    pieces.push_back({base + kBlock - before, before + after});
    // Another file's four clusters right after it, linked as a stretch is.
    uint32_t other = base + kBlock + after;
    for (uint32_t k = 0; k < 4; ++k) v.set_fat(other + k, k < 3 ? other + k + 1 : kFatEndOfChain);
  }
  std::shuffle(pieces.begin(), pieces.end(), random);
  return pieces;
}

// Files over FATs of 1025 to 1400 blocks whose pieces lie in blocks that
// share an index slot (b, b + 1024, b + 2048), taken from each in turn: the
// walk jumps back often enough to index, and every jump between them
// replaces the slot's block. Pieces start on a block's first entry, end on
// its last, or cross into the next block; free and bad entries lie between
// them; some links lead into free or bad clusters, outside the heap, or to
// a cluster the file has already.
TEST(FatIndex, BlocksSharingASlotEqualTheWalkByExactReads) {
  std::mt19937 random{1024};
  int verdicts[2] = {0, 0};
  for (int round = 0; round < 4; ++round) {
    uint32_t blocks = kSlots + 1 + random() % 376;
    uint32_t entries = blocks * kBlock + random() % kBlock;
    VolumeBuilder v = fat_only(entries);
    std::vector<Piece> file;
    std::set<uint32_t> slots;  // of the groups so far, with their neighbours: no two groups meet
    for (int group = 0; group < 6; ++group) {
      uint32_t b = random() % (blocks - kSlots - 1);
      if (slots.count(b % kSlots) || slots.count((b + 1) % kSlots) || slots.count((b + kSlots - 1) % kSlots)) {
        --group;
        continue;
      }
      slots.insert(b % kSlots);
      std::vector<std::vector<Piece>> lists;
      for (uint32_t m = b; m + 1 < blocks; m += kSlots) lists.push_back(block_pieces(v, m, random));
      if (random() % 2) std::reverse(lists.begin(), lists.end());
      std::vector<Piece> turn = in_turn(lists);
      file.insert(file.end(), turn.begin(), turn.end());
    }
    std::vector<uint32_t> order = clusters_of(file);
    v.chain(order);
    std::set<uint32_t> own(order.begin(), order.end());
    ASSERT_EQ(own.size(), order.size()) << "pieces overlap";
    // The file's last piece right after another file's end: two end marks
    // in a block with links between them.
    if (!own.count(file.back().first - 1)) v.set_fat(file.back().first - 1, kFatEndOfChain);
    // A broken link in some rounds: free, bad, past the heap, or back into the file.
    for (int k = 0; k < round; ++k) {
      uint32_t c = order[random() % order.size()], r = random() % 4;
      v.set_fat(c, r == 0 ? 0 : r == 1 ? kFatBadCluster : r == 2 ? entries + 5 : order[random() % order.size()]);
    }
    uint64_t length = uint64_t(order.size()) * 512;
    auto pick = [&, k = 0]() mutable {
      // The whole file first, then from any cluster of it, or a free or bad one.
      if (k++ == 0) return std::pair{order[0], length - random() % 512};
      uint32_t first = random() % 8 ? order[random() % order.size()] : 2 + random() % (entries - 2);
      return std::pair{first, uint64_t(random() % order.size()) * 512 + 1 + random() % 512};
    };
    ASSERT_NO_FATAL_FAILURE(walks_agree_on(v, {0, 0, false}, 6, pick, verdicts)) << round;
  }
  EXPECT_GE(verdicts[1], 4) << "the whole file mapped in the rounds without broken links";
  EXPECT_GT(verdicts[0], 2);
}

// So many blocks of many breaks that the index's records run out, many
// times in one walk, among blocks that share slots: 80 blocks whose first
// 1000 entries belong to other files (1000 breaks and a row of free
// entries, just under what a kept block may have; now and then 1100, not
// kept), each holding 20 clusters of the file. The walk takes a few from
// one block, then a few from another, back and forth; blocks revisited
// after the records ran out must be read afresh.
TEST(FatIndex, RecordsRunningOutEqualTheWalkByExactReads) {
  std::mt19937 random{32768};
  int verdicts[2] = {0, 0};
  for (int round = 0; round < 3; ++round) {
    uint32_t blocks = kSlots + 60 + random() % 200;
    VolumeBuilder v = fat_only(blocks * kBlock);
    std::set<uint32_t> chosen;
    while (chosen.size() < 80) {
      uint32_t b = 1 + random() % (blocks - kSlots - 1);
      chosen.insert(b);
      chosen.insert(b + kSlots);
    }
    std::vector<std::vector<uint32_t>> left;
    for (uint32_t b : chosen) {
      uint32_t others = random() % 10 == 0 ? 1100 : 1000;
      for (uint32_t k = 0; k < others; ++k) v.set_fat(b * kBlock + k, uint32_t(random()));
      std::vector<uint32_t> own;
      for (uint32_t k = 0; k < others; k += others / 20) own.push_back(b * kBlock + k + random() % 10);
      left.push_back(own);
    }
    std::vector<uint32_t> order;
    for (size_t active = left.size(); active > 0;) {
      std::vector<uint32_t>& own = left[random() % left.size()];
      if (own.empty()) continue;
      for (uint32_t k = 0, n = 1 + random() % 4; k < n && !own.empty(); ++k) {
        order.push_back(own.back());
        own.pop_back();
      }
      if (own.empty()) --active;
    }
    v.chain(order);
    uint64_t length = uint64_t(order.size()) * 512;
    auto pick = [&, k = 0]() mutable {
      if (k++ == 0) return std::pair{order[0], length};
      size_t i = random() % order.size();
      return std::pair{order[i], uint64_t(1 + random() % (order.size() - i)) * 512};
    };
    ASSERT_NO_FATAL_FAILURE(walks_agree_on(v, {0, 0, false}, 3, pick, verdicts)) << round;
  }
  EXPECT_EQ(verdicts[1], 9) << "every walk maps";
}

// A device that fails or reads short over an area: every read through a
// window gives what the exact read gives, also after the window has been
// filled short there, and reads beyond the area are served again.
TEST_F(Window, BadAreasAnswerAsTheExactReads) {
  VolumeBuilder v(0, 40, 200000, 8);
  std::mt19937 random{5};
  for (size_t i = 512; i < v.image.size(); ++i) v.image[i] = uint8_t(random());
  for (bool short_read : {false, true}) {
    for (uint64_t at : {uint64_t(4096), uint64_t(70000), uint64_t(262144 + 4096 * 3 + 100)}) {
      ASSERT_EQ(v.open(), 0);
      set_bad_range({at, at + 600, short_read});
      for (::Window which : {::Window::fat, ::Window::directory}) {
        for (uint64_t position = 0; position < 600000; position += (position % 7 == 0 ? 4 : 36)) {
          uint8_t expected[32], got[32];
          int want = read_at(position, expected, 32);
          ASSERT_EQ(read_windowed(which, position, got, 32), want) << position;
          if (want == 0) ASSERT_EQ(memcmp(expected, got, 32), 0) << position;
        }
      }
      set_bad_range({0, 0, false});
      close_volume();
    }
  }
}

}  // namespace
