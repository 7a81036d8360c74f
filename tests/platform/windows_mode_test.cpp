// How a Windows build's test programs run: as code of the build's own width
// and, when the native tests run them in a WoW64 prefix, a 32-bit build
// under WoW64 (TARVOPROBE_EXPECT_WOW64 says which the prefix must give).
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <iostream>

namespace {

TEST(WindowsModeTest, RunsAsCodeOfTheBuildsWidth) {
  BOOL wow64 = FALSE;
  ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64));
  std::cout << "[ machine  ] pointer size " << sizeof(void*) << ", IsWow64Process "
            << (wow64 ? "true" : "false") << "\n";
  const char* expected = std::getenv("TARVOPROBE_EXPECT_WOW64");
  if (!expected) GTEST_SKIP() << "SKIPPED: TARVOPROBE_EXPECT_WOW64 is not set";
  EXPECT_EQ(wow64 != FALSE, expected[0] == '1');
}

}  // namespace
