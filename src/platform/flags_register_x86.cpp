#include "platform/flags_register_x86.h"

FlagsWord ReadFlags() { return ReadFlagsX86(); }

void WriteFlags(FlagsWord flags) { WriteFlagsX86(flags); }
