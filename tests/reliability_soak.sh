#!/usr/bin/env bash
# Longer runs of the reliability battery than CI affords: many more random
# kills, repeated races and power cuts, and a fuzzing campaign.
# Usage: tests/reliability_soak.sh [BUILD_DIR] [FUZZ_SECONDS]   (after building BUILD_DIR)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
seconds=${2:-600}
test=$build/tests/reliability/reliability_test

TARVOPROBE_RANDOM_KILLS=${TARVOPROBE_RANDOM_KILLS:-5000} TARVOPROBE_SEED=${TARVOPROBE_SEED:-$RANDOM} \
  "$test" --gtest_filter='RandomKillTest.*'
"$test" --gtest_filter='ConcurrencyTest.ManyWritersLoseNoKey:ConcurrencyTest.TheLockPreventsALostUpdate' \
  --gtest_repeat=20
"$test" --gtest_filter='PowerLossTest.*' --gtest_repeat=10
"$test" --gtest_filter='Scenarios/FaultTest.*'
# The corpus grows in $build/tests/reliability/fuzz/corpus and carries over.
cmake -DBINARY="$PWD/$build/tests/reliability/fuzz" -DSECONDS="$seconds" -P tests/fuzz/run.cmake
