#include "platform/fake_flags_register.h"

namespace {
constexpr FlagsWord kId = FlagsWord{1} << 21;
}  // namespace

EmulatedFlags& Emulated() {
  static EmulatedFlags flags;
  return flags;
}

FlagsWord ReadFlags() {
  EmulatedFlags& f = Emulated();
  f.value ^= f.churn;
  f.log.push_back({false, f.value});
  return f.value;
}

void WriteFlags(FlagsWord flags) {
  EmulatedFlags& f = Emulated();
  f.log.push_back({true, flags});
  if (f.id == EmulatedFlags::kHeldAt0) flags &= ~kId;
  if (f.id == EmulatedFlags::kHeldAt1) flags |= kId;
  f.value = flags;
}
