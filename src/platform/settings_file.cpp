#include "platform/settings_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/uio.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

// 32-bit builds too: a file system's inode numbers, sizes and times, and the
// clock, pass 32 bits (overlay mounts with xino, XFS, NFS; 2038).
static_assert(sizeof(off_t) == 8 && sizeof(ino_t) == 8 && sizeof(time_t) == 8,
              "build with _FILE_OFFSET_BITS=64 and _TIME_BITS=64");

bool Name::Join(std::initializer_list<std::string_view> parts) {
  size_t n = 0;
  for (const std::string_view part : parts) {
    if (part.size() > NAME_MAX - n) {
      text[0] = '\0';
      return false;
    }
    std::memcpy(text + n, part.data(), part.size());
    n += part.size();
  }
  text[n] = '\0';
  return true;
}

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
  int Release() { return std::exchange(fd, -1); }
};

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && std::memcmp(s.data(), prefix.data(), prefix.size()) == 0;
}

// What is left of `s` from `pos` on.
std::string_view From(std::string_view s, size_t pos) { return {s.data() + pos, s.size() - pos}; }

int OpenRoot(bool absolute) {
  return openat(AT_FDCWD, absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
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
int Locate(std::string_view path, Name* name, bool* via_link, struct stat* found) {
  Fd dir(OpenRoot(StartsWith(path, "/")));
  struct stat dir_st;
  if (dir.fd == -1 || fstat(dir.fd, &dir_st) != 0) return -1;
  Buffer followed;  // the rest of the path behind the last link followed
  std::string_view rest = path;
  int links = 0;
  *via_link = false;
  *found = {};
  while (true) {
    const size_t begin = rest.find_first_not_of('/');
    if (begin == std::string_view::npos) return -1;  // a directory, not a file
    const size_t end = std::min(rest.find('/', begin), rest.size());
    Name part;
    if (!part.Join({{rest.data() + begin, end - begin}})) return -1;
    rest = From(rest, end);
    const bool last = rest.find_first_not_of('/') == std::string_view::npos;
    if (std::string_view(part.text) == ".") continue;
    struct stat st;
    if (fstatat(dir.fd, part.text, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT || !last) return -1;
      *name = part;
      return dir.Release();
    }
    if (S_ISLNK(st.st_mode)) {
      if (++links > kMaxLinks || !MayFollow(st, dir_st)) return -1;
      char target[4096];
      const ssize_t n = readlinkat(dir.fd, part.text, target, sizeof target);
      if (n <= 0 || static_cast<size_t>(n) == sizeof target) return -1;
      Buffer next(std::string_view(target, static_cast<size_t>(n)));
      followed = std::move(next.Append('/').Append(rest));
      rest = followed;
      if (target[0] == '/') {
        dir.Reset(OpenRoot(true));
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
    dir.Reset(openat(dir.fd, part.text, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dir.fd == -1 || fstat(dir.fd, &dir_st) != 0) return -1;
  }
}

// Reads the regular file `name` in `dir` through the descriptor it opens,
// never following a link there, which would have been swapped in since.
// The descriptor goes to `*kept`, or is closed without one.
Load ReadRegularFile(int dir, const char* name, bool via_link, Buffer* bytes, struct stat* st,
                     Fd* kept = nullptr) {
  Fd fd(RetryOnEintr([&] {
    return openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  }));
  if (fd.fd == -1) return errno == ENOENT && !via_link ? Load::kAbsent : Load::kRefused;
  if (fstat(fd.fd, st) != 0 || !S_ISREG(st->st_mode) || st->st_size > kMaxFileSize) {
    return Load::kRefused;
  }
  bytes->Resize(static_cast<size_t>(st->st_size) + 1);  // +1 notices growth
  size_t got = 0;
  ssize_t n = 0;
  while (got < bytes->size() && (n = RetryOnEintr([&] {
                                   return read(fd.fd, bytes->data() + got, bytes->size() - got);
                                 })) > 0) {
    got += static_cast<size_t>(n);
  }
  if (n < 0 || got > static_cast<size_t>(st->st_size)) return Load::kRefused;
  bytes->Resize(got);
  if (kept) kept->Reset(fd.Release());
  return Load::kRead;
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
int Lock(int dir, std::string_view name) {
  Name lock;
  if (!lock.Join({".", name, ".lock"})) return -1;
  const int flags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  int fd =
      RetryOnEintr([&] { return openat(dir, lock.text, O_RDWR | O_CREAT | O_EXCL | flags, 0644); });
  if (fd != -1) {
    fchmod(fd, 0644);
  } else if (errno == EEXIST) {
    fd = RetryOnEintr([&] { return openat(dir, lock.text, O_RDWR | flags); });
    if (fd == -1 && errno == EACCES) {
      fd = RetryOnEintr([&] { return openat(dir, lock.text, O_RDONLY | flags); });
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

constexpr std::string_view kPartial = ".partial";
constexpr size_t kRandomDigits = 16;

// Whether `entry` is a name the writers of `name` give their temporary
// files: "." + name + "." + 16 lower-case hex digits + ".partial".
bool IsTemporaryOf(std::string_view entry, std::string_view name) {
  const size_t digits = name.size() + 2;
  if (entry.size() != digits + kRandomDigits + kPartial.size() || entry[0] != '.' ||
      std::string_view(entry.data() + 1, name.size()) != name || entry[digits - 1] != '.' ||
      From(entry, digits + kRandomDigits) != kPartial) {
    return false;
  }
  for (size_t i = digits; i < digits + kRandomDigits; ++i) {
    if (!((entry[i] >= '0' && entry[i] <= '9') || (entry[i] >= 'a' && entry[i] <= 'f'))) {
      return false;
    }
  }
  return true;
}

// Under the lock no other writer of this file is at work: whatever
// temporary file of its own is here, a killed run left it. `listing` is
// the directory opened for reading.
void RemoveLeftovers(int listing, std::string_view name) {
  alignas(dirent64) char entries[4096];
  for (ssize_t n; (n = getdents64(listing, entries, sizeof entries)) > 0;) {
    for (ssize_t at = 0; at < n;) {
      const auto* e = reinterpret_cast<const dirent64*>(entries + at);
      at += e->d_reclen;
      struct stat st;
      if (IsTemporaryOf(e->d_name, name) &&
          fstatat(listing, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
          (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode))) {
        unlinkat(listing, e->d_name, 0);
      }
    }
  }
}

// A temporary file beside `name` that nothing else has: a fresh random name,
// created exclusively.
int CreateTemporary(int dir, std::string_view name, mode_t mode, Name* temp) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    unsigned char random[kRandomDigits / 2] = {};
    if (getrandom(random, sizeof random, GRND_NONBLOCK) != sizeof random) {
      // The clock, and where this run's stack is (ASLR): apart from every
      // other run's, and O_EXCL settles the rest.
      const std::uint64_t mix = static_cast<std::uint64_t>(MonotonicMs()) * 1000003u +
                                reinterpret_cast<std::uintptr_t>(&random) + attempt;
      static_assert(sizeof mix == sizeof random, "every random byte from the mix");
      std::memcpy(random, &mix, sizeof random);
    }
    char digits[kRandomDigits];
    for (size_t i = 0; i < sizeof random; ++i) {
      digits[2 * i] = "0123456789abcdef"[random[i] >> 4];
      digits[2 * i + 1] = "0123456789abcdef"[random[i] & 15];
    }
    if (!temp->Join({".", name, ".", {digits, sizeof digits}, kPartial})) return -1;
    const int fd = RetryOnEintr([&] {
      return openat(dir, temp->text, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    });
    if (fd != -1 || errno != EEXIST) return fd;
  }
  return -1;
}

// Extended attributes that decide who may do what: ACLs (system.*) and
// security labels (security.*). The others are data.
bool DecidesAccess(std::string_view attribute) {
  return StartsWith(attribute, "system.") || StartsWith(attribute, "security.");
}

// Reads into `out` what `get(buffer, size)` fills, as flistxattr and
// fgetxattr do; false, with errno, when it cannot.
template <typename Get>
bool ReadAttributes(Get get, Buffer* out) {
  for (;;) {
    const ssize_t size = get(nullptr, 0);
    if (size <= 0) {
      out->Resize(0);
      return size == 0;
    }
    out->Resize(static_cast<size_t>(size));
    const ssize_t got = get(out->data(), out->size());
    if (got >= 0) {
      out->Resize(static_cast<size_t>(got));
      return true;
    }
    if (errno != ERANGE) return false;  // ERANGE: it grew meanwhile
  }
}

// The names of `fd`'s extended attributes, each ended by a NUL; none where
// the file system keeps none.
bool AttributeNames(int fd, Buffer* names) {
  return ReadAttributes([&](char* to, size_t n) { return flistxattr(fd, to, n); }, names) ||
         errno == ENOTSUP;
}

// The name at `*at` of a list of NUL-ended names, moving `*at` past it.
std::string_view NextName(std::string_view names, size_t* at) {
  const std::string_view name(names.data() + *at);
  *at += name.size() + 1;
  return name;
}

bool Listed(std::string_view names, std::string_view name) {
  for (size_t at = 0; at < names.size();) {
    if (NextName(names, &at) == name) return true;
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
bool CarryMetadata(int from, const struct stat& st, int dir, const char* name, int to) {
  // Both where the caller may (root), else the group alone (as a member).
  const bool group_carried =
      fchown(to, st.st_uid, st.st_gid) == 0 || fchown(to, static_cast<uid_t>(-1), st.st_gid) == 0;
  struct stat now;
  Buffer names, value, added;
  if (fstat(to, &now) != 0 || !AttributeNames(from, &names) || !AttributeNames(to, &added)) {
    return false;
  }
  for (size_t at = 0; at < names.size();) {
    const char* attribute = NextName(names, &at).data();
    const bool copied =
        ReadAttributes([&](char* v, size_t n) { return fgetxattr(from, attribute, v, n); },
                       &value) &&
        fsetxattr(to, attribute, value.data(), value.size(), 0) == 0;
    if (!copied && DecidesAccess(attribute)) return false;
  }
  for (size_t at = 0; at < added.size();) {
    const char* attribute = NextName(added, &at).data();
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
          faccessat(dir, name, bit, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0) {
        return false;
      }
    }
  }
  return true;
}

Buffer ConfigDirectory() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && xdg[0] == '/') return Buffer(xdg);
  const char* home = std::getenv("HOME");
  if (!home || home[0] != '/') {
    const passwd* pw = getpwuid(getuid());
    home = pw ? pw->pw_dir : nullptr;
  }
  if (!home || home[0] != '/') return Buffer();
  Buffer dir(home);
  return std::move(dir.Append("/.config"));
}

}  // namespace

Buffer SettingsPath(const char* file, bool create_directory) {
  if (std::string_view(file).find('/') != std::string_view::npos) return Buffer(file);
  Buffer dir = ConfigDirectory();
  if (dir.empty()) return dir;
  if (create_directory) mkdir(dir.c_str(), 0700);  // parents never
  return std::move(dir.Append('/').Append(file));
}

Load LoadSettings(std::string_view path, Buffer* bytes) {
  Name name;
  bool via_link;
  struct stat st;
  const Fd dir(Locate(path, &name, &via_link, &st));
  if (dir.fd == -1 || (st.st_mode != 0 && !S_ISREG(st.st_mode))) return Load::kRefused;
  return ReadRegularFile(dir.fd, name.text, via_link, bytes, &st);  // it looks again: a race
}

HeldSettings::HeldSettings(std::string_view path) {
  struct stat found;
  Fd located(Locate(path, &name_, &via_link_, &found));
  // Nothing that could not be replaced gets a lock file beside it.
  if (located.fd == -1 || (found.st_mode != 0 && !S_ISREG(found.st_mode)) ||
      (found.st_mode == 0 && via_link_)) {
    return;
  }
  dir_fd_ = located.Release();
  lock_fd_ = Lock(dir_fd_, name_.text);
  if (lock_fd_ != -1) LoadFile();
}

HeldSettings::~HeldSettings() {
  for (const int fd : {file_fd_, lock_fd_, dir_fd_}) {  // closing the lock file unlocks
    if (fd != -1) close(fd);
  }
}

void HeldSettings::LoadFile() {
  Fd kept;
  load_ = ReadRegularFile(dir_fd_, name_.text, via_link_, &bytes_, &st_, &kept);
  if (file_fd_ != -1) close(file_fd_);
  file_fd_ = kept.Release();
}

bool HeldSettings::writable() const {
  return load_ == Load::kAbsent ||
         (load_ == Load::kRead && (st_.st_mode & 0222) != 0 &&
          faccessat(dir_fd_, name_.text, W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) == 0);
}

// The name still holds the file loaded, and it has not changed since; or
// it still holds nothing.
bool HeldSettings::Unchanged() const {
  struct stat named, now;
  if (fstatat(dir_fd_, name_.text, &named, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT && load_ == Load::kAbsent;
  }
  const auto same_time = [](const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
  };
  return load_ == Load::kRead && named.st_dev == st_.st_dev && named.st_ino == st_.st_ino &&
         fstat(file_fd_, &now) == 0 && now.st_size == st_.st_size &&
         same_time(now.st_mtim, st_.st_mtim) && same_time(now.st_ctim, st_.st_ctim);
}

HeldSettings::Replaced HeldSettings::Replace(size_t at, size_t erase, std::string_view insert) {
  if (load_ == Load::kRefused || at + erase > bytes_.size()) return Replaced::kFailed;
  // The head of the file as loaded, the new text, and the tail: no second
  // copy of the file is made.
  iovec pieces[3] = {{bytes_.data(), at},
                     {const_cast<char*>(insert.data()), insert.size()},
                     {bytes_.data() + at + erase, bytes_.size() - at - erase}};
  // A directory the caller may write and search but not read cannot be
  // listed (nor synced): the rest works there.
  const Fd listing(openat(dir_fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (listing.fd != -1) RemoveLeftovers(listing.fd, name_.text);
  const bool old = load_ == Load::kRead;
  Name temp;
  // A new file gets 0666 less the umask from the kernel; an old one its mode.
  const int fd = CreateTemporary(dir_fd_, name_.text, old ? 0600 : 0666, &temp);
  if (fd == -1) return Replaced::kFailed;
  bool ok = (!old || CarryMetadata(file_fd_, st_, dir_fd_, name_.text, fd)) &&
            WriteAll(fd, pieces, 3) && RetryOnEintr([&] { return fsync(fd); }) == 0;
  ok = (close(fd) == 0 || errno == EINTR) && ok;
  const bool unchanged = !ok || Unchanged();
  if (!ok || !unchanged || renameat(dir_fd_, temp.text, dir_fd_, name_.text) != 0) {
    unlinkat(dir_fd_, temp.text, 0);
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
