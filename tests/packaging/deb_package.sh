#!/usr/bin/env bash
# The Debian package: its control fields, then installed into the system with
# dpkg -i and run from there. Removed again unless it was installed before.
set -euo pipefail
build=$1 out=$2 version=$3
command -v dpkg-deb >/dev/null || { echo "SKIPPED: not a Debian system"; exit 77; }
((EUID == 0)) || { echo "SKIPPED: installing a package needs root"; exit 77; }
rm -rf "$out" && mkdir -p "$out"
(cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log") || { cat "$out/cpack.log"; exit 1; }
arch=$(dpkg --print-architecture)
deb=$out/tarvoprobe_${version}_${arch}.deb
[[ -f $deb ]] || { echo "no $deb"; ls "$out"; exit 1; }
dpkg-deb -I "$deb"

field() { dpkg-deb -f "$deb" "$1"; }
[[ $(field Package) == tarvoprobe ]] || { echo "wrong name"; exit 1; }
[[ $(field Version) == "$version" ]] || { echo "wrong version"; exit 1; }
[[ $(field Architecture) == "$arch" ]] || { echo "wrong architecture"; exit 1; }
# Computed by shlibdeps: the C library, and nothing of the C++ runtime.
grep -Eq '(^|, )libc6 \(>= [0-9.]+\)' <<<"$(field Depends)" || { echo "no computed libc6 dependency"; exit 1; }
grep -q 'libstdc++' <<<"$(field Depends)" && { echo "depends on the C++ runtime"; exit 1; }

was_installed=$(dpkg-query -W -f='${Status}' tarvoprobe 2>/dev/null | grep -c 'ok installed' || true)
config=$(mktemp -d)
cleanup() {
  rm -rf "$config"
  ((was_installed)) || dpkg --purge tarvoprobe >/dev/null 2>&1 || true
}
trap cleanup EXIT
# Another dpkg (apt-get by a neighbour) may hold the lock for a while.
for attempt in $(seq 30); do
  dpkg -i "$deb" >"$out/dpkg.log" 2>&1 && break
  grep -q 'lock' "$out/dpkg.log" || { cat "$out/dpkg.log"; exit 1; }
  ((attempt < 30)) || { cat "$out/dpkg.log"; exit 1; }
  sleep 2
done
dpkg -L tarvoprobe | grep -qx /usr/bin/tarvoprobe || { echo "/usr/bin/tarvoprobe not installed"; exit 1; }
man -w tarvoprobe >/dev/null || { echo "man cannot find the page"; exit 1; }
status=0
env -i PATH=/usr/bin:/bin XDG_CONFIG_HOME="$config" tarvoprobe || status=$?
[[ $status == 1 ]] || { echo "installed program exited with $status, not 1"; exit 1; }
grep -Eq '^ZorvaneOrBetter=(yes|no)$' "$config/tarvo.ini" || { echo "installed program recorded nothing"; exit 1; }
if command -v hardening-check >/dev/null; then
  hardening-check --nofortify --nocfprotection /usr/bin/tarvoprobe
fi
echo "installed from $(basename "$deb") and ran"
