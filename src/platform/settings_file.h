// Settings files on disk, for the profile stand-in: where one lives, reading
// one, and replacing one whole under a lock. It knows nothing of what the
// bytes say (settings_text.h does).
#ifndef TARVOPROBE_PLATFORM_SETTINGS_FILE_H_
#define TARVOPROBE_PLATFORM_SETTINGS_FILE_H_

#include <sys/stat.h>

#include <cstddef>
#include <string>

// How long a writer waits for another one's lock before it gives up.
constexpr int kLockWaitMs = 5000;

// Where the settings file `file` lives: `file` itself when it holds a '/',
// else in the configuration directory: $XDG_CONFIG_HOME when absolute, else
// $HOME/.config, else the password database's home + /.config. "" when
// there is no such directory. `create_directory` creates the configuration
// directory (mode 0700) when its parent exists; parents never.
std::string SettingsPath(const char* file, bool create_directory);

enum class Load {
  kRead,     // the bytes of a regular file of at most 64 MiB
  kAbsent,   // nothing at the path
  kRefused,  // anything else, never read as data: a directory, a FIFO, a
             // device, a dangling link or loop, a larger file, an error
};

// Reads the file at `path`; opening never blocks (a FIFO without a writer
// would).
Load LoadSettings(const std::string& path, std::string* bytes);

// A settings file held for one read-modify-write: the lock on its directory
// taken (flock, waiting at most kLockWaitMs), a symbolic link at the path
// followed to the file it names, and the file loaded. The lock goes with
// the object.
class HeldSettings {
 public:
  explicit HeldSettings(const std::string& path);
  ~HeldSettings();
  HeldSettings(const HeldSettings&) = delete;
  HeldSettings& operator=(const HeldSettings&) = delete;

  // False when the lock could not be had or the link not be followed.
  bool held() const { return dir_fd_ != -1; }
  Load load() const { return load_; }
  const std::string& bytes() const { return bytes_; }

  // Whether the file may be replaced: it is absent, or a regular file with a
  // write bit in its mode that the caller may write, whoever the caller is.
  bool writable() const;

  // Replaces the file by its bytes with [at, at + erase) replaced by
  // `insert`: written to a temporary file beside it with the old file's
  // mode (and owner, for root; 0666 less the umask for a new file), synced,
  // renamed over it, and the directory synced. On failure the file is left
  // as it was and the result is false.
  bool Replace(size_t at, size_t erase, const std::string& insert);

 private:
  int dir_fd_ = -1;  // the file's directory, locked
  std::string path_, name_;
  Load load_ = Load::kRefused;
  std::string bytes_;
  struct stat st_ {};
};

#endif  // TARVOPROBE_PLATFORM_SETTINGS_FILE_H_
