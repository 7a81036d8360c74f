// The seam between the probe and the processor's flags register. The program
// links the real register (flags_register_x86.cpp, or flags_register_other.cpp
// where there is none); tests link an emulated one.
#ifndef TARVOPROBE_PLATFORM_FLAGS_REGISTER_H_
#define TARVOPROBE_PLATFORM_FLAGS_REGISTER_H_

#include <cstdint>

using FlagsWord = std::uintptr_t;

// Returns the calling thread's flags register, all bits.
FlagsWord ReadFlags();

// Loads the flags register; bits the processor holds fixed keep their value.
void WriteFlags(FlagsWord flags);

#endif  // TARVOPROBE_PLATFORM_FLAGS_REGISTER_H_
