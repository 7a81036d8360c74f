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

// A key written first in a file must not be taken for a byte-order mark.
TEST(ProfileEditTest, KeysThatWouldReadAsAByteOrderMarkAreRefused) {
  testing_util::TempDir dir;
  const auto ini = dir.path() / "tarvo.ini";
  for (const char* before : {"", "[S]\n"}) {
    for (const char* key : {"\xFF\xFEK", "\xFE\xFFK", "\xEF\xBB\xBFK"}) {
      testing_util::WriteBytes(ini, before);
      EXPECT_FALSE(WritePrivateProfileStringA("", key, "v", ini.c_str()));
      EXPECT_EQ(testing_util::ReadBytes(ini), before);
      EXPECT_TRUE(WritePrivateProfileStringA("S", key, "v", ini.c_str()))
          << "only the nameless section is at risk";
      char value[8];
      EXPECT_EQ(GetPrivateProfileStringA("S", key, "", value, sizeof value, ini.c_str()), 1u);
    }
  }
}

}  // namespace
