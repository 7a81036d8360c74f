// Every fault at every step of a run: each call of each system call the
// program makes after start-up fails with each plausible error in turn (N
// rises until the run no longer reaches call N), or kills the program there;
// writes come back short; kills land at random moments mid-write.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <sstream>

#include "reliability/run.h"

namespace reliability {
namespace {

constexpr char kStrace[] = "/usr/bin/strace";

struct Scenario {
  const char* name;
  const char* program;
  bool directory_exists;
  std::optional<std::string> before, after;
};

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

const std::string kOld = "; kept\r\n[System]\r\nZorvaneOrBetter=no\r\n[Other]\r\nKey=1\r\n";
const std::string kNew = "; kept\r\n[System]\r\nZorvaneOrBetter=yes\r\n[Other]\r\nKey=1\r\n";
const std::string kCreated = "[System]\nZorvaneOrBetter=yes\n";

const Scenario kScenarios[] = {
    {"Replace", TARVOPROBE, true, kOld, kNew},
    {"ReadThenReplace", TARVOPROBE_INCAPABLE, true, kNew, kOld},
    {"Create", TARVOPROBE, true, std::nullopt, kCreated},
    {"CreateDirectory", TARVOPROBE, false, std::nullopt, kCreated},
};

// The write path's calls and the errors each may plausibly return.
const std::pair<const char*, std::vector<const char*>> kFaults[] = {
    {"mkdir", {"EIO", "ENOSPC", "EACCES", "EROFS"}},
    {"newfstatat", {"EIO", "EACCES", "ENOMEM"}},
    {"openat", {"EIO", "ENOSPC", "EACCES", "EMFILE", "EROFS", "EINTR"}},
    {"flock", {"EIO", "ENOSPC", "EACCES", "ENOLCK", "EINTR"}},
    {"fstat", {"EIO", "EACCES"}},
    {"faccessat2", {"EIO", "EACCES", "EROFS"}},
    {"getdents64", {"EIO", "ENOMEM"}},
    {"getrandom", {"EAGAIN", "ENOSYS", "EINTR"}},
    {"read", {"EIO", "ENOSPC", "EACCES", "EINTR"}},
    {"unlinkat", {"EIO", "ENOSPC", "EACCES", "EROFS"}},
    {"fchown", {"EIO", "ENOSPC", "EACCES", "EPERM"}},
    {"fchmod", {"EIO", "ENOSPC", "EACCES", "EPERM"}},
    {"write", {"EIO", "ENOSPC", "EACCES", "EINTR"}},
    {"writev", {"EIO", "ENOSPC", "EACCES", "EINTR"}},
    {"fsync", {"EIO", "ENOSPC", "EACCES", "EINTR"}},
    {"fdatasync", {"EIO", "ENOSPC", "EACCES", "EINTR"}},
    {"rename", {"EIO", "ENOSPC", "EACCES", "EXDEV", "EROFS"}},
    {"renameat", {"EIO", "ENOSPC", "EACCES", "EXDEV", "EROFS"}},
    {"renameat2", {"EIO", "ENOSPC", "EACCES", "EXDEV", "EROFS"}},
    {"close", {"EIO", "ENOSPC", "EACCES", "EINTR"}},
};

struct Sandbox {
  testing_util::TempDir dir;
  fs::path config = dir.path() / "config";
  fs::path ini = config / "tarvo.ini";
  fs::path log = dir.path() / "strace.log";

  explicit Sandbox(const Scenario& s) {
    if (s.directory_exists) fs::create_directory(config);
    if (s.before) {
      testing_util::WriteBytes(ini, *s.before);
      fs::permissions(ini, fs::perms(0640));
    }
  }
  Command Under(std::vector<std::string> strace_options, const char* program) const {
    Command run{
        {kStrace, "-f", "-qq", "-o", log.string()}, Environment(config, dir.path()), dir.path()};
    for (auto& o : strace_options) run.argv.push_back(o);
    run.argv.push_back(program);
    return run;
  }
  std::string Trace() const { return ReadBytes(log).value_or(""); }
};

// The names of the calls in a trace, in order, with "pid " prefixes gone.
std::vector<std::string> CallNames(const std::string& trace) {
  std::vector<std::string> names;
  std::istringstream lines(trace);
  for (std::string line; std::getline(lines, line);) {
    size_t b = line.find_first_not_of("0123456789 ");
    const size_t paren = line.find('(', b);
    if (b == std::string::npos || paren == std::string::npos || line.compare(b, 3, "+++") == 0)
      continue;
    names.push_back(line.substr(b, paren - b) +
                    (line.find("fcntl(0, F_GETFD)") != std::string::npos ? "!" : ""));
  }
  return names;
}

// How many calls of each name the loader and start-up made before main's
// first call (fcntl on fd 0), and how many the whole run made.
struct Census {
  std::map<std::string, int> before_main, total;
};

Census TakeCensus(const Scenario& s) {
  Sandbox box(s);
  const Finished f = RunToEnd(box.Under({}, s.program));
  EXPECT_EQ(f.status, 1) << f.err;
  Census c;
  bool in_main = false;
  for (const std::string& name : CallNames(box.Trace())) {
    if (name.back() == '!') in_main = true;
    const std::string plain = name.back() == '!' ? name.substr(0, name.size() - 1) : name;
    ++c.total[plain];
    if (!in_main) ++c.before_main[plain];
  }
  EXPECT_TRUE(in_main) << "main's first call was not seen";
  return c;
}

bool Skipped() { return access(kStrace, X_OK) != 0; }

class FaultTest : public testing::TestWithParam<Scenario> {};

TEST_P(FaultTest, EveryErrorAtEveryCallLeavesTheFileWhole) {
  if (Skipped()) GTEST_SKIP() << "SKIPPED: needs " << kStrace;
  const Scenario& s = GetParam();
  const Census census = TakeCensus(s);
  int points = 0, violations = 0;
  for (const auto& [call, errors] : kFaults) {
    const auto seen = census.before_main.find(call);
    const int first = (seen == census.before_main.end() ? 0 : seen->second) + 1;
    for (const char* error : errors) {
      for (int n = first;; ++n) {
        Sandbox box(s);
        const std::string inject =
            std::string(call) + ":error=" + error + ":when=" + std::to_string(n);
        const Finished f = RunToEnd(
            box.Under({"-e", std::string("trace=") + call, "-e", "inject=" + inject}, s.program));
        const std::string v = Violation(f, box.ini, s.before, s.after);
        if (!v.empty()) ++violations;
        EXPECT_EQ(v, "") << inject;
        if (box.Trace().find("(INJECTED)") == std::string::npos) {
          if (v.empty())
            EXPECT_EQ(ReadBytes(box.ini), s.after) << "a run that met no fault: " << inject;
          break;
        }
        ++points;
      }
    }
  }
  std::cout << "[ figures  ] " << s.name << ": " << points
            << " faults injected (call x errno x N), " << violations << " violations\n";
  EXPECT_GT(points, 30) << "too few faults met: is the census right?";
}

TEST_P(FaultTest, KilledAtEveryCallTheNextRunConverges) {
  if (Skipped()) GTEST_SKIP() << "SKIPPED: needs " << kStrace;
  const Scenario& s = GetParam();
  const Census census = TakeCensus(s);
  int points = 0, torn = 0;
  for (const auto& [call, total] : census.total) {
    const auto seen = census.before_main.find(call);
    for (int n = (seen == census.before_main.end() ? 0 : seen->second) + 1; n <= total; ++n) {
      Sandbox box(s);
      const std::string inject = call + ":signal=KILL:when=" + std::to_string(n);
      const Finished killed =
          RunToEnd(box.Under({"-e", "trace=" + call, "-e", "inject=" + inject}, s.program));
      if (call != "exit_group") EXPECT_NE(killed.status, 1) << inject << ": not killed";
      std::string v = Violation(killed, box.ini, s.before, s.after, true);
      const Finished rerun =
          RunToEnd({{s.program}, Environment(box.config, box.dir.path()), box.dir.path()});
      if (v.empty()) v = Violation(rerun, box.ini, s.after, s.after);
      if (!v.empty()) ++torn;
      EXPECT_EQ(v, "") << inject;
      ++points;
    }
  }
  std::cout << "[ figures  ] " << s.name << ": " << points << " crash points, " << torn
            << " torn or unconverged\n";
  EXPECT_GT(points, 10);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, FaultTest, testing::ValuesIn(kScenarios),
                         [](const auto& info) { return info.param.name; });

// A big file, so that writes come in many pieces and take a while.
std::string Padded(const char* value) {
  std::string s = "[System]\nZorvaneOrBetter=";
  s += value;
  s += "\n";
  for (int i = 0; s.size() < (1u << 20); ++i) s += "; padding line " + std::to_string(i) + "\n";
  return s;
}

// The shim's log: one line per write call, "asked wrote".
std::vector<std::pair<long, long>> ShimLog(const fs::path& log) {
  std::vector<std::pair<long, long>> calls;
  std::istringstream in(ReadBytes(log).value_or(""));
  for (long asked, wrote; in >> asked >> wrote;) calls.emplace_back(asked, wrote);
  return calls;
}

Command Shimmed(const fs::path& dir, const char* program, const char* chunk, const char* delay_us) {
  Command run{{program}, Environment(dir / "config", dir), dir};
  run.env.push_back(std::string("LD_PRELOAD=") + SHORT_WRITE_SHIM);
  run.env.push_back("TARVO_SHIM_LOG=" + (dir / "shim.log").string());
  run.env.push_back(std::string("TARVO_SHIM_CHUNK=") + chunk);
  run.env.push_back(std::string("TARVO_SHIM_DELAY_US=") + delay_us);
  return run;
}

TEST(ShortWriteTest, TheWriteLoopFinishesShortWrites) {
  for (const auto& [before, after] : {std::pair{kOld, kNew}, {Padded("no"), Padded("yes")}}) {
    testing_util::TempDir dir;
    fs::create_directory(dir.path() / "config");
    testing_util::WriteBytes(dir.path() / "config/tarvo.ini", before);
    const Finished f = RunToEnd(Shimmed(dir.path(), TARVOPROBE, "1000000000", "0"));
    EXPECT_EQ(Violation(f, dir.path() / "config/tarvo.ini", std::nullopt, after), "");
    const auto calls = ShimLog(dir.path() / "shim.log");
    ASSERT_GE(calls.size(), 2u) << "the shim saw no short write: was it loaded?";
    for (const auto& [asked, wrote] : calls) EXPECT_LE(wrote, std::max(1L, asked / 2));
  }
}

int Count(const char* variable, int fallback) {
  const char* v = std::getenv(variable);
  return v ? std::atoi(v) : fallback;
}

// Slowed writes of a 1 MiB file, killed at random moments: the file is always
// whole, at most one temporary file stays, and the next run clears it.
TEST(RandomKillTest, KillsMidWriteNeverTearTheFile) {
  const int kills = Count("TARVOPROBE_RANDOM_KILLS", 500);
  const unsigned seed = Count("TARVOPROBE_SEED", 4);
  testing_util::TempDir dir;
  const fs::path ini = dir.path() / "config/tarvo.ini";
  fs::create_directory(dir.path() / "config");
  const std::string no = Padded("no"), yes = Padded("yes");
  testing_util::WriteBytes(ini, no);

  // The kills spread over one whole run, as long as the slowest of a few.
  double longest = 0;
  for (int i = 0; i < 4; ++i) {
    const Finished f =
        RunToEnd(Shimmed(dir.path(), i % 2 ? TARVOPROBE_INCAPABLE : TARVOPROBE, "16384", "100"));
    ASSERT_EQ(Violation(f, ini, no, yes), "");
    longest = std::max(longest, f.seconds);
  }
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> moment(0, longest);
  int torn = 0, mid_write = 0, finished = 0;
  for (int i = 0; i < kills; ++i) {
    const bool has_yes = ReadBytes(ini) == yes;
    Command run = Shimmed(dir.path(), has_yes ? TARVOPROBE_INCAPABLE : TARVOPROBE, "16384", "100");
    const auto started = std::chrono::steady_clock::now();
    const pid_t pid = Start(run);
    std::this_thread::sleep_for(std::chrono::duration<double>(moment(random)));
    kill(pid, SIGKILL);
    const Finished f = Wait(pid, run, started);
    if (f.signal == 0) ++finished;
    if (Leftovers(ini.parent_path()) > 0) ++mid_write;
    const std::string v = Violation(f, ini, has_yes ? yes : no, has_yes ? no : yes, true);
    if (!v.empty()) ++torn;
    EXPECT_EQ(v, "") << "kill " << i << " (seed " << seed << ")";
  }
  const bool has_yes = ReadBytes(ini) == yes;
  const Finished f = RunToEnd({{has_yes ? TARVOPROBE_INCAPABLE : TARVOPROBE},
                               Environment(ini.parent_path(), dir.path()),
                               dir.path()});
  EXPECT_EQ(Violation(f, ini, has_yes ? no : yes, has_yes ? no : yes), "")
      << "the run after the kills";
  std::cout << "[ figures  ] " << kills << " random kills (seed " << seed << "): " << mid_write
            << " left a temporary file (killed mid-write), " << finished << " ran to the end, "
            << torn << " torn\n";
  EXPECT_GT(mid_write, kills / 10) << "few kills landed mid-write: the test proves little";
}

}  // namespace
}  // namespace reliability
