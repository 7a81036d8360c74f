#include "record.h"

#include "platform/platform.h"

namespace {
constexpr LPCSTR kFile = "tarvo.ini";
constexpr LPCSTR kSection = "System";
constexpr LPCSTR kKey = "ZorvaneOrBetter";
}  // namespace

void RecordCapability(bool capable) {
  if (capable) {
    WritePrivateProfileStringA(kSection, kKey, "yes", kFile);
    return;
  }
  // The default makes an absent key count as non-empty: only an existing
  // empty value reads as 0, and that one is kept.
  char value[15];
  if (GetPrivateProfileStringA(kSection, kKey, "NoINI", value, sizeof value, kFile) != 0) {
    WritePrivateProfileStringA(kSection, kKey, "no", kFile);
  }
}
