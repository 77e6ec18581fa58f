#!/usr/bin/env bash
# Builds everything with the dev preset (sanitizers, warnings as errors) and
# runs every test. Installs missing build dependencies first.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh
cmake --preset dev >/dev/null
cmake --build --preset dev -j "$(nproc)"
ctest --preset dev -j "$(nproc)" "$@"
