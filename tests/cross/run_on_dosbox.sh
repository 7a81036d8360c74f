#!/usr/bin/env bash
# Runs the 32-bit Windows program, as it ships, on one of DOSBox's emulated
# processors, through pe_on_dos (see pe_on_dos.c):
#   run_on_dosbox.sh DOSBOX OBJDUMP HARNESS CONTROL.exe PROGRAM.exe 386|486_slow|pentium_slow WORKDIR
# DOSBox's 386 holds the ID flag fixed, as a 386 does, so the program must
# read and record "no" (or leave an empty value alone); its 486_slow (a late
# 486, with CPUID) and pentium_slow let the flag change, and the program
# records "yes" without reading. Whatever the processor lacks faults. DOSBox
# quietly replaces a setting it does not accept, so the control, whose first
# instruction is the 486's and whose second the Pentium's, must fault at the
# instruction that shows the processor asked for.
set -u
dosbox=$1 objdump=$2 harness=$3 control=$4 program=$5 cpu=$6 work=$7

start=$("$objdump" -f "$control" | sed -n 's/^start address 0x0*//p')
startup='GetCommandLineA()
GetModuleHandleA(NULL)
GetStartupInfoA()'
yes='WritePrivateProfileStringA("System", "ZorvaneOrBetter", "yes", "tarvo.ini")
ExitProcess(1)'
quoted='"C:\Program Files\tarvo\tarvoprobe.exe"  -v "quoted words" /?'
# DOS name, command line of the harness, and what the run must print.
case $cpu in
  386) runs=(
    CONTROL "NEWER.EXE absent" "exception 6 at 0x$start"
    ABSENT "PROGRAM.EXE absent $quoted" "$startup
GetPrivateProfileStringA(\"System\", \"ZorvaneOrBetter\", \"NoINI\", 15, \"tarvo.ini\") = 5
WritePrivateProfileStringA(\"System\", \"ZorvaneOrBetter\", \"no\", \"tarvo.ini\")
ExitProcess(1)"
    EMPTY "PROGRAM.EXE value= tarvoprobe.exe" "$startup
GetPrivateProfileStringA(\"System\", \"ZorvaneOrBetter\", \"NoINI\", 15, \"tarvo.ini\") = 0
ExitProcess(1)") ;;
  486_slow) runs=(
    CONTROL "NEWER.EXE absent" "exception 6 at 0x$(printf %x $((0x$start + 2)))"
    ABSENT "PROGRAM.EXE absent $quoted" "$startup
$yes") ;;
  pentium_slow) runs=(
    CONTROL "NEWER.EXE absent" "ExitProcess(0)"
    ABSENT "PROGRAM.EXE absent tarvoprobe.exe" "$startup
$yes") ;;
  *) echo "no such processor: $cpu"; exit 2 ;;
esac

rm -rf "$work" && mkdir -p "$work" || exit 2
cp "$harness" "$work/PEONDOS.COM" && cp "$control" "$work/NEWER.EXE" &&
  cp "$program" "$work/PROGRAM.EXE" || exit 2
# Headless, silent, and DOS in real mode (no EMS, UMB or XMS driver).
cat >"$work/dosbox.conf" <<EOF
[dosbox]
memsize=16
[cpu]
core=normal
cputype=$cpu
cycles=max
[mixer]
nosound=true
[midi]
mpu401=none
mididevice=none
[sblaster]
sbtype=none
[gus]
gus=false
[speaker]
pcspeaker=false
tandy=off
[dos]
xms=false
ems=false
umb=false
[autoexec]
mount c "$work"
c:
EOF
for ((i = 0; i < ${#runs[@]}; i += 3)); do
  echo "PEONDOS.COM ${runs[i + 1]} > ${runs[i]}.TXT" >>"$work/dosbox.conf"
done
echo exit >>"$work/dosbox.conf"
# DOSBox ignores SIGTERM while its emulated processor is stuck.
SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy timeout -k 5 60 "$dosbox" -conf "$work/dosbox.conf" \
  >"$work/dosbox.log" 2>&1
status=$?
((status == 0)) || { echo "dosbox exited with status $status:"; cat "$work/dosbox.log"; }

# C++ leaves open the order of the start-up's three calls; the rest is exact.
failed=0
for ((i = 0; i < ${#runs[@]}; i += 3)); do
  out=$work/${runs[i]}.TXT
  got=$( { head -n 3 "$out" | LC_ALL=C sort; tail -n +4 "$out"; } 2>&1; echo .)
  [[ ${runs[i]} == CONTROL ]] && got=$(cat "$out" 2>&1; echo .)
  if [[ ${got%.} != "${runs[i + 2]}"$'\n' ]]; then
    echo "FAILED: PEONDOS.COM ${runs[i + 1]} on DOSBox's $cpu printed:"
    cat "$out"
    echo "instead of:"
    echo "${runs[i + 2]}"
    failed=1
  else
    echo "PEONDOS.COM ${runs[i + 1]} on DOSBox's $cpu:"
    sed 's/^/  /' "$out"
  fi
done
exit $failed
