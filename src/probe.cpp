#include "probe.h"

#include "platform/flags_register.h"

namespace {
constexpr FlagsWord kIdFlag = FlagsWord{1} << 21;
}  // namespace

bool ProbeIdFlag() {
  const FlagsWord found = ReadFlags();
  WriteFlags(found ^ kIdFlag);
  const FlagsWord changed = ReadFlags();
  // Restore before comparing, whichever way the test went.
  WriteFlags(found);
  return ((found ^ changed) & kIdFlag) != 0;
}
