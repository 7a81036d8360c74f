// Windowless: probe the processor, record the verdict, exit with status 1.
// Nothing the program is given changes what it does.
#include "platform/platform.h"
#include "probe.h"
#include "record.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

int RunProbeAndRecord(HINSTANCE, HINSTANCE, LPSTR, int) {
  RecordCapability(ProbeIdFlag());
  return 1;
}

#ifdef _WIN32
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_tail,
                   int show) {
  return RunProbeAndRecord(instance, previous, command_tail, show);
}
#else
int main() {
  // A closed standard descriptor would be handed to the next file we open,
  // and a stray write to that stream would land in the settings file.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDWR) != fd) break;
  }
  char no_command_tail[] = "";
  return RunProbeAndRecord(nullptr, nullptr, no_command_tail, 0);
}
#endif
