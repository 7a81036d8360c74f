// Running a program as a process from the tests: its output captured, its
// environment given whole, under a deadline.
#ifndef TARVOPROBE_TESTS_CHILD_PROCESS_H_
#define TARVOPROBE_TESTS_CHILD_PROCESS_H_

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

extern char** environ;

namespace testing_util {

// kClosed starts the program with descriptors 0 to 2 closed.
enum class Stdio { kCaptured, kDevFull, kClosed };

struct Command {
  std::vector<std::string> argv;  // argv[0] is the program's path
  std::vector<std::string> env;   // the whole environment
  std::filesystem::path scratch;  // where stdout and stderr are captured
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

// This process's own environment, for programs that need all of it.
inline std::vector<std::string> InheritedEnvironment() {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  return env;
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
  if (run.stdio == Stdio::kClosed) {
    for (int fd = 0; fd < 256; ++fd) close(fd);
  } else {
    dup2(open("/dev/null", O_RDONLY), 0);
    dup2(open(run.stdio == Stdio::kDevFull ? "/dev/full" : out.c_str(),
              O_WRONLY | O_CREAT | O_TRUNC, 0600),
         1);
    dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
    for (int fd = 3; fd < 256; ++fd) close(fd);
  }
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
  if (run.stdio != Stdio::kClosed) f.err = ReadBytes(run.scratch / "stderr").value_or("");
  return f;
}

inline Finished RunToEnd(Command run) {
  const auto started = std::chrono::steady_clock::now();
  return Wait(Start(run), run, started);
}

}  // namespace testing_util

#endif  // TARVOPROBE_TESTS_CHILD_PROCESS_H_
