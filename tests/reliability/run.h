// The invariant every run of the program must keep: the settings file whole
// (old or new), no temporary file left, nothing printed, exit status 1.
#ifndef TARVOPROBE_TESTS_RELIABILITY_RUN_H_
#define TARVOPROBE_TESTS_RELIABILITY_RUN_H_

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"

namespace reliability {

namespace fs = std::filesystem;
using testing_util::Command;
using testing_util::Finished;
using testing_util::ReadBytes;
using testing_util::RunToEnd;
using testing_util::Start;
using testing_util::Stdio;
using testing_util::Wait;

// The environment of a run whose configuration directory is `config`. The
// sanitizers cannot find leaks under ptrace and want their runtime first;
// neither matters to a build without them.
inline std::vector<std::string> Environment(const fs::path& config, const fs::path& home) {
  return {"XDG_CONFIG_HOME=" + config.string(), "HOME=" + home.string(),
          "PATH=/usr/bin:/bin:/usr/sbin:/sbin",
          "ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0"};
}

// Temporary files the stand-in may leave in `dir`: regular files named as
// its writers of tarvo.ini name theirs.
inline int Leftovers(const fs::path& dir) {
  static const std::regex kOurs(R"(\.tarvo\.ini\.[0-9a-f]{16}\.partial)");
  int n = 0;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    if (std::regex_match(entry.path().filename().string(), kOurs) && entry.is_regular_file(ec) &&
        !entry.is_symlink(ec)) {
      ++n;
    }
  }
  return n;
}

// What is wrong with the state a run left, or "" when nothing is. `before`
// and `after` are the file before the run and the one intended (nullopt:
// no file). A killed run may leave one temporary file, never a torn one.
inline std::string Violation(const Finished& f, const fs::path& ini,
                             const std::optional<std::string>& before,
                             const std::optional<std::string>& after, bool killed = false) {
  if (f.timed_out) return "did not end within " + std::to_string(f.seconds) + " s";
  if (!killed && (f.status != 1 || f.signal != 0)) {
    return "exit status " + std::to_string(f.status) + " signal " + std::to_string(f.signal) +
           ", stderr: " + f.err;
  }
  if (!f.out.empty() || !f.err.empty()) return "printed: " + f.out + f.err;
  const auto now = ReadBytes(ini);
  if (now != before && now != after)
    return "the file is neither old nor new: " + now.value_or("(none)");
  const int leftovers = Leftovers(ini.parent_path());
  if (leftovers > (killed ? 1 : 0)) return std::to_string(leftovers) + " temporary files left";
  return "";
}

// Waits until the program that `tracer` (strace) runs is held at the entry
// of system call `number`.
inline bool WaitForStall(pid_t tracer, long number) {
  const std::string children =
      "/proc/" + std::to_string(tracer) + "/task/" + std::to_string(tracer) + "/children";
  for (int i = 0; i < 2000; ++i) {
    std::istringstream pids(ReadBytes(children).value_or(""));
    long call = -1;
    if (pid_t tracee; pids >> tracee) {
      std::istringstream(ReadBytes("/proc/" + std::to_string(tracee) + "/syscall").value_or("")) >>
          call;
    }
    if (call == number) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

// Holds the lock on the settings file in `dir` in a child process until killed.
inline pid_t HoldLock(const fs::path& dir) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = open((dir / ".tarvo.ini.lock").c_str(), O_RDWR | O_CREAT, 0644);
    if (flock(fd, LOCK_EX) == 0 && write(ready[1], "x", 1) == 1) pause();
    _exit(1);
  }
  char c;
  close(ready[1]);
  const bool held = read(ready[0], &c, 1) == 1;
  close(ready[0]);
  return held ? pid : -1;
}

}  // namespace reliability

#endif  // TARVOPROBE_TESTS_RELIABILITY_RUN_H_
