#!/usr/bin/env bash
# The Debian package: its control fields, then installed into the system with
# dpkg -i and run from there. The machine ends as it was: a tarvoprobe that
# was installed before is packed up again (dpkg-repack) and put back, one
# that was not is purged.
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

# Another dpkg (apt-get by a neighbour) may hold the lock for a while.
dpkg_retry() {  # log, dpkg arguments...
  local log=$1 attempt
  shift
  for attempt in $(seq 30); do
    dpkg "$@" >"$log" 2>&1 && return 0
    grep -q 'lock' "$log" && ((attempt < 30)) || { cat "$log"; return 1; }
    sleep 2
  done
}
state() { dpkg-query -W -f='${db:Status-Abbrev}${Version}' tarvoprobe 2>/dev/null || true; }

before=$(state)
saved=
case $before in
  '' | 'un '*) ;;
  'ii '*)
    command -v dpkg-repack >/dev/null ||
      { echo "SKIPPED: tarvoprobe ${before#ii } is installed, and putting it back needs dpkg-repack"; exit 77; }
    mkdir "$out/previous"
    (cd "$out/previous" && dpkg-repack tarvoprobe >repack.log 2>&1) ||
      { cat "$out/previous/repack.log"; echo "cannot pack up the installed tarvoprobe: not replacing it"; exit 1; }
    saved=$(echo "$out"/previous/tarvoprobe_*.deb)
    echo "tarvoprobe ${before#ii } is installed: packed up as $saved, to be put back" ;;
  *) echo "SKIPPED: tarvoprobe is half installed or removed (dpkg state '$before'): not touching it"; exit 77 ;;
esac
config=$(mktemp -d)
cleanup() {
  local status=$?
  rm -rf "$config"
  if [[ -n $saved ]]; then
    dpkg_retry "$out/restore.log" -i "$saved" || true
  else
    dpkg_retry "$out/purge.log" --purge tarvoprobe || true
  fi
  local after
  after=$(state)
  if [[ ${after:-un } != "${before:-un }" ]]; then
    echo "tarvoprobe was '${before:-un }' before, is '${after:-un }' now: the machine was not restored"
    [[ -n $saved ]] && echo "the package that was installed is $saved"
    status=1
  fi
  exit "$status"
}
trap cleanup EXIT
dpkg_retry "$out/dpkg.log" -i "$deb"
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
