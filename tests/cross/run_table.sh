#!/bin/bash
# Runs the program for every row of the outcome table with the given verdict
# and compares the file it leaves with the row's:
#   run_table.sh TABLE yes|no COMMAND...
# Cells are C escapes, which printf %b reads.
set -u
table=$1 verdict=$2
shift 2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failed=0 rows=0
while IFS=$'\t' read -r name capable before after; do
  [[ -z $name || $name == \#* || $capable != "$verdict" ]] && continue
  rows=$((rows + 1))
  config=$scratch/$name
  mkdir "$config"
  [[ $before != - ]] && printf '%b' "$before" >"$config/tarvo.ini"
  printf '%b' "$after" >"$scratch/$name.want"
  for pass in 1 2; do
    XDG_CONFIG_HOME=$config "$@" >"$scratch/out" 2>&1
    status=$?
    if ((status != 1)) || [[ -s $scratch/out ]] || ! cmp -s "$config/tarvo.ini" "$scratch/$name.want"; then
      echo "FAILED $name (pass $pass): exit status $status, output '$(cat "$scratch/out")'"
      od -c "$config/tarvo.ini" 2>&1 | head -5
      failed=1
    fi
  done
done <"$table"
echo "$rows rows with verdict '$verdict' run"
((rows > 0 && failed == 0))
