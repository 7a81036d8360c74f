// Edits that once went wrong: a write must read back, and the same write
// again must leave the file byte for byte as it was.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "test_util.h"

namespace {

TEST(ProfileEditTest, TheSameWriteTwiceChangesNothing) {
  testing_util::TempDir dir;
  const auto ini = dir.path() / "tarvo.ini";
  for (const char* line : {"K=yes", "K \t=\t yes \t", "K=", "K= \t", "K"}) {
    for (const char* value : {"", " padded ", "\tx", "x ", "\"q\""}) {
      testing_util::WriteBytes(ini, std::string("[S]\n") + line + "\n");
      ASSERT_TRUE(WritePrivateProfileStringA("S", "K", value, ini.c_str()));
      const auto once = testing_util::ReadBytes(ini);
      ASSERT_TRUE(WritePrivateProfileStringA("S", "K", value, ini.c_str()));
      EXPECT_EQ(testing_util::ReadBytes(ini), once)
          << "line \"" << line << "\", value \"" << value << "\"";
    }
  }
}

// The nameless section is the one headed "[]", so its keys never go first in
// the file, where bytes like these would be taken for a byte-order mark.
TEST(ProfileEditTest, NamelessSectionKeysReadBackWhateverTheyStartWith) {
  testing_util::TempDir dir;
  const auto ini = dir.path() / "tarvo.ini";
  for (const char* before : {"", "[S]\n", "K=1\n"}) {
    for (const char* key : {"\xFF\xFEK", "\xFE\xFFK", "\xEF\xBB\xBFK"}) {
      testing_util::WriteBytes(ini, before);
      ASSERT_TRUE(WritePrivateProfileStringA("", key, "v", ini.c_str()));
      char value[8];
      EXPECT_EQ(GetPrivateProfileStringA("", key, "", value, sizeof value, ini.c_str()), 1u)
          << "before: \"" << before << "\"";
      EXPECT_EQ(testing_util::ReadBytes(ini)->rfind(before, 0), 0u) << "the file's start moved";
    }
  }
}

}  // namespace
