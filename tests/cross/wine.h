// Running Windows programs under 64-bit Wine from the Linux tests. The
// prefix and its persistent wineserver come from the environment
// (WINEPREFIX), set up once per test run by wine_prefix.sh.
#ifndef TARVOPROBE_TESTS_CROSS_WINE_H_
#define TARVOPROBE_TESTS_CROSS_WINE_H_

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "test_util.h"

extern char** environ;

namespace wine {

struct Run {
  int status = -1;
  std::string out;
};

// Runs `program` (a Windows .exe) with `args`; its standard output is kept,
// Wine's diagnostics are dropped.
inline Run Start(const std::string& program, const std::vector<std::string>& args,
                 const std::filesystem::path& scratch) {
  const auto out = scratch / "wine.stdout";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> argv = {const_cast<char*>(TARVOPROBE_WINE),
                             const_cast<char*>(program.c_str())};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  Run run;
  pid_t pid;
  if (posix_spawn(&pid, TARVOPROBE_WINE, &actions, nullptr, argv.data(), environ) == 0) {
    int status;
    waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  run.out = testing_util::ReadBytes(out).value_or("");
  return run;
}

// Escapes bytes for a command field of the oracle, where "(null)" stands
// for a null pointer.
inline std::string Escape(const std::string& bytes) {
  const std::string out = testing_util::Escape(bytes);
  return out == "(null)" ? "\\x28null)" : out;
}

// Runs all `commands` (see profile_oracle.cpp) in one Wine process and
// returns one answer line per command.
inline std::vector<std::string> AskOracle(const std::vector<std::string>& commands,
                                          const std::filesystem::path& scratch) {
  std::string text;
  for (const auto& c : commands) text += c + "\n";
  const auto file = scratch / "oracle.commands";
  testing_util::WriteBytes(file, text);
  const Run run = Start(TARVOPROBE_ORACLE, {"Z:" + file.string()}, scratch);
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl; (nl = run.out.find('\n', start)) != std::string::npos; start = nl + 1) {
    lines.push_back(run.out.substr(start, nl - start));
  }
  return lines;
}

// Where the platform keeps a profile file named without a directory.
inline std::filesystem::path WindowsDirectory() {
  const char* prefix = std::getenv("WINEPREFIX");
  return std::filesystem::path(prefix ? prefix : "") / "drive_c" / "windows";
}

}  // namespace wine

#endif  // TARVOPROBE_TESTS_CROSS_WINE_H_
