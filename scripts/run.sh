#!/usr/bin/env bash
# Builds the release preset and runs the bus daemon (zebd) in the foreground,
# on a socket and a system root inside the checkout: run/zeb.sock and
# run/sysroot, created on first run. Stop it with Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"

root="$PWD/run"
bin="$PWD/build/release/bin"
lib="$PWD/build/release/lib"
mkdir -p "$root/sysroot"

if [ -f "$lib/phonebook.so" ]; then
  # The definition names its plug-in relative to its own directory.
  ln -sfn "$PWD/data/phonebook.json" "$root/phonebook.json"
  ln -sfn "$lib/phonebook.so" "$root/phonebook.so"
  definition="$root/phonebook.json"
else
  echo "run.sh: the phonebook plug-in (build/release/lib/phonebook.so) is not built yet;"
  echo "run.sh: serving the demo plug-in instead (object Demo, see zebd/demo/)."
  definition="$lib/demo.json"
fi

echo "run.sh: zebd serves on $root/zeb.sock with the system root $root/sysroot."
echo "run.sh: try in another terminal: $bin/zeb-cli -s $root/zeb.sock list"
exec "$bin/zebd" -s "$root/zeb.sock" --sysroot "$root/sysroot" "$definition"
