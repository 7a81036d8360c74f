#!/usr/bin/env bash
# Fails on any difference between the code and what clang-format makes of it
# under the project's .clang-format:  format.sh SOURCE_DIR
# Versions format differently: the code is formatted with clang-format 14
# (Debian 12's), and another version is not asked.
set -euo pipefail
cd "$1"
format=
for candidate in clang-format-14 clang-format; do
  if command -v "$candidate" >/dev/null && "$candidate" --version | grep -q 'version 14\.'; then
    format=$candidate
    break
  fi
done
if [[ -z $format ]]; then
  found=$( (clang-format --version || echo "no clang-format") 2>/dev/null | head -n 1)
  echo "SKIPPED: needs clang-format 14 (apt-get install clang-format-14), found: $found"
  exit 77
fi
files=$(find src tests bench -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \) | sort)
"$format" --dry-run --Werror $files
echo "$(wc -w <<<"$files") files formatted as .clang-format says by $("$format" --version)"
