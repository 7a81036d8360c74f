#include "platform/settings_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/uio.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

// 32-bit builds too: a file system's inode numbers, sizes and times, and the
// clock, pass 32 bits (overlay mounts with xino, XFS, NFS; 2038).
static_assert(sizeof(off_t) == 8 && sizeof(ino_t) == 8 && sizeof(time_t) == 8,
              "build with _FILE_OFFSET_BITS=64 and _TIME_BITS=64");

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
// The descriptor goes to `*kept`, or is closed without one.
Load ReadRegularFile(int dir, const std::string& name, bool via_link, std::string* bytes,
                     struct stat* st, Fd* kept = nullptr) {
  Fd fd(RetryOnEintr([&] {
    return openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  }));
  if (fd.fd == -1) return errno == ENOENT && !via_link ? Load::kAbsent : Load::kRefused;
  Load result = Load::kRefused;
  if (fstat(fd.fd, st) == 0 && S_ISREG(st->st_mode) && st->st_size <= kMaxFileSize) {
    bytes->resize(static_cast<size_t>(st->st_size) + 1);  // +1 notices growth
    size_t got = 0;
    ssize_t n = 0;
    while (got < bytes->size() && (n = RetryOnEintr([&] {
                                     return read(fd.fd, &(*bytes)[got], bytes->size() - got);
                                   })) > 0) {
      got += static_cast<size_t>(n);
    }
    if (n >= 0 && got <= static_cast<size_t>(st->st_size)) {
      bytes->resize(got);
      result = Load::kRead;
      if (kept) kept->Reset(fd.Release());
    }
  }
  return result;
}

std::int64_t MonotonicMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
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
    const std::int64_t deadline = MonotonicMs() + kLockWaitMs;
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

constexpr char kPartial[] = ".partial";
constexpr size_t kRandomDigits = 16;

// Whether `entry` is a name the writers of `name` give their temporary
// files: "." + name + "." + 16 lower-case hex digits + ".partial".
bool IsTemporaryOf(const char* entry, const std::string& name) {
  const size_t n = std::strlen(entry), prefix = name.size() + 2;
  if (n != prefix + kRandomDigits + sizeof kPartial - 1 || entry[0] != '.' ||
      name.compare(0, name.size(), entry + 1, name.size()) != 0 || entry[prefix - 1] != '.' ||
      std::strcmp(entry + prefix + kRandomDigits, kPartial) != 0) {
    return false;
  }
  for (size_t i = prefix; i < prefix + kRandomDigits; ++i) {
    if (!std::strchr("0123456789abcdef", entry[i]) || entry[i] == '\0') return false;
  }
  return true;
}

// Under the lock no other writer of this file is at work: whatever
// temporary file of its own is here, a killed run left it. `listing` is
// the directory opened for reading.
void RemoveLeftovers(int listing, const std::string& name) {
  const int fd = dup(listing);
  DIR* entries = fd == -1 ? nullptr : fdopendir(fd);
  if (!entries) {
    if (fd != -1) close(fd);
    return;
  }
  while (const dirent* e = readdir(entries)) {
    struct stat st;
    if (IsTemporaryOf(e->d_name, name) &&
        fstatat(listing, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode))) {
      unlinkat(listing, e->d_name, 0);
    }
  }
  closedir(entries);
}

// A temporary file beside `name` that nothing else has: a fresh random name,
// created exclusively.
int CreateTemporary(int dir, const std::string& name, mode_t mode, std::string* temp) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    unsigned char random[kRandomDigits / 2] = {};
    if (getrandom(random, sizeof random, GRND_NONBLOCK) != sizeof random) {
      const std::uint64_t mix = static_cast<std::uint64_t>(MonotonicMs()) * 1000003u +
                                static_cast<std::uint64_t>(getpid()) * 7919u + attempt;
      static_assert(sizeof mix == sizeof random, "every random byte from the mix");
      std::memcpy(random, &mix, sizeof random);
    }
    *temp = "." + name + ".";
    for (unsigned char b : random) {
      *temp += "0123456789abcdef"[b >> 4];
      *temp += "0123456789abcdef"[b & 15];
    }
    *temp += kPartial;
    const int fd = RetryOnEintr([&] {
      return openat(dir, temp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    });
    if (fd != -1 || errno != EEXIST) return fd;
  }
  return -1;
}

// Extended attributes that decide who may do what: ACLs (system.*) and
// security labels (security.*). The others are data.
bool DecidesAccess(const char* attribute) {
  return std::strncmp(attribute, "system.", 7) == 0 || std::strncmp(attribute, "security.", 9) == 0;
}

// Reads into `out` what `get(buffer, size)` fills, as flistxattr and
// fgetxattr do; false, with errno, when it cannot.
template <typename Get>
bool ReadAttributes(Get get, std::string* out) {
  for (;;) {
    const ssize_t size = get(nullptr, 0);
    if (size < 0) return false;
    out->resize(static_cast<size_t>(size) + 1);  // +1: never a null pointer
    const ssize_t got = get(&(*out)[0], out->size());
    if (got >= 0) {
      out->resize(static_cast<size_t>(got));
      return true;
    }
    if (errno != ERANGE) return false;  // ERANGE: it grew meanwhile
  }
}

// The names of `fd`'s extended attributes, each ended by a NUL; none where
// the file system keeps none.
bool AttributeNames(int fd, std::string* names) {
  if (ReadAttributes([&](char* to, size_t n) { return flistxattr(fd, to, n); }, names)) return true;
  names->clear();
  return errno == ENOTSUP;
}

bool Listed(const std::string& names, const char* name) {
  for (size_t at = 0; at < names.size(); at += std::strlen(&names[at]) + 1) {
    if (std::strcmp(&names[at], name) == 0) return true;
  }
  return false;
}

// Gives the temporary file `to` what the file `from` (`st`, at `name` in
// `dir`) has: owner and group as far as the caller may, extended attributes
// the caller may read and set, mode. False where access would not be what it
// was: an ACL or label not carried (or one the directory gave the new file
// that the old lacks), a group not carried whose class may do more than all
// others may, or an owner not carried whose bits give the caller, who then
// owns the file, more than the caller may do now.
bool CarryMetadata(int from, const struct stat& st, int dir, const std::string& name, int to) {
  // Both where the caller may (root), else the group alone (as a member).
  const bool group_carried =
      fchown(to, st.st_uid, st.st_gid) == 0 || fchown(to, static_cast<uid_t>(-1), st.st_gid) == 0;
  struct stat now;
  std::string names, value, added;
  if (fstat(to, &now) != 0 || !AttributeNames(from, &names) || !AttributeNames(to, &added)) {
    return false;
  }
  for (size_t at = 0; at < names.size(); at += std::strlen(&names[at]) + 1) {
    const char* attribute = &names[at];
    const bool copied =
        ReadAttributes([&](char* v, size_t n) { return fgetxattr(from, attribute, v, n); },
                       &value) &&
        fsetxattr(to, attribute, value.data(), value.size(), 0) == 0;
    if (!copied && DecidesAccess(attribute)) return false;
  }
  for (size_t at = 0; at < added.size(); at += std::strlen(&added[at]) + 1) {
    const char* attribute = &added[at];
    if (DecidesAccess(attribute) && !Listed(names, attribute) && fremovexattr(to, attribute) != 0) {
      return false;
    }
  }
  if (fchmod(to, st.st_mode & 07777) != 0) return false;
  if (!group_carried) {
    const mode_t group = (st.st_mode >> 3) & 7, others = st.st_mode & 7;
    if (Listed(names, "system.posix_acl_access") || (group & ~others) != 0) return false;
  }
  if (now.st_uid != st.st_uid) {
    const mode_t owner = (st.st_mode >> 6) & 7;
    for (const int bit : {R_OK, W_OK, X_OK}) {  // the mode's bits 4, 2 and 1
      if ((owner & static_cast<mode_t>(bit)) != 0 &&
          faccessat(dir, name.c_str(), bit, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0) {
        return false;
      }
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
  std::string name;
  bool via_link;
  struct stat st;
  const Fd dir(Locate(path, &name, &via_link, &st));
  if (dir.fd == -1 || (st.st_mode != 0 && !S_ISREG(st.st_mode))) return Load::kRefused;
  return ReadRegularFile(dir.fd, name, via_link, bytes, &st);  // which looks again, for a race
}

HeldSettings::HeldSettings(const std::string& path) {
  struct stat found;
  Fd located(Locate(path, &name_, &via_link_, &found));
  // Nothing that could not be replaced gets a lock file beside it.
  if (located.fd == -1 || (found.st_mode != 0 && !S_ISREG(found.st_mode)) ||
      (found.st_mode == 0 && via_link_)) {
    return;
  }
  dir_fd_ = located.Release();
  lock_fd_ = Lock(dir_fd_, name_);
  if (held()) LoadFile();
}

HeldSettings::~HeldSettings() {
  if (file_fd_ != -1) close(file_fd_);
  if (lock_fd_ != -1) close(lock_fd_);  // unlocks
  if (dir_fd_ != -1) close(dir_fd_);
}

void HeldSettings::LoadFile() {
  Fd kept;
  load_ = ReadRegularFile(dir_fd_, name_, via_link_, &bytes_, &st_, &kept);
  if (file_fd_ != -1) close(file_fd_);
  file_fd_ = kept.Release();
}

bool HeldSettings::writable() const {
  return load_ == Load::kAbsent ||
         (load_ == Load::kRead && (st_.st_mode & 0222) != 0 &&
          faccessat(dir_fd_, name_.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) == 0);
}

// The name still holds the file loaded, and it has not changed since; or
// it still holds nothing.
bool HeldSettings::Unchanged() const {
  struct stat named, now;
  if (fstatat(dir_fd_, name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT && load_ == Load::kAbsent;
  }
  const auto same_time = [](const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
  };
  return load_ == Load::kRead && named.st_dev == st_.st_dev && named.st_ino == st_.st_ino &&
         fstat(file_fd_, &now) == 0 && now.st_ino == st_.st_ino && now.st_size == st_.st_size &&
         same_time(now.st_mtim, st_.st_mtim) && same_time(now.st_ctim, st_.st_ctim);
}

HeldSettings::Replaced HeldSettings::Replace(size_t at, size_t erase, const std::string& insert) {
  if (!held() || load_ == Load::kRefused || at + erase > bytes_.size()) return Replaced::kFailed;
  iovec pieces[3] = {{&bytes_[0], at},
                     {const_cast<char*>(insert.data()), insert.size()},
                     {&bytes_[0] + at + erase, bytes_.size() - at - erase}};
  // A directory the caller may write and search but not read cannot be
  // listed (nor synced): the rest works there.
  const Fd listing(openat(dir_fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (listing.fd != -1) RemoveLeftovers(listing.fd, name_);
  const bool old = load_ == Load::kRead;
  std::string temp;
  // A new file gets 0666 less the umask from the kernel; an old one its mode.
  const int fd = CreateTemporary(dir_fd_, name_, old ? 0600 : 0666, &temp);
  if (fd == -1) return Replaced::kFailed;
  bool ok = (!old || CarryMetadata(file_fd_, st_, dir_fd_, name_, fd)) && WriteAll(fd, pieces, 3) &&
            RetryOnEintr([&] { return fsync(fd); }) == 0;
  ok = (close(fd) == 0 || errno == EINTR) && ok;
  const bool unchanged = !ok || Unchanged();
  if (!ok || !unchanged || renameat(dir_fd_, temp.c_str(), dir_fd_, name_.c_str()) != 0) {
    unlinkat(dir_fd_, temp.c_str(), 0);
    if (unchanged) return Replaced::kFailed;
    LoadFile();
    return Replaced::kChanged;
  }
  if (listing.fd != -1) {
    RetryOnEintr([&] { return fsync(listing.fd); });
  } else {
    syncfs(lock_fd_);  // on the same file system
  }
  return Replaced::kDone;
}
