// The invariant every run of the program must keep: the settings file whole
// (old or new), no temporary file left, nothing printed, exit status 1.
#ifndef TARVOPROBE_TESTS_RELIABILITY_RUN_H_
#define TARVOPROBE_TESTS_RELIABILITY_RUN_H_

#include <filesystem>
#include <optional>
#include <string>
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
