#!/usr/bin/env bash
# Soaks zebd serving the phonebook: 8 clients on the loopback socket mix
# lookups, listings, writes, imports, exports and subscriptions for SECONDS
# (default 600), then the run reports every operation, the resident memory
# after the warm-up and zebd's exit status.
#   scripts/soak.sh [SECONDS]          release build; memory must stay within 2 MiB
#   scripts/soak.sh [SECONDS] --leaks  dev build (AddressSanitizer): zebd must
#                                      exit without a leak; memory is only shown
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-600}"
preset=release
slack=2048
if [ "${2:-}" = "--leaks" ]; then
  preset=dev
  slack=-1
  export ASAN_OPTIONS=detect_leaks=1
fi

scripts/bootstrap.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)" --target zeb_soak zebd phonebook
exec "build/$preset/bin/zeb_soak" --zebd "build/$preset/bin/zebd" \
  --definition data/phonebook.json --table data/CCC.dat \
  --seconds "$seconds" --clients 8 --rss-slack-kib "$slack"
