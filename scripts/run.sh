#!/usr/bin/env bash
# Builds the release preset and runs the bus daemon (zebd) with the phonebook
# in the foreground, on a socket and a system root inside the checkout:
# run/zeb.sock and run/sysroot, created on first run. Stop it with Ctrl-C.
# Arguments go to zebd before the definition, e.g. -v 400 or --trace-limit 0.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target zebd zeb-cli phonebook-vcard phonebook

root="$PWD/run"
bin="$PWD/build/release/bin"
sysroot="$root/sysroot"
# The directories the phonebook keeps its files in on the gateway.
mkdir -p "$sysroot/cfg/system" "$sysroot/var/lib/phonebook" "$sysroot/etc/config" \
  "$sysroot/usr/lib/phonebook"
# The country calling code table of the system image.
cp data/CCC.dat "$sysroot/usr/lib/phonebook/CCC.dat"

echo "run.sh: zebd serves the phonebook on $root/zeb.sock, system root $sysroot."
echo "run.sh: try in another terminal: $bin/zeb-cli -s $root/zeb.sock call Phonebook getAllContacts"
exec "$bin/zebd" -s "$root/zeb.sock" --sysroot "$sysroot" "$@" "$PWD/data/phonebook.json"
