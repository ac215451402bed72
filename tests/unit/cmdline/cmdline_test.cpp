// The reader is tested on the real /proc/cmdline: the test process moves into
// a private mount namespace and bind-mounts each command line over it.

#include "cmdline/cmdline.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <string>

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
    if (!enter_private_namespace()) GTEST_SKIP() << "needs root for a private mount namespace";
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

class CmdlineCases : public Cmdline, public ::testing::WithParamInterface<Case> {};

TEST_P(CmdlineCases, FindsTheFirstExactKey) {
  const Case& c = GetParam();
  use(c.line);
  char out[4096];
  memset(out, '#', sizeof out);
  out[sizeof out - 1] = '\0';
  ASSERT_EQ(cmdline_get(c.key, out, c.size), c.result);
  if (c.result == 0)
    EXPECT_EQ(std::string(out), c.value);
  else
    EXPECT_EQ(out[0], '#') << "out must be untouched on failure";
}

const std::string k5000(5000, 'k');
const std::string v100(100, 'v');

INSTANTIATE_TEST_SUITE_P(
    Lines, CmdlineCases,
    ::testing::Values(
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
        Case{"OnlyTheFirst8191BytesAreSeen", std::string(8178, 'x') + " kelmo.iso=/abcdefgh.iso", "kelmo.iso", 4096,
             0, "/a"},
        Case{"KeyBeyond8191Bytes", std::string(8190, 'x') + " kelmo.iso=/a.iso", "kelmo.iso", 4096, -1, ""},
        Case{"EmptyFile", "", "kelmo.iso", 4096, -1, ""}),
    [](const auto& param) { return std::string(param.param.name); });

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
