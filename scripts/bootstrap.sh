#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, and only those
# that are missing. Safe to run again; needs root (or sudo) when it installs.
# Arguments name further packages (the fuzz script adds clang's).
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev libmsgpack-dev libuv1-dev uuid-dev
  libmicrohttpd-dev libcrypt-dev
  python3 python3-msgpack python3-vobject
  libsqlite3-dev libphonenumber-dev libicu-dev
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "bootstrap: installing ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
