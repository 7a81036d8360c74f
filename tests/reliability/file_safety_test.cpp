// The settings file where others can reach it: links another user planted,
// a name swapped while a write is under way, a lock on NFS, a temporary name
// taken, the umask, whose permission counts, and what a write's result says.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>

#include "platform/platform.h"
#include "platform/settings_file.h"
#include "reliability/run.h"

namespace reliability {
namespace {

constexpr uid_t kNobody = 65534;
constexpr char kStrace[] = "/usr/bin/strace";
const std::string kOld = "[System]\nZorvaneOrBetter=no\n";
const std::string kNew = "[System]\nZorvaneOrBetter=yes\n";

// What the stand-in in this process reads under System/ZorvaneOrBetter.
std::string ReadThroughTheStandIn(const fs::path& config) {
  setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  char value[16];
  const DWORD n = GetPrivateProfileStringA("System", "ZorvaneOrBetter", "NoINI", value,
                                           sizeof value, "tarvo.ini");
  return std::string(value, n);
}

void Link(const fs::path& target, const fs::path& at, uid_t owner) {
  fs::create_symlink(target, at);
  ASSERT_EQ(lchown(at.c_str(), owner, owner), 0) << at;
}

void Directory(const fs::path& dir, mode_t mode, uid_t owner) {
  fs::create_directory(dir);
  ASSERT_EQ(chown(dir.c_str(), owner, owner), 0);
  ASSERT_EQ(chmod(dir.c_str(), mode), 0);  // after chown, which clears nothing here
}

// A link may be followed when the caller owns it, or its directory is not
// both sticky and world-writable, or the link's owner owns that directory.
struct Links {
  const char* name;
  // Makes, under `top`, the configuration directory (returned) whose
  // tarvo.ini leads to `top`/target, which holds kOld.
  std::function<fs::path(const fs::path& top)> make;
  bool followed;
};

void PrintTo(const Links& l, std::ostream* os) { *os << l.name; }

const Links kLinks[] = {
    {"PlantedInASharedDirectory",
     [](const fs::path& top) {
       Directory(top / "config", 01777, 0);
       Link("../target", top / "config/tarvo.ini", kNobody);
       return top / "config";
     },
     false},
    {"SecondHopPlanted",
     [](const fs::path& top) {
       Directory(top / "config", 0755, 0);
       Directory(top / "shared", 01777, 0);
       Link("../shared/hop", top / "config/tarvo.ini", 0);
       Link("../target", top / "shared/hop", kNobody);
       return top / "config";
     },
     false},
    {"PlantedAsADirectoryOnTheWay",
     [](const fs::path& top) {
       Directory(top / "shared", 01777, 0);
       Directory(top / "private", 0755, 0);
       fs::create_symlink("../target", top / "private/tarvo.ini");
       Link("../private", top / "shared/config", kNobody);
       return top / "shared/config";
     },
     false},
    {"TheCallersOwnInASharedDirectory",
     [](const fs::path& top) {
       Directory(top / "config", 01777, 0);
       Link("../target", top / "config/tarvo.ini", 0);
       return top / "config";
     },
     true},
    {"TheDirectoryOwnersInTheirSharedDirectory",
     [](const fs::path& top) {
       Directory(top / "config", 01777, kNobody);
       Link("../target", top / "config/tarvo.ini", kNobody);
       return top / "config";
     },
     true},
    {"AnotherUsersInAStickyDirectoryOthersMayNotWrite",
     [](const fs::path& top) {
       Directory(top / "config", 01755, 0);
       Link("../target", top / "config/tarvo.ini", kNobody);
       return top / "config";
     },
     true},
    {"AnotherUsersInAPrivateDirectory",
     [](const fs::path& top) {
       Directory(top / "config", 0755, 0);
       Link("../target", top / "config/tarvo.ini", kNobody);
       return top / "config";
     },
     true},
};

class LinkRuleTest : public testing::TestWithParam<Links> {};

// Every link under `top`, and where it leads, without following any.
std::map<fs::path, fs::path> LinksUnder(const fs::path& top) {
  std::map<fs::path, fs::path> links;
  for (const auto& e : fs::recursive_directory_iterator(top)) {
    if (e.is_symlink()) links[e.path()] = fs::read_symlink(e.path());
  }
  return links;
}

TEST_P(LinkRuleTest, LinksAreFollowedOnlyWhereTheKernelWould) {
  if (geteuid() != 0) GTEST_SKIP() << "SKIPPED: links owned by another user need root";
  const Links& l = GetParam();
  testing_util::TempDir dir;
  fs::permissions(dir.path(), fs::perms(0755));
  const fs::path target = dir.path() / "target";
  testing_util::WriteBytes(target, kOld);
  const fs::path config = l.make(dir.path());
  const auto links = LinksUnder(dir.path());

  EXPECT_EQ(ReadThroughTheStandIn(config), l.followed ? "no" : "NoINI");
  const Finished f = RunToEnd({{TARVOPROBE}, Environment(config, dir.path()), dir.path()});
  EXPECT_EQ(f.status, 1);
  EXPECT_EQ(f.out + f.err, "");
  EXPECT_EQ(ReadBytes(target), l.followed ? kNew : kOld);
  EXPECT_EQ(LinksUnder(dir.path()), links) << "a link changed";
}

INSTANTIATE_TEST_SUITE_P(Cases, LinkRuleTest, testing::ValuesIn(kLinks),
                         [](const auto& info) { return info.param.name; });

// A run under strace, with the settings directory `config` (holding kOld).
struct Staged {
  testing_util::TempDir dir;
  fs::path config = dir.path() / "config", ini = config / "tarvo.ini";
  Staged() {
    fs::create_directory(config);
    testing_util::WriteBytes(ini, kOld);
  }
  Command Under(std::vector<std::string> strace, std::vector<std::string> program) const {
    Command c{
        {kStrace, "-f", "-qq", "-o", "/dev/null"}, Environment(config, dir.path()), dir.path()};
    c.argv.insert(c.argv.end(), strace.begin(), strace.end());
    c.argv.insert(c.argv.end(), program.begin(), program.end());
    return c;
  }
};

bool NoStrace() { return access(kStrace, X_OK) != 0; }

// The write stalls once its new content is synced; meanwhile the name is
// made a link to a victim. The write must not replace what it did not load.
TEST(FileSafetyTest, ANameSwappedDuringAWriteIsNotReplaced) {
  if (NoStrace()) GTEST_SKIP() << "SKIPPED: needs " << kStrace;
  Staged s;
  const fs::path victim = s.dir.path() / "victim";
  testing_util::WriteBytes(victim, kOld);
  Command c =
      s.Under({"-e", "trace=fsync", "-e", "inject=fsync:delay_enter=1000000:when=1"}, {TARVOPROBE});
  const auto started = std::chrono::steady_clock::now();
  const pid_t pid = Start(c);
  ASSERT_TRUE(WaitForStall(pid, SYS_fsync));
  fs::rename(s.ini, s.config / "moved.ini");
  fs::create_symlink(victim, s.ini);
  const Finished f = Wait(pid, c, started);
  EXPECT_EQ(f.status, 1);
  EXPECT_EQ(ReadBytes(victim), kOld);
  EXPECT_TRUE(fs::is_symlink(s.ini)) << "the swapped-in link was replaced";
  EXPECT_EQ(ReadBytes(s.config / "moved.ini"), kOld);
  EXPECT_EQ(Leftovers(s.config), 0);
}

// An editor that takes no lock appends to the file while a write is
// stalled: the write is made again on what the editor left.
TEST(FileSafetyTest, AnEditMadeMeanwhileIsKept) {
  if (NoStrace()) GTEST_SKIP() << "SKIPPED: needs " << kStrace;
  Staged s;
  Command c =
      s.Under({"-e", "trace=fsync", "-e", "inject=fsync:delay_enter=1000000:when=1"}, {TARVOPROBE});
  const auto started = std::chrono::steady_clock::now();
  const pid_t pid = Start(c);
  ASSERT_TRUE(WaitForStall(pid, SYS_fsync));
  std::ofstream(s.ini, std::ios::app) << "Other=1\n";
  const Finished f = Wait(pid, c, started);
  EXPECT_EQ(Violation(f, s.ini, kOld, kNew + "Other=1\n"), "");
  EXPECT_EQ(ReadBytes(s.ini), kNew + "Other=1\n");
}

// One that keeps changing the file: the write gives up, and reports it,
// with the file as the other program left it.
TEST(FileSafetyTest, AFileThatKeepsChangingIsLeftToTheOtherProgram) {
  if (NoStrace()) GTEST_SKIP() << "SKIPPED: needs " << kStrace;
  Staged s;
  Command c = s.Under({"-e", "trace=fsync", "-e", "inject=fsync:delay_enter=200000"},
                      {PROFILE_WRITER, "K", "1"});
  std::atomic<bool> done{false};
  std::string appended;
  std::thread other([&] {
    for (int i = 0; !done; ++i) {
      const std::string line = "Line=" + std::to_string(i) + "\n";
      std::ofstream(s.ini, std::ios::app) << line;
      appended += line;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  const Finished f = RunToEnd(c);
  done = true;
  other.join();
  EXPECT_EQ(f.status, 1) << "the write did not report its failure";
  EXPECT_EQ(ReadBytes(s.ini), kOld + appended);
  EXPECT_EQ(Leftovers(s.config), 0);
}

// What the replacement carries: owner, group, mode, ACL, extended
// attributes; and where access would change, it does not replace. As root,
// or as nobody with the groups given to setpriv.
struct Carried {
  const char* name;
  const char* groups;  // nullptr: run as root
  // Makes `file` (holding kOld) what the case needs; its directory is
  // nobody's.
  std::function<void(const fs::path& file)> make;
  bool replaced;
};

void PrintTo(const Carried& c, std::ostream* os) { *os << c.name; }

void Run(const std::vector<std::string>& argv) {
  ASSERT_EQ(RunToEnd({argv, {"PATH=/usr/bin:/bin"}, fs::temp_directory_path()}).status, 0)
      << argv[0];
}

constexpr gid_t kUsers = 100;

const Carried kCarried[] = {
    {"AclAttributeAndGroup", nullptr,
     [](const fs::path& f) {
       ASSERT_EQ(chown(f.c_str(), 0, kUsers), 0);
       fs::permissions(f, fs::perms(0664));
       Run({"/usr/bin/setfacl", "-m", "u:nobody:rw,g::r,m::rw", f});
       ASSERT_EQ(setxattr(f.c_str(), "user.note", "kept", 4, 0), 0);
     },
     true},
    {"NoAclFromTheDirectory", nullptr,
     [](const fs::path& f) {
       Run({"/usr/bin/setfacl", "-d", "-m", "u:nobody:rw", f.parent_path()});
       fs::permissions(f, fs::perms(0664));
     },
     true},
    {"GroupOfAMember", "100",
     [](const fs::path& f) {
       ASSERT_EQ(chown(f.c_str(), kNobody, kUsers), 0);
       fs::permissions(f, fs::perms(0640));
     },
     true},
    {"GroupNotCarriedWouldGainAccess", "",
     [](const fs::path& f) {
       ASSERT_EQ(chown(f.c_str(), kNobody, kUsers), 0);
       fs::permissions(f, fs::perms(0640));
     },
     false},
    {"NewOwnerWouldGainExecute", "",
     [](const fs::path& f) {
       ASSERT_EQ(chown(f.c_str(), 0, 0), 0);
       fs::permissions(f, fs::perms(0766));
     },
     false},
};

class CarriedTest : public testing::TestWithParam<Carried> {};

// Owner, group, mode and every extended attribute with its value.
std::string Metadata(const fs::path& file) {
  struct stat st;
  if (stat(file.c_str(), &st) != 0) return "(none)";
  std::ostringstream out;
  out << st.st_uid << ":" << st.st_gid << " " << std::oct << (st.st_mode & 07777) << std::dec;
  char names[4096], value[4096];
  const ssize_t n = listxattr(file.c_str(), names, sizeof names);
  for (ssize_t at = 0; at < n; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
    const ssize_t v = getxattr(file.c_str(), names + at, value, sizeof value);
    out << " " << names + at << "=" << testing_util::Escape(std::string(value, v > 0 ? v : 0));
  }
  return out.str();
}

TEST_P(CarriedTest, AccessIsNeverWidened) {
  const Carried& c = GetParam();
  if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0 ||
      access("/usr/bin/setfacl", X_OK) != 0) {
    GTEST_SKIP() << "SKIPPED: needs root, /usr/bin/setpriv and /usr/bin/setfacl (acl)";
  }
  Staged s;
  fs::permissions(s.dir.path(), fs::perms(0755));
  ASSERT_EQ(chown(s.config.c_str(), kNobody, kNobody), 0);
  c.make(s.ini);
  const std::string before = Metadata(s.ini);
  const fs::path program = s.dir.path() / "tarvoprobe";  // where nobody may run it
  fs::copy_file(TARVOPROBE, program);
  Command run{{program}, Environment(s.config, s.dir.path()), s.dir.path()};
  if (c.groups) {
    run.argv.insert(run.argv.begin(),
                    {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                     *c.groups ? std::string("--groups=") + c.groups : "--clear-groups"});
  }
  const Finished f = RunToEnd(run);
  EXPECT_EQ(Violation(f, s.ini, kOld, kNew), "");
  EXPECT_EQ(ReadBytes(s.ini), c.replaced ? kNew : kOld);
  EXPECT_EQ(Metadata(s.ini), before);
}

INSTANTIATE_TEST_SUITE_P(Cases, CarriedTest, testing::ValuesIn(kCarried),
                         [](const auto& info) { return info.param.name; });

// An NFS client without local_lock=flock, emulated by a preloaded shim.
TEST(FileSafetyTest, TheLockWorksWhereFlockNeedsAWritableDescriptor) {
  Staged s;
  Command c{{TARVOPROBE}, Environment(s.config, s.dir.path()), s.dir.path()};
  c.env.push_back(std::string("LD_PRELOAD=") + NFS_LOCK_SHIM);
  const Finished f = RunToEnd(c);
  EXPECT_EQ(Violation(f, s.ini, kOld, kNew), "");
  EXPECT_EQ(ReadBytes(s.ini), kNew);
}

TEST(FileSafetyTest, ALockNotTakenLeavesTheFileAndFails) {
  if (NoStrace()) GTEST_SKIP() << "SKIPPED: needs " << kStrace;
  for (const char* error : {"ENOLCK", "EBADF", "EIO"}) {
    Staged s;
    const Finished f =
        RunToEnd(s.Under({"-e", "trace=flock", "-e", std::string("inject=flock:error=") + error},
                         {PROFILE_WRITER, "K", "1"}));
    EXPECT_EQ(f.status, 1) << error << ": the write did not report its failure";
    EXPECT_EQ(ReadBytes(s.ini), kOld) << error;
  }
}

// Each try for the lock made slow: the wait still ends by the clock.
TEST(FileSafetyTest, TheLockWaitIsBoundedByTheClock) {
  if (NoStrace()) GTEST_SKIP() << "SKIPPED: needs " << kStrace;
  Staged s;
  const pid_t holder = HoldLock(s.config);
  ASSERT_GT(holder, 0);
  Command c = s.Under({"-e", "trace=flock", "-e", "inject=flock:delay_exit=30000"}, {TARVOPROBE});
  c.timeout_s = 60;
  const Finished f = RunToEnd(c);
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  EXPECT_EQ(ReadBytes(s.ini), kOld);
  EXPECT_GT(f.seconds, 4.0) << "gave up without waiting";
  EXPECT_LT(f.seconds, kLockWaitMs / 1000.0 + 2.5) << "waited past the bound";
  std::cout << "[ figures  ] gave up after " << f.seconds << " s\n";
}

// Whatever stands at a name a temporary file could take blocks nothing.
TEST(FileSafetyTest, NothingAtAFixedNameBlocksTheWrite) {
  const std::pair<const char*, std::function<void(const fs::path&)>> kBlockers[] = {
      {"Directory",
       [](const fs::path& p) {
         fs::create_directory(p);
         testing_util::WriteBytes(p / "inside", "x");
       }},
      {"Fifo", [](const fs::path& p) { mkfifo(p.c_str(), 0644); }},
  };
  for (const auto& [name, make] : kBlockers) {
    Staged s;
    make(s.config / ".tarvo.ini.partial");
    const Finished f = RunToEnd({{TARVOPROBE}, Environment(s.config, s.dir.path()), s.dir.path()});
    EXPECT_EQ(Violation(f, s.ini, kOld, kNew), "") << name;
    EXPECT_EQ(ReadBytes(s.ini), kNew) << name;
  }
}

// A new file's mode comes from the kernel, which applies the umask; the
// process's umask is never changed, not even for a moment.
TEST(FileSafetyTest, NewFilesTakeTheUmaskWithoutChangingIt) {
  if (NoStrace()) GTEST_SKIP() << "SKIPPED: needs " << kStrace;
  Staged s;
  fs::remove(s.ini);
  const fs::path log = s.dir.path() / "umask.log";
  Command c{{kStrace, "-f", "-qq", "-o", log.string(), "-e", "trace=umask", TARVOPROBE},
            Environment(s.config, s.dir.path()),
            s.dir.path()};
  c.umask = 027;
  const Finished f = RunToEnd(c);
  EXPECT_EQ(f.status, 1);
  EXPECT_EQ(ReadBytes(log), "") << "the umask was changed";
  EXPECT_EQ(fs::status(s.ini).permissions(), fs::perms(0640));
}

// Root's program run with another real user: the effective user decides.
TEST(FileSafetyTest, PermissionIsJudgedByTheEffectiveUser) {
  if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0) {
    GTEST_SKIP() << "SKIPPED: needs root and /usr/bin/setpriv";
  }
  Staged s;
  fs::permissions(s.ini, fs::perms(0644));
  const Finished f = RunToEnd({{"/usr/bin/setpriv", "--ruid=65534", TARVOPROBE},
                               Environment(s.config, s.dir.path()),
                               s.dir.path()});
  EXPECT_EQ(Violation(f, s.ini, kOld, kNew), "");
  EXPECT_EQ(ReadBytes(s.ini), kNew) << "a file the effective user may write was not written";
}

// Once the new content is in place the write says so, even when syncing the
// directory after the rename fails.
TEST(FileSafetyTest, AWriteInPlaceIsReportedEvenWhenTheDirectorySyncFails) {
  if (NoStrace()) GTEST_SKIP() << "SKIPPED: needs " << kStrace;
  Staged s;
  const Finished f = RunToEnd(s.Under({"-e", "trace=fsync", "-e", "inject=fsync:error=EIO:when=2"},
                                      {PROFILE_WRITER, "K", "1"}));
  EXPECT_EQ(f.status, 0) << "the write reported a failure, but its content is in place";
  EXPECT_EQ(ReadBytes(s.ini), kOld + "K=r0\n");
}

}  // namespace
}  // namespace reliability
