// The program's own start-up, in place of the toolchain's. That one is
// compiled for the Pentium Pro and later (it uses CMOV before reaching the
// program), so it would crash on exactly the processors whose verdict is
// "no". The program needs nothing else of a C runtime, so this does what the
// platform's start-up does for a graphical program, and no more.
#include "platform/command_tail.h"
#include "platform/entry.h"

extern "C" [[noreturn]] void WinMainCRTStartup() {
  STARTUPINFOA startup;
  GetStartupInfoA(&startup);
  const int show = startup.dwFlags & STARTF_USESHOWWINDOW ? startup.wShowWindow : SW_SHOWDEFAULT;
  ExitProcess(
      RunProbeAndRecord(GetModuleHandleA(nullptr), nullptr, CommandTail(GetCommandLineA()), show));
}
