#!/usr/bin/env bash
# Builds the fuzz preset and runs harnesses for SECONDS each (default 60), one
# after the other, one process at a time:
#   scripts/fuzz.sh [SECONDS] [NAME...]     NAME: contacts, definition, ... (default: all)
# New inputs go to build/fuzz/corpus/<name>/, crash reproducers to
# build/fuzz/artifacts/<name>/; the committed corpora in fuzz/corpus/ are only
# read. Each run ends with libFuzzer's final statistics (executions, coverage).
set -euo pipefail

all=(wire tessel datamodel_load ccc definition cli_value contacts vcard acl httpd_rpc httpd_users)
seconds="${1:-60}"
shift || true
names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  names=("${all[@]}")
fi
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

scripts/bootstrap.sh clang libclang-rt-14-dev
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2

status=0
for name in "${names[@]}"; do
  if [ ! -x "build/fuzz/bin/fuzz_$name" ]; then
    echo "fuzz: no harness $name (one of: ${all[*]})" >&2
    exit 2
  fi
  work="$root/build/fuzz/corpus/$name"
  artifacts="$root/build/fuzz/artifacts/$name"
  # With -jobs, libFuzzer runs the harness in a child process whose output
  # goes to fuzz-0.log in the working directory (and is printed at the end):
  # that directory is this one, not the source tree.
  logs="$root/build/fuzz/logs/$name"
  mkdir -p "$work" "$artifacts" "$logs"
  options=()
  case "$name" in
    datamodel_load | definition | cli_value | acl | httpd_rpc) options+=(-dict="$root/fuzz/json.dict") ;;
  esac
  echo "fuzz: $name for ${seconds}s"
  if ! (cd "$logs" && "$root/build/fuzz/bin/fuzz_$name" -max_total_time="$seconds" \
      -rss_limit_mb=2048 -jobs=1 -workers=1 -print_final_stats=1 \
      -artifact_prefix="$artifacts/" "${options[@]}" "$work" "$root/fuzz/corpus/$name"); then
    echo "fuzz: $name failed; reproducer in $artifacts/" >&2
    status=1
  fi
done
exit "$status"
