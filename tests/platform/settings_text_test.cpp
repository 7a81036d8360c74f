// The settings text against golden files: the reads a file answers, and the
// one splice a write makes, all in memory.
#include "platform/settings_text.h"

#include <gtest/gtest.h>

#include <map>

#include "test_util.h"

namespace {

namespace fs = std::filesystem;
using testing_util::ReadBytes;
using testing_util::Unescape;

const fs::path kCases = TARVOPROBE_PROFILE_CASES;

std::optional<std::string> ReadValue(std::string_view bytes, std::string_view section,
                                     std::string_view key) {
  Buffer value;
  if (!ReadSetting(bytes, section, key, &value)) return std::nullopt;
  return std::string(value);
}

struct Read {
  std::string section, key, default_value;
  bool null_default;
  size_t size, count;
  std::string value;
};

// Cases by name: reads.tsv lists the reads of NAME.ini (no file: an empty
// one); NAME.after.ini holds the bytes after writing "no" to
// System/ZorvaneOrBetter, and is missing where that write is refused.
std::map<std::string, std::vector<Read>> LoadCases() {
  std::map<std::string, std::vector<Read>> cases;
  for (const auto& r : testing_util::ReadTable(kCases / "reads.tsv")) {
    cases[r.at(0)].push_back({Unescape(r.at(1)), Unescape(r.at(2)), Unescape(r.at(3)),
                              r.at(3) == "(null)", std::stoul(r.at(4)), std::stoul(r.at(5)),
                              Unescape(r.at(6))});
  }
  return cases;
}

std::vector<std::string> CaseNames() {
  std::vector<std::string> names;
  for (const auto& [name, reads] : LoadCases()) names.push_back(name);
  return names;
}

// What the platform's read copies into a buffer of `size`: the value, or
// else the default, cut to `size` - 1 bytes.
std::string ReadAsCopied(const std::string& bytes, const Read& r) {
  const auto found = ReadValue(bytes, r.section, r.key);
  const std::string value =
      found ? *found : std::string(DefaultSetting(r.null_default ? "" : r.default_value));
  return value.substr(0, r.size ? r.size - 1 : 0);
}

std::string Apply(const std::string& bytes, const SettingsEdit& edit) {
  if (edit.kind != SettingsEdit::kSplice) return bytes;
  return bytes.substr(0, edit.at) + std::string(edit.insert) + bytes.substr(edit.at + edit.erase);
}

class GoldenTest : public testing::TestWithParam<std::string> {};

TEST_P(GoldenTest, ReadsAndWriteMatchGoldenFiles) {
  const std::string& name = GetParam();
  const std::string bytes = ReadBytes(kCases / (name + ".ini")).value_or("");
  const auto cases = LoadCases();
  for (const Read& r : cases.at(name)) {
    const std::string got = ReadAsCopied(bytes, r);
    EXPECT_EQ(got.size(), r.count) << r.section << "/" << r.key << " size " << r.size;
    EXPECT_EQ(got, r.value) << r.section << "/" << r.key << " size " << r.size;
  }

  const auto after = ReadBytes(kCases / (name + ".after.ini"));
  const SettingsEdit edit = EditSetting(bytes, "System", "ZorvaneOrBetter", "no");
  if (!after) {
    EXPECT_EQ(edit.kind, SettingsEdit::kRefused);
    return;
  }
  ASSERT_NE(edit.kind, SettingsEdit::kRefused);
  EXPECT_EQ(edit.kind == SettingsEdit::kUnchanged, *after == bytes);
  EXPECT_EQ(Apply(bytes, edit), *after);
  EXPECT_EQ(ReadValue(*after, "System", "ZorvaneOrBetter"), "no")
      << "the write changed a line the read does not take";
}

INSTANTIATE_TEST_SUITE_P(Cases, GoldenTest, testing::ValuesIn(CaseNames()),
                         [](const auto& info) { return info.param; });

// Edits that once went wrong: the same write again must change nothing.
TEST(SettingsEditTest, TheSameWriteTwiceChangesNothing) {
  for (const char* line : {"K=yes", "K \t=\t yes \t", "K=", "K= \t", "K"}) {
    for (const char* value : {"", " padded ", "\tx", "x ", "\"q\""}) {
      const std::string file = std::string("[S]\n") + line + "\n";
      const SettingsEdit first = EditSetting(file, "S", "K", value);
      ASSERT_NE(first.kind, SettingsEdit::kRefused);
      const std::string once = Apply(file, first);
      EXPECT_EQ(EditSetting(once, "S", "K", value).kind, SettingsEdit::kUnchanged)
          << "line \"" << line << "\", value \"" << value << "\"";
    }
  }
}

// The nameless section is the one headed "[]", so its keys never go first in
// the file, where bytes like these would be taken for a byte-order mark.
TEST(SettingsEditTest, NamelessSectionKeysReadBackWhateverTheyStartWith) {
  for (const std::string before : {"", "[S]\n", "K=1\n"}) {
    for (const char* key : {"\xFF\xFEK", "\xFE\xFFK", "\xEF\xBB\xBFK"}) {
      const SettingsEdit edit = EditSetting(before, "", key, "v");
      ASSERT_EQ(edit.kind, SettingsEdit::kSplice);
      const std::string after = Apply(before, edit);
      EXPECT_EQ(ReadValue(after, "", key), "v") << "before: \"" << before << "\"";
      EXPECT_EQ(after.rfind(before, 0), 0u) << "the file's start moved";
    }
  }
}

// Text written into a UTF-8 file is UTF-8, names included, and what is
// appended after a character that the end of the file cuts short leaves it
// reading as it did, else the write is refused. Wine read each result as it
// reads its own write (which rewrites the whole file).
TEST(SettingsEditTest, WritesIntoUtf8Files) {
  const std::string bom = "\xEF\xBB\xBF";
  struct Case {
    std::string before;
    const char *section, *key, *value;
    std::optional<std::string> after;  // nullopt: refused
  };
  const Case cases[] = {
      {"", "S", "k", "\xE9", "[S]\nk=\xC3\xA9\n"},
      {"[S]\r\nk=old\r\n", "S", "k", "\x80\x81\xFF", "[S]\r\nk=\xE2\x82\xAC\xC2\x81\xC3\xBF\r\n"},
      {"[\xC3\xA9]\n", "\xC9", "\xC9", "x", "[\xC3\xA9]\n[\xC3\x89]\n\xC3\x89=x\n"},
      {"[S]\nk=1\n", "\xE9t\xE9", "\xC9", "v", "[S]\nk=1\n[\xC3\xA9t\xC3\xA9]\n\xC3\x89=v\n"},
      // Cut short, the character swallows the line break, a blank, or nothing.
      {"[S]\nk=caf\xE9\n", "S", "n", "1", "[S]\nk=caf\xE9\nn=1\n"},
      {"[S]\nk=\xE9 ", "S", "n", "1", "[S]\nk=\xE9 \nn=1\n"},
      {"[S]\nk=\xF0\x9F\x98", "S", "n", "1", "[S]\nk=\xF0\x9F\x98\nn=1\n"},
      // Followed, it would no longer hide a header, or would read as two.
      {"[S]\nk=\xF0\n[", "S", "n", "1", std::nullopt},
      {"[S]\nk=\xF0\x80\x80", "S", "n", "1", std::nullopt},
      {std::string("[S]\nk\0\xF0\n[", 8), "S", "k", "1", std::nullopt},
  };
  for (const Case& c : cases) {
    const std::string before = bom + c.before;
    const SettingsEdit edit = EditSetting(before, c.section, c.key, c.value);
    if (!c.after) {
      EXPECT_EQ(edit.kind, SettingsEdit::kRefused) << testing_util::Escape(c.before);
      continue;
    }
    const std::string after = Apply(before, edit);
    EXPECT_EQ(after, bom + *c.after) << testing_util::Escape(after);
    EXPECT_EQ(ReadValue(after, c.section, c.key), c.value) << testing_util::Escape(after);
  }
}

}  // namespace
