// The program as a process: whatever it is given, it prints nothing, exits
// with status 1 and leaves the tabled file.
#include <gtest/gtest.h>

#include "child_process.h"
#include "outcome_table.h"

namespace {

using testing_util::ReadBytes;

using testing_util::Finished;

// Runs `program` with `args` in a clean environment whose configuration
// directory is `config`; `closed_stdio` starts it with fds 0-2 closed.
Finished RunProgram(const char* program, const std::filesystem::path& dir,
                    const std::string& config, const std::vector<std::string>& args = {},
                    bool closed_stdio = false) {
  testing_util::Command run{
      {program},
      {"XDG_CONFIG_HOME=" + config, "HOME=" + dir.string(), "PATH=/usr/bin:/bin"},
      dir,
      closed_stdio ? testing_util::Stdio::kClosed : testing_util::Stdio::kCaptured};
  run.argv.insert(run.argv.end(), args.begin(), args.end());
  return testing_util::RunToEnd(run);
}

class OutcomeTest : public testing::TestWithParam<Outcome> {};

TEST_P(OutcomeTest, RunLeavesTheTabledFile) {
  const Outcome& o = GetParam();
  testing_util::TempDir dir;
  const auto config = dir.path() / "config";
  std::filesystem::create_directory(config);
  if (o.before) testing_util::WriteBytes(config / "tarvo.ini", *o.before);
  const char* program = o.capable ? TARVOPROBE : TARVOPROBE_INCAPABLE;
  for (int pass = 0; pass < 2; ++pass) {
    const Finished run = RunProgram(program, dir.path(), config);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(ReadBytes(config / "tarvo.ini"), o.after) << "pass " << pass;
  }
}

INSTANTIATE_TEST_SUITE_P(Outcomes, OutcomeTest, testing::ValuesIn(LoadOutcomes()),
                         [](const auto& info) { return info.param.name; });

const std::vector<std::string> kArgumentLists[] = {
    {},
    {"--help"},
    {"/?", "-v", "--version", "no", "\"quoted words\"", "'single'", "a b c", "", "\\\"",
     "tarvo.ini"},
    std::vector<std::string>(500, "argument"),
};

TEST(ProgramTest, ArgumentsChangeNothing) {
  for (const auto& args : kArgumentLists) {
    testing_util::TempDir dir;
    const Finished run = RunProgram(TARVOPROBE, dir.path(), dir.path().string(), args);
    EXPECT_EQ(run.status, 1) << args.size() << " arguments";
    EXPECT_EQ(run.out + run.err, "");
    EXPECT_EQ(ReadBytes(dir.path() / "tarvo.ini"), "[System]\nZorvaneOrBetter=yes\n");
  }
}

TEST(ProgramTest, FailedWriteStillExitsWithOne) {
  testing_util::TempDir dir;
  for (const char* program : {TARVOPROBE, TARVOPROBE_INCAPABLE}) {
    const Finished run = RunProgram(program, dir.path(), (dir.path() / "missing/parent").string());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out + run.err, "");
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "missing"));
  }
}

// With fds 0-2 closed, the settings file would be opened as one of them and
// any stray output would land in it: the program must reopen them first.
TEST(ProgramTest, ClosedStandardStreamsAreNotReusedForFiles) {
  if (access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "SKIPPED: needs /usr/bin/strace";
  testing_util::TempDir dir;
  testing_util::WriteBytes(dir.path() / "tarvo.ini", "[System]\nZorvaneOrBetter=yes\n");
  const auto log = dir.path() / "strace.log";
  const Finished run =
      RunProgram("/usr/bin/strace", dir.path(), dir.path().string(),
                 {"-qq", "-o", log.string(), "-e", "trace=openat", TARVOPROBE_INCAPABLE}, true);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(ReadBytes(dir.path() / "tarvo.ini"), "[System]\nZorvaneOrBetter=no\n");
  const std::string trace = ReadBytes(log).value_or("");
  EXPECT_NE(trace.find("tarvo.ini"), std::string::npos) << "the trace saw no file opened";
  std::istringstream lines(trace);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("tarvo.ini") == std::string::npos) continue;  // the loader's are not ours
    const std::string result = line.substr(line.rfind('=') + 1);
    EXPECT_TRUE(result != " 0" && result != " 1" && result != " 2") << line;
  }
}

}  // namespace
