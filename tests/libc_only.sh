#!/usr/bin/env bash
# The program needs the C library alone, as on Windows it needs KERNEL32
# alone: it loads nothing but libc (and the dynamic loader), holds no symbol
# of the C++ runtime, and its code holds no CPUID, the instruction whose
# presence it exists to find out without running.
#   libc_only.sh PROGRAM
set -euo pipefail
program=$1
failed=0
needed=$(readelf -dW "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
echo "needed: $(tr '\n' ' ' <<<"$needed")"
if grep -qv '^\(libc\.so\.[0-9]*\|ld-linux[-a-z0-9_.]*\.so\.[0-9]*\)$' <<<"$needed"; then
  echo "FAILED: needs more than libc"
  failed=1
fi
# The runtime's machinery, defined in the program or wanted from a library:
# exceptions, unwinding, demangling, operator new and delete, its type
# information, std::terminate and the std::__throw_ functions. (Templates
# the headers instantiate are the program's own code; __cxa_finalize and
# __cxa_atexit are the C library's.)
runtime=$( { nm "$program" 2>/dev/null || true; nm -D "$program"; } | awk '{print $NF}' |
  grep -E '^(__cxa_|_Unwind_|__gxx_|d_print_|_Znw|_Zna|_Zdl|_Zda|_ZT[VIS]N10__cxxabiv|_ZSt9terminate|_ZSt[0-9]+__throw_)' |
  grep -Ev '^__cxa_(finalize|atexit)(@|$)' | sort -u || true)
if [[ -n $runtime ]]; then
  echo "FAILED: symbols of the C++ runtime:"
  echo "$runtime"
  failed=1
fi
code=$(objdump -d --no-show-raw-insn "$program")
if grep -qw cpuid <<<"$code"; then
  echo "FAILED: the code holds cpuid:"
  grep -w -B3 cpuid <<<"$code"
  failed=1
fi
((failed)) || echo "$(basename "$program") needs libc alone, without the C++ runtime or cpuid"
exit $failed
