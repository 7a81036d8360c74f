// Power loss: the program runs on an ext4 image whose file system is then cut
// off without flushing its journal (as if the power failed), at several
// delays after the run. Once remounted, the file must hold the new content.
// commit=1,noauto_da_alloc keeps ext4 from covering for a missing fsync,
// which the control case shows: a rename without fsync is lost.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <cstdint>
#include <cstring>

#include "reliability/run.h"

namespace reliability {
namespace {

// The file system's "going down" request, as xfstests' godown sends it.
constexpr unsigned long kShutdown = _IOR('X', 125, std::uint32_t);
constexpr std::uint32_t kNoLogFlush = 2;

const std::string kOld = "[System]\nZorvaneOrBetter=no\n" + std::string(64 << 10, ';') + "\n";
const std::string kNew = "[System]\nZorvaneOrBetter=yes\n" + std::string(64 << 10, ';') + "\n";

Finished Tool(const fs::path& scratch, std::vector<std::string> argv) {
  return RunToEnd({std::move(argv), {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"}, scratch});
}

class Ext4Image {
 public:
  // Why the image cannot be made or mounted here, or "".
  std::string Prepare() {
    if (geteuid() != 0) return "needs root to mount a loop device";
    const fs::path image = dir_.path() / "ext4.img";
    testing_util::WriteBytes(image, "");
    fs::resize_file(image, 64 << 20);
    Finished f = Tool(dir_.path(), {"/sbin/mkfs.ext4", "-q", "-F", image.string()});
    if (f.status != 0) return "mkfs.ext4 failed: " + f.err;
    fs::create_directory(mount_point_);
    if (std::string why = Mount(); !why.empty()) return why;
    const int fd = open(mount_point_.c_str(), O_RDONLY | O_DIRECTORY);
    std::uint32_t flags = ~0u;  // invalid: asks only whether the request is known
    const bool known = ioctl(fd, kShutdown, &flags) == -1 && errno == EINVAL;
    close(fd);
    Unmount();
    return known ? "" : "the kernel does not take the shutdown request on ext4";
  }
  std::string Mount() {
    const Finished f =
        Tool(dir_.path(), {"/bin/mount", "-t", "ext4", "-o", "loop,commit=1,noauto_da_alloc",
                           (dir_.path() / "ext4.img").string(), mount_point_.string()});
    mounted_ = f.status == 0;
    return mounted_ ? "" : "mount -o loop failed: " + f.err;
  }
  void Unmount() {
    if (mounted_) EXPECT_EQ(Tool(dir_.path(), {"/bin/umount", mount_point_.string()}).err, "");
    mounted_ = false;
  }
  void CutPower() {
    const int fd = open(mount_point_.c_str(), O_RDONLY | O_DIRECTORY);
    std::uint32_t flags = kNoLogFlush;
    EXPECT_EQ(ioctl(fd, kShutdown, &flags), 0) << strerror(errno);
    close(fd);
  }
  // A durable starting file.
  void Start(const std::string& content) {
    fs::create_directories(config());
    testing_util::WriteBytes(config() / "tarvo.ini", content);
    const int fd = open(mount_point_.c_str(), O_RDONLY | O_DIRECTORY);
    syncfs(fd);
    close(fd);
  }
  fs::path config() const { return mount_point_ / "config"; }
  const fs::path& scratch() const { return dir_.path(); }
  ~Ext4Image() { Unmount(); }

 private:
  testing_util::TempDir dir_;
  fs::path mount_point_ = dir_.path() / "mnt";
  bool mounted_ = false;
};

TEST(PowerLossTest, TheNewFileSurvivesAPowerCutAfterTheRun) {
  Ext4Image image;
  if (const std::string why = image.Prepare(); !why.empty()) GTEST_SKIP() << "SKIPPED: " << why;

  // The control: written and renamed without fsync, the new content is lost.
  ASSERT_EQ(image.Mount(), "");
  image.Start(kOld);
  testing_util::WriteBytes(image.config() / "unsynced", kNew);
  fs::rename(image.config() / "unsynced", image.config() / "tarvo.ini");
  image.CutPower();
  image.Unmount();
  ASSERT_EQ(image.Mount(), "");
  ASSERT_NE(ReadBytes(image.config() / "tarvo.ini"), kNew)
      << "an unsynced rename survived the power cut: the trials below would prove nothing";
  image.Unmount();

  int trials = 0, lost = 0;
  for (const double delay : {0.0, 0.0, 0.0, 0.001, 0.001, 0.01, 0.01, 0.1, 0.1, 1.5}) {
    ASSERT_EQ(image.Mount(), "");
    image.Start(kOld);
    const Finished f =
        RunToEnd({{TARVOPROBE}, Environment(image.config(), image.scratch()), image.scratch()});
    std::this_thread::sleep_for(std::chrono::duration<double>(delay));
    image.CutPower();
    image.Unmount();
    ASSERT_EQ(image.Mount(), "");
    const std::string v = Violation(f, image.config() / "tarvo.ini", kNew, kNew);
    EXPECT_EQ(v, "") << "power cut " << delay << " s after the run";
    ++trials;
    if (!v.empty()) ++lost;
    image.Unmount();
  }
  std::cout << "[ figures  ] " << trials << " power cuts: " << trials - lost
            << " kept the new file\n";
}

}  // namespace
}  // namespace reliability
