#!/usr/bin/env bash
# Runs the 32-bit Windows programs on an emulated 486, from their entry
# point to ExitProcess, through pe_on_486 (see there):
#   run_on_486.sh QEMU HARNESS PROGRAM.exe INCAPABLE.exe
# An instruction the 486 lacks would end a run with SIGILL. The program
# records "yes" (qemu's flags register is software and lets the ID flag
# change even on its 486: this proves the instructions, not the probe), the
# incapable one reads first and records "no"; both end with ExitProcess(1).
set -u
qemu=$1 harness=$2 program=$3 incapable=$4
startup='GetCommandLineA()
GetModuleHandleA(NULL)
GetStartupInfoA()'
yes='WritePrivateProfileStringA("System", "ZorvaneOrBetter", "yes", "tarvo.ini")
ExitProcess(1)'
no='GetPrivateProfileStringA("System", "ZorvaneOrBetter", "NoINI", 15, "tarvo.ini") = 5
WritePrivateProfileStringA("System", "ZorvaneOrBetter", "no", "tarvo.ini")
ExitProcess(1)'
command_lines=('tarvoprobe.exe' '"C:\Program Files\tarvo\tarvoprobe.exe"  -v "quoted words" /?')

failed=0
for exe in "$program" "$incapable"; do
  [[ $exe == "$program" ]] && calls=$yes || calls=$no
  for line in "${command_lines[@]}"; do
    out=$("$qemu" -cpu 486 "$harness" "$exe" "$line" 2>&1)
    status=$?
    if ((status != 1)) || [[ $(head -n 3 <<<"$out" | sort) != "$startup" ||
                             $(tail -n +4 <<<"$out") != "$calls" ]]; then
      echo "FAILED: $(basename "$exe") with command line [$line]: exit status $status, calls:"
      echo "$out"
      failed=1
    fi
  done
  echo "$(basename "$exe") ran on the emulated 486:"
  echo "$out" | sed 's/^/  /'
done
exit $failed
