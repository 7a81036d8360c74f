// An emulated flags register, linked in place of the real one. Unconfigured,
// it holds the ID flag at 0, as a processor without CPUID does.
#ifndef TARVOPROBE_TESTS_PLATFORM_FAKE_FLAGS_REGISTER_H_
#define TARVOPROBE_TESTS_PLATFORM_FAKE_FLAGS_REGISTER_H_

#include <vector>

#include "platform/flags_register.h"

struct EmulatedFlags {
  enum Id { kHeldAt0, kHeldAt1, kToggles } id = kHeldAt0;
  FlagsWord value = 0x202;  // the register's current bits
  FlagsWord churn = 0;      // bits that flip under the program before each read
  struct Access {
    bool write;
    FlagsWord value;
  };
  std::vector<Access> log;
};

EmulatedFlags& Emulated();

#endif  // TARVOPROBE_TESTS_PLATFORM_FAKE_FLAGS_REGISTER_H_
