// Settings files on disk, for the profile stand-in: where one lives, reading
// one, and replacing one whole under a lock. It knows nothing of what the
// bytes say (settings_text.h does).
//
// Symbolic links are followed one hop at a time, and only where the
// kernel's protected_symlinks rule would follow them, whatever the sysctl
// says: a link in a directory that is sticky and world-writable is followed
// only when its owner is the caller or that directory's owner. At most 40
// links are followed. A path the rule stops is refused.
#ifndef TARVOPROBE_PLATFORM_SETTINGS_FILE_H_
#define TARVOPROBE_PLATFORM_SETTINGS_FILE_H_

#include <limits.h>
#include <sys/stat.h>

#include <cstddef>
#include <initializer_list>
#include <string_view>

#include "platform/buffer.h"

// How long a writer waits for another one's lock before it gives up.
constexpr int kLockWaitMs = 5000;

// A name in a directory, NUL-ended, of at most NAME_MAX bytes, as file
// systems take them.
struct Name {
  char text[NAME_MAX + 1] = "";
  // Puts `parts` together; false, leaving "", when they make too long a name.
  bool Join(std::initializer_list<std::string_view> parts);
};

// Where the settings file `file` lives: `file` itself when it holds a '/',
// else in the configuration directory: $XDG_CONFIG_HOME when absolute, else
// $HOME/.config, else the password database's home + /.config. "" when
// there is no such directory. `create_directory` creates the configuration
// directory (mode 0700) when its parent exists; parents never.
Buffer SettingsPath(const char* file, bool create_directory);

enum class Load {
  kRead,     // the bytes of a regular file of at most 64 MiB
  kAbsent,   // nothing at the path (a link that leads nowhere is refused)
  kRefused,  // anything else, never read as data: a directory, a FIFO, a
             // device, a link the rule stops or too many links, a larger
             // file, an error
};

// Reads the file at `path`. What is not a regular file is never opened (a
// FIFO's blocked writer would be released, a device would do whatever its
// opening does), and opening never blocks.
Load LoadSettings(std::string_view path, Buffer* bytes);

// A settings file held for one read-modify-write: its directory found and
// opened, the lock taken, and the file loaded through the directory. The
// lock is `flock` on a lock file beside the settings file (".NAME.lock",
// mode 0644, opened for writing where the caller may, so that it works on
// NFS too; never removed and never read), taken within kLockWaitMs by the
// monotonic clock. Nothing is locked, and no lock file made, for a path
// that holds anything but a regular file or nothing. The lock goes with
// the object.
class HeldSettings {
 public:
  explicit HeldSettings(std::string_view path);
  ~HeldSettings();
  HeldSettings(const HeldSettings&) = delete;
  HeldSettings& operator=(const HeldSettings&) = delete;

  // Whether the file may be replaced: the lock is held, and the file is
  // absent, or a regular file loaded, with a write bit in its mode, that the
  // caller may write (as its effective ids decide), whoever the caller is.
  bool writable() const;
  // The file as loaded; none when it is absent.
  std::string_view bytes() const { return bytes_; }

  enum class Replaced {
    kDone,     // the new content is in place
    kFailed,   // the file is as it was
    kChanged,  // the file changed since it was loaded; it is loaded again
               // and nothing was written: make the edit again
  };

  // Replaces the file by its bytes with [at, at + erase) replaced by
  // `insert`: written to a temporary file of a name of its own beside it
  // (".NAME.<16 hex digits>.partial"; ones a killed run left are removed
  // first, where the directory may be listed), synced, and renamed over it.
  //  - The new file carries the old one's owner and group (as far as the
  //    caller may set them), mode, ACL and the other extended attributes the
  //    caller may read and set. Where what decides access (mode, group, an
  //    ACL or a security label) cannot be carried, or the caller would gain
  //    access as the new file's owner, nothing is replaced. A new file gets
  //    0666 less the umask.
  //  - The rename happens only while the name still holds the file loaded,
  //    unchanged since (inode, size, modification and change times), or
  //    still nothing. Programs that take no lock (editors, scripts) are
  //    seen this way up to the last check; a change between it and the
  //    rename itself, a few system calls later, is lost: no POSIX call
  //    renames only if the target is unchanged.
  //  - Then the directory is synced (or, where it may not be read, its
  //    file system). kDone even when that last sync fails: the rename may
  //    then not yet be durable.
  Replaced Replace(size_t at, size_t erase, std::string_view insert);

 private:
  void LoadFile();
  bool Unchanged() const;

  int dir_fd_ = -1, lock_fd_ = -1;
  int file_fd_ = -1;  // the file loaded, kept to see whether it changes
  Name name_;         // in the directory
  bool via_link_ = false;
  Load load_ = Load::kRefused;
  Buffer bytes_;
  struct stat st_ {};  // of the file loaded
};

#endif  // TARVOPROBE_PLATFORM_SETTINGS_FILE_H_
