// The command-line tail the Windows start-up hands to the entry: the program
// name skipped as the platform's C runtime skips it, then the blanks.
#include "platform/command_tail.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Case {
  const char* line;
  const char* tail;
};

const Case kCases[] = {
    {"", ""},
    {"tarvoprobe.exe", ""},
    {"tarvoprobe.exe   ", ""},
    {"tarvoprobe.exe a b", "a b"},
    {"tarvoprobe.exe \t  -v  ", "-v  "},
    {"C:\\tools\\tarvoprobe.exe\t\"quoted words\"", "\"quoted words\""},
    {"\"C:\\Program Files\\tarvoprobe.exe\" /?", "/?"},
    {"\"C:\\Program Files\\tarvoprobe.exe\"/?", "/?"},  // the quote ends the name
    {"\"\" rest", "rest"},
    {"\"unterminated name", ""},
    {"name\x01with control", "with control"},  // control characters are blanks
    {"caf\xe9.exe x", "x"},                    // bytes above 0x7F are not
    {"a\"b c\" d", "c\" d"},                   // only a leading quote counts
};

TEST(CommandTailTest, SkipsTheProgramNameAsThePlatformDoes) {
  for (const Case& c : kCases) {
    std::string line = c.line;
    EXPECT_STREQ(CommandTail(line.data()), c.tail) << "command line: " << c.line;
  }
}

}  // namespace
