#!/usr/bin/env bash
# Two programs are linked alike: the same interpreter, the same libraries
# needed (and no C++ runtime among them), the same dynamic flags, and the
# same libraries loaded at run time.
#   same_linkage.sh PROGRAM OTHER
set -euo pipefail
linkage() {
  readelf -lW "$1" | sed -n 's/.*\[Requesting program interpreter: \(.*\)\]/interpreter \1/p'
  readelf -dW "$1" | awk '$2 ~ /^\((NEEDED|FLAGS|FLAGS_1|BIND_NOW|RPATH|RUNPATH)\)$/ { $1 = ""; print }'
  ldd "$1" | sed 's/ (0x[0-9a-f]*)$//'
}
first=$(linkage "$1") second=$(linkage "$2")
echo "$first"
if [[ $first != "$second" ]]; then
  echo "$(basename "$2") links otherwise than $(basename "$1"):"
  diff <(echo "$first") <(echo "$second") || true
  exit 1
fi
! grep -q 'libstdc++\|libgcc_s' <<<"$first" || { echo "the C++ runtime is loaded at run time"; exit 1; }
echo "$(basename "$1") and $(basename "$2") link alike"
