// Writing a value where it already stands leaves the file byte for byte as
// it was, whatever blanks surround the old value or start the new one.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "test_util.h"

namespace {

TEST(RewriteTest, TheSameWriteTwiceChangesNothing) {
  testing_util::TempDir dir;
  const auto ini = dir.path() / "tarvo.ini";
  for (const char* line : {"K=yes", "K \t=\t yes \t", "K=", "K= \t", "K"}) {
    for (const char* value : {"", " padded ", "\tx", "x ", "\"q\""}) {
      testing_util::WriteBytes(ini, std::string("[S]\n") + line + "\n");
      ASSERT_TRUE(WritePrivateProfileStringA("S", "K", value, ini.c_str()));
      const auto once = testing_util::ReadBytes(ini);
      ASSERT_TRUE(WritePrivateProfileStringA("S", "K", value, ini.c_str()));
      EXPECT_EQ(testing_util::ReadBytes(ini), once) << "line \"" << line << "\", value \"" << value << "\"";
    }
  }
}

}  // namespace
