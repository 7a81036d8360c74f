// The profile service for systems that lack it. Reads follow the Windows
// service, quirks included; writes change only the one line they concern and
// replace the file atomically and durably, which the original does not.
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace {

constexpr off_t kMaxFileSize = off_t{64} << 20;  // larger files are not ours
constexpr int kLockWaitMs = 5000;
constexpr size_t kNone = static_cast<size_t>(-1);

template <typename Call>
auto RetryOnEintr(Call call) {
  decltype(call()) result;
  do result = call();
  while (result == -1 && errno == EINTR);
  return result;
}

// Unicode of Windows-1252 bytes 0x80-0x9F, the ANSI code page the narrow
// calls convert UTF-16 files from and to. Unassigned bytes map to themselves.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

unsigned Widen(unsigned char c) {
  return c >= 0x80 && c < 0xA0 ? kCp1252High[c - 0x80] : c;
}

char Narrow(unsigned unit) {
  if (unit < 0x80 || (unit >= 0xA0 && unit < 0x100)) return char(unit);
  for (unsigned i = 0; i < 32; ++i) {
    if (kCp1252High[i] == unit) return char(0x80 + i);
  }
  return '?';
}

bool IsBlank(unsigned c) { return (c >= 0x09 && c <= 0x0D) || c == 0x1A || c == 0x20; }

unsigned FoldCase(unsigned c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }

std::string Trim(const char* s) {
  size_t begin = 0, end = std::strlen(s);
  while (begin < end && IsBlank(static_cast<unsigned char>(s[begin]))) ++begin;
  while (end > begin && IsBlank(static_cast<unsigned char>(s[end - 1]))) --end;
  return std::string(s + begin, end - begin);
}

// The file's text as code units: bytes, or UTF-16 in either byte order.
struct Text {
  enum Encoding { kBytes, kUtf16Le, kUtf16Be } encoding = kBytes;
  const unsigned char* data = nullptr;  // just past the byte-order mark
  size_t bom = 0;                       // bytes of byte-order mark
  size_t size = 0;                      // code units

  unsigned operator[](size_t i) const {
    switch (encoding) {
      case kBytes: return data[i];
      case kUtf16Le: return data[2 * i] | data[2 * i + 1] << 8;
      default: return data[2 * i] << 8 | data[2 * i + 1];
    }
  }
  size_t Width() const { return encoding == kBytes ? 1 : 2; }
  size_t ByteOffset(size_t unit) const { return bom + unit * Width(); }
  // Bytes of 8-bit files pass through as they are; UTF-16 is converted.
  unsigned UnitOf(unsigned char c) const { return encoding == kBytes ? c : Widen(c); }
  char CharOf(unsigned unit) const { return encoding == kBytes ? char(unit) : Narrow(unit); }
};

// False for UTF-16 without a byte-order mark (a NUL in the first two bytes),
// which would be misread as bytes.
bool Decode(const std::string& bytes, Text* text) {
  const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  if (n >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
    text->bom = 3;
  } else if (n >= 2 && ((b[0] == 0xFF && b[1] == 0xFE) || (b[0] == 0xFE && b[1] == 0xFF))) {
    text->encoding = b[0] == 0xFF ? Text::kUtf16Le : Text::kUtf16Be;
    text->bom = 2;
  } else if ((n >= 1 && b[0] == 0) || (n >= 2 && b[1] == 0)) {
    return false;
  }
  text->data = b + text->bom;
  text->size = (n - text->bom) / text->Width();
  return true;
}

// One line: its text [begin, end) and its line ending [end, next).
struct Line {
  size_t begin, end, next;
};

Line LineAt(const Text& t, size_t pos) {
  size_t end = pos;
  if (t.encoding == Text::kBytes) {
    // The common case, vectorised. The bytes come from a std::string, so a NUL
    // follows them and strcspn stops at t.size at the latest.
    const char* bytes = reinterpret_cast<const char*>(t.data);
    while ((end += std::strcspn(bytes + end, "\r\n")) < t.size && bytes[end] == '\0') ++end;
  }
  while (end < t.size && t[end] != '\r' && t[end] != '\n') ++end;
  size_t next = end;
  if (next < t.size) next += (t[next] == '\r' && next + 1 < t.size && t[next + 1] == '\n') ? 2 : 1;
  return {pos, end, next};
}

// What a line means. Names and values are trimmed, then end at a NUL.
struct Entry {
  enum Kind { kBlank, kComment, kHeader, kKey } kind = kBlank;
  size_t name_begin = 0, name_end = 0;
  size_t equals = kNone;                 // kNone: a key line without '='
  size_t value_begin = 0, value_end = 0;  // value_begin: first non-blank after '='
  size_t content_end = 0;                 // the line without its trailing blanks
};

size_t CutAtNul(const Text& t, size_t begin, size_t end) {
  for (size_t i = begin; i < end; ++i) {
    if (t[i] == 0) return i;
  }
  return end;
}

Entry Parse(const Text& t, const Line& line) {
  Entry e;
  size_t b = line.begin, end = line.end;
  while (b < end && IsBlank(t[b])) ++b;
  while (end > b && IsBlank(t[end - 1])) --end;
  e.content_end = end;
  if (b == end) return e;
  if (t[b] == ';') {  // never a key, even when asked for by a name starting with ';'
    e.kind = Entry::kComment;
    return e;
  }
  size_t name_end = end;
  if (t[b] == '[') {
    e.kind = Entry::kHeader;
    ++b;
    for (name_end = b; name_end < end && t[name_end] != ']';) ++name_end;
  } else {
    e.kind = Entry::kKey;
    for (name_end = b; name_end < end && t[name_end] != '=';) ++name_end;
    if (name_end < end) {
      e.equals = name_end;
      e.value_begin = name_end + 1;
      while (e.value_begin < end && IsBlank(t[e.value_begin])) ++e.value_begin;
      e.value_end = CutAtNul(t, e.value_begin, end);
    }
  }
  while (b < name_end && IsBlank(t[b])) ++b;
  while (name_end > b && IsBlank(t[name_end - 1])) --name_end;
  e.name_begin = b;
  e.name_end = CutAtNul(t, b, name_end);
  return e;
}

bool NameIs(const Text& t, const Entry& e, const std::string& name) {
  if (e.name_end - e.name_begin != name.size()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    if (FoldCase(t[e.name_begin + i]) != FoldCase(t.UnitOf(name[i]))) return false;
  }
  return true;
}

// Where a key stands, or where it would go: after the last key line of the
// first section of that name, else at the end of the file.
struct Lookup {
  bool section_found = false, key_found = false;
  Line line{};          // the key's line, or the line the key would follow
  Entry entry;          // the key's line, parsed
};

// The start of the first line at or after `pos` (itself a line start) whose
// first non-blank byte is '[': the next line that can be a header. Byte files
// only; each byte is looked at about once, most by memchr.
size_t NextHeaderCandidate(const Text& t, size_t pos) {
  const unsigned char* d = t.data;
  for (size_t at = pos; at < t.size; ++at) {
    const void* bracket = std::memchr(d + at, '[', t.size - at);
    if (!bracket) break;
    at = static_cast<size_t>(static_cast<const unsigned char*>(bracket) - d);
    size_t begin = at;
    while (begin > pos && d[begin - 1] != '\r' && d[begin - 1] != '\n' && IsBlank(d[begin - 1])) --begin;
    if (begin == pos || d[begin - 1] == '\r' || d[begin - 1] == '\n') return begin;
  }
  return t.size;
}

// Lines before the first header belong to no section; "[]" is the section
// named "".
Lookup Find(const Text& t, const std::string& section, const std::string& key) {
  Lookup found;
  for (size_t pos = 0; pos < t.size;) {
    if (!found.section_found && t.encoding == Text::kBytes) pos = NextHeaderCandidate(t, pos);
    if (pos == t.size) break;
    const Line line = LineAt(t, pos);
    pos = line.next;
    if (!found.section_found) {  // only a header can matter yet; most lines are not
      size_t b = line.begin;
      while (b < line.end && IsBlank(t[b])) ++b;
      if (b == line.end || t[b] != '[') continue;
    }
    const Entry e = Parse(t, line);
    if (e.kind == Entry::kHeader) {
      if (found.section_found) break;
      if (NameIs(t, e, section)) {
        found.section_found = true;
        found.line = line;
      }
    } else if (found.section_found && e.kind == Entry::kKey) {
      found.line = line;
      if (NameIs(t, e, key)) {
        found.key_found = true;
        found.entry = e;
        break;
      }
    }
  }
  return found;
}

// Whether the name reads back as itself once written.
bool Writable(const std::string& section, const std::string& key, const char* value) {
  const auto breaks_line = [](const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; };
  return !breaks_line(section) && !breaks_line(key) && !breaks_line(value) &&
         section.find(']') == std::string::npos && !key.empty() &&
         key.find('=') == std::string::npos && key[0] != '[' && key[0] != ';';
}

// Quotes around a whole value (or default) are not part of it.
void Unquote(const char** begin, size_t* size) {
  const char* s = *begin;
  if (*size >= 2 && (s[0] == '"' || s[0] == '\'') && s[*size - 1] == s[0]) {
    ++*begin;
    *size -= 2;
  }
}

DWORD CopyOut(const char* value, size_t size, LPSTR buffer, DWORD buffer_size) {
  const size_t n = size < buffer_size - 1 ? size : buffer_size - 1;
  std::memcpy(buffer, value, n);
  buffer[n] = '\0';
  return static_cast<DWORD>(n);
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

// A name without a directory lives in the configuration directory.
std::string ProfilePath(const char* file, bool create_directory) {
  if (std::strchr(file, '/')) return file;
  const std::string dir = ConfigDirectory();
  if (dir.empty()) return "";
  if (create_directory) mkdir(dir.c_str(), 0700);  // parents never
  return dir + "/" + file;
}

enum class Load { kRead, kAbsent, kRefused };

// Reads a regular file of at most kMaxFileSize bytes. Anything else is never
// read as data, and opening never blocks (a FIFO without a writer would).
Load LoadFile(const std::string& path, std::string* bytes, struct stat* st) {
  if (stat(path.c_str(), st) != 0) return errno == ENOENT ? Load::kAbsent : Load::kRefused;
  if (!S_ISREG(st->st_mode) || st->st_size > kMaxFileSize) return Load::kRefused;
  const int fd = RetryOnEintr([&] { return open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); });
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
  const int fd = RetryOnEintr([&] { return open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (fd == -1) return -1;
  for (int waited_ms = 0, step_ms = 1;; waited_ms += step_ms, step_ms = step_ms < 16 ? step_ms * 2 : 16) {
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

// Writes the pieces to a temporary file beside `name` and renames it over
// `name`; on failure the temporary file goes and `name` is untouched.
bool ReplaceFile(int dir_fd, const std::string& name, iovec* pieces, int count, const struct stat* old) {
  const std::string temp = "." + name + ".partial";  // one per file: we hold the lock
  unlinkat(dir_fd, temp.c_str(), 0);
  const int fd = RetryOnEintr([&] {
    return openat(dir_fd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  });
  if (fd == -1) return false;
  mode_t mode;
  if (old) {
    mode = old->st_mode & 07777;
  } else {
    mode = umask(0);
    umask(mode);
    mode = 0666 & ~mode;
  }
  bool ok = (!old || geteuid() != 0 || fchown(fd, old->st_uid, old->st_gid) == 0) &&
            fchmod(fd, mode) == 0 && WriteAll(fd, pieces, count) &&
            RetryOnEintr([&] { return fsync(fd); }) == 0;
  ok = (close(fd) == 0 || errno == EINTR) && ok;
  ok = ok && renameat(dir_fd, temp.c_str(), dir_fd, name.c_str()) == 0;
  if (!ok) {
    unlinkat(dir_fd, temp.c_str(), 0);
    return false;
  }
  return RetryOnEintr([&] { return fsync(dir_fd); }) == 0;
}

// The bytes of `s` in the file's encoding.
std::string Encode(const Text& t, const std::string& s) {
  if (t.encoding == Text::kBytes) return s;
  std::string out;
  for (unsigned char c : s) {
    const unsigned unit = Widen(c);
    const char hi = char(unit >> 8), lo = char(unit & 0xFF);
    out += t.encoding == Text::kUtf16Le ? lo : hi;
    out += t.encoding == Text::kUtf16Le ? hi : lo;
  }
  return out;
}

// The file's own line ending: the first one in it, else LF.
std::string LineEnding(const Text& t) {
  const Line first = LineAt(t, 0);
  if (first.end == first.next) return "\n";
  return first.next - first.end == 2 ? "\r\n" : t[first.end] == '\r' ? "\r" : "\n";
}

}  // namespace

DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR default_value, LPSTR buffer, DWORD size,
                               LPCSTR file) {
  if (!buffer || size == 0) return 0;
  if (section && key && file) {
    std::string bytes;
    struct stat st;
    Text text;
    const std::string path = ProfilePath(file, false);
    if (!path.empty() && LoadFile(path, &bytes, &st) == Load::kRead && Decode(bytes, &text)) {
      const Lookup found = Find(text, Trim(section), Trim(key));
      const Entry& e = found.entry;
      if (found.key_found && e.equals != kNone) {
        std::string value;
        for (size_t i = e.value_begin; i < e.value_end; ++i) value += text.CharOf(text[i]);
        const char* begin = value.data();
        size_t length = value.size();
        Unquote(&begin, &length);
        return CopyOut(begin, length, buffer, size);
      }
    }
  }
  const char* begin = default_value ? default_value : "";
  size_t length = std::strlen(begin);
  while (length > 1 && begin[length - 1] == ' ') --length;  // the first stays, as on the platform
  Unquote(&begin, &length);
  return CopyOut(begin, length, buffer, size);
}

BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR file) {
  if (!section || !key || !value || !file) return FALSE;
  const std::string section_name = Trim(section), key_name = Trim(key);
  if (!Writable(section_name, key_name, value)) return FALSE;
  std::string target = ProfilePath(file, true);
  struct stat st;
  if (target.empty()) return FALSE;
  if (lstat(target.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char* resolved = realpath(target.c_str(), nullptr);  // bounded by ELOOP
    if (!resolved) return FALSE;
    target = resolved;
    std::free(resolved);
  }
  const size_t slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
  const std::string name = target.substr(slash + 1);

  const int dir_fd = LockDirectory(dir);
  if (dir_fd == -1) return FALSE;
  std::string bytes;
  Text text;
  const Load load = LoadFile(target, &bytes, &st);
  // UTF-16 that ends in half a unit would be misaligned by what we append.
  bool ok = load != Load::kRefused && Decode(bytes, &text) && text.ByteOffset(text.size) == bytes.size() &&
            (load == Load::kAbsent || ((st.st_mode & 0222) != 0 && access(target.c_str(), W_OK) == 0));
  if (ok) {
    // One splice: [at, at + erase) becomes `insert`.
    const Lookup found = Find(text, section_name, key_name);
    const Entry& e = found.entry;
    const std::string eol = LineEnding(text);
    size_t at = text.size, erase = 0;
    std::string insert;
    if (found.key_found && e.equals != kNone) {
      // An empty value, or one that starts with a blank, replaces the blanks
      // after '=' too: kept, they would move its start, and the same write
      // again would change the file.
      const bool own_spacing = value[0] == '\0' || IsBlank(static_cast<unsigned char>(value[0]));
      at = own_spacing ? e.equals + 1 : e.value_begin;
      erase = found.line.end - at;
      insert = value;
    } else if (found.key_found) {
      at = e.content_end;
      erase = found.line.end - at;
      insert = "=" + std::string(value);
    } else {
      if (found.section_found) at = found.line.next;
      if (at == text.size && at > 0 && text[at - 1] != '\r' && text[at - 1] != '\n') insert = eol;
      if (!found.section_found) insert += "[" + section_name + "]" + eol;
      insert += key_name + "=" + value + eol;
    }
    const std::string encoded = Encode(text, insert);
    const size_t at_byte = text.ByteOffset(at), erase_bytes = erase * text.Width();
    const bool unchanged = load == Load::kRead && erase_bytes == encoded.size() &&
                           bytes.compare(at_byte, erase_bytes, encoded) == 0;
    if (!unchanged) {
      iovec pieces[3] = {{&bytes[0], at_byte},
                         {const_cast<char*>(encoded.data()), encoded.size()},
                         {&bytes[0] + at_byte + erase_bytes, bytes.size() - at_byte - erase_bytes}};
      ok = ReplaceFile(dir_fd, name, pieces, 3, load == Load::kRead ? &st : nullptr);
    }
  }
  close(dir_fd);  // unlocks
  return ok ? TRUE : FALSE;
}
