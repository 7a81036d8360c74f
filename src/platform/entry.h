// The seam between the platform's start-up and the program: each platform's
// start-up (entry_posix.cpp, entry_windows.cpp) calls RunProbeAndRecord once
// and ends the process with its result.
#ifndef TARVOPROBE_PLATFORM_ENTRY_H_
#define TARVOPROBE_PLATFORM_ENTRY_H_

#include "platform/platform.h"

// The graphical entry: instance, previous instance (always null), the
// command line after the program name, and the window show state. None of
// them changes what the program does. Returns 1, the exit status.
int WINAPI RunProbeAndRecord(HINSTANCE instance, HINSTANCE previous, LPSTR command_tail, int show);

#endif  // TARVOPROBE_PLATFORM_ENTRY_H_
