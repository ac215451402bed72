// SPDX-License-Identifier: MIT
// The command-line search, on a table of lines: in memory (cmdline_find, no
// root needed), and on the real /proc/cmdline (cmdline_get): the test process
// moves into a private mount namespace and bind-mounts each line over it.
// Without root the /proc/cmdline tests skip, unless KELMO_NO_SKIP is set (the
// test command sets it): then they fail.

#include "cmdline/cmdline.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

namespace {

bool g_private = false;

bool enter_private_namespace() {
  static bool tried = false;
  if (!tried) {
    tried = true;
    g_private = unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  }
  return g_private;
}

class Cmdline : public ::testing::Test {
 protected:
  char file[64] = "/tmp/kelmo-cmdline-XXXXXX";
  bool mounted = false;
  bool created = false;

  void SetUp() override {
    if (!enter_private_namespace()) {
      if (getenv("KELMO_NO_SKIP")) FAIL() << "needs root for a private mount namespace (KELMO_NO_SKIP is set)";
      GTEST_SKIP() << "needs root for a private mount namespace";
    }
  }
  void TearDown() override {
    if (mounted) umount("/proc/cmdline");
    if (created) unlink(file);
  }
  // Puts `text` (byte for byte) where the reader looks for the command line.
  void use(const std::string& text) {
    int fd = mkstemp(file);
    ASSERT_GE(fd, 0);
    created = true;
    ASSERT_EQ(write(fd, text.data(), text.size()), ssize_t(text.size()));
    close(fd);
    ASSERT_EQ(mount(file, "/proc/cmdline", nullptr, MS_BIND, nullptr), 0);
    mounted = true;
  }
};

struct Case {
  const char* name;
  std::string line;
  const char* key;
  size_t size;
  int result;
  std::string value;
};

// A failing case is named in the report, not dumped as bytes.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

// The answer every case expects, whatever the search is given.
void expect_answer(const Case& c, int result, const char* out) {
  ASSERT_EQ(result, c.result);
  if (c.result == 0)
    EXPECT_EQ(std::string(out), c.value);
  else
    EXPECT_EQ(out[0], '#') << "out must be untouched on failure";
}

const std::string k5000(5000, 'k');
const std::string v100(100, 'v');
// Ten apostrophes as GRUB writes them: \'\'...
std::string escaped10() {
  std::string s;
  for (int i = 0; i < 10; ++i) s += "\\'";
  return s;
}

// Lines both searches answer alike.
const Case kLines[] = {
    Case{"Plain", "BOOT_IMAGE=/vmlinuz kelmo.uuid=1A2B-3C4D kelmo.iso=/isos/a.iso quiet\n", "kelmo.iso", 4096, 0,
         "/isos/a.iso"},
    Case{"QuotedValue", "ro kelmo.iso=\"/Meus ISOs/a b.iso\" quiet\n", "kelmo.iso", 4096, 0, "/Meus ISOs/a b.iso"},
    Case{"QuotesAnywhere", "ab\"c d\"e=1\n", "abc de", 4096, 0, "1"},
    Case{"QuotedKey", "\"kelmo.iso\"=/x.iso", "kelmo.iso", 4096, 0, "/x.iso"},
    Case{"QuotedNewline", "kelmo.iso=\"a\nb\" x", "kelmo.iso", 4096, 0, "a\nb"},
    Case{"UnclosedQuoteRunsToTheEnd", "kelmo.iso=\"a b c", "kelmo.iso", 4096, 0, "a b c"},
    Case{"KeyMustBeFollowedByEquals", "kelmo.uuidX=1 kelmo.uuid=ABCD-1234", "kelmo.uuid", 64, 0, "ABCD-1234"},
    Case{"BareKey", "kelmo.uuid quiet", "kelmo.uuid", 64, -1, ""},
    Case{"CaseSensitive", "KELMO.UUID=ABCD-1234", "kelmo.uuid", 64, -1, ""},
    Case{"FirstWins", "kelmo.uuid=A kelmo.uuid=B", "kelmo.uuid", 64, 0, "A"},
    Case{"EmptyValue", "kelmo.iso= quiet", "kelmo.iso", 4096, 0, ""},
    Case{"TrailingSpacesAndNewline", "quiet   \n\n  ", "kelmo.iso", 4096, -1, ""},
    Case{"NewlineSeparates", "quiet\nkelmo.iso=/n.iso\n", "kelmo.iso", 4096, 0, "/n.iso"},
    Case{"TabIsPartOfAToken", "quiet\tkelmo.iso=/t.iso", "kelmo.iso", 4096, -1, ""},
    Case{"TabInsideAValue", "kelmo.iso=/t\t.iso", "kelmo.iso", 4096, 0, "/t\t.iso"},
    Case{"KeyInsideAnotherToken", "xkelmo.iso=/x.iso", "kelmo.iso", 4096, -1, ""},
    Case{"LongTokenIsCutBeforeComparing", "kelmo.iso=" + k5000 + " end", "kelmo.iso", 4096, 0,
         std::string(4095 - 10, 'k')},
    Case{"LongTokenDoesNotHideTheNext", k5000 + " kelmo.iso=/after.iso", "kelmo.iso", 4096, 0, "/after.iso"},
    Case{"ValueCutToSize", "kelmo.uuid=" + v100, "kelmo.uuid", 64, 0, std::string(63, 'v')},
    Case{"ValueCutToOneByte", "kelmo.uuid=ABCD-1234", "kelmo.uuid", 1, 0, ""},
    Case{"EmptyLine", "", "kelmo.iso", 4096, -1, ""},
    // kelmo.persist beside the other keys: each key yields its own value,
    // whatever begins like it.
    Case{"PersistQuotedUtf8",
         "kelmo.uuid=1A2B-3C4D kelmo.iso=/isos/a.iso kelmo.persist=\"/Persistência/minha casa.img\" kelmo.usb=rw",
         "kelmo.persist", 4096, 0, "/Persistência/minha casa.img"},
    Case{"PersistAfterALongerKey", "kelmo.persistence=/x.img kelmo.persist=/y.img", "kelmo.persist", 4096, 0,
         "/y.img"},
    Case{"PersistIsNotAnotherKeysValue", "kelmo.iso=kelmo.persist=/x.img", "kelmo.persist", 4096, -1, ""},
    Case{"PersistEmptyCounts", "kelmo.persist= kelmo.usb=rw", "kelmo.persist", 4096, 0, ""},
    Case{"UsbBesidePersist", "kelmo.persist=/p.img kelmo.usb=rw", "kelmo.usb", 8, 0, "rw"},
    // GRUB's escaping (a backslash before " ' and \), undone, as GRUB writes
    // a parameter with a space: wrapped whole in double quotes.
    Case{"EscapedApostropheQuoted", "ro \"kelmo.iso=/Tom\\'s big.iso\" quiet", "kelmo.iso", 4096, 0, "/Tom's big.iso"},
    Case{"EscapedApostropheBare", "kelmo.iso=/Tom\\'s.iso quiet", "kelmo.iso", 4096, 0, "/Tom's.iso"},
    Case{"EscapedPersist", "kelmo.iso=/a.iso \"kelmo.persist=/kelmo/persist/Tom\\'s big.iso.img\"", "kelmo.persist",
         4096, 0, "/kelmo/persist/Tom's big.iso.img"},
    Case{"EscapedBackslash", "kelmo.iso=/a\\\\b", "kelmo.iso", 4096, 0, "/a\\b"},
    // Pairs are taken left to right: \\ then \'.
    Case{"EscapedBackslashThenApostrophe", "kelmo.iso=/a\\\\\\'b", "kelmo.iso", 4096, 0, "/a\\'b"},
    Case{"EscapedBackslashBeforeClosingQuote", "\"kelmo.iso=/a b\\\\\" kelmo.uuid=AB-CD", "kelmo.uuid", 64, 0, "AB-CD"},
    Case{"EscapedBackslashInQuotesIsOne", "\"kelmo.iso=/a b\\\\\" kelmo.uuid=AB-CD", "kelmo.iso", 4096, 0, "/a b\\"},
    // An escaped double quote is a character: it neither opens nor closes.
    Case{"EscapedDoubleQuoteBare", "kelmo.iso=/a\\\"b c", "kelmo.iso", 4096, 0, "/a\"b"},
    Case{"EscapedDoubleQuoteQuoted", "\"kelmo.iso=/a\\\" b\" c", "kelmo.iso", 4096, 0, "/a\" b"},
    Case{"EscapedDoubleQuoteInUnclosedQuote", "kelmo.iso=\"a\\\"", "kelmo.iso", 4096, 0, "a\""},
    Case{"EscapedKey", "kelmo.is\\o=/x.iso", "kelmo.iso", 4096, -1, ""},
    Case{"BackslashBeforeOtherKept", "kelmo.iso=/a\\b\\n.iso", "kelmo.iso", 4096, 0, "/a\\b\\n.iso"},
    Case{"BackslashBeforeSpaceKeptSpaceSeparates", "kelmo.iso=/a\\ b", "kelmo.iso", 4096, 0, "/a\\"},
    Case{"BackslashBeforeNewlineKept", "kelmo.iso=/a\\\nb", "kelmo.iso", 4096, 0, "/a\\"},
    Case{"BackslashAtTheEndKept", "kelmo.iso=/a\\", "kelmo.iso", 4096, 0, "/a\\"},
    Case{"EscapeEndsTheToken", "kelmo.iso=/a\\' kelmo.uuid=X", "kelmo.iso", 4096, 0, "/a'"},
    Case{"EscapeEndsTheLine", "kelmo.iso=/a\\\\", "kelmo.iso", 4096, 0, "/a\\"},
    // An escape is one character of the 4095 a token keeps.
    Case{"EscapesCountOnceTowardsTheCut", "kelmo.iso=" + std::string(4080, 'k') + escaped10() + " end", "kelmo.iso",
         4096, 0, std::string(4080, 'k') + std::string(5, '\'')},
    Case{"EscapeIsTheLastKept", "kelmo.iso=" + std::string(4084, 'k') + "\\'zz", "kelmo.iso", 4096, 0,
         std::string(4084, 'k') + "'"},
    Case{"EscapeBeyondTheCutDropped", "kelmo.iso=" + std::string(4085, 'k') + "\\'zz", "kelmo.iso", 4096, 0,
         std::string(4085, 'k')},
    Case{"EscapedValueCutToSize", "kelmo.uuid=\\'\\'\\'\\'", "kelmo.uuid", 3, 0, "''"},
};

// /proc/cmdline is read in one read of at most 8191 bytes.
const Case kFileOnly[] = {
    Case{"OnlyTheFirst8191BytesAreSeen", std::string(8178, 'x') + " kelmo.iso=/abcdefgh.iso", "kelmo.iso", 4096, 0,
         "/a"},
    Case{"KeyBeyond8191Bytes", std::string(8190, 'x') + " kelmo.iso=/a.iso", "kelmo.iso", 4096, -1, ""},
    // The read ends between a backslash and the character it escapes.
    Case{"EscapeCutByTheRead", std::string(8178, 'x') + " kelmo.iso=/\\'b", "kelmo.iso", 4096, 0, "/\\"},
};

// In memory the whole line is searched, however long.
const Case kMemoryOnly[] = {
    Case{"LongLineIsWhole", std::string(8178, 'x') + " kelmo.iso=/abcdefgh.iso", "kelmo.iso", 4096, 0,
         "/abcdefgh.iso"},
    Case{"KeyBeyond8191BytesIsFound", std::string(8190, 'x') + " kelmo.iso=/a.iso", "kelmo.iso", 4096, 0, "/a.iso"},
    Case{"EscapeBeyond8191BytesIsWhole", std::string(8178, 'x') + " kelmo.iso=/\\'b", "kelmo.iso", 4096, 0, "/'b"},
};

template <size_t N, size_t M>
std::vector<Case> join(const Case (&a)[N], const Case (&b)[M]) {
  std::vector<Case> all(a, a + N);
  all.insert(all.end(), b, b + M);
  return all;
}

std::string case_name(const ::testing::TestParamInfo<Case>& info) { return info.param.name; }

class CmdlineFind : public ::testing::TestWithParam<Case> {};

TEST_P(CmdlineFind, FindsTheFirstExactKey) {
  const Case& c = GetParam();
  char out[4096];
  memset(out, '#', sizeof out);
  out[sizeof out - 1] = '\0';
  expect_answer(c, cmdline_find(c.line.c_str(), c.key, out, c.size), out);
}

INSTANTIATE_TEST_SUITE_P(Lines, CmdlineFind, ::testing::ValuesIn(join(kLines, kMemoryOnly)), case_name);

class CmdlineCases : public Cmdline, public ::testing::WithParamInterface<Case> {};

TEST_P(CmdlineCases, FindsTheFirstExactKey) {
  const Case& c = GetParam();
  use(c.line);
  char out[4096];
  memset(out, '#', sizeof out);
  out[sizeof out - 1] = '\0';
  expect_answer(c, cmdline_get(c.key, out, c.size), out);
}

INSTANTIATE_TEST_SUITE_P(Lines, CmdlineCases, ::testing::ValuesIn(join(kLines, kFileOnly)), case_name);

TEST_F(Cmdline, IsReadAgainOnEveryCall) {
  use("kelmo.iso=/first.iso");
  char out[64];
  ASSERT_EQ(cmdline_get("kelmo.iso", out, sizeof out), 0);
  EXPECT_STREQ(out, "/first.iso");
  umount("/proc/cmdline");
  mounted = false;
  unlink(file);
  strcpy(file, "/tmp/kelmo-cmdline-XXXXXX");
  use("quiet");
  EXPECT_EQ(cmdline_get("kelmo.iso", out, sizeof out), -1);
  EXPECT_STREQ(out, "/first.iso");
}

}  // namespace
