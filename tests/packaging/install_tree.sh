#!/usr/bin/env bash
# cmake --install lays out exactly the program, its man page, the changelog and
# the licence, the documents compressed as Debian has them.
set -euo pipefail
build=$1 prefix=$2
rm -rf "$prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
expected="bin/tarvoprobe
share/doc/tarvoprobe/changelog.gz
share/doc/tarvoprobe/copyright
share/man/man1/tarvoprobe.1.gz"
found=$(cd "$prefix" && find . -type f | sed 's|^\./||' | sort)
if [[ $found != "$expected" ]]; then
  echo "installed files differ:"; diff <(echo "$expected") <(echo "$found") || true; exit 1
fi
[[ -x $prefix/bin/tarvoprobe ]] || { echo "bin/tarvoprobe is not executable"; exit 1; }
gzip -dc "$prefix/share/man/man1/tarvoprobe.1.gz" | cmp - "$build/tarvoprobe.1" ||
  { echo "the installed man page is not the one built"; exit 1; }
# The installed program still does its job.
config=$(mktemp -d)
trap 'rm -rf "$config"' EXIT
status=0
XDG_CONFIG_HOME=$config "$prefix/bin/tarvoprobe" || status=$?
[[ $status == 1 ]] || { echo "exit status $status, not 1"; exit 1; }
grep -Eq '^ZorvaneOrBetter=(yes|no)$' "$config/tarvo.ini" || { echo "no record written"; exit 1; }
echo "install tree as expected"
