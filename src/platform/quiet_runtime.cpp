// Linked into the Linux program only, with the C++ runtime linked in
// statically. Nothing in the program catches an exception, so any throw ends
// the run; ending it here, with abort() and no message, is the same outcome
// without the runtime's message printer, demangler and exception classes,
// which cost more at start than the program's own work, and it keeps a
// failing run silent on stderr as every other run is.
#include <cstdlib>

namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx

namespace std {
void __throw_bad_alloc() { abort(); }
void __throw_bad_array_new_length() { abort(); }
void __throw_logic_error(const char*) { abort(); }
void __throw_length_error(const char*) { abort(); }
void __throw_out_of_range(const char*) { abort(); }
void __throw_out_of_range_fmt(const char*, ...) { abort(); }
void __throw_invalid_argument(const char*) { abort(); }
}  // namespace std
