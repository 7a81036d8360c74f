// Hostile objects at the settings path and hostile environments, through the
// program: whatever stands there, the run is silent, ends with status 1 in
// bounded time, and changes only a regular file it may write. (The cases
// that the stand-in's own tests already cover are not repeated here.)
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>

#include <functional>
#include <set>

#include "reliability/run.h"

namespace reliability {
namespace {

const std::string kOld = "[System]\nZorvaneOrBetter=no\n";
const std::string kNew = "[System]\nZorvaneOrBetter=yes\n";
constexpr uid_t kNobody = 65534;

struct Hostile {
  const char* name;
  // Prepares the configuration directory's parent; returns what to close after the run.
  std::function<int(const fs::path& config)> make;
  // The file whose content is checked (relative to the parent) and what it must hold.
  const char* watched;
  std::optional<std::string> expected;
  std::function<void(const fs::path& config)> check;
  bool as_nobody = false;
  mode_t umask = 022;
  Stdio stdio = Stdio::kCaptured;
  bool keep_home = true;
};

void PrintTo(const Hostile& h, std::ostream* os) { *os << h.name; }

int Make(const fs::path& config, const std::string& content = kOld) {
  fs::create_directory(config);
  testing_util::WriteBytes(config / "tarvo.ini", content);
  return -1;
}

void ExpectMode(const fs::path& p, fs::perms mode) {
  EXPECT_EQ(fs::status(p).permissions(), mode) << p;
}

void ExpectOwner(const fs::path& p, uid_t uid) {
  struct stat st;
  ASSERT_EQ(stat(p.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, uid) << p;
}

const Hostile kCases[] = {
    {"LinkChainDeeperThanTheBound",
     [](const fs::path& c) {
       fs::create_directory(c);
       testing_util::WriteBytes(c / "real.ini", kOld);
       fs::create_symlink("real.ini", c / "link0");
       for (int i = 1; i <= 41; ++i)
         fs::create_symlink("link" + std::to_string(i - 1), c / ("link" + std::to_string(i)));
       fs::create_symlink("link41", c / "tarvo.ini");
       return -1;
     },
     "config/real.ini", kOld,
     [](const fs::path& c) { EXPECT_TRUE(fs::is_symlink(c / "tarvo.ini")); }},
    {"FifoWithAWriter",
     [](const fs::path& c) {
       fs::create_directory(c);
       mkfifo((c / "tarvo.ini").c_str(), 0644);
       return open((c / "tarvo.ini").c_str(),
                   O_RDWR | O_NONBLOCK);  // a writer, and a reader so it never blocks
     },
     "config/none", std::nullopt,
     [](const fs::path& c) { EXPECT_EQ(fs::status(c / "tarvo.ini").type(), fs::file_type::fifo); }},
    {"FifoWithoutAWriter",
     [](const fs::path& c) {
       fs::create_directory(c);
       return mkfifo((c / "tarvo.ini").c_str(), 0644) - 1;
     },
     "config/none", std::nullopt,
     [](const fs::path& c) { EXPECT_EQ(fs::status(c / "tarvo.ini").type(), fs::file_type::fifo); }},
    {"LinkToDevZero",
     [](const fs::path& c) {
       fs::create_directory(c);
       fs::create_symlink("/dev/zero", c / "tarvo.ini");
       return -1;
     },
     "config/none", std::nullopt,
     [](const fs::path& c) { EXPECT_EQ(fs::read_symlink(c / "tarvo.ini"), "/dev/zero"); }},
    {"HardLinkIsBroken",
     [](const fs::path& c) {
       Make(c);
       fs::create_hard_link(c / "tarvo.ini", c / "other.ini");
       return -1;
     },
     "config/tarvo.ini", kNew,
     [](const fs::path& c) { EXPECT_EQ(ReadBytes(c / "other.ini"), kOld); }},
    {"ConfigDirectoryIsAFile",
     [](const fs::path& c) {
       testing_util::WriteBytes(c, kOld);
       return -1;
     },
     "config", kOld},
    {"ConfigDirectoryMissingUmask000", [](const fs::path&) { return -1; }, "config/tarvo.ini", kNew,
     [](const fs::path& c) {
       ExpectMode(c, fs::perms(0700));
       ExpectMode(c / "tarvo.ini", fs::perms(0666));
     },
     false, 0},
    {"ConfigDirectoryMissingUmask077", [](const fs::path&) { return -1; }, "config/tarvo.ini", kNew,
     [](const fs::path& c) {
       ExpectMode(c, fs::perms(0700));
       ExpectMode(c / "tarvo.ini", fs::perms(0600));
     },
     false, 077},
    {"StdoutOnDevFull",
     [](const fs::path& c) { return Make(c); },
     "config/tarvo.ini",
     kNew,
     {},
     false,
     022,
     Stdio::kDevFull},
    {"TemporaryNameIsALinkToAVictim",
     [](const fs::path& c) {
       Make(c);
       testing_util::WriteBytes(c.parent_path() / "victim", "victim\n");
       fs::create_symlink(c.parent_path() / "victim", c / ".tarvo.ini.partial");
       return -1;
     },
     "victim", "victim\n", [](const fs::path& c) { EXPECT_EQ(ReadBytes(c / "tarvo.ini"), kNew); }},
    {"OnlyItsOwnLeftoversAreRemoved",
     [](const fs::path& c) {
       Make(c);
       for (const char* other : {".tarvo.ini.backup.partial",              // the user's
                                 ".tarvo.ini.x.0123456789abcdef.partial",  // tarvo.ini.x's writer's
                                 ".tarvo.ini.0123456789ABCDEF.partial"}) {
         testing_util::WriteBytes(c / other, "other\n");
       }
       mkfifo((c / ".tarvo.ini.fedcba9876543210.partial").c_str(), 0644);
       // A killed run's, and a link named as a run names them.
       testing_util::WriteBytes(c / ".tarvo.ini.0123456789abcdef.partial", "[Sys");
       testing_util::WriteBytes(c.parent_path() / "victim", "victim\n");
       fs::create_symlink("../victim", c / ".tarvo.ini.00000000000000ff.partial");
       return -1;
     },
     "victim", "victim\n",
     [](const fs::path& c) {
       EXPECT_EQ(ReadBytes(c / "tarvo.ini"), kNew);
       std::set<std::string> left;
       for (const auto& e : fs::directory_iterator(c)) left.insert(e.path().filename());
       EXPECT_EQ(left, (std::set<std::string>{
                           ".tarvo.ini.backup.partial", ".tarvo.ini.x.0123456789abcdef.partial",
                           ".tarvo.ini.0123456789ABCDEF.partial",
                           ".tarvo.ini.fedcba9876543210.partial", ".tarvo.ini.lock", "tarvo.ini"}));
     }},
    // As another user: root passes every permission check.
    {"FileOfAnotherUserReadOnlyToUs",
     [](const fs::path& c) {
       Make(c);
       fs::permissions(c / "tarvo.ini", fs::perms(0644));
       return chown(c.c_str(), kNobody, kNobody) - 1;
     },
     "config/tarvo.ini", kOld, [](const fs::path& c) { ExpectOwner(c / "tarvo.ini", 0); }, true},
    {"FileOfAnotherUserWritableToUs",
     [](const fs::path& c) {
       Make(c);
       fs::permissions(c / "tarvo.ini", fs::perms(0666));
       return chown(c.c_str(), kNobody, kNobody) - 1;
     },
     "config/tarvo.ini", kNew,
     [](const fs::path& c) {
       ExpectOwner(c / "tarvo.ini", kNobody);  // replaced: the writer owns the new file
       ExpectMode(c / "tarvo.ini", fs::perms(0666));
     },
     true},
    {"ReadOnlyDirectory",
     [](const fs::path& c) {
       Make(c);
       chown((c / "tarvo.ini").c_str(), kNobody, kNobody);
       chown(c.c_str(), kNobody, kNobody);
       fs::permissions(c, fs::perms(0555));
       return -1;
     },
     "config/tarvo.ini",
     kOld,
     {},
     true},
    {"DirectoryWritableButNotListable",
     [](const fs::path& c) {
       Make(c);
       chown((c / "tarvo.ini").c_str(), kNobody, kNobody);
       chown(c.c_str(), kNobody, kNobody);
       fs::permissions(c, fs::perms(0300));
       return -1;
     },
     "config/tarvo.ini", kNew, [](const fs::path& c) { ExpectMode(c, fs::perms(0300)); }, true},
    {"ConfigDirectoryNotCreatable", [](const fs::path&) { return -1; }, "config/tarvo.ini",
     std::nullopt, [](const fs::path& c) { EXPECT_FALSE(fs::exists(c)); }, true},
    {"HomeUnsetAndNoHomeInThePasswordDatabase",
     [](const fs::path&) { return -1; },
     "config/tarvo.ini",
     std::nullopt,
     {},
     true,
     022,
     Stdio::kCaptured,
     false},
};

class HostileTest : public testing::TestWithParam<Hostile> {};

TEST_P(HostileTest, RunIsSilentBoundedAndHarmless) {
  const Hostile& h = GetParam();
  if (h.as_nobody && (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0)) {
    GTEST_SKIP() << "SKIPPED: running as another user needs root and /usr/bin/setpriv";
  }
  testing_util::TempDir dir;
  fs::permissions(dir.path(), fs::perms(0755));  // for another user
  const fs::path config = dir.path() / "config";
  const fs::path program = dir.path() / "tarvoprobe";  // where another user may run it
  fs::copy_file(TARVOPROBE, program);
  const int held = h.make(config);
  Command c{{program.string()}, Environment(config, dir.path()), dir.path(), h.stdio, h.umask, 20};
  if (h.as_nobody) {
    c.argv.insert(c.argv.begin(),
                  {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  }
  if (!h.keep_home) c.env = {"PATH=/usr/bin:/bin"};
  const Finished f = RunToEnd(c);
  if (held >= 0) close(held);
  EXPECT_EQ(Violation(f, dir.path() / h.watched, h.expected, h.expected), "");
  if (h.check) h.check(config);
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileTest, testing::ValuesIn(kCases),
                         [](const auto& info) { return info.param.name; });

// With HOME unset the file goes to the password database's home. Root's is
// replaced by a scratch directory in a mount namespace of the run's own.
TEST(HostileEnvironmentTest, HomeUnsetUsesThePasswordDatabase) {
  const passwd* pw = getpwuid(geteuid());
  if (geteuid() != 0 || !pw || !fs::is_directory(pw->pw_dir) ||
      access("/usr/bin/unshare", X_OK) != 0) {
    GTEST_SKIP() << "SKIPPED: needs root, an existing home and /usr/bin/unshare";
  }
  testing_util::TempDir dir;
  const fs::path home = dir.path() / "home";
  fs::create_directory(home);
  Command c{{"/usr/bin/unshare", "-m", "/bin/sh", "-c", "mount --bind \"$1\" \"$2\" && exec \"$3\"",
             "sh", home.string(), pw->pw_dir, TARVOPROBE},
            {"PATH=/usr/bin:/bin"},
            dir.path()};
  const Finished f = RunToEnd(c);
  EXPECT_EQ(Violation(f, home / ".config/tarvo.ini", std::nullopt, kNew), "");
  EXPECT_EQ(ReadBytes(home / ".config/tarvo.ini"), kNew);
  EXPECT_FALSE(fs::exists(fs::path(pw->pw_dir) / ".config/tarvo.ini.partial"));
}

}  // namespace
}  // namespace reliability
