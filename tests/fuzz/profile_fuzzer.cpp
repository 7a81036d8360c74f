// libFuzzer target over the settings text, in memory: the input is a
// settings file, and its last bytes also choose a write. After the write the
// key reads back as written, every byte outside the one changed line is
// kept, and writing the same value again changes nothing.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/settings_text.h"

namespace {

std::string g_write;  // the write being checked, for the report

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s, after writing %s\n", what, g_write.c_str());
    __builtin_trap();
  }
}

bool IsBlank(unsigned char c) { return (c >= 0x09 && c <= 0x0D) || c == 0x1A || c == 0x20; }

// What a read of `value` gives back: blanks trimmed, then matching quotes removed.
std::string ReadsBackAs(const std::string& value) {
  size_t b = 0, e = value.size();
  while (b < e && IsBlank(value[b])) ++b;
  while (e > b && IsBlank(value[e - 1])) --e;
  std::string s = value.substr(b, e - b);
  if (s.size() >= 2 && (s[0] == '"' || s[0] == '\'') && s.back() == s[0])
    s = s.substr(1, s.size() - 2);
  return s;
}

const char* const kSections[] = {"System", "system", "", " System ", "Other", "S"};
const char* const kKeys[] = {"ZorvaneOrBetter", "zorvaneorbetter", "K", " a b ", "Key", "x"};
const char* const kValues[] = {"yes",      "no",    "",    "\"quoted\"",
                               " padded ", "NoINI", "'a'", "\x80\xff"};

// A table entry, or a slice of the input (cut at a NUL, as a C string is).
std::string Choose(unsigned choice, const char* const* table, size_t n, const uint8_t* data,
                   size_t size, unsigned start, unsigned length) {
  if (choice < n) return table[choice];
  if (size == 0) return "";
  std::string s(reinterpret_cast<const char*>(data) + start % size,
                std::min<size_t>(length % 24, size - start % size));
  return s.substr(0, s.find('\0'));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The last four bytes choose the write; XOR with '\n' so that a file that
  // ends in a line break (every seed) writes System/ZorvaneOrBetter.
  const auto tail = [&](size_t i) -> unsigned { return size > i ? data[size - 1 - i] ^ '\n' : 0; };
  const unsigned names = tail(0), value_choice = tail(1) % 10;
  const std::string section = Choose(names % 8, kSections, 6, data, size, tail(2), tail(3));
  const std::string key = Choose((names / 8) % 8, kKeys, 6, data, size, tail(3), tail(2));
  const std::string value =
      Choose(value_choice, kValues, 8, data, size, tail(2) + tail(3), tail(1));

  g_write.clear();
  for (const std::string* s : {&section, &key, &value}) {
    g_write += '"';
    for (unsigned char c : *s) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, c < 0x20 || c >= 0x7F ? "\\x%02X" : "%c", c);
      g_write += escaped;
    }
    g_write += s == &value ? "\"" : "\" ";
  }

  // In UTF-8, a lead byte among the last three that announces more bytes
  // than follow it starts one character that runs to the end, line breaks
  // and all.
  const bool utf8 = size >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0;
  size_t cut = size;
  for (size_t i = size >= 6 ? size - 3 : 3; utf8 && i < size && cut == size; ++i) {
    const unsigned c = data[i];
    const size_t more = c >= 0xC2 && c <= 0xDF   ? 1
                        : c >= 0xE0 && c <= 0xEF ? 2
                        : c >= 0xF0 && c <= 0xF4 ? 3
                                                 : 0;
    if (more > 0 && i + more >= size) cut = i;
  }

  const std::string before(reinterpret_cast<const char*>(data), size);
  const SettingsEdit edit = EditSetting(before, section, key, value);
  Check(edit.at + edit.erase <= before.size(), "the splice lies outside the file");
  if (edit.kind == SettingsEdit::kRefused) {
    // Tabled names and values are always writable to a file without NULs,
    // unless it is UTF-8 that ends in a character cut short.
    const bool utf16 = size >= 2 && (data[0] == 0xFF || data[0] == 0xFE);
    Check(names % 8 >= 6 || (names / 8) % 8 >= 6 || value_choice >= 8 || utf16 || cut < size ||
              std::memchr(data, 0, size) != nullptr,
          "a plain write failed");
    return 0;
  }

  const std::string after = edit.kind == SettingsEdit::kUnchanged
                                ? before
                                : before.substr(0, edit.at) + std::string(edit.insert) +
                                      before.substr(edit.at + edit.erase);
  Check(edit.kind == SettingsEdit::kSplice ||
            std::string_view(edit.insert) == before.substr(edit.at, edit.erase),
        "an unchanged file has another splice");
  Buffer read;
  Check(ReadSetting(after, section, key, &read) && std::string_view(read) == ReadsBackAs(value),
        "the key does not read back as written");

  // The changed part of the old file lies within one line. Compared in whole
  // units (two bytes in UTF-16), or a byte equal by chance would shift it.
  const bool utf16 =
      size >= 2 && ((data[0] == 0xFF && data[1] == 0xFE) || (data[0] == 0xFE && data[1] == 0xFF));
  const size_t unit = utf16 ? 2 : 1, bom = utf16 ? 2 : 0;
  Check(after.compare(0, bom, before, 0, bom) == 0, "the byte-order mark changed");
  const auto same = [&](size_t i, size_t j) {
    return before.compare(i, unit, after, j, unit) == 0;
  };
  size_t prefix = bom, suffix = 0;
  while (prefix + unit <= before.size() && prefix + unit <= after.size() && same(prefix, prefix))
    prefix += unit;
  while (prefix + suffix + unit <= before.size() && prefix + suffix + unit <= after.size() &&
         same(before.size() - suffix - unit, after.size() - suffix - unit)) {
    suffix += unit;
  }
  for (size_t i = prefix; i + suffix + unit <= before.size() && i < cut; i += unit) {
    unsigned u = static_cast<unsigned char>(before[i]);
    if (utf16) {
      const unsigned other = static_cast<unsigned char>(before[i + 1]);
      u = data[0] == 0xFF ? u | other << 8 : u << 8 | other;
    }
    Check(u != '\r' && u != '\n', "a byte outside the changed line changed");
  }

  Check(EditSetting(after, section, key, value).kind == SettingsEdit::kUnchanged,
        "writing the same value again changed the file");
  return 0;
}
