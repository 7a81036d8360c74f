#!/usr/bin/env bash
# The shipped binary carries Debian's hardening set.
set -euo pipefail
program=$1 commands=$2 config=$3
command -v hardening-check >/dev/null || { echo "SKIPPED: hardening-check not installed (devscripts)"; exit 77; }
# hardening-check judges fortification only from calls to __*_chk, and the
# program makes no libc call whose buffer size the compiler knows, so its
# verdict there means nothing; the flags are checked from the compile
# commands instead. Control-flow protection is not in Debian 12's set.
hardening-check --nofortify --nocfprotection "$program"
# -U first: a _FORTIFY_SOURCE that a compiler sets by default would clash.
flags=(' -U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2 ' ' -fstack-protector-strong ' ' -fPI[EC] ')
# _FORTIFY_SOURCE does nothing without the optimiser: what ships needs both.
# A debugging build keeps the rest of the set and says what it lacks.
case $config in
  Release | RelWithDebInfo | MinSizeRel) flags+=(' -O([1-3sz]|fast) ') ;;
  *) echo "note: a $config build is not one that ships; without -O its _FORTIFY_SOURCE checks nothing" ;;
esac
objects=0
while read -r line; do
  objects=$((objects + 1))
  for flag in "${flags[@]}"; do
    grep -Eq -- "$flag" <<<"$line" || { echo "no $flag in: $line"; exit 1; }
  done
done < <(grep '"command"' "$commands" | grep -E 'CMakeFiles/(tarvoprobe|probe|flags_register|record|settings_text|settings_file)\.dir/')
# the entry and its start-up, the probe, the flags register, the record, the
# stand-in's adapter, text, code page and file, the package note
((objects >= 10)) || { echo "only $objects shipped sources in $commands"; exit 1; }
echo "$objects shipped sources compiled with the hardening flags"
