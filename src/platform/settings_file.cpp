#include "platform/settings_file.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr off_t kMaxFileSize = off_t{64} << 20;  // larger files are not ours

template <typename Call>
auto RetryOnEintr(Call call) {
  decltype(call()) result;
  do result = call();
  while (result == -1 && errno == EINTR);
  return result;
}

std::string ConfigDirectory() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && xdg[0] == '/') return xdg;
  const char* home = std::getenv("HOME");
  if (!home || home[0] != '/') {
    const passwd* pw = getpwuid(getuid());
    home = pw ? pw->pw_dir : nullptr;
  }
  if (!home || home[0] != '/') return "";
  return std::string(home) + "/.config";
}

Load ReadRegularFile(const std::string& path, std::string* bytes, struct stat* st) {
  if (stat(path.c_str(), st) != 0) return errno == ENOENT ? Load::kAbsent : Load::kRefused;
  if (!S_ISREG(st->st_mode) || st->st_size > kMaxFileSize) return Load::kRefused;
  const int fd = RetryOnEintr(
      [&] { return open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); });
  if (fd == -1) return errno == ENOENT ? Load::kAbsent : Load::kRefused;
  Load result = Load::kRefused;
  if (fstat(fd, st) == 0 && S_ISREG(st->st_mode) && st->st_size <= kMaxFileSize) {
    bytes->resize(static_cast<size_t>(st->st_size) + 1);  // +1 notices growth
    size_t got = 0;
    ssize_t n = 0;
    while (got < bytes->size() &&
           (n = RetryOnEintr([&] { return read(fd, &(*bytes)[got], bytes->size() - got); })) > 0) {
      got += static_cast<size_t>(n);
    }
    if (n >= 0 && got <= static_cast<size_t>(st->st_size)) {
      bytes->resize(got);
      result = Load::kRead;
    }
  }
  close(fd);
  return result;
}

// flock on the directory: a lock that a killed run cannot leave behind.
int LockDirectory(const std::string& dir) {
  const int fd =
      RetryOnEintr([&] { return open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (fd == -1) return -1;
  for (int waited_ms = 0, step_ms = 1;;
       waited_ms += step_ms, step_ms = step_ms < 16 ? step_ms * 2 : 16) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
    if ((errno != EWOULDBLOCK && errno != EINTR) || waited_ms >= kLockWaitMs) break;
    const timespec pause{0, step_ms * 1000000L};
    nanosleep(&pause, nullptr);
  }
  close(fd);
  return -1;
}

bool WriteAll(int fd, iovec* pieces, int count) {
  while (count > 0) {
    if (pieces->iov_len == 0) {
      ++pieces, --count;
      continue;
    }
    const ssize_t n = RetryOnEintr([&] { return writev(fd, pieces, count); });
    if (n <= 0) return false;
    for (size_t left = static_cast<size_t>(n); left > 0;) {  // a short write
      const size_t step = left < pieces->iov_len ? left : pieces->iov_len;
      pieces->iov_base = static_cast<char*>(pieces->iov_base) + step;
      pieces->iov_len -= step;
      left -= step;
      if (pieces->iov_len == 0) ++pieces, --count;
    }
  }
  return true;
}

}  // namespace

std::string SettingsPath(const char* file, bool create_directory) {
  if (std::strchr(file, '/')) return file;
  const std::string dir = ConfigDirectory();
  if (dir.empty()) return "";
  if (create_directory) mkdir(dir.c_str(), 0700);  // parents never
  return dir + "/" + file;
}

Load LoadSettings(const std::string& path, std::string* bytes) {
  struct stat st;
  return ReadRegularFile(path, bytes, &st);
}

HeldSettings::HeldSettings(const std::string& path) : path_(path) {
  struct stat st;
  if (lstat(path_.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char* resolved = realpath(path_.c_str(), nullptr);  // bounded by ELOOP
    if (!resolved) return;
    path_ = resolved;
    std::free(resolved);
  }
  const size_t slash = path_.rfind('/');
  const std::string dir = slash == std::string::npos ? "."
                          : slash == 0               ? "/"
                                                     : path_.substr(0, slash);
  name_ = path_.substr(slash + 1);
  dir_fd_ = LockDirectory(dir);
  if (held()) load_ = ReadRegularFile(path_, &bytes_, &st_);
}

HeldSettings::~HeldSettings() {
  if (held()) close(dir_fd_);  // unlocks
}

bool HeldSettings::writable() const {
  return load_ == Load::kAbsent ||
         (load_ == Load::kRead && (st_.st_mode & 0222) != 0 && access(path_.c_str(), W_OK) == 0);
}

bool HeldSettings::Replace(size_t at, size_t erase, const std::string& insert) {
  if (!held() || at + erase > bytes_.size()) return false;
  iovec pieces[3] = {{&bytes_[0], at},
                     {const_cast<char*>(insert.data()), insert.size()},
                     {&bytes_[0] + at + erase, bytes_.size() - at - erase}};
  const std::string temp = "." + name_ + ".partial";  // one per file: we hold the lock
  unlinkat(dir_fd_, temp.c_str(), 0);
  const int fd = RetryOnEintr([&] {
    return openat(dir_fd_, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  0600);
  });
  if (fd == -1) return false;
  const bool old = load_ == Load::kRead;
  mode_t mode;
  if (old) {
    mode = st_.st_mode & 07777;
  } else {
    mode = umask(0);
    umask(mode);
    mode = 0666 & ~mode;
  }
  bool ok = (!old || geteuid() != 0 || fchown(fd, st_.st_uid, st_.st_gid) == 0) &&
            fchmod(fd, mode) == 0 && WriteAll(fd, pieces, 3) &&
            RetryOnEintr([&] { return fsync(fd); }) == 0;
  ok = (close(fd) == 0 || errno == EINTR) && ok;
  ok = ok && renameat(dir_fd_, temp.c_str(), dir_fd_, name_.c_str()) == 0;
  if (!ok) {
    unlinkat(dir_fd_, temp.c_str(), 0);
    return false;
  }
  return RetryOnEintr([&] { return fsync(dir_fd_); }) == 0;
}
