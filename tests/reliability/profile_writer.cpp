// A test driver of the stand-in: writes KEY=r0 .. r(ROUNDS-1) into section
// System of tarvo.ini, prints the last value whose write succeeded, and
// exits with the number of writes that failed.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/platform.h"

int main(int argc, char** argv) {
  if (argc != 3) return 100;
  const int rounds = std::atoi(argv[2]);
  int failed = 0;
  std::string acknowledged;
  for (int i = 0; i < rounds; ++i) {
    const std::string value = "r" + std::to_string(i);
    if (WritePrivateProfileStringA("System", argv[1], value.c_str(), "tarvo.ini")) {
      acknowledged = value;
    } else {
      ++failed;
    }
  }
  if (!acknowledged.empty()) std::printf("%s\n", acknowledged.c_str());
  return failed;
}
