#!/usr/bin/env bash
# Builds the release preset and runs the phonebook.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"

echo "The host daemon (zebd) that runs the phonebook is not built yet."
echo "Built so far: the variant and trace libraries, in build/release/lib."
