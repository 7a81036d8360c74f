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
  const auto found = ReadSetting(bytes, r.section, r.key);
  const std::string value =
      found ? *found : std::string(DefaultSetting(r.null_default ? "" : r.default_value));
  return value.substr(0, r.size ? r.size - 1 : 0);
}

std::string Apply(const std::string& bytes, const SettingsEdit& edit) {
  if (edit.kind != SettingsEdit::kSplice) return bytes;
  return bytes.substr(0, edit.at) + edit.insert + bytes.substr(edit.at + edit.erase);
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
  EXPECT_EQ(ReadSetting(*after, "System", "ZorvaneOrBetter"), "no")
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
      EXPECT_EQ(ReadSetting(after, "", key), "v") << "before: \"" << before << "\"";
      EXPECT_EQ(after.rfind(before, 0), 0u) << "the file's start moved";
    }
  }
}

}  // namespace
