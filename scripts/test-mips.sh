#!/usr/bin/env bash
# Builds the gateway's build (the mips preset: MIPS32 big-endian, -Os, no
# sanitizers) with the libraries of scripts/mips-deps.sh and runs every test
# under qemu-mips: the test programs through CMake's cross-compiling emulator,
# and zebd and zeb-cli, when a test starts them, through the same emulator
# (no binfmt entry is needed). Arguments go to ctest.
#   ZEB_MIPS_DEPS  where the target's libraries are built and kept
#                  (default build/mips-deps)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/mips-deps.sh
cmake --preset mips >/dev/null
cmake --build --preset mips -j "${ZEB_JOBS:-2}"
ctest --preset mips -j "${ZEB_JOBS:-2}" "$@"
