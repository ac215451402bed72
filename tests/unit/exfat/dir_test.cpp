// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <string>

#include "exfat/dir.h"
#include "exfat/volume.h"
#include "exfat/volume_builder.h"
#include "exfat/volume_fixture.h"

// 4 KiB clusters (128 entries each), root directory in clusters 4 and 5.
class DirTest : public VolumeFixture {
 protected:
  void SetUp() override { v.chain({4, 5}); }

  int lookup_root(const char* name) { return dir_lookup(4, 2 * 4096, 0, name, found); }
};

TEST_F(DirTest, NamesMatchWithoutRegardToAsciiCase) {
  std::vector<Entry> root = entry_set(u"isos", 10, 4096, true, true);
  v.write_dir({4, 5}, root);
  std::vector<Entry> isos = entry_set(u"README.TXT", 11, 5, true);
  append(isos, entry_set(u"LIVE.ISO", 12, 123456, false));
  v.write_dir({10}, isos);
  ASSERT_EQ(v.open(), 0);

  ASSERT_EQ(resolve("ISOS/Live.iso"), 0);
  EXPECT_EQ(found.first_cluster, 12u);
  EXPECT_EQ(found.data_length, 123456u);
  EXPECT_EQ(found.contiguous, 0);
  EXPECT_EQ(found.directory, 0);

  ASSERT_EQ(resolve("/isos/"), 0);
  EXPECT_EQ(found.first_cluster, 10u);
  EXPECT_EQ(found.contiguous, 1);
  EXPECT_EQ(found.directory, 1);

  EXPECT_EQ(resolve("isos/live.is"), -1);
  EXPECT_STREQ(missing, "live.is");
  EXPECT_EQ(resolve("isos/live.isoo"), -1);
  EXPECT_STREQ(missing, "live.isoo");
}

TEST_F(DirTest, NonAsciiUnitsMatchSingleHighBytesOrUtf8) {
  v.write_dir({4, 5}, entry_set(u"S\u00e9ries.iso", 10, 1, true));  // 10 UTF-16 units
  ASSERT_EQ(v.open(), 0);
  EXPECT_EQ(lookup_root("S\xc3\xa9ries.iso"), 0);   // UTF-8: 11 bytes, 10 units decoded
  EXPECT_EQ(lookup_root("S\xe9ries.iso"), 0);       // one high byte stands for the unit
  EXPECT_EQ(lookup_root("S\xe9RIES.ISO"), 0);
  EXPECT_EQ(lookup_root("S?ries.iso"), 0);          // the stored "?" equals a "?" too
  EXPECT_EQ(lookup_root("Sxries.iso"), -1);
}

TEST_F(DirTest, NamesOf15And20CharactersAndLongest) {
  std::u16string longest(255, u'n');
  std::vector<Entry> root = entry_set(u"fifteen-chars.x", 10, 1, true);
  append(root, entry_set(u"twenty-characters.xy", 11, 2, true));
  append(root, entry_set(longest, 12, 3, true));
  append(root, entry_set(u"fifteen-chars.xy", 13, 4, true));
  v.write_dir({4, 5}, root);
  ASSERT_EQ(v.open(), 0);
  ASSERT_EQ(lookup_root("fifteen-chars.x"), 0);
  EXPECT_EQ(found.first_cluster, 10u);
  ASSERT_EQ(lookup_root("twenty-characters.xy"), 0);
  EXPECT_EQ(found.first_cluster, 11u);
  ASSERT_EQ(lookup_root(std::string(255, 'N').c_str()), 0);
  EXPECT_EQ(found.first_cluster, 12u);
  ASSERT_EQ(lookup_root("fifteen-chars.xy"), 0);
  EXPECT_EQ(found.first_cluster, 13u);
  EXPECT_EQ(lookup_root("twenty-characters.x"), -1);
}

TEST_F(DirTest, DeletedEntrySetsNeverMatch) {
  std::vector<Entry> root;
  for (uint8_t deleted : {0x05, 0x40, 0x41}) {
    std::vector<Entry> set = entry_set(u"live.iso", 20 + deleted % 8, 1, true);
    set[deleted == 0x05 ? 0 : deleted == 0x40 ? 1 : 2][0] = deleted;
    append(root, set);
  }
  v.write_dir({4, 5}, root);
  ASSERT_EQ(v.open(), 0);
  EXPECT_EQ(lookup_root("live.iso"), -1);
  close_volume();

  append(root, entry_set(u"live.iso", 30, 1, true));
  v.write_dir({4, 5}, root);
  ASSERT_EQ(v.open(), 0);
  ASSERT_EQ(lookup_root("live.iso"), 0);
  EXPECT_EQ(found.first_cluster, 30u);
}

TEST_F(DirTest, OtherPrimaryAndSecondaryEntriesAreSkipped) {
  std::vector<Entry> root = {raw_entry(0x83), raw_entry(0x81), raw_entry(0x82), raw_entry(0xA0)};
  std::vector<Entry> set = entry_set(u"live.iso", 10, 1, true);
  set.insert(set.begin() + 2, raw_entry(0xC1));  // stray name entry before the set's own
  root.push_back(raw_entry(0xC0));                // secondaries outside any set
  root.push_back(raw_entry(0xC1));
  append(root, entry_set(u"a", 9, 1, true));
  v.write_dir({4, 5}, root);
  ASSERT_EQ(v.open(), 0);
  ASSERT_EQ(lookup_root("a"), 0);
  EXPECT_EQ(found.first_cluster, 9u);
}

TEST_F(DirTest, SetWithVendorSecondaryAfterNamesIsNeverMatched) {
  std::vector<Entry> set = entry_set(u"live.iso", 10, 1, true);
  set[0][1] += 1;
  set.push_back(raw_entry(0xE0));  // vendor extension
  v.write_dir({4, 5}, set);
  ASSERT_EQ(v.open(), 0);
  EXPECT_EQ(lookup_root("live.iso"), -1);
}

TEST_F(DirTest, SetWithoutItsOwnStreamIsNotTakenForTheFileBeforeIt) {
  std::vector<Entry> root = entry_set(u"live.iso", 10, 4096, true);
  root.push_back(file_entry(1));
  root.push_back(name_entry(u"evil.iso"));
  v.write_dir({4, 5}, root);
  ASSERT_EQ(v.open(), 0);
  EXPECT_EQ(lookup_root("evil.iso"), -1);
  EXPECT_EQ(lookup_root("live.iso"), 0);
}

TEST_F(DirTest, NameLengthLongerThanItsNameEntriesNeverMatches) {
  std::vector<Entry> set = entry_set(u"live.iso", 10, 1, true);
  set[1][3] = 200;
  v.write_dir({4, 5}, set);
  ASSERT_EQ(v.open(), 0);
  EXPECT_EQ(lookup_root("live.iso"), -1);
}

TEST_F(DirTest, EntrySetStraddlingTwoClustersOfTheChain) {
  // Root chain 4 -> 40: the set begins in the last entry of cluster 4.
  v.chain({4, 40});
  std::vector<Entry> root;
  for (int i = 0; i < 127; ++i) root.push_back(raw_entry(0x05));
  append(root, entry_set(u"straddling-name-here.iso", 11, 77, true));
  v.write_dir({4, 40}, root);
  ASSERT_EQ(v.open(), 0);
  ASSERT_EQ(resolve("straddling-name-here.iso"), 0);
  EXPECT_EQ(found.first_cluster, 11u);
  EXPECT_EQ(found.data_length, 77u);
}

TEST_F(DirTest, EmptyComponentsAreSkipped) {
  v.write_dir({4, 5}, entry_set(u"a", 10, 4096, true, true));
  v.write_dir({10}, entry_set(u"b", 11, 9, true));
  ASSERT_EQ(v.open(), 0);
  for (const char* p : {"a/b", "/a//b/", "//a/b", "a///b//"}) {
    found = {};
    ASSERT_EQ(resolve(p), 0) << p;
    EXPECT_EQ(found.first_cluster, 11u) << p;
    EXPECT_EQ(found.data_length, 9u) << p;
  }
}

TEST_F(DirTest, PathWithoutComponentsIsTheRoot) {
  ASSERT_EQ(v.open(), 0);
  for (const char* p : {"", "/", "///"}) {
    found = {7, 7, 7, 0};
    ASSERT_EQ(resolve(p), 0) << p;
    EXPECT_EQ(found.first_cluster, 0u);
    EXPECT_EQ(found.data_length, 0u);
    EXPECT_EQ(found.contiguous, 0);
    EXPECT_EQ(found.directory, 1);
  }
}

TEST_F(DirTest, FileInTheMiddleOfThePathIsSearchedAsADirectory) {
  v.write_dir({4, 5}, entry_set(u"file.bin", 10, 4096, true));
  // The file's data happens to look like a directory entry set.
  v.write_dir({10}, entry_set(u"inner", 12, 3, true));
  ASSERT_EQ(v.open(), 0);
  ASSERT_EQ(resolve("file.bin/inner"), 0);
  EXPECT_EQ(found.first_cluster, 12u);
  EXPECT_EQ(resolve("file.bin/other"), -1);
  EXPECT_STREQ(missing, "other");
}

TEST_F(DirTest, ComponentNotFoundIsNamed) {
  v.write_dir({4, 5}, entry_set(u"isos", 10, 4096, true, true));
  ASSERT_EQ(v.open(), 0);
  EXPECT_EQ(resolve("/isos/none/x.iso"), -1);
  EXPECT_STREQ(missing, "none");
  EXPECT_EQ(resolve("."), -1);
  EXPECT_STREQ(missing, ".");
}

TEST_F(DirTest, EndOfDirectoryStopsTheSearch) {
  std::vector<Entry> root = entry_set(u"a", 10, 1, true);
  root.push_back(raw_entry(0x00));
  append(root, entry_set(u"b", 11, 1, true));
  v.write_dir({4, 5}, root);
  ASSERT_EQ(v.open(), 0);
  EXPECT_EQ(lookup_root("a"), 0);
  EXPECT_EQ(lookup_root("b"), -1);
}

TEST_F(DirTest, DirectoryWithoutEndEntryEndsWithItsClusters) {
  // Every entry of both root clusters is in use and none matches.
  std::vector<Entry> root;
  while (root.size() < 256) append(root, {raw_entry(0x83)});
  v.write_dir({4, 5}, root);
  ASSERT_EQ(v.open(), 0);
  EXPECT_EQ(lookup_root("a"), -1);
}

TEST_F(DirTest, DirectoryOfLengthZeroHasNothing) {
  v.write_dir({4, 5}, entry_set(u"empty", 10, 0, true, true));
  v.write_dir({10}, entry_set(u"x", 11, 1, true));  // never read: the length is 0
  ASSERT_EQ(v.open(), 0);
  EXPECT_EQ(resolve("empty/x"), -1);
  EXPECT_STREQ(missing, "x");
}

TEST_F(DirTest, UnreadableDirectoryFails) {
  // A directory whose chain is broken after the cluster that holds the name.
  std::vector<Entry> root = entry_set(u"broken", 10, 2 * 4096, false, true);
  // One whose first cluster lies past the end of the image and whose second
  // holds the name: the lookup must stop at the failed read, not skip it.
  append(root, entry_set(u"far", 50, 2 * 4096, false, true));
  v.write_dir({4, 5}, root);
  v.set_fat(10, 0);
  v.write_dir({10}, entry_set(u"x", 11, 1, true));
  v.chain({50, 12});
  v.write_dir({12}, entry_set(u"x", 13, 1, true));
  v.image.resize(v.cluster_offset(40));
  ASSERT_EQ(v.open(), 0);
  EXPECT_EQ(resolve("broken/x"), -1);
  EXPECT_STREQ(missing, "x");
  EXPECT_EQ(resolve("far/x"), -1);
  EXPECT_STREQ(missing, "x");
}

// An entry not in use (TypeCode bit 7 clear) between a set's Stream Extension
// and its File Name ends the set: the name after it belongs to no file. An
// in-use entry of another type in the same place is skipped.
TEST_F(DirTest, EntryNotInUseEndsTheSetInProgress) {
  for (uint8_t type : {0x01, 0x05, 0x40, 0x41, 0x7F}) {
    std::vector<Entry> set = entry_set(u"live.iso", 10, 1, true);
    set.insert(set.begin() + 2, raw_entry(type));
    v.write_dir({4, 5}, set);
    ASSERT_EQ(v.open(), 0);
    EXPECT_EQ(lookup_root("live.iso"), -1) << int(type);
    close_volume();
  }
  for (uint8_t type : {0xA0, 0xE0}) {
    std::vector<Entry> set = entry_set(u"live.iso", 10, 1, true);
    set.insert(set.begin() + 2, raw_entry(type));
    v.write_dir({4, 5}, set);
    ASSERT_EQ(v.open(), 0);
    EXPECT_EQ(lookup_root("live.iso"), 0) << int(type);
    close_volume();
  }
}
