#include "platform/settings_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr off_t kMaxFileSize = off_t{64} << 20;  // larger files are not ours
constexpr int kMaxLinks = 40;                    // as the kernel's ELOOP bound

template <typename Call>
auto RetryOnEintr(Call call) {
  decltype(call()) result;
  do result = call();
  while (result == -1 && errno == EINTR);
  return result;
}

// A descriptor closed at the end of its scope.
struct Fd {
  int fd = -1;
  explicit Fd(int f = -1) : fd(f) {}
  ~Fd() { Reset(-1); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  void Reset(int f) {
    if (fd != -1) close(fd);
    fd = f;
  }
  int Release() {
    const int f = fd;
    fd = -1;
    return f;
  }
};

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

// The kernel's protected_symlinks rule for a link in directory `dir`.
bool MayFollow(const struct stat& link, const struct stat& dir) {
  const bool shared = (dir.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH);
  return !shared || link.st_uid == geteuid() || link.st_uid == dir.st_uid;
}

// Where `path` leads: the directory holding what it names (an O_PATH
// descriptor) and the name there, every link on the way followed by hand
// under the rule. `*via_link`: the name was reached through a link at the
// end of the path. `*found`: what the name holds, all zero when nothing.
int Locate(const std::string& path, std::string* name, bool* via_link, struct stat* found) {
  Fd dir(open(path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  struct stat dir_st;
  if (dir.fd == -1 || fstat(dir.fd, &dir_st) != 0) return -1;
  std::string rest = path;
  int links = 0;
  *via_link = false;
  *found = {};
  while (true) {
    const size_t begin = rest.find_first_not_of('/');
    if (begin == std::string::npos) return -1;  // a directory, not a file
    const size_t end = rest.find('/', begin);
    const std::string part = rest.substr(begin, end - begin);
    rest = end == std::string::npos ? "" : rest.substr(end);
    const bool last = rest.find_first_not_of('/') == std::string::npos;
    if (part == ".") continue;
    struct stat st;
    if (fstatat(dir.fd, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT || !last) return -1;
      *name = part;
      return dir.Release();
    }
    if (S_ISLNK(st.st_mode)) {
      if (++links > kMaxLinks || !MayFollow(st, dir_st)) return -1;
      char target[4096];
      const ssize_t n = readlinkat(dir.fd, part.c_str(), target, sizeof target);
      if (n <= 0 || static_cast<size_t>(n) == sizeof target) return -1;
      rest = std::string(target, static_cast<size_t>(n)) + "/" + rest;
      if (target[0] == '/') {
        dir.Reset(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (dir.fd == -1 || fstat(dir.fd, &dir_st) != 0) return -1;
      }
      if (last) *via_link = true;
      continue;
    }
    if (last) {
      *name = part;
      *found = st;
      return dir.Release();
    }
    dir.Reset(openat(dir.fd, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dir.fd == -1 || fstat(dir.fd, &dir_st) != 0) return -1;
  }
}

// Reads the regular file `name` in `dir` through the descriptor it opens,
// never following a link there, which would have been swapped in since.
Load ReadRegularFile(int dir, const std::string& name, bool via_link, std::string* bytes,
                     struct stat* st) {
  const int fd = RetryOnEintr([&] {
    return openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  });
  if (fd == -1) return errno == ENOENT && !via_link ? Load::kAbsent : Load::kRefused;
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

long MonotonicMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

// flock on a lock file of its own, which is never replaced: a lock that a
// killed run cannot leave behind. NFS clients emulate flock with a lock that
// needs a descriptor open for writing. The file is readable to all (the
// umask aside), so that one who may not write it still locks it on a local
// file system.
int Lock(int dir, const std::string& name) {
  const std::string lock_name = "." + name + ".lock";
  const int flags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  int fd = RetryOnEintr(
      [&] { return openat(dir, lock_name.c_str(), O_RDWR | O_CREAT | O_EXCL | flags, 0644); });
  if (fd != -1) {
    fchmod(fd, 0644);
  } else if (errno == EEXIST) {
    fd = RetryOnEintr([&] { return openat(dir, lock_name.c_str(), O_RDWR | flags); });
    if (fd == -1 && errno == EACCES) {
      fd = RetryOnEintr([&] { return openat(dir, lock_name.c_str(), O_RDONLY | flags); });
    }
  }
  struct stat st;
  if (fd == -1) return -1;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    const long deadline = MonotonicMs() + kLockWaitMs;
    for (long step_ms = 1;; step_ms = step_ms < 16 ? step_ms * 2 : 16) {
      if (flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
      if ((errno != EWOULDBLOCK && errno != EINTR) || MonotonicMs() >= deadline) break;
      const timespec pause{0, step_ms * 1000000L};
      nanosleep(&pause, nullptr);
    }
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

// Under the lock no other writer is at work: whatever temporary file of
// this name is here, a killed run left it.
void RemoveLeftovers(int dir, const std::string& prefix) {
  const int fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* entries = fd == -1 ? nullptr : fdopendir(fd);
  if (!entries) {
    if (fd != -1) close(fd);
    return;
  }
  while (const dirent* e = readdir(entries)) {
    const size_t n = std::strlen(e->d_name);
    if (n > prefix.size() + 8 && std::strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0 &&
        std::strcmp(e->d_name + n - 8, ".partial") == 0) {
      unlinkat(dir, e->d_name, 0);  // a directory of that name stays, and blocks nothing
    }
  }
  closedir(entries);
}

// A temporary file beside `name` that nothing else has: a fresh random name,
// created exclusively.
int CreateTemporary(int dir, const std::string& name, mode_t mode, std::string* temp) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    unsigned char random[8] = {};
    if (getrandom(random, sizeof random, GRND_NONBLOCK) != sizeof random) {
      const long mix = MonotonicMs() * 1000003L + getpid() * 7919L + attempt;
      std::memcpy(random, &mix, sizeof random < sizeof mix ? sizeof random : sizeof mix);
    }
    *temp = "." + name + ".";
    for (unsigned char b : random) {
      *temp += "0123456789abcdef"[b >> 4];
      *temp += "0123456789abcdef"[b & 15];
    }
    *temp += ".partial";
    const int fd = RetryOnEintr([&] {
      return openat(dir, temp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    });
    if (fd != -1 || errno != EEXIST) return fd;
  }
  return -1;
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
  std::string name;
  bool via_link;
  struct stat st;
  const Fd dir(Locate(path, &name, &via_link, &st));
  return dir.fd == -1 ? Load::kRefused : ReadRegularFile(dir.fd, name, via_link, bytes, &st);
}

HeldSettings::HeldSettings(const std::string& path) {
  bool via_link;
  struct stat found;
  const Fd located(Locate(path, &name_, &via_link, &found));
  // Nothing that could not be replaced gets a lock file beside it.
  if (located.fd == -1 || (found.st_mode != 0 && !S_ISREG(found.st_mode)) ||
      (found.st_mode == 0 && via_link)) {
    return;
  }
  dir_fd_ = openat(located.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);  // to sync and to list
  if (dir_fd_ == -1) return;
  lock_fd_ = Lock(dir_fd_, name_);
  if (held()) load_ = ReadRegularFile(dir_fd_, name_, via_link, &bytes_, &st_);
}

HeldSettings::~HeldSettings() {
  if (lock_fd_ != -1) close(lock_fd_);  // unlocks
  if (dir_fd_ != -1) close(dir_fd_);
}

bool HeldSettings::writable() const {
  return load_ == Load::kAbsent ||
         (load_ == Load::kRead && (st_.st_mode & 0222) != 0 &&
          faccessat(dir_fd_, name_.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) == 0);
}

bool HeldSettings::Replace(size_t at, size_t erase, const std::string& insert) {
  if (!held() || at + erase > bytes_.size()) return false;
  iovec pieces[3] = {{&bytes_[0], at},
                     {const_cast<char*>(insert.data()), insert.size()},
                     {&bytes_[0] + at + erase, bytes_.size() - at - erase}};
  RemoveLeftovers(dir_fd_, "." + name_ + ".");
  const bool old = load_ == Load::kRead;
  std::string temp;
  // A new file gets 0666 less the umask from the kernel; an old one its mode.
  const int fd = CreateTemporary(dir_fd_, name_, old ? 0600 : 0666, &temp);
  if (fd == -1) return false;
  bool ok = (!old || geteuid() != 0 || fchown(fd, st_.st_uid, st_.st_gid) == 0) &&
            (!old || fchmod(fd, st_.st_mode & 07777) == 0) && WriteAll(fd, pieces, 3) &&
            RetryOnEintr([&] { return fsync(fd); }) == 0;
  ok = (close(fd) == 0 || errno == EINTR) && ok;
  // The name must still hold what was loaded: a link or another file put
  // there since would otherwise be replaced unseen.
  struct stat now;
  const int found = fstatat(dir_fd_, name_.c_str(), &now, AT_SYMLINK_NOFOLLOW);
  ok = ok && (old ? found == 0 && now.st_dev == st_.st_dev && now.st_ino == st_.st_ino
                  : found == -1 && errno == ENOENT);
  ok = ok && renameat(dir_fd_, temp.c_str(), dir_fd_, name_.c_str()) == 0;
  if (!ok) {
    unlinkat(dir_fd_, temp.c_str(), 0);
    return false;
  }
  RetryOnEintr([&] { return fsync(dir_fd_); });
  return true;
}
