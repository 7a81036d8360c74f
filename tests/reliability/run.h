// Running the program as a process under a deadline, and the invariant every
// run must keep: the settings file whole (old or new), no temporary file
// left, nothing printed, exit status 1.
#ifndef TARVOPROBE_TESTS_RELIABILITY_RUN_H_
#define TARVOPROBE_TESTS_RELIABILITY_RUN_H_

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

namespace reliability {

namespace fs = std::filesystem;
using testing_util::ReadBytes;

enum class Stdio { kCaptured, kDevFull };

struct Command {
  std::vector<std::string> argv;
  std::vector<std::string> env;  // the whole environment
  fs::path scratch;              // where stdout and stderr are captured
  Stdio stdio = Stdio::kCaptured;
  mode_t umask = 022;
  double timeout_s = 30;
};

struct Finished {
  int status = -1;  // exit status, or -1
  int signal = 0;   // the signal that ended it, or 0
  bool timed_out = false;
  double seconds = 0;
  std::string out, err;
};

// The environment of a run whose configuration directory is `config`. The
// sanitizers cannot find leaks under ptrace and want their runtime first;
// neither matters to a build without them.
inline std::vector<std::string> Environment(const fs::path& config, const fs::path& home) {
  return {"XDG_CONFIG_HOME=" + config.string(), "HOME=" + home.string(),
          "PATH=/usr/bin:/bin:/usr/sbin:/sbin",
          "ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0"};
}

inline std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> p;
  for (auto& s : strings) p.push_back(s.data());
  p.push_back(nullptr);
  return p;
}

// Starts the run; the caller waits with Wait().
inline pid_t Start(Command& run) {
  const std::string out = (run.scratch / "stdout").string(),
                    err = (run.scratch / "stderr").string();
  std::vector<char*> argv = Pointers(run.argv), envp = Pointers(run.env);
  const pid_t pid = fork();
  if (pid != 0) return pid;
  // Only async-signal-safe calls from here on.
  umask(run.umask);
  dup2(open("/dev/null", O_RDONLY), 0);
  dup2(open(run.stdio == Stdio::kDevFull ? "/dev/full" : out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
            0600),
       1);
  dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
  for (int fd = 3; fd < 256; ++fd) close(fd);
  execve(argv[0], argv.data(), envp.data());
  _exit(127);
}

inline Finished Wait(pid_t pid, const Command& run, std::chrono::steady_clock::time_point started) {
  Finished f;
  const auto deadline = started + std::chrono::duration<double>(run.timeout_s);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline && !f.timed_out) {
      f.timed_out = true;
      kill(pid, SIGKILL);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (WIFEXITED(status)) f.status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) f.signal = WTERMSIG(status);
  if (run.stdio == Stdio::kCaptured) f.out = ReadBytes(run.scratch / "stdout").value_or("");
  f.err = ReadBytes(run.scratch / "stderr").value_or("");
  return f;
}

inline Finished RunToEnd(Command run) {
  const auto started = std::chrono::steady_clock::now();
  return Wait(Start(run), run, started);
}

// Temporary files the stand-in may leave in `dir`: the ones named like ours.
inline int Leftovers(const fs::path& dir) {
  int n = 0;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.size() > 8 && name.compare(name.size() - 8, 8, ".partial") == 0) ++n;
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

}  // namespace reliability

#endif  // TARVOPROBE_TESTS_RELIABILITY_RUN_H_
