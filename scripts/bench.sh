#!/usr/bin/env bash
# Builds the release preset and runs the benchmarks. Extra arguments go to
# the benchmark binary (e.g. --benchmark_filter=Number).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target phonebook_bench
exec build/release/bin/phonebook_bench "$@"
