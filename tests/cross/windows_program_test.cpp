// The Windows programs under Wine, each build against the platform's own
// profile service of its own width: a run from a fresh prefix, the version
// record, and the outcome table that the Linux suite runs too.
#include <gtest/gtest.h>

#include "outcome_table.h"
#include "wine.h"

namespace {

namespace fs = std::filesystem;
using testing_util::ReadBytes;

class WindowsProgramTest : public testing::TestWithParam<std::string> {
 protected:
  const wine::Machine& machine() const { return wine::ByName(GetParam()); }
};

const std::vector<std::vector<std::string>> kArgumentLists = {
    {},
    {"--help"},
    {"/?", "-v", "no", "\"quoted words\"", "'single'", "a b c", "", "tarvo.ini"},
    std::vector<std::string>(200, "argument")};

// Runs first in the test run, while the prefix is still fresh.
TEST_P(WindowsProgramTest, RecordsYesAndExitsWithOneWhateverTheArguments) {
  testing_util::TempDir scratch;
  const fs::path ini = wine::WindowsDirectory() / "tarvo.ini";
  ASSERT_FALSE(fs::exists(ini)) << "the prefix is not fresh";
  for (const auto& args : kArgumentLists) {
    const auto run = wine::Start(machine(), machine().Program(), args, scratch.path());
    EXPECT_EQ(run.status, 1) << args.size() << " arguments";
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(ReadBytes(ini), "[System]\r\nZorvaneOrBetter=yes\r\n") << args.size() << " arguments";
    fs::remove(ini);
  }
}

// The helper of the build's own width reads the record, and says how it ran.
TEST_P(WindowsProgramTest, VersionRecordReadsBackThroughThePlatform) {
  testing_util::TempDir scratch;
  const auto answers =
      wine::AskOracle(machine(), {"arch", "version\t" + machine().Program()}, scratch.path());
  ASSERT_EQ(answers.size(), 2u);
  std::cout << "[ machine  ] " << machine().name << " helper: " << answers[0] << "\n";
  // A 32-bit program in a WoW64 prefix runs as 32-bit code on 64-bit Windows.
  EXPECT_EQ(answers[0], machine().name == "i686" ? "pointer=4\twow64=1" : "pointer=8\twow64=0");
  // Resource type 16 is the version record; a manifest would add 24. The
  // 32-bit program is for Windows 95 as much as for NT (VOS__WINDOWS32); the
  // 64-bit one for NT alone (VOS_NT_WINDOWS32).
  const std::string os = machine().name == "i686" ? "0x4" : "0x40004";
  EXPECT_EQ(answers[1],
            "FILEVERSION=1.0.0.1\tPRODUCTVERSION=1.0.0.1\tFILEOS=" + os +
                "\tFileVersion=1.0.0.1\tProductVersion=1.0.0.1\t"
                "ProductName=tarvoprobe\tOriginalFilename=tarvoprobe.exe\tresources=16,");
}

// Wine rewrites the whole file in its own layout (CRLF, no blank lines), so
// the file after a run is compared as the platform reads it: every section,
// key and value the same as in the tabled file. A file the table leaves
// unchanged must stay byte for byte, and "NoINI" is never written.
TEST_P(WindowsProgramTest, OutcomeTableUnderThePlatformService) {
  testing_util::TempDir scratch;
  const fs::path ini = wine::WindowsDirectory() / "tarvo.ini";
  const auto outcomes = LoadOutcomes();
  std::vector<std::string> commands;
  for (const Outcome& o : outcomes) {
    fs::remove(ini);
    if (o.before) testing_util::WriteBytes(ini, *o.before);
    for (int pass = 0; pass < 2; ++pass) {
      const auto run = wine::Start(
          machine(), o.capable ? machine().Program() : machine().Incapable(), {}, scratch.path());
      EXPECT_EQ(run.status, 1) << o.name;
      EXPECT_EQ(run.out + run.err, "") << o.name;
    }
    const auto after = ReadBytes(ini);
    ASSERT_TRUE(after) << o.name << ": no file";
    EXPECT_EQ(after->find("NoINI"), std::string::npos) << o.name;
    if (o.before == o.after)
      EXPECT_EQ(after, o.before) << o.name << ": an unchanged file was rewritten";
    const auto got = scratch.path() / (o.name + ".got.ini"),
               want = scratch.path() / (o.name + ".want.ini");
    fs::copy_file(ini, got);
    testing_util::WriteBytes(want, o.after);
    for (const auto& file : {got, want}) {
      commands.push_back("dump\t" + file.string());
      commands.push_back("read\t" + file.string() + "\tSystem\tZorvaneOrBetter\tNoINI\t15");
    }
  }
  fs::remove(ini);
  const auto answers = wine::AskOracle(machine(), commands, scratch.path());
  ASSERT_EQ(answers.size(), commands.size());
  for (size_t i = 0; i < outcomes.size(); ++i) {
    EXPECT_EQ(answers[4 * i], answers[4 * i + 2])
        << outcomes[i].name << ": sections and keys differ";
    EXPECT_EQ(answers[4 * i + 1], answers[4 * i + 3])
        << outcomes[i].name << ": the value read differs";
  }
}

INSTANTIATE_TEST_SUITE_P(Machines, WindowsProgramTest, testing::Values("i686", "x86_64"),
                         [](const auto& info) { return info.param; });

}  // namespace
