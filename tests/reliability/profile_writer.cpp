// A test driver of the stand-in: writes KEY=r0 .. r(ROUNDS-1) into section
// System of tarvo.ini; the exit status counts the writes that failed.
#include <cstdlib>
#include <string>

#include "platform/platform.h"

int main(int argc, char** argv) {
  if (argc != 3) return 100;
  const int rounds = std::atoi(argv[2]);
  int failed = 0;
  for (int i = 0; i < rounds; ++i) {
    const std::string value = "r" + std::to_string(i);
    if (!WritePrivateProfileStringA("System", argv[1], value.c_str(), "tarvo.ini")) ++failed;
  }
  return failed;
}
