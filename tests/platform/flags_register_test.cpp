// The real flags register of the processor running the tests.
#include <cpuid.h>
#include <gtest/gtest.h>

#include "platform/flags_register_x86.h"
#include "probe.h"

namespace {

constexpr FlagsWord kId = FlagsWord{1} << 21, kAc = FlagsWord{1} << 18, kDf = FlagsWord{1} << 10;

// Every x86-64 processor implements CPUID. An i686 build under emulation
// answers for the emulated processor, which has it too.
TEST(FlagsRegisterTest, ProcessorWithCpuidIsCapable) {
  EXPECT_TRUE(ProbeIdFlag());
  EXPECT_TRUE(ProbeIdFlag()) << "a second call must agree";
}

// GCC's own test: on 32-bit x86 it toggles the ID flag too, on x86-64 it
// reads the highest CPUID leaf.
TEST(FlagsRegisterTest, AgreesWithTheCompilersCpuidTest) {
  EXPECT_EQ(ProbeIdFlag(), __get_cpuid_max(0, nullptr) != 0);
}

TEST(FlagsRegisterTest, ProbeLeavesIdAcAndDfAsFound) {
  const FlagsWord original = ReadFlagsX86();
  for (FlagsWord id : {FlagsWord{0}, kId}) {
    WriteFlagsX86((original & ~kId) | id);
    const FlagsWord before = ReadFlagsX86();
    ProbeIdFlag();
    const FlagsWord after = ReadFlagsX86();
    WriteFlagsX86(original);
    EXPECT_EQ(before & kId, id) << "the processor must let the test set up ID";
    EXPECT_EQ(after & (kId | kAc | kDf), before & (kId | kAc | kDf)) << "ID starting at " << id;
  }
}

// A leaf function may keep locals below the stack pointer, where pushf writes.
// Built at -O2, these volatile locals live there unless the primitives step
// over the red zone.
__attribute__((noinline)) bool CanariesSurviveFlagsAccess() {
  volatile FlagsWord a = 0x1111, b = 0x2222, c = 0x3333, d = 0x4444;
  const FlagsWord flags = ReadFlagsX86();
  a = a + 1;
  WriteFlagsX86(flags ^ kId);
  b = b + 1;
  WriteFlagsX86(ReadFlagsX86() ^ kId);
  c = c + 1;
  d = d + 1;
  return a == 0x1112 && b == 0x2223 && c == 0x3334 && d == 0x4445;
}

TEST(FlagsRegisterTest, PrimitivesKeepLocalsOfLeafFunctions) {
  EXPECT_TRUE(CanariesSurviveFlagsAccess());
}

}  // namespace
