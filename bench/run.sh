#!/usr/bin/env bash
# Whole-run benchmark: tarvoprobe against the floor program on settings files
# of 1 KiB to 60 MiB (the record near the end, so the whole file is parsed).
# Runs alternate between the two, each on a fresh copy of the file written
# to disk beforehand, so each one really replaces the file. Prints medians of
# wall time, their ratio, instructions (callgrind) and peak memory.
#
#   bench/run.sh [BUILD_DIR] [RUNS]      (defaults: build 21)
# Needs valgrind and GNU time; uses up to 3 x 60 MiB under ${TMPDIR:-/tmp}.
set -euo pipefail
build=$(realpath "${1:-build}")
runs=${2:-21}
program=$build/tarvoprobe floor=$build/bench/floor make_ini=$build/bench/make_ini
for f in "$program" "$floor" "$make_ini"; do
  [[ -x $f ]] || { echo "no $f: build first (cmake --build $build)" >&2; exit 2; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/tarvoprobe-run.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/config"
export XDG_CONFIG_HOME=$work/config

fresh_copy() {  # the pristine file, on disk, with the record still "no"
  cp "$work/pristine.ini" "$XDG_CONFIG_HOME/tarvo.ini"
  sync "$XDG_CONFIG_HOME/tarvo.ini"
}

median() { sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

one_run_us() {  # wall time of one run, in microseconds
  fresh_copy
  local start=$EPOCHREALTIME status=0
  "$1" || status=$?
  local end=$EPOCHREALTIME
  ((status == 1)) || { echo "$1 exited with $status" >&2; exit 1; }
  echo $(( (${end/./} - ${start/./}) ))
}

instructions() {
  fresh_copy
  { valgrind --tool=callgrind --callgrind-out-file=/dev/null "$1" 2>&1 || true; } |
    sed -n 's/.*Collected : *//p'
}

peak_kib() {
  fresh_copy
  { /usr/bin/time -f %M "$1" 2>&1 >/dev/null || true; } | tail -1
}

printf '%-7s | %9s %9s %6s | %13s %13s %6s | %9s %9s %9s\n' size "probe ms" "floor ms" ratio \
  "probe instr" "floor instr" ratio "probe KiB" "floor KiB" "limit KiB"
for size in 1024 65536 1048576 16777216 62914560; do
  "$make_ini" "$size" end "$work/pristine.ini"
  : >"$work/program.us" && : >"$work/floor.us"
  for ((i = 0; i < runs; i++)); do  # alternate who goes first
    if ((i % 2)); then
      one_run_us "$program" >>"$work/program.us"; one_run_us "$floor" >>"$work/floor.us"
    else
      one_run_us "$floor" >>"$work/floor.us"; one_run_us "$program" >>"$work/program.us"
    fi
  done
  grep -q '^ZorvaneOrBetter=yes' "$XDG_CONFIG_HOME/tarvo.ini" || { echo "tarvoprobe did not record" >&2; exit 1; }
  p_us=$(median <"$work/program.us") f_us=$(median <"$work/floor.us")
  p_ir=$(instructions "$program" | tr -d ,) f_ir=$(instructions "$floor" | tr -d ,)
  p_kib=$(peak_kib "$program") f_kib=$(peak_kib "$floor")
  awk -v s="$size" -v pu="$p_us" -v fu="$f_us" -v pi="$p_ir" -v fi="$f_ir" -v pk="$p_kib" -v fk="$f_kib" 'BEGIN {
    label = s >= 1048576 ? s / 1048576 " MiB" : s / 1024 " KiB"
    printf "%-7s | %9.2f %9.2f %6.2f | %13d %13d %6.2f | %9d %9d %9d\n", label, pu / 1000, fu / 1000, pu / fu,
           pi, fi, pi / fi, pk, fk, 3 * s / 1024 + 2048
  }'
done
