#!/usr/bin/env bash
# Builds the fuzz preset and runs every harness for N seconds each (default
# 60), one after the other. New inputs go to build/fuzz/corpus/<name>/, crash
# reproducers to build/fuzz/artifacts/<name>/; the seeds in fuzz/corpus/ are
# only read.
set -euo pipefail

seconds="${1:-60}"
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

scripts/bootstrap.sh clang libclang-rt-14-dev
cmake --preset fuzz
cmake --build --preset fuzz -j2

status=0
for name in wire tessel datamodel_load ccc vcard; do
  work="build/fuzz/corpus/$name"
  artifacts="build/fuzz/artifacts/$name"
  mkdir -p "$work" "$artifacts"
  echo "fuzz: $name for ${seconds}s"
  if ! "build/fuzz/bin/fuzz_$name" -max_total_time="$seconds" -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$artifacts/" "$work" "fuzz/corpus/$name"; then
    echo "fuzz: $name failed; reproducer in $artifacts/" >&2
    status=1
  fi
done
exit "$status"
