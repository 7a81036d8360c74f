// The profile service stand-in on files: the caller's buffer, what may stand
// at the settings path instead of a file, modes, and where the file lives.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <map>

#include "platform/platform.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;
using testing_util::ReadBytes;
using testing_util::WriteBytes;

class ProfileDir : public testing::Test {
 protected:
  void SetUp() override { setenv("XDG_CONFIG_HOME", dir_.path().c_str(), 1); }
  fs::path Ini() const { return dir_.path() / "tarvo.ini"; }
  std::string ReadKey(DWORD size = 15) {
    char buffer[64];
    const DWORD count =
        GetPrivateProfileStringA("System", "ZorvaneOrBetter", "NoINI", buffer, size, "tarvo.ini");
    return std::string(buffer, count);
  }
  BOOL WriteNo() {
    return WritePrivateProfileStringA("System", "ZorvaneOrBetter", "no", "tarvo.ini");
  }
  testing_util::TempDir dir_;
};

// The copy into the caller's buffer: cut to its size less one, always ended
// by a NUL, never past its end; a buffer of size 0 gets nothing.
TEST_F(ProfileDir, ReadsFillTheBufferAndNoMore) {
  WriteBytes(Ini(), "[System]\nZorvaneOrBetter=\"abcdefghijklmnopqrst\"\n");
  for (DWORD size = 0; size <= 24; ++size) {
    std::string buffer(size + 16, '\x7f');
    const DWORD count = GetPrivateProfileStringA("System", "ZorvaneOrBetter", "NoINI",
                                                 buffer.data(), size, "tarvo.ini");
    const DWORD expected = size == 0 ? 0 : std::min<DWORD>(size - 1, 20);
    EXPECT_EQ(count, expected) << "size " << size;
    EXPECT_EQ(buffer.substr(0, count), std::string("abcdefghijklmnopqrst").substr(0, expected));
    if (size > 0) EXPECT_EQ(buffer[count], '\0') << "size " << size;
    EXPECT_EQ(buffer.substr(size), std::string(16, '\x7f')) << "size " << size << ": wrote past it";
  }
  EXPECT_EQ(ReadBytes(Ini()), "[System]\nZorvaneOrBetter=\"abcdefghijklmnopqrst\"\n");
}

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

// A FIFO is never opened: a writer blocked in its open stays blocked.
TEST_F(ProfileDir, AFifoWithABlockedWriterIsNotOpened) {
  ASSERT_EQ(mkfifo(Ini().c_str(), 0644), 0);
  const pid_t writer = fork();
  if (writer == 0) _exit(open(Ini().c_str(), O_WRONLY) == -1 ? 2 : 0);
  const std::string state = "/proc/" + std::to_string(writer) + "/wchan";
  for (int i = 0; i < 1000 && ReadBytes(state) != "wait_for_partner"; ++i) usleep(1000);
  EXPECT_EQ(ReadKey(), "NoINI");
  EXPECT_EQ(WriteNo(), FALSE);
  usleep(50000);
  EXPECT_EQ(waitpid(writer, nullptr, WNOHANG), 0) << "the writer was released";
  close(open(Ini().c_str(), O_RDONLY | O_NONBLOCK));
  waitpid(writer, nullptr, 0);
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
  // Beside the file replaced: its lock file, and no temporary file.
  EXPECT_TRUE(fs::is_regular_file(dir_.path() / "real" / ".settings.ini.lock"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path() / "real"), {}), 2);
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
  for (const uintmax_t size : {uintmax_t{64} << 20, (uintmax_t{64} << 20) + 1}) {
    const bool ours = size <= uintmax_t{64} << 20;
    WriteBytes(Ini(), "[System]\nZorvaneOrBetter=yes\n");
    fs::resize_file(Ini(), size);
    EXPECT_EQ(ReadKey(), ours ? "yes" : "NoINI") << size;
    EXPECT_EQ(WriteNo(), ours ? TRUE : FALSE) << size;
    EXPECT_EQ(fs::file_size(Ini()), ours ? size - 1 : size);
  }
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
  EXPECT_EQ(GetPrivateProfileStringA("System", "ZorvaneOrBetter", "x", nullptr, 15, "tarvo.ini"),
            0u);
  EXPECT_EQ(GetPrivateProfileStringA("System", "ZorvaneOrBetter", "x", buffer, 0, "tarvo.ini"), 0u);
  EXPECT_STREQ(buffer, "abc");
  const char* const writes[][3] = {{nullptr, "ZorvaneOrBetter", "no"},
                                   {"System", nullptr, "no"},
                                   {"System", "ZorvaneOrBetter", nullptr},
                                   {"System", "ZorvaneOrBetter", "no\nInjected=1"},
                                   {"Sys]tem", "K", "v"},
                                   {"System", "A=B", "v"},
                                   {"System", "[Section]", "v"},
                                   {"System", ";comment", "v"},
                                   {"System", " ", "v"}};
  for (const auto& w : writes) {
    EXPECT_EQ(WritePrivateProfileStringA(w[0], w[1], w[2], "tarvo.ini"), FALSE);
  }
  EXPECT_EQ(ReadBytes(Ini()), "[System]\nZorvaneOrBetter=yes\n");
}

}  // namespace
