// Preloaded into a run: flock as an NFS client without local_lock=flock does
// it, emulated with a lock on the whole file that, exclusive, needs a
// descriptor open for writing (flock(2)); else it fails with EBADF.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

extern "C" int flock(int fd, int operation) {
  const int mode = fcntl(fd, F_GETFL);
  if ((operation & LOCK_EX) && mode != -1 && (mode & O_ACCMODE) == O_RDONLY) {
    errno = EBADF;
    return -1;
  }
  using Flock = int (*)(int, int);
  static const auto real = reinterpret_cast<Flock>(dlsym(RTLD_NEXT, "flock"));
  return real(fd, operation);
}
