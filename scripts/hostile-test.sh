#!/usr/bin/env bash
# Runs the hostile clients of tests/phonebook/phonebook_hostile_test.cpp at a
# larger scale than the test command does: the stalled connections several
# rounds over (see docs/reliability.md).
#
#   scripts/hostile-test.sh [SCALE]
#
# SCALE (default 10) multiplies the counts. Builds the dev preset first.
set -euo pipefail
cd "$(dirname "$0")/.."

scale="${1:-10}"

scripts/bootstrap.sh
cmake --preset dev >/dev/null
cmake --build --preset dev -j "$(nproc)" --target phonebook_daemon_test zebd phonebook
ZEB_HOSTILE_SCALE="$scale" \
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  build/dev/bin/phonebook_daemon_test --gtest_filter='Hostile.*'
