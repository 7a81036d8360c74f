// A flags register that holds the ID flag at 0, as a processor without CPUID
// does. Linked into tarvoprobe-incapable in place of the real register; it
// needs nothing of a C++ runtime, as the program does not.
#include "platform/flags_register.h"

namespace {
FlagsWord value = 0x202;
}  // namespace

FlagsWord ReadFlags() { return value; }

void WriteFlags(FlagsWord flags) { value = flags & ~(FlagsWord{1} << 21); }
