// Processor families without an x86 flags register have no ID flag that
// software could change: a register that ignores writes gives verdict false.
#include "platform/flags_register.h"

FlagsWord ReadFlags() { return 0; }

void WriteFlags(FlagsWord) {}
