#!/usr/bin/env bash
# A run that cannot allocate memory for a large settings file ends as every
# run does: exit status 1, nothing on stderr (the C++ runtime would print its
# terminate message and abort), the file as it was.
set -euo pipefail
program=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
yes 'Key=value' | head -c $((48 << 20)) >"$dir/tarvo.ini" || true
sum=$(cksum <"$dir/tarvo.ini")
status=0
(ulimit -v $((32 << 10)) && XDG_CONFIG_HOME=$dir exec "$program") 2>"$dir/stderr" || status=$?
echo "exit status $status under a 32 MiB address-space limit"
[[ $status == 1 ]] || { echo "exit status $status, not 1"; exit 1; }
[[ ! -s $dir/stderr ]] || { echo "stderr was not empty:"; cat "$dir/stderr"; exit 1; }
[[ $(cksum <"$dir/tarvo.ini") == "$sum" ]] || { echo "the file changed"; exit 1; }
echo "silent, status 1, file unchanged"
