#!/usr/bin/env bash
# Builds the program twice from copies of the source in different places
# (build tree inside the source, then beside it under other names) and
# requires bit-identical binaries, and packages (.deb or .zip) with
# SOURCE_DATE_EPOCH set. The Windows builds must also ask for ASLR and DEP in
# their header, and their zip must hold what users need, as Windows reads it.
set -euo pipefail
platform=$1 source=$2 work=$3 cmake=$4 generator=$5
case $platform in
  linux) toolchain=() program=tarvoprobe ;;
  i686 | x86_64)
    command -v "$platform-w64-mingw32-g++" >/dev/null ||
      { echo "SKIPPED: $platform-w64-mingw32-g++ not installed"; exit 77; }
    toolchain=(--toolchain "$source/cmake/mingw-$platform.cmake") program=tarvoprobe.exe ;;
esac

copy_source() {  # everything but build trees and history
  mkdir -p "$2"
  for entry in "$1"/* "$1"/.[!.]*; do
    case $(basename "$entry") in build* | .git) continue ;; esac
    [[ -e $entry ]] && cp -a "$entry" "$2/"
  done
}

build() {  # source dir, build dir
  "$cmake" -S "$1" -B "$2" -G "$generator" "${toolchain[@]}" -DBUILD_TESTING=OFF >"$2.log" 2>&1 &&
    "$cmake" --build "$2" --target tarvoprobe -j2 >>"$2.log" 2>&1 || { cat "$2.log"; exit 1; }
}

rm -rf "$work"
copy_source "$source" "$work/a/src"
copy_source "$source" "$work/second-checkout/tarvoprobe-source"
build "$work/a/src" "$work/a/src/build"
build "$work/second-checkout/tarvoprobe-source" "$work/second-checkout/out-of-tree-build"
first=$work/a/src/build/$program second=$work/second-checkout/out-of-tree-build/$program
if ! cmp "$first" "$second"; then
  echo "the two builds differ"
  exit 1
fi
echo "$program: both builds identical ($(sha256sum <"$first" | cut -c1-16))"

package() {  # build dir, generator, output dir: one package, with its file dates fixed
  (cd "$1" && SOURCE_DATE_EPOCH=1700000000 cpack -G "$2" -B "$3" >"$3.log" 2>&1) || { cat "$3.log"; exit 1; }
  ls "$3"/tarvoprobe*.* | grep -E '\.(deb|zip)$'
}
if [[ $platform == linux ]]; then
  command -v dpkg-deb >/dev/null || { echo "not a Debian system: the .deb is not compared"; exit 0; }
  first_deb=$(package "$work/a/src/build" DEB "$work/deb-a")
  cmp "$first_deb" "$(package "$work/second-checkout/out-of-tree-build" DEB "$work/deb-b")" ||
    { echo "the two .deb packages differ"; exit 1; }
  echo "$(basename "$first_deb"): both identical"
  exit 0
fi
# ASLR (high-entropy on 64-bit) and DEP, from the PE optional header.
header=$("$platform-w64-mingw32-objdump" -p "$first")
wanted=(DYNAMIC_BASE NX_COMPAT)
[[ $platform == x86_64 ]] && wanted+=(HIGH_ENTROPY_VA)
for flag in "${wanted[@]}"; do
  sed -n '/^DllCharacteristics/,/^SizeOfStackReserve/p' <<<"$header" | grep -qw "$flag" ||
    { echo "$flag missing from DllCharacteristics"; grep -A4 DllCharacteristics <<<"$header"; exit 1; }
done
grep -q 'Time/Date.*1970' <<<"$header" || { echo "a link time is in the header"; exit 1; }
echo "$program: ${wanted[*]} set"

zip=$(package "$work/a/src/build" ZIP "$work/zip")
cmp "$zip" "$(package "$work/second-checkout/out-of-tree-build" ZIP "$work/zip-b")" ||
  { echo "the two zips differ"; exit 1; }
listing=$(cd "$work" && "$cmake" -E tar tf "$zip" | sort)
top=$(basename "$zip" .zip)
expected=$(printf '%s\n' "$top/LICENSE.txt" "$top/README.txt" "$top/tarvoprobe.exe")
[[ $listing == "$expected" ]] || { echo "zip holds:"; echo "$listing"; exit 1; }
# The program as built and tested, and text that Windows' editors show line
# by line: CRLF only.
(cd "$work" && "$cmake" -E tar xf "$zip")
cmp "$first" "$work/$top/tarvoprobe.exe" || { echo "the zip's program is not the one built"; exit 1; }
for text in "$work/$top"/*.txt; do
  if grep -qv $'\r$' "$text"; then
    echo "$(basename "$text") has lines that do not end in CRLF"
    exit 1
  fi
done
echo "$(basename "$zip"): ${expected//$'\n'/ }"
