// The x86 flags-register primitives, inline so tests can place them inside a
// leaf function. Each is one asm statement that leaves the stack pointer as it
// found it and takes register operands only: a memory operand could be
// addressed relative to a stack pointer that moves inside the asm.
// Both are volatile so two reads are never merged into one.
#ifndef TARVOPROBE_PLATFORM_FLAGS_REGISTER_X86_H_
#define TARVOPROBE_PLATFORM_FLAGS_REGISTER_X86_H_

#include "platform/flags_register.h"

// SysV x86-64 lets leaf functions keep locals in the 128 bytes below the stack
// pointer, where pushf would land. lea steps over that red zone without
// touching the flags (add/sub would). i686 and Win64 have no red zone.
#if defined(__x86_64__) && !defined(_WIN64)
#define TARVOPROBE_SKIP_RED_ZONE "lea -128(%%rsp), %%rsp\n\t"
#define TARVOPROBE_BACK_TO_RED_ZONE "lea 128(%%rsp), %%rsp"
#else
#define TARVOPROBE_SKIP_RED_ZONE ""
#define TARVOPROBE_BACK_TO_RED_ZONE ""
#endif

inline FlagsWord ReadFlagsX86() {
  FlagsWord flags;
  asm volatile(TARVOPROBE_SKIP_RED_ZONE
               "pushf\n\t"
               "pop %0\n\t" TARVOPROBE_BACK_TO_RED_ZONE
               : "=r"(flags)
               :
               : "memory");
  return flags;
}

inline void WriteFlagsX86(FlagsWord flags) {
  asm volatile(TARVOPROBE_SKIP_RED_ZONE
               "push %0\n\t"
               "popf\n\t" TARVOPROBE_BACK_TO_RED_ZONE
               :
               : "r"(flags)
               : "cc", "memory");
}

#endif  // TARVOPROBE_PLATFORM_FLAGS_REGISTER_X86_H_
