/* The least a crash-safe record can cost: read the settings file, then
 * replace it atomically and durably under a directory lock, with no parsing.
 * The whole-run benchmark times tarvoprobe against this. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

int main(void) {
  const char* dir = getenv("XDG_CONFIG_HOME");
  if (!dir) return 2;
  char path[4096], temp[4096];
  snprintf(path, sizeof path, "%s/tarvo.ini", dir);
  snprintf(temp, sizeof temp, "%s/.tarvo.ini.partial", dir);

  const int dir_fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd == -1 || flock(dir_fd, LOCK_EX) != 0) return 2;
  const int in = open(path, O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (in == -1 || fstat(in, &st) != 0) return 2;
  char* bytes = malloc((size_t)st.st_size + 1);
  size_t got = 0;
  for (ssize_t n; got <= (size_t)st.st_size &&
                  (n = read(in, bytes + got, (size_t)st.st_size + 1 - got)) > 0;) {
    got += (size_t)n;
  }
  close(in);

  const int out = open(temp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (out == -1 || fchmod(out, st.st_mode & 07777) != 0) return 2;
  for (size_t done = 0; done < got;) {
    const ssize_t n = write(out, bytes + done, got - done);
    if (n <= 0) return 2;
    done += (size_t)n;
  }
  if (fsync(out) != 0 || close(out) != 0 || rename(temp, path) != 0 || fsync(dir_fd) != 0) return 2;
  free(bytes);
  close(dir_fd);
  return 1;
}
