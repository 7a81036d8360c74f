// Running the Windows builds under Wine from the Linux tests. The prefix
// and its persistent wineserver come from the environment (WINEPREFIX), set
// up once per test run by wine_prefix.sh; it is a WoW64 prefix, so 32-bit
// programs run against the platform's own 32-bit DLLs beside the 64-bit ones.
#ifndef TARVOPROBE_TESTS_CROSS_WINE_H_
#define TARVOPROBE_TESTS_CROSS_WINE_H_

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "child_process.h"

namespace wine {

// One Windows build: its programs, and the Wine loader that runs them.
struct Machine {
  std::string name;  // i686 or x86_64
  std::string loader;
  std::filesystem::path build;

  std::string Program() const { return (build / "tarvoprobe.exe").string(); }
  std::string Incapable() const { return (build / "tests/tarvoprobe-incapable.exe").string(); }
  std::string Oracle() const { return (build / "tests/windows/profile_oracle.exe").string(); }
};

inline const Machine& I686() {
  static const Machine m{"i686", "/usr/lib/wine/wine", TARVOPROBE_WINDOWS_I686};
  return m;
}
inline const Machine& X86_64() {
  static const Machine m{"x86_64", "/usr/lib/wine/wine64", TARVOPROBE_WINDOWS_X86_64};
  return m;
}
inline const Machine& ByName(const std::string& name) { return name == "i686" ? I686() : X86_64(); }

// Runs `program` (a Windows .exe of `machine`) with `args`, capturing what
// it prints. Wine's own failures exit with 1 too: judge a run by its files.
inline testing_util::Finished Start(const Machine& machine, const std::string& program,
                                    const std::vector<std::string>& args,
                                    const std::filesystem::path& scratch) {
  testing_util::Command run{
      {machine.loader, program}, testing_util::InheritedEnvironment(), scratch};
  run.argv.insert(run.argv.end(), args.begin(), args.end());
  run.timeout_s = 120;
  return testing_util::RunToEnd(run);
}

// Escapes bytes for a command field of the oracle, where "(null)" stands
// for a null pointer.
inline std::string Escape(const std::string& bytes) {
  const std::string out = testing_util::Escape(bytes);
  return out == "(null)" ? "\\x28null)" : out;
}

// Runs all `commands` (see profile_oracle.cpp) in one process of the
// machine's oracle and returns one answer line per command.
inline std::vector<std::string> AskOracle(const Machine& machine,
                                          const std::vector<std::string>& commands,
                                          const std::filesystem::path& scratch) {
  std::string text;
  for (const auto& c : commands) text += c + "\n";
  const auto file = scratch / "oracle.commands";
  testing_util::WriteBytes(file, text);
  const auto run = Start(machine, machine.Oracle(), {"Z:" + file.string()}, scratch);
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
