// The profile service stand-in against golden files, and against what may
// stand at the settings path instead of a file.
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "platform/platform.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;
using testing_util::ReadBytes;
using testing_util::Unescape;
using testing_util::WriteBytes;

const fs::path kCases = TARVOPROBE_PROFILE_CASES;

struct Read {
  std::string section, key, default_value;
  bool null_default;
  DWORD size, count;
  std::string value;
};

// Cases by name: reads.tsv lists the reads of NAME.ini; NAME.after.ini holds
// the bytes after writing "no" to System/ZorvaneOrBetter, and is missing
// where that write must fail and leave the file alone.
std::map<std::string, std::vector<Read>> LoadCases() {
  std::map<std::string, std::vector<Read>> cases;
  for (const auto& r : testing_util::ReadTable(kCases / "reads.tsv")) {
    cases[r.at(0)].push_back({Unescape(r.at(1)), Unescape(r.at(2)), Unescape(r.at(3)), r.at(3) == "(null)",
                              DWORD(std::stoul(r.at(4))), DWORD(std::stoul(r.at(5))), Unescape(r.at(6))});
  }
  return cases;
}

std::vector<std::string> CaseNames() {
  std::vector<std::string> names;
  for (const auto& [name, reads] : LoadCases()) names.push_back(name);
  return names;
}

class ProfileDir : public testing::Test {
 protected:
  void SetUp() override { setenv("XDG_CONFIG_HOME", dir_.path().c_str(), 1); }
  fs::path Ini() const { return dir_.path() / "tarvo.ini"; }
  std::string ReadKey(DWORD size = 15) {
    char buffer[64];
    const DWORD count = GetPrivateProfileStringA("System", "ZorvaneOrBetter", "NoINI", buffer, size, "tarvo.ini");
    return std::string(buffer, count);
  }
  BOOL WriteNo() { return WritePrivateProfileStringA("System", "ZorvaneOrBetter", "no", "tarvo.ini"); }
  testing_util::TempDir dir_;
};

class GoldenTest : public ProfileDir, public testing::WithParamInterface<std::string> {};

TEST_P(GoldenTest, ReadsAndWriteMatchGoldenFiles) {
  const std::string& name = GetParam();
  const auto original = ReadBytes(kCases / (name + ".ini"));
  if (original) WriteBytes(Ini(), *original);

  const auto cases = LoadCases();
  for (const Read& r : cases.at(name)) {
    std::string buffer(r.size + 16, '\x7f');
    const DWORD count = GetPrivateProfileStringA(r.section.c_str(), r.key.c_str(),
                                                 r.null_default ? nullptr : r.default_value.c_str(),
                                                 buffer.data(), r.size, "tarvo.ini");
    const std::string what = r.section + "/" + r.key + " size " + std::to_string(r.size);
    EXPECT_EQ(count, r.count) << what;
    EXPECT_EQ(buffer.substr(0, count), r.value) << what;
    if (r.size > 0) EXPECT_EQ(buffer[count], '\0') << what;
    EXPECT_EQ(buffer.substr(r.size), std::string(16, '\x7f')) << what << ": wrote past the buffer";
  }

  const auto after = ReadBytes(kCases / (name + ".after.ini"));
  EXPECT_EQ(WriteNo(), after ? TRUE : FALSE);
  EXPECT_EQ(ReadBytes(Ini()), after ? after : original);
  if (after) EXPECT_EQ(ReadKey(), "no") << "the write changed a line the read does not take";
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), {}), original || after ? 1 : 0)
      << "a temporary file was left behind";
}

INSTANTIATE_TEST_SUITE_P(Cases, GoldenTest, testing::ValuesIn(CaseNames()),
                         [](const auto& info) { return info.param; });

// What may stand at the path instead of a regular file: never read as data,
// never replaced, and never waited on.
const std::pair<const char*, std::function<void(const fs::path&)>> kNotFiles[] = {
    {"Directory", [](const fs::path& p) { fs::create_directory(p); }},
    {"FifoWithoutWriter", [](const fs::path& p) { mkfifo(p.c_str(), 0644); }},
    {"DanglingLink", [](const fs::path& p) { fs::create_symlink(p.parent_path() / "nowhere", p); }},
    {"LinkLoop", [](const fs::path& p) { fs::create_symlink(p, p); }},
    {"LinkToDevNull", [](const fs::path& p) { fs::create_symlink("/dev/null", p); }},
    {"LinkToDevZero", [](const fs::path& p) { fs::create_symlink("/dev/zero", p); }},
    {"Socket",
     [](const fs::path& p) {
       sockaddr_un address{AF_UNIX, {}};
       p.string().copy(address.sun_path, sizeof address.sun_path - 1);
       bind(socket(AF_UNIX, SOCK_STREAM, 0), reinterpret_cast<sockaddr*>(&address), sizeof address);
     }},
};

TEST_F(ProfileDir, NonFilesAreNeitherReadNorReplaced) {
  for (const auto& [name, make] : kNotFiles) {
    make(Ini());
    const auto type = fs::symlink_status(Ini()).type();
    EXPECT_EQ(ReadKey(), "NoINI") << name;
    EXPECT_EQ(WriteNo(), FALSE) << name;
    EXPECT_EQ(fs::symlink_status(Ini()).type(), type) << name;
    fs::remove_all(Ini());
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), {}), 0) << name << ": left a file";
  }
}

TEST_F(ProfileDir, LinkIsFollowedAndKept) {
  fs::create_directory(dir_.path() / "real");
  const auto target = dir_.path() / "real" / "settings.ini";
  WriteBytes(target, "[System]\nZorvaneOrBetter=yes\n");
  fs::permissions(target, fs::perms(0640));
  fs::create_symlink("real/settings.ini", Ini());

  EXPECT_EQ(ReadKey(), "yes");
  EXPECT_EQ(WriteNo(), TRUE);
  EXPECT_TRUE(fs::is_symlink(Ini()));
  EXPECT_EQ(ReadBytes(target), "[System]\nZorvaneOrBetter=no\n");
  EXPECT_EQ(fs::status(target).permissions(), fs::perms(0640));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path() / "real"), {}), 1);
}

// Root passes every access() check, so the mode bits decide too.
TEST_F(ProfileDir, ReadOnlyFilesAreNotWritten) {
  for (const auto mode : {fs::perms(0444), fs::perms(0)}) {
    WriteBytes(Ini(), "[System]\nZorvaneOrBetter=yes\n");
    fs::permissions(Ini(), mode);
    EXPECT_EQ(WriteNo(), FALSE);
    fs::permissions(Ini(), fs::perms(0600));
    EXPECT_EQ(ReadBytes(Ini()), "[System]\nZorvaneOrBetter=yes\n");
  }
}

TEST_F(ProfileDir, FilesOver64MiBAreLeftAlone) {
  WriteBytes(Ini(), "[System]\nZorvaneOrBetter=yes\n");
  fs::resize_file(Ini(), (64 << 20) + 1);
  EXPECT_EQ(ReadKey(), "NoINI");
  EXPECT_EQ(WriteNo(), FALSE);
  EXPECT_EQ(fs::file_size(Ini()), (64u << 20) + 1);
}

TEST_F(ProfileDir, ReplacementKeepsModeAndNewFilesFollowUmask) {
  WriteBytes(Ini(), "[System]\nZorvaneOrBetter=yes\n");
  fs::permissions(Ini(), fs::perms(0604));
  EXPECT_EQ(WriteNo(), TRUE);
  EXPECT_EQ(fs::status(Ini()).permissions(), fs::perms(0604));

  fs::remove(Ini());
  const mode_t saved = umask(027);
  EXPECT_EQ(WriteNo(), TRUE);
  umask(saved);
  EXPECT_EQ(fs::status(Ini()).permissions(), fs::perms(0640));
}

TEST_F(ProfileDir, ConfigDirectoryFollowsXdgThenHome) {
  const auto home = dir_.path() / "home";
  fs::create_directory(home);
  setenv("HOME", home.c_str(), 1);
  for (const char* xdg : {"relative/dir", ""}) {
    setenv("XDG_CONFIG_HOME", xdg, 1);
    EXPECT_EQ(WriteNo(), TRUE) << "XDG_CONFIG_HOME=" << xdg;
    EXPECT_EQ(ReadBytes(home / ".config" / "tarvo.ini"), "[System]\nZorvaneOrBetter=no\n");
    EXPECT_EQ(fs::status(home / ".config").permissions(), fs::perms(0700));
    fs::remove_all(home / ".config");
  }
  unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(ReadKey(), "NoINI") << "a read creates nothing";
  EXPECT_FALSE(fs::exists(home / ".config"));
  fs::remove(home);
  EXPECT_EQ(WriteNo(), FALSE) << "parents are never created";
  EXPECT_FALSE(fs::exists(home));
}

TEST_F(ProfileDir, UnusableArgumentsFailSafely) {
  WriteBytes(Ini(), "[System]\nZorvaneOrBetter=yes\n");
  char buffer[4] = "abc";
  EXPECT_EQ(GetPrivateProfileStringA("System", "ZorvaneOrBetter", "x", nullptr, 15, "tarvo.ini"), 0u);
  EXPECT_EQ(GetPrivateProfileStringA("System", "ZorvaneOrBetter", "x", buffer, 0, "tarvo.ini"), 0u);
  EXPECT_STREQ(buffer, "abc");
  const char* const writes[][3] = {
      {nullptr, "ZorvaneOrBetter", "no"}, {"System", nullptr, "no"}, {"System", "ZorvaneOrBetter", nullptr},
      {"System", "ZorvaneOrBetter", "no\nInjected=1"}, {"Sys]tem", "K", "v"}, {"System", "A=B", "v"},
      {"System", "[Section]", "v"}, {"System", ";comment", "v"}, {"System", " ", "v"}};
  for (const auto& w : writes) {
    EXPECT_EQ(WritePrivateProfileStringA(w[0], w[1], w[2], "tarvo.ini"), FALSE);
  }
  EXPECT_EQ(ReadBytes(Ini()), "[System]\nZorvaneOrBetter=yes\n");
}

}  // namespace
