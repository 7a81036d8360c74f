#!/usr/bin/env bash
# Fails on any difference between the code and what clang-format makes of it
# under the project's .clang-format:  format.sh SOURCE_DIR
set -euo pipefail
cd "$1"
command -v clang-format >/dev/null || { echo "SKIPPED: clang-format not installed (apt-get install clang-format)"; exit 77; }
files=$(find src tests bench -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \) | sort)
clang-format --dry-run --Werror $files
echo "$(wc -w <<<"$files") files formatted as .clang-format says"
