#!/bin/sh
# One Wine prefix and one persistent wineserver for a whole test run.
#   wine_prefix.sh setup|cleanup PREFIX
# A WoW64 prefix (win64) runs both builds, each against the platform's DLLs
# of its own width, as 64-bit Windows does; a win32 prefix could not run the
# 64-bit build, and two prefixes would mean two servers.
set -eu
export WINEPREFIX="$2" WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
case "$1" in
  setup)
    /usr/lib/wine/wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
    /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
    # The server wineboot started ends soon; the persistent one replaces it.
    /usr/lib/wine/wineserver -w </dev/null >/dev/null 2>&1
    /usr/lib/wine/wineserver -p </dev/null >/dev/null 2>&1  # or CTest waits for its output
    test -d "$WINEPREFIX/drive_c/windows"
    if [ -x /usr/lib/wine/wine ]; then test -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll"; fi ;;
  cleanup)
    /usr/lib/wine/wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX" ;;
esac
