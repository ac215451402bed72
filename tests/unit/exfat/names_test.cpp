// SPDX-License-Identifier: MIT
// Names beyond ASCII: a path component matches a stored name by the byte rule
// (one byte per stored unit, any byte of 0x80 or above for a unit outside
// ASCII) or, when it is well-formed UTF-8 with a multi-byte sequence, by its
// UTF-16 units. Only ASCII letters fold.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "exfat/dir.h"
#include "exfat/volume.h"
#include "exfat/volume_builder.h"
#include "exfat/volume_fixture.h"

namespace {

std::u16string repeat(const std::u16string& s, int times) {
  std::u16string out;
  for (int i = 0; i < times; ++i) out += s;
  return out;
}

std::string repeat(const std::string& s, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += s;
  return out;
}

// "ção" 85 times: 255 units, none of the 17 File Name entries all ASCII.
const std::u16string k255 = repeat(u"\u00e7\u00e3o", 85);
const std::string k255Utf8 = repeat("\xc3\xa7\xc3\xa3o", 85);

struct NameCase {
  const char* label;
  std::vector<std::u16string> stored;  // in directory order; set i starts at cluster 10 + i
  std::string component;
  int found;  // index into `stored`, or -1 for not found
};

std::ostream& operator<<(std::ostream& os, const NameCase& c) { return os << c.label; }

// 4 KiB clusters, root in clusters 4 and 5: 256 entries.
class NameTest : public VolumeFixture, public ::testing::WithParamInterface<NameCase> {
 protected:
  void SetUp() override { v.chain({4, 5}); }
};

TEST_P(NameTest, Lookup) {
  const NameCase& c = GetParam();
  std::vector<Entry> root;
  for (size_t i = 0; i < c.stored.size(); ++i) append(root, entry_set(c.stored[i], uint32_t(10 + i), 100 + i, true));
  v.write_dir({4, 5}, root);
  ASSERT_EQ(v.open(), 0);
  found = {7, 7, 7, 7};
  int got = dir_lookup(4, 2 * 4096, 0, c.component.c_str(), found);
  if (c.found < 0) {
    EXPECT_EQ(got, -1);
    EXPECT_EQ(found.first_cluster, 7u) << "untouched on -1";
  } else {
    ASSERT_EQ(got, 0);
    EXPECT_EQ(found.first_cluster, uint32_t(10 + c.found));
    EXPECT_EQ(found.data_length, uint64_t(100 + c.found));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Utf8, NameTest,
    ::testing::Values(
        NameCase{"PortugueseAccents", {u"Instala\u00e7\u00e3o.iso"}, "Instala\xc3\xa7\xc3\xa3o.iso", 0},
        NameCase{"AsciiCaseFoldsInsideUtf8", {u"Instala\u00e7\u00e3o.iso"}, "INSTALA\xc3\xa7\xc3\xa3O.ISO", 0},
        NameCase{"AccentMissing", {u"Instala\u00e7\u00e3o.iso"}, "Instalacao.iso", -1},
        NameCase{"AccentDiffers", {u"Instala\u00e7\u00e3o.iso"}, "Instala\xc3\xa7\xc3\xa1o.iso", -1},
        NameCase{"NonAsciiCaseDoesNotFold", {u"Instala\u00e7\u00e3o.iso"}, "Instala\xc3\x87\xc3\x83o.iso", -1},
        NameCase{"NonAsciiUpperStoredDoesNotFold", {u"\u00c9dition.iso"}, "\xc3\xa9" "dition.iso", -1},
        // U+0141 is 0x20 below U+0161 and its low byte is "A": no folding by bits.
        NameCase{"NoFoldingOutsideAscii", {u"\u0141.iso", u"\u0161.ISO"}, "\xc5\xa1.iso", 1},
        NameCase{"Cjk", {u"\u65e5\u672c\u8a9e\u306e\u30c7\u30a3\u30b9\u30af.iso"},
                 "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\xe3\x81\xae\xe3\x83\x87\xe3\x82\xa3\xe3\x82\xb9\xe3\x82\xaf.iso", 0},
        NameCase{"CjkOneCharacterDiffers", {u"\u65e5\u672c\u8a9e.iso"}, "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9f.iso", -1},
        NameCase{"EmojiIsASurrogatePair", {u"\U0001F600 live.iso"}, "\xf0\x9f\x98\x80 live.iso", 0},
        NameCase{"OtherEmojiDiffersInTheLowSurrogate", {u"\U0001F600 live.iso"}, "\xf0\x9f\x98\x81 live.iso", -1},
        NameCase{"SupplementaryIsTwoUnitsNotOne", {u"\uF600 live.iso"}, "\xf0\x9f\x98\x80 live.iso", -1},
        NameCase{"LongestNameSpans17Entries", {k255}, k255Utf8, 0},
        NameCase{"LongestNameDiffersInTheLastUnit", {k255.substr(0, 254) + u"O", k255.substr(0, 254) + u"\u00f3"},
                 k255Utf8.substr(0, k255Utf8.size() - 1) + "\xc3\xb3", 1},
        NameCase{"LongestNameLastUnitAsciiCase", {k255.substr(0, 254) + u"O"}, k255Utf8, 0},
        NameCase{"OneUnitShortOfTheLongest", {k255}, k255Utf8.substr(0, k255Utf8.size() - 1), -1},
        NameCase{"MoreUnitsThanANameCanHold", {k255}, k255Utf8 + "o", -1},

        // The byte rule, as before.
        NameCase{"ByteRuleHighByte", {u"S\u00e9ries.iso"}, "S\xe9ries.iso", 0},
        NameCase{"ByteRuleHighByteAsciiCase", {u"S\u00e9ries.iso"}, "S\xe9RIES.ISO", 0},
        NameCase{"ByteRuleQuestionMark", {u"S\u00e9ries.iso"}, "S?ries.iso", 0},
        NameCase{"ByteRuleStoredQuestionMark", {u"S?ries.iso"}, "S\xe9ries.iso", 0},
        NameCase{"ByteRuleAsciiMismatch", {u"S\u00e9ries.iso"}, "Sxries.iso", -1},
        NameCase{"ByteRuleEmojiAsTwoBytes", {u"\U0001F600.iso"}, "\xff\xfe.iso", 0},
        NameCase{"SeriesWrittenInUtf8", {u"S\u00e9ries.iso"}, "S\xc3\xa9ries.iso", 0},
        // A valid UTF-8 component of as many bytes as the stored name has
        // units matches by the byte rule even when its characters differ.
        NameCase{"ByteRuleStillMatchesUtf8OfEqualLength", {u"\u00e7\u00e3"}, "\xc3\xa9", 0},

        // Not well-formed UTF-8: never decoded, so only the byte rule applies.
        NameCase{"OverlongSlash", {u"x/"}, "x\xc0\xaf", -1},
        NameCase{"OverlongLetter", {u"a.iso"}, "\xc1\xa1.iso", -1},
        NameCase{"OverlongThreeBytes", {u"a.iso"}, "\xe0\x81\xa1.iso", -1},
        NameCase{"OverlongFourBytes", {u"\u00e7.iso"}, "\xf0\x80\x83\xa7.iso", -1},
        NameCase{"OverlongStillMatchesByBytes", {u"x\u00e9\u00e9"}, "x\xc0\xaf", 0},
        NameCase{"EncodedSurrogate", {u"\xD800.iso"}, "\xed\xa0\x80.iso", -1},
        NameCase{"EncodedSurrogatePair", {u"\U0001F600.iso"}, "\xed\xa0\xbd\xed\xb8\x80.iso", -1},
        NameCase{"TruncatedInTheMiddle", {u"\u65f8"}, "\xe6\x97x", -1},
        NameCase{"TruncatedAtTheEnd", {u"a\u65c0"}, "a\xe6\x97", -1},
        NameCase{"TruncatedMatchesByBytes", {u"a\u00e6\u0097"}, "a\xe6\x97", 0},
        NameCase{"LoneContinuationByte", {u"\u00e7\u00a7"}, "\xc3\xa7\xa7", -1},
        NameCase{"AboveU10FFFF", {u"\xDC00\xDC00"}, "\xf4\x90\x80\x80", -1},
        NameCase{"LeadByteF5", {u"\xDCC0\xDC00"}, "\xf5\x80\x80\x80", -1},
        NameCase{"InvalidTailSpoilsTheWholeComponent", {u"\u00e7\u00e3o\u00ff"}, "\xc3\xa7\xc3\xa3o\xff", -1},

        // The first set in directory order that matches, by either rule.
        NameCase{"FirstWinsBytesBeforeUtf8", {u"????", u"\u00e7\u00e3"}, "\xc3\xa7\xc3\xa3", 0},
        NameCase{"FirstWinsUtf8BeforeBytes", {u"\u00e7\u00e3", u"????"}, "\xc3\xa7\xc3\xa3", 0},
        NameCase{"FirstWinsAmongCaseVariants", {u"Instala\u00e7\u00e3o.ISO", u"Instala\u00e7\u00e3o.iso"},
                 "Instala\xc3\xa7\xc3\xa3o.iso", 0},
        NameCase{"LaterSetWhenTheFirstDiffers", {u"Instala\u00e7\u00e3o.isp", u"Instala\u00e7\u00e3o.iso"},
                 "Instala\xc3\xa7\xc3\xa3o.iso", 1}),
    [](const ::testing::TestParamInfo<NameCase>& info) { return std::string(info.param.label); });

using NamePathTest = VolumeFixture;

// The whole path, as the command line carries it.
TEST_F(NamePathTest, Utf8DirectoryAndFile) {
  v.chain({4, 5});
  v.write_dir({4, 5}, entry_set(u"Imagens ISO", 10, 4096, true, true));
  std::vector<Entry> isos = entry_set(u"Instalacao.iso", 11, 1, true);
  append(isos, entry_set(u"Instala\u00e7\u00e3o.iso", 12, 2, true));
  v.write_dir({10}, isos);
  ASSERT_EQ(v.open(), 0);
  ASSERT_EQ(resolve("/Imagens ISO/Instala\xc3\xa7\xc3\xa3o.iso"), 0);
  EXPECT_EQ(found.first_cluster, 12u);
  EXPECT_EQ(found.data_length, 2u);
}

}  // namespace
