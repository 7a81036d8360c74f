// The start-up where there is no graphical entry convention: an ordinary
// main that ignores its arguments.
#include <fcntl.h>
#include <unistd.h>

#include <exception>
#include <new>

#include "platform/entry.h"

namespace {
// A run that cannot go on ends as every run does: status 1, nothing printed,
// and the settings file as it was, since it is only ever replaced whole.
[[noreturn]] void EndRun() { _exit(1); }
}  // namespace

int main() {
  // A closed standard descriptor would be handed to the next file we open,
  // and a stray write to that stream would land in the settings file.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDWR) != fd) break;
  }
  // Out of memory, or anything else the C++ runtime cannot go on from.
  std::set_new_handler(EndRun);
  std::set_terminate(EndRun);
  char no_command_tail[] = "";
  return RunProbeAndRecord(nullptr, nullptr, no_command_tail, 0);
}
