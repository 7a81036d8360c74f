// Linked into the Linux program only, which is built without exceptions and
// with the C++ runtime linked in statically. Whatever would throw or fail a
// library check (in practice: memory ran out) ends the run here the way
// every run ends: exit status 1, nothing on stderr, and the settings file as
// it was, since it is only ever replaced whole. Taking these few functions
// from the runtime would bring in its exception machinery, message printer
// and demangler, which cost more at start than the program's own work.
#include <unistd.h>

#include <cstdlib>
#include <new>

namespace {
[[noreturn]] void EndRun() { _exit(1); }
}  // namespace

void* operator new(std::size_t size) {
  if (void* block = std::malloc(size ? size : 1)) return block;
  EndRun();
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }

namespace __gnu_cxx {
void __verbose_terminate_handler() { EndRun(); }
}  // namespace __gnu_cxx

namespace std {
void __glibcxx_assert_fail(const char*, int, const char*, const char*) noexcept { EndRun(); }
void __throw_bad_alloc() { EndRun(); }
void __throw_bad_array_new_length() { EndRun(); }
void __throw_logic_error(const char*) { EndRun(); }
void __throw_length_error(const char*) { EndRun(); }
void __throw_out_of_range(const char*) { EndRun(); }
void __throw_out_of_range_fmt(const char*, ...) { EndRun(); }
void __throw_invalid_argument(const char*) { EndRun(); }
}  // namespace std
