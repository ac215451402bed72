// SPDX-License-Identifier: MIT
// Values beyond ASCII on the kernel command line: boot loaders pass them as
// UTF-8 bytes, and the reader hands them on unchanged, quoted or not, to the
// same path walk the test run uses.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "cmdline/cmdline.h"
#include "exfat/dir.h"
#include "exfat/volume.h"
#include "exfat/volume_builder.h"

namespace {

struct Utf8Case {
  const char* label;
  std::string line;
  size_t size;
  std::string value;
};

std::ostream& operator<<(std::ostream& os, const Utf8Case& c) { return os << c.label; }

class CmdlineUtf8 : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(CmdlineUtf8, BytesPassUnchanged) {
  const Utf8Case& c = GetParam();
  char out[4096];
  memset(out, '#', sizeof out);
  ASSERT_EQ(cmdline_find(c.line.c_str(), "kelmo.iso", out, c.size), 0);
  EXPECT_EQ(std::string(out), c.value);
}

std::string every_high_byte() {
  std::string s;
  for (int b = 0x80; b <= 0xFF; ++b) s += char(b);
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Values, CmdlineUtf8,
    ::testing::Values(
        Utf8Case{"QuotedPathWithSpace", "ro kelmo.iso=\"/Imagens ISO/Instala\xc3\xa7\xc3\xa3o.iso\" quiet\n", 4096,
                 "/Imagens ISO/Instala\xc3\xa7\xc3\xa3o.iso"},
        Utf8Case{"Unquoted", "kelmo.iso=/\xe6\x97\xa5\xe6\x9c\xac/\xf0\x9f\x98\x80.iso\n", 4096,
                 "/\xe6\x97\xa5\xe6\x9c\xac/\xf0\x9f\x98\x80.iso"},
        // 0xA0 (no-break space in Latin-1) and 0x85 (NEL) separate nothing.
        Utf8Case{"EveryHighByte", "kelmo.iso=/" + every_high_byte() + " x", 4096, "/" + every_high_byte()},
        // Cut to size - 1 bytes even inside a sequence; the walk then sees
        // invalid UTF-8 and only the byte rule applies.
        Utf8Case{"CutInsideASequence", "kelmo.iso=/\xc3\xa7\xc3\xa3o", 5, "/\xc3\xa7\xc3"}),
    [](const ::testing::TestParamInfo<Utf8Case>& info) { return std::string(info.param.label); });

// The quoted value from the command line finds the file the volume stores in
// UTF-16, directory and file name both beyond ASCII.
TEST(CmdlineUtf8Path, QuotedValueResolves) {
  VolumeBuilder v{3, 2048, 64, 128};
  v.chain({4, 5});
  v.write_dir({4, 5}, entry_set(u"Imagens ISO \u00c1", 10, 4096, true, true));
  v.write_dir({10}, entry_set(u"Instala\u00e7\u00e3o \U0001F600.iso", 11, 1234, true));
  ASSERT_EQ(v.open(), 0);
  char path[4096];
  ASSERT_EQ(cmdline_find("quiet kelmo.iso=\"/Imagens ISO \xc3\x81/Instala\xc3\xa7\xc3\xa3o \xf0\x9f\x98\x80.iso\"",
                         "kelmo.iso", path, sizeof path),
            0);
  EntryMatch found{};
  const char* missing = nullptr;
  EXPECT_EQ(resolve_path(path, found, missing), 0);
  EXPECT_EQ(found.first_cluster, 11u);
  EXPECT_EQ(found.data_length, 1234u);
  close_volume();
}

}  // namespace
