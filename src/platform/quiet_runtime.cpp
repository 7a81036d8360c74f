// Linked into the Linux program only, with the C++ runtime linked in
// statically. Nothing in the program catches an exception, so a throw (in
// practice: memory ran out) ends the run. It ends here the way every run
// ends: exit status 1, nothing on stderr, the settings file as it was (it is
// only ever replaced whole). This also leaves out the runtime's message
// printer, demangler and exception classes, which cost more at start than
// the program's own work.
#include <unistd.h>

namespace {
[[noreturn]] void EndRun() { _exit(1); }
}  // namespace

namespace __gnu_cxx {
void __verbose_terminate_handler() { EndRun(); }
}  // namespace __gnu_cxx

namespace std {
void __throw_bad_alloc() { EndRun(); }
void __throw_bad_array_new_length() { EndRun(); }
void __throw_logic_error(const char*) { EndRun(); }
void __throw_length_error(const char*) { EndRun(); }
void __throw_out_of_range(const char*) { EndRun(); }
void __throw_out_of_range_fmt(const char*, ...) { EndRun(); }
void __throw_invalid_argument(const char*) { EndRun(); }
}  // namespace std
