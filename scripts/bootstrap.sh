#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, and only those
# that are missing, then the browser tests' npm packages (tests/web) when
# they are missing or their lock file changed. Safe to run again; needs root
# (or sudo) when it installs. Arguments name further packages (the fuzz
# script adds clang's).
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev libmsgpack-dev libuv1-dev uuid-dev
  libmicrohttpd-dev libcrypt-dev
  python3 python3-msgpack python3-vobject
  libsqlite3-dev libphonenumber-dev libicu-dev
  chromium
  "$@"
)
# A node installed from elsewhere brings its own npm, which Debian's npm
# package conflicts with: each is installed only when its command is missing.
command -v node >/dev/null 2>&1 || packages+=(nodejs)
command -v npm >/dev/null 2>&1 || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "bootstrap: installing ${missing[*]}"
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
  fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -q
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# npm ci installs exactly the lock file's versions; the copy of the lock in
# node_modules tells whether they are still the ones installed.
web=tests/web
if ! cmp -s "$web/package-lock.json" "$web/node_modules/.zeb-package-lock.json"; then
  echo "bootstrap: npm ci in $web"
  (cd "$web" && npm ci --no-audit --no-fund)
  cp "$web/package-lock.json" "$web/node_modules/.zeb-package-lock.json"
fi
