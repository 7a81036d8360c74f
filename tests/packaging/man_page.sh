#!/usr/bin/env bash
# The man page renders without a single warning from groff.
set -euo pipefail
page=$1
warnings=$(groff -ww -man -z "$page" 2>&1) || { echo "groff failed: $warnings"; exit 1; }
[[ -z $warnings ]] || { echo "groff warns about $page:"; echo "$warnings"; exit 1; }
# Rendered as man would: the version from the build, no unexpanded placeholders.
text=$(MANWIDTH=80 man --warnings -l "$page" 2>&1)
grep -q "tarvoprobe @" <<<"$text" && { echo "unexpanded placeholder in $page"; exit 1; }
echo "$text" | grep -E '^(NAME|SYNOPSIS|DESCRIPTION|EXIT STATUS|FILES)$' | wc -l | grep -qx 5 ||
  { echo "a section is missing from $page"; exit 1; }
echo "$page renders cleanly"
