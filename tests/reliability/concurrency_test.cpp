// Many writers of one file: the lock serialises their
// read-modify-write, readers always see a whole file, and a lock that is
// never released makes a run give up in bounded time.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/syscall.h>

#include <atomic>
#include <map>
#include <regex>
#include <sstream>

#include "reliability/run.h"

namespace reliability {
namespace {

const std::string kStart = "[System]\nZorvaneOrBetter=no\n";

Command Program(const fs::path& dir, const fs::path& scratch, std::vector<std::string> argv) {
  fs::create_directories(scratch);
  return {std::move(argv), Environment(dir / "config", dir), scratch};
}

// The keys and rounds a version of the file holds, or an error when the file
// is not a whole version: every line complete, every name once.
std::string Parse(const std::string& bytes, std::map<std::string, int>* rounds) {
  static const std::regex kLine("K[0-9]+=r([0-9]+)|ZorvaneOrBetter=(yes|no)");
  if (bytes.compare(0, 9, "[System]\n") != 0 || bytes.back() != '\n') return "torn: " + bytes;
  std::istringstream lines(bytes.substr(9));
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (!std::regex_match(line, m, kLine)) return "bad line: " + line;
    const std::string name = line.substr(0, line.find('='));
    if (rounds->count(name)) return "twice: " + name;
    (*rounds)[name] = m[1].matched ? std::stoi(m[1]) : 0;
  }
  return "";
}

TEST(ConcurrencyTest, ManyWritersLoseNoKey) {
  constexpr int kWriters = 32, kRounds = 20, kProgramRuns = 16;
  testing_util::TempDir dir;
  const fs::path ini = dir.path() / "config/tarvo.ini";
  fs::create_directory(dir.path() / "config");
  testing_util::WriteBytes(ini, kStart);

  // A reader that must only ever see whole versions, each no older than the last.
  std::atomic<bool> done{false};
  std::string reader_error;
  int versions_read = 0;
  std::thread reader([&] {
    std::map<std::string, int> last;
    while (!done && reader_error.empty()) {
      std::map<std::string, int> now;
      reader_error = Parse(ReadBytes(ini).value_or(""), &now);
      for (const auto& [name, round] : last) {
        if (reader_error.empty() && (!now.count(name) || now[name] < round))
          reader_error = "went back: " + name;
      }
      last = now;
      ++versions_read;
    }
  });

  std::vector<std::pair<pid_t, Command>> runs;
  const auto started = std::chrono::steady_clock::now();
  for (int i = 0; i < kWriters + kProgramRuns; ++i) {
    const fs::path scratch = dir.path() / ("p" + std::to_string(i));
    Command c = i % 3 == 2 && i / 3 < kProgramRuns
                    ? Program(dir.path(), scratch, {TARVOPROBE})
                    : Program(dir.path(), scratch,
                              {PROFILE_WRITER, "K" + std::to_string(i), std::to_string(kRounds)});
    runs.emplace_back(Start(c), c);
  }
  // A write may give up on the lock after its bounded wait (under heavy load
  // a writer can keep missing it), but one that succeeded must never be lost.
  int writers = 0, programs = 0, gave_up = 0;
  std::map<std::string, std::string> acknowledged;
  for (auto& [pid, c] : runs) {
    const Finished f = Wait(pid, c, started);
    const bool is_program = c.argv.size() == 1;
    ++(is_program ? programs : writers);
    EXPECT_FALSE(f.timed_out);
    EXPECT_EQ(f.err, "");
    if (is_program) {
      EXPECT_EQ(f.status, 1);
      EXPECT_EQ(f.out, "");
    } else {
      EXPECT_TRUE(f.signal == 0 && f.status >= 0 && f.status <= kRounds) << c.argv[1] << " crashed";
      gave_up += f.status;
      acknowledged[c.argv[1]] = f.out;
    }
  }
  done = true;
  reader.join();
  EXPECT_EQ(reader_error, "") << "after " << versions_read << " reads";

  std::map<std::string, int> final_rounds;
  ASSERT_EQ(Parse(ReadBytes(ini).value_or(""), &final_rounds), "");
  size_t lost = 0, keys = 1;  // ZorvaneOrBetter
  for (const auto& [key, last] : acknowledged) {
    keys += !last.empty();
    const std::string now =
        final_rounds.count(key) ? "r" + std::to_string(final_rounds[key]) + "\n" : "";
    if (now != last) ++lost;
    EXPECT_EQ(now, last) << key << ": an acknowledged write was lost";
  }
  EXPECT_EQ(lost, 0u);
  EXPECT_LT(gave_up, writers * kRounds / 4) << "a quarter or more of the writes failed";
  EXPECT_EQ(final_rounds.size(), keys);
  EXPECT_NE(ReadBytes(ini)->find("ZorvaneOrBetter=yes\n"), std::string::npos);
  EXPECT_EQ(Leftovers(ini.parent_path()), 0);
  std::cout << "[ figures  ] " << writers << " writers x " << kRounds << " rounds and " << programs
            << " program runs: " << lost << " acknowledged writes lost, " << gave_up
            << " writes failed; the reader saw " << versions_read << " whole versions\n";
}

TEST(ConcurrencyTest, ALockNeverReleasedMakesTheRunGiveUp) {
  for (const auto& [program, before] :
       {std::pair{TARVOPROBE, kStart}, {TARVOPROBE_INCAPABLE, "[System]\nZorvaneOrBetter=yes\n"}}) {
    testing_util::TempDir dir;
    const fs::path ini = dir.path() / "config/tarvo.ini";
    fs::create_directory(dir.path() / "config");
    testing_util::WriteBytes(ini, before);
    const pid_t holder = HoldLock(ini.parent_path());
    ASSERT_GT(holder, 0);
    const Finished f = RunToEnd(Program(dir.path(), dir.path(), {program}));
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_EQ(Violation(f, ini, before, before), "") << program;
    EXPECT_GT(f.seconds, 1.0) << "gave up without waiting";
    std::cout << "[ figures  ] gave up after " << f.seconds << " s\n";
  }
}

// Writer A stalls between reading the file and replacing it (or in the
// rename) while writer B writes another key. Under the lock both keys land.
// With the lock disabled (flock faked to succeed), A still sees B's change
// when it stalled before its last look at the file; stalled in the rename,
// after it, A loses B's update, which proves the race is real and the lock
// is what prevents it.
TEST(ConcurrencyTest, TheLockPreventsALostUpdate) {
  if (access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "SKIPPED: needs /usr/bin/strace";
  for (const char* stall : {"getdents64", "renameat"}) {
    for (const bool locked : {true, false}) {
      testing_util::TempDir dir;
      const fs::path ini = dir.path() / "config/tarvo.ini";
      fs::create_directory(dir.path() / "config");
      testing_util::WriteBytes(ini, kStart);
      std::vector<std::string> a = {"/usr/bin/strace",
                                    "-qq",
                                    "-o",
                                    "/dev/null",
                                    "-e",
                                    std::string("trace=flock,") + stall,
                                    "-e",
                                    std::string("inject=") + stall + ":delay_enter=1000000"};
      std::vector<std::string> b = {"/usr/bin/strace", "-qq", "-o",
                                    "/dev/null",       "-e",  "trace=flock"};
      if (!locked) {
        for (auto* argv : {&a, &b}) argv->insert(argv->end(), {"-e", "inject=flock:retval=0"});
      }
      a.insert(a.end(), {PROFILE_WRITER, "A", "1"});
      b.insert(b.end(), {PROFILE_WRITER, "B", "1"});
      Command ca = Program(dir.path(), dir.path() / "a", a),
              cb = Program(dir.path(), dir.path() / "b", b);
      const auto started = std::chrono::steady_clock::now();
      const pid_t pa = Start(ca);
      ASSERT_TRUE(
          WaitForStall(pa, stall == std::string("getdents64") ? SYS_getdents64 : SYS_renameat))
          << stall;
      const Finished fb = RunToEnd(cb), fa = Wait(pa, ca, started);
      const std::string after = ReadBytes(ini).value_or("");
      const bool both =
          after.find("A=r0\n") != std::string::npos && after.find("B=r0\n") != std::string::npos;
      const std::string what = std::string(stall) + (locked ? " locked" : " unlocked");
      EXPECT_EQ(fa.err + fb.err, "") << what;
      if (locked) {
        EXPECT_EQ(fa.status, 0) << what;
        EXPECT_EQ(fb.status, 0) << what;
        EXPECT_TRUE(both) << what << ": lost an update: " << after;
        EXPECT_GT(fb.seconds, 0.5) << what << ": B did not wait for A";
      } else if (stall == std::string("getdents64")) {
        EXPECT_TRUE(both) << what << ": a change made before the last look was lost: " << after;
      } else {
        EXPECT_FALSE(both) << what
                           << ": no update was lost without the lock, so the race was not staged";
      }
    }
  }
}

}  // namespace
}  // namespace reliability
