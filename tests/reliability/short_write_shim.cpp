// Preloaded into the program: every write comes back short (half of what was
// asked, at most TARVO_SHIM_CHUNK bytes, after TARVO_SHIM_DELAY_US), and each
// call is logged to TARVO_SHIM_LOG as "asked wrote".
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

size_t Setting(const char* name, size_t fallback) {
  const char* v = std::getenv(name);
  return v ? std::strtoul(v, nullptr, 10) : fallback;
}

size_t Allowed(size_t asked) {
  size_t n = asked / 2 > 0 ? asked / 2 : 1;
  const size_t chunk = Setting("TARVO_SHIM_CHUNK", n);
  return n < chunk ? n : chunk;
}

void Log(size_t asked, ssize_t wrote) {
  const char* path = std::getenv("TARVO_SHIM_LOG");
  if (!path || asked == 0) return;
  char line[64];
  const int n = std::snprintf(line, sizeof line, "%zu %zd\n", asked, wrote);
  // Raw calls: write() and writev() here are ours.
  const int fd =
      static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_CREAT | O_APPEND, 0600));
  if (fd < 0) return;
  syscall(SYS_write, fd, line, n);
  syscall(SYS_close, fd);
}

void Pause() {
  if (const size_t us = Setting("TARVO_SHIM_DELAY_US", 0)) usleep(static_cast<useconds_t>(us));
}

}  // namespace

extern "C" ssize_t writev(int fd, const iovec* iov, int count) {
  size_t asked = 0;
  for (int i = 0; i < count; ++i) asked += iov[i].iov_len;
  size_t left = Allowed(asked);
  iovec part[64];
  int parts = 0;
  for (int i = 0; i < count && parts < 64 && left > 0; ++i) {
    part[parts] = iov[i];
    if (part[parts].iov_len > left) part[parts].iov_len = left;
    left -= part[parts++].iov_len;
  }
  Pause();
  const ssize_t n = syscall(SYS_writev, fd, part, parts);
  Log(asked, n);
  return n;
}

extern "C" ssize_t write(int fd, const void* data, size_t size) {
  Pause();
  const ssize_t n = syscall(SYS_write, fd, data, size == 0 ? 0 : Allowed(size));
  Log(size, n);
  return n;
}
