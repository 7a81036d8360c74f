#include "platform/settings_text.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/code_page.h"

namespace {

constexpr size_t kNone = static_cast<size_t>(-1);

bool IsBlank(unsigned c) { return (c >= 0x09 && c <= 0x0D) || c == 0x1A || c == 0x20; }

bool IsLineBreak(unsigned c) { return c == '\r' || c == '\n'; }

unsigned FoldCase(unsigned c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && IsBlank(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

// The file's text as code units: bytes (UTF-8 too, whose structure is
// ASCII, which no multibyte character holds), or UTF-16 in either byte order.
struct Text {
  enum Encoding { kBytes, kUtf8, kUtf16Le, kUtf16Be } encoding = kBytes;
  const unsigned char* data = nullptr;  // just past the byte-order mark
  size_t bom = 0;                       // bytes of byte-order mark
  size_t size = 0;                      // code units
  size_t cut = 0;  // UTF-8: from here to the end, one character cut short by it

  unsigned operator[](size_t i) const {
    switch (encoding) {
      case kUtf16Le:
        return data[2 * i] | data[2 * i + 1] << 8;
      case kUtf16Be:
        return data[2 * i] << 8 | data[2 * i + 1];
      default:
        // What a character cut short by the end swallowed is part of it, so
        // never structure: a line break there reads as a byte of 0x80 up.
        return i < cut ? data[i] : data[i] | 0x80;
    }
  }
  size_t Width() const { return encoding >= kUtf16Le ? 2 : 1; }
  size_t ByteOffset(size_t unit) const { return bom + unit * Width(); }
  std::string_view Bytes(size_t from = 0) const {
    return {reinterpret_cast<const char*>(data) + from, size - from};
  }
  // The character at *i, moving *i past it: a unit, or a UTF-8 character.
  unsigned Next(size_t* i) const {
    return encoding == kUtf8 ? NextUtf8(Bytes(), i) : (*this)[(*i)++];
  }
  // Bytes of 8-bit files pass through as they are; the others are converted.
  unsigned UnitOf(unsigned char c) const { return encoding == kBytes ? c : FromAnsi(c); }
  void AppendChar(unsigned c, Buffer* out) const {
    if (encoding == kBytes) {
      out->Append(static_cast<char>(c));
    } else {
      AppendAnsi(c, out);
    }
  }
};

// False for UTF-16 without a byte-order mark (a NUL in the first two bytes),
// which would be misread as bytes.
bool Decode(std::string_view bytes, Text* text) {
  const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  if (n >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
    text->encoding = Text::kUtf8;
    text->bom = 3;
  } else if (n >= 2 && ((b[0] == 0xFF && b[1] == 0xFE) || (b[0] == 0xFE && b[1] == 0xFF))) {
    text->encoding = b[0] == 0xFF ? Text::kUtf16Le : Text::kUtf16Be;
    text->bom = 2;
  } else if ((n >= 1 && b[0] == 0) || (n >= 2 && b[1] == 0)) {
    return false;
  }
  text->data = b + text->bom;
  text->size = (n - text->bom) / text->Width();
  text->cut = text->encoding == Text::kUtf8 ? Utf8CutShort(text->Bytes()) : text->size;
  return true;
}

// One line: its text [begin, end) and its line ending [end, next).
struct Line {
  size_t begin, end, next;
};

Line LineAt(const Text& t, size_t pos) {
  size_t end = pos;
  if (t.Width() == 1) {  // the common case, by memchr; nothing past `cut` ends a line
    const void* lf = std::memchr(t.data + pos, '\n', t.cut - pos);
    const size_t limit =
        lf ? static_cast<size_t>(static_cast<const unsigned char*>(lf) - t.data) : t.cut;
    const void* cr = std::memchr(t.data + pos, '\r', limit - pos);
    end = cr ? static_cast<size_t>(static_cast<const unsigned char*>(cr) - t.data) : limit;
  }
  while (end < t.size && !IsLineBreak(t[end])) ++end;
  size_t next = end;
  if (next < t.size) next += (t[next] == '\r' && next + 1 < t.size && t[next + 1] == '\n') ? 2 : 1;
  return {pos, end, next};
}

// What a line means. Names and values are trimmed, then end at a NUL.
struct Entry {
  enum Kind { kBlank, kComment, kHeader, kKey } kind = kBlank;
  size_t name_begin = 0, name_end = 0;
  size_t equals = kNone;                  // kNone: a key line without '='
  size_t value_begin = 0, value_end = 0;  // value_begin: first non-blank after '='
  size_t content_end = 0;                 // the line without its trailing blanks
};

size_t CutAtNul(const Text& t, size_t begin, size_t end) {
  while (begin < end && t[begin] != 0) ++begin;
  return begin;
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

bool NameIs(const Text& t, const Entry& e, std::string_view name) {
  // A unit a character but in UTF-8: most names that differ differ in length.
  if (t.encoding != Text::kUtf8 && e.name_end - e.name_begin != name.size()) return false;
  size_t i = e.name_begin;
  for (char c : name) {
    if (i >= e.name_end || FoldCase(t.Next(&i)) != FoldCase(t.UnitOf(c))) return false;
  }
  return i == e.name_end;
}

// Where a key stands, or where it would go: after the last key line of the
// first section of that name, else at the end of the file.
struct Lookup {
  bool section_found = false, key_found = false;
  Line line{};  // the key's line, or the line the key would follow
  Entry entry;  // the key's line, parsed
};

// Whether the header whose '[' is at `bracket` certainly does not name
// `section`: its first characters are plain ASCII and differ from the name's,
// or the name runs out while they go on. Anything else, blanks, ']', NUL,
// non-ASCII, a line break, is left to Parse and NameIs. 8-bit text only.
bool CertainlyNotNamed(const Text& t, size_t bracket, std::string_view section) {
  const auto plain = [](unsigned c) { return c > ' ' && c < 0x7F && c != ']'; };
  size_t i = bracket + 1;
  for (const unsigned char c : section) {
    if (i == t.cut || !plain(t.data[i]) || !plain(c)) return false;
    if (FoldCase(t.data[i++]) != FoldCase(c)) return true;
  }
  return i < t.cut && plain(t.data[i]);
}

// The start of the first line at or after `pos` (a line start) that may
// head `section`: its first non-blank is '['. In 8-bit text the brackets are
// found by memchr, and headers of other names are passed over unparsed. A
// whole run on a 60 MiB file takes about 230 ms at the floor; reading it
// (bench/profile_bench BM_Read, section near the end) takes 63 ms so, 99 ms
// without passing over other headers, 137 ms line by line.
size_t NextHeader(const Text& t, size_t pos, std::string_view section) {
  if (t.Width() != 1) {
    for (Line line; pos < t.size; pos = line.next) {
      line = LineAt(t, pos);
      size_t b = line.begin;
      while (b < line.end && IsBlank(t[b])) ++b;
      if (b < line.end && t[b] == '[') return pos;
    }
    return t.size;
  }
  const unsigned char* d = t.data;  // below `cut`, the units are these bytes
  for (size_t at = pos; at < t.cut; ++at) {
    const void* bracket = std::memchr(d + at, '[', t.cut - at);
    if (!bracket) break;
    at = static_cast<size_t>(static_cast<const unsigned char*>(bracket) - d);
    size_t begin = at;  // back over blanks to the line's start
    while (begin > pos && !IsLineBreak(d[begin - 1]) && IsBlank(d[begin - 1])) --begin;
    if ((begin == pos || IsLineBreak(d[begin - 1])) && !CertainlyNotNamed(t, at, section)) {
      return begin;
    }
  }
  return t.size;
}

// Until the section is found only a header can matter; then its keys, up
// to the next header.
Lookup Find(const Text& t, std::string_view section, std::string_view key) {
  Lookup found;
  size_t pos = 0;
  while (!found.section_found && (pos = NextHeader(t, pos, section)) < t.size) {
    const Line line = LineAt(t, pos);
    pos = line.next;
    const Entry e = Parse(t, line);
    if (e.kind == Entry::kHeader && NameIs(t, e, section)) {
      found.section_found = true;
      found.line = line;
    }
  }
  while (found.section_found && pos < t.size) {
    const Line line = LineAt(t, pos);
    pos = line.next;
    const Entry e = Parse(t, line);
    if (e.kind == Entry::kHeader) break;
    if (e.kind != Entry::kKey) continue;
    found.line = line;
    if (NameIs(t, e, key)) {
      found.key_found = true;
      found.entry = e;
      break;
    }
  }
  return found;
}

// Quotes around a whole value (or default) are not part of it.
std::string_view Unquote(std::string_view s) {
  if (s.size() >= 2 && (s.front() == '"' || s.front() == '\'') && s.back() == s.front()) {
    return {s.data() + 1, s.size() - 2};
  }
  return s;
}

// The bytes of `s` in the file's encoding.
Buffer Encode(const Text& t, Buffer s) {
  if (t.encoding == Text::kBytes) return s;
  Buffer out;
  for (unsigned char c : std::string_view(s)) {
    t.encoding == Text::kUtf8 ? AppendUtf8(FromAnsi(c), &out)
                              : AppendUtf16(FromAnsi(c), t.encoding == Text::kUtf16Be, &out);
  }
  return out;
}

// The file's own line ending: the first one in it, else LF.
std::string_view LineEnding(const Text& t) {
  const Line first = LineAt(t, 0);
  if (first.end == first.next) return "\n";
  return first.next - first.end == 2 ? "\r\n" : t[first.end] == '\r' ? "\r" : "\n";
}

// A C string's bytes: what follows a NUL is not part of it.
std::string_view UpToNul(std::string_view s) {
  return {s.data(), std::min(s.find('\0'), s.size())};
}

}  // namespace

bool ReadSetting(std::string_view bytes, std::string_view section, std::string_view key,
                 Buffer* value) {
  Text text;
  if (!Decode(bytes, &text)) return false;
  const Lookup found = Find(text, Trim(UpToNul(section)), Trim(UpToNul(key)));
  const Entry& e = found.entry;
  if (!found.key_found || e.equals == kNone) return false;
  // Quotes are the file's own: a character that converts to one is not.
  size_t begin = e.value_begin, end = e.value_end;
  const unsigned q = end - begin >= 2 ? text[begin] : 0;
  if ((q == '"' || q == '\'') && text[end - 1] == q) ++begin, --end;
  *value = Buffer();
  while (begin < end) text.AppendChar(text.Next(&begin), value);
  return true;
}

std::string_view DefaultSetting(std::string_view default_value) {
  std::string_view s = UpToNul(default_value);
  while (s.size() > 1 && s.back() == ' ')
    s.remove_suffix(1);  // the first stays, as on the platform
  return Unquote(s);
}

bool CanStoreSetting(std::string_view section, std::string_view key, std::string_view value) {
  section = Trim(UpToNul(section));
  key = Trim(UpToNul(key));
  value = UpToNul(value);
  const auto breaks_line = [](std::string_view s) {
    return std::any_of(s.begin(), s.end(), [](char c) { return IsLineBreak(c); });
  };
  return !breaks_line(section) && !breaks_line(key) && !breaks_line(value) &&
         section.find(']') == std::string_view::npos && !key.empty() &&
         key.find('=') == std::string_view::npos && key[0] != '[' && key[0] != ';';
}

SettingsEdit EditSetting(std::string_view bytes, std::string_view section, std::string_view key,
                         std::string_view value) {
  SettingsEdit edit;
  Text text;
  // UTF-16 that ends in half a unit would be misaligned by what we append.
  if (!CanStoreSetting(section, key, value) || !Decode(bytes, &text) ||
      text.ByteOffset(text.size) != bytes.size()) {
    return edit;
  }
  section = Trim(UpToNul(section));
  key = Trim(UpToNul(key));
  value = UpToNul(value);
  const Lookup found = Find(text, section, key);
  const Entry& e = found.entry;
  const std::string_view eol = LineEnding(text);
  size_t at = text.size, erase = 0;
  Buffer insert;
  if (found.key_found && e.equals != kNone) {
    // An empty value, or one that starts with a blank, replaces the blanks
    // after '=' too: kept, they would move its start, and the same write
    // again would change the file.
    const bool own_spacing = value.empty() || IsBlank(static_cast<unsigned char>(value[0]));
    at = own_spacing ? e.equals + 1 : e.value_begin;
    erase = found.line.end - at;
    insert.Append(value);
  } else if (found.key_found) {
    at = e.content_end;
    // Only a NUL ends a name before a character cut short by the end of the
    // file, and after that character '=' would not be read as this line's.
    if (at > text.cut) return edit;
    erase = found.line.end - at;
    insert.Append('=').Append(value);
  } else {
    if (found.section_found) at = found.line.next;
    // A character cut short by the end of the file swallows less once the
    // file goes on: blanks and line endings only, or its line reads otherwise.
    const std::string_view swallowed =
        at == text.size && text.cut < at ? Utf8Swallowed(text.Bytes(text.cut)) : "";
    if (swallowed.find_first_not_of(" \t\n\v\f\r\x1a") != swallowed.npos) return edit;
    const unsigned last = !swallowed.empty() ? swallowed.back() : at > 0 ? text[at - 1] : '\n';
    if (at == text.size && last != '\r' && last != '\n') insert.Append(eol);
    if (!found.section_found) insert.Append("[").Append(section).Append("]").Append(eol);
    insert.Append(key).Append("=").Append(value).Append(eol);
  }
  edit.insert = Encode(text, std::move(insert));
  edit.at = text.ByteOffset(at);
  edit.erase = erase * text.Width();
  const std::string_view erased(bytes.data() + edit.at, edit.erase);
  edit.kind = erased == edit.insert ? SettingsEdit::kUnchanged : SettingsEdit::kSplice;
  return edit;
}
