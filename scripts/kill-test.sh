#!/usr/bin/env bash
# Kills the phonebook's daemon at random moments while clients change the
# phonebook, and checks the saved file after each kill (see
# tests/phonebook/phonebook_kill_test.cpp and docs/reliability.md).
#
#   scripts/kill-test.sh [KILLS [SEED]]
#
# KILLS defaults to 200, SEED to a new one; the seed is printed, and the same
# seed repeats the same choices. Builds the dev preset first.
set -euo pipefail
cd "$(dirname "$0")/.."

kills="${1:-200}"
seed="${2:-$(od -An -N4 -tu4 /dev/urandom | tr -d ' ')}"

scripts/bootstrap.sh
cmake --preset dev >/dev/null
cmake --build --preset dev -j "$(nproc)" --target phonebook_daemon_test zebd phonebook
ZEB_KILL_COUNT="$kills" ZEB_KILL_SEED="$seed" \
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  build/dev/bin/phonebook_daemon_test --gtest_filter='Saving.Kills*'
