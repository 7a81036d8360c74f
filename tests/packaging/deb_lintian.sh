#!/usr/bin/env bash
# The Debian package as Debian's own checker sees it: no error, no warning.
# Then what lintian cannot know: exactly these files, the changelog's latest
# entry is the package's version, and the copyright file grants what LICENSE
# grants.
set -euo pipefail
build=$1 out=$2 license=$3
command -v dpkg-deb >/dev/null || { echo "SKIPPED: not a Debian system"; exit 77; }
command -v lintian >/dev/null || { echo "SKIPPED: lintian not installed (apt-get install lintian)"; exit 77; }
rm -rf "$out" && mkdir -p "$out"
(cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) || { cat "$out/cpack.log"; exit 1; }
debs=("$out"/tarvoprobe_*.deb)
((${#debs[@]} == 1)) && [[ -f ${debs[0]} ]] || { echo "not one .deb in $out"; ls "$out"; exit 1; }
deb=${debs[0]}

# -I shows the informational tags too; only errors and warnings fail.
status=0
lintian -I --fail-on error,warning "$deb" || status=$?
((status == 0)) || { echo "lintian rejects $(basename "$deb") (status $status)"; exit 1; }

root=$out/root
dpkg-deb -x "$deb" "$root"
expected="usr/bin/tarvoprobe
usr/share/doc/tarvoprobe/changelog.gz
usr/share/doc/tarvoprobe/copyright
usr/share/man/man1/tarvoprobe.1.gz"
found=$(cd "$root" && find . ! -type d | sed 's|^\./||' | sort)
[[ $found == "$expected" ]] || { echo "package files differ:"; diff <(echo "$expected") <(echo "$found") || true; exit 1; }

version=$(dpkg-deb -f "$deb" Version)
latest=$(gzip -dc "$root/usr/share/doc/tarvoprobe/changelog.gz" | sed -n '1s/^tarvoprobe (\([^)]*\)).*/\1/p')
[[ $latest == "$version" ]] ||
  { echo "the changelog's latest entry is '$latest', the package $version: add an entry to cmake/changelog"; exit 1; }

copyright=$root/usr/share/doc/tarvoprobe/copyright
[[ $(head -n1 "$copyright") == 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ]] ||
  { echo "copyright is not in the machine-readable format"; exit 1; }
holder=$(sed -n 's/^Copyright (c) //p' "$license")
grep -qxF "Copyright: $holder" "$copyright" || { echo "copyright does not name '$holder'"; cat "$copyright"; exit 1; }
# The License: Expat paragraph, unindented, is LICENSE's grant word for word.
grant=$(sed -n '/^License: Expat$/,/^[^ ]/{/^ /p}' "$copyright" | sed 's/^ //; s/^\.$//')
[[ -n $grant && $grant == "$(sed -n '/^Permission is hereby granted/,$p' "$license")" ]] ||
  { echo "copyright's Expat text is not LICENSE's:"; diff <(sed -n '/^Permission/,$p' "$license") <(echo "$grant") || true; exit 1; }
echo "$(basename "$deb"): lintian clean, changelog at $version, licence as in LICENSE"
