#!/usr/bin/env bash
# A Linux program where the system's numbers pass 32 bits (for the 32-bit
# build, whose C library would otherwise use 32-bit inode numbers and time):
#   past_32_bits.sh overlay|clock VERDICT [EMULATOR] PROGRAM
# overlay: the configuration directory is in the lower layer of an overlay
#   mount with xino=on, where inode numbers pass 2^32; VERDICT is recorded.
# clock:   another process holds the lock while the monotonic clock passes
#   2^31 ms (24.8 days up), in a time namespace; the run must still wait the
#   whole lock wait (5 s) before it gives up, leaving the file as it was.
set -u
mode=$1 verdict=$2
shift 2
run=("$@")
skip() { echo "SKIPPED: $*"; exit 77; }
((EUID == 0)) || skip "needs root, for mount and time namespaces"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/home"

case $mode in
overlay)
  # The lower layer on a file system of its own: overlay then puts that
  # file system's number in the inode numbers' high bits.
  out=$(unshare -m sh -c '
    w=$1; shift
    mkdir "$w/lower" "$w/rw" "$w/merged" &&
      mount -t tmpfs tmpfs "$w/lower" && mkdir "$w/lower/config" &&
      mount -t tmpfs tmpfs "$w/rw" && mkdir "$w/rw/upper" "$w/rw/work" &&
      mount -t overlay overlay -o "lowerdir=$w/lower,upperdir=$w/rw/upper,workdir=$w/rw/work,xino=on" \
        "$w/merged" || { echo "SKIPPED: cannot mount an overlay with xino=on here"; exit 77; }
    echo "inode $(stat -c %i "$w/merged/config")"
    XDG_CONFIG_HOME=$w/merged/config HOME=$w/home "$@"
    echo "status $?"
    cat "$w/merged/config/tarvo.ini" 2>/dev/null' sh "$work" "${run[@]}" 2>&1)
  [[ $? == 77 ]] && skip "${out#SKIPPED: }"
  inode=$(sed -n 's/^inode //p' <<<"$out")
  ((${#inode} > 10 || inode > 4294967295)) ||
    skip "the overlay's inode numbers stay below 2^32 here ($inode): nothing to prove"
  expected="inode $inode
status 1
[System]
ZorvaneOrBetter=$verdict"
  ;;
clock)
  now_ns=$(awk '/^now at/ {print $3; exit}' /proc/timer_list 2>/dev/null)
  [[ -n $now_ns ]] || skip "cannot read the monotonic clock from /proc/timer_list"
  # Start 2 to 3 s before the clock reaches 2^31 ms, in the middle of the wait.
  offset=$((2147483 - 3 - now_ns / 1000000000))
  mkdir "$work/config"
  printf '[System]\nZorvaneOrBetter=no\n' >"$work/config/tarvo.ini"
  (flock 9 && exec sleep 30) 9>"$work/config/.tarvo.ini.lock" >/dev/null 2>&1 &
  holder=$!
  sleep 0.2
  start=$EPOCHREALTIME
  out=$(XDG_CONFIG_HOME=$work/config HOME=$work/home \
    unshare -T --monotonic="$offset" "${run[@]}" 2>&1; echo "status $?")
  end=$EPOCHREALTIME
  kill "$holder"
  waited_ms=$(((${end/./} - ${start/./}) / 1000))
  out+="
$(cat "$work/config/tarvo.ini")
waited at least 4.5 s: $((waited_ms >= 4500))"
  expected="status 1
[System]
ZorvaneOrBetter=no
waited at least 4.5 s: 1"
  echo "gave up after $waited_ms ms, the clock starting at $((offset + now_ns / 1000000000)) s"
  ;;
esac
if [[ $out != "$expected" ]]; then
  echo "FAILED ($mode): got"
  echo "$out"
  echo "expected"
  echo "$expected"
  exit 1
fi
echo "$out"
