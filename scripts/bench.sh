#!/usr/bin/env bash
# Builds the release preset and runs the benchmarks (docs/performance.md
# tells what they measure) on phonebooks of 100, 1 000, 10 000 and 50 000
# contacts; most of a whole run is spent at the two largest. --quick, first,
# leaves 50 000 out (ZEB_BENCH_MAX_N=10000: the benchmarks leave out the
# sizes above ZEB_BENCH_MAX_N). The run ends with the tables of
# docs/performance.md, figures and ratios, computed from its results. Extra
# arguments go to the benchmark binary, e.g. --benchmark_filter='/1000(/|$)'
# for one size or --benchmark_filter=Number. Then the HTTP bridge's
# benchmarks (httpd_bench: a lookup through zeb-httpd beside the bus call and
# a static file, at 10 000 contacts) run with the same arguments; a filter
# that matches none of one binary's benchmarks skips it.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = --quick ]; then
  export ZEB_BENCH_MAX_N=10000
  shift
fi

scripts/bootstrap.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target phonebook_bench httpd_bench
build/release/bin/phonebook_bench "$@"
build/release/bin/httpd_bench "$@"
