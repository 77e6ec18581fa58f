#!/usr/bin/env bash
# Builds the Debian package of the daemon, the CLI, the libraries with their
# headers and pkg-config files, the phonebook plug-in with its definition and
# calling code table, the HTTP bridge zeb-httpd, and their systemd units:
# build/package/zeb-phonebook_*.deb. Install it with
# `apt install ./build/package/zeb-phonebook_*.deb`, then
# `systemctl enable --now zebd` and add the users of the bus to the group zeb;
# for web access, `zeb-httpd passwd admin --roles admin` and
# `systemctl enable --now zeb-httpd`.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh
cmake -S . -B build/package -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DZEB_DEFAULT_SOCKET=/run/zeb/zeb.sock \
  -DBUILD_TESTING=OFF >/dev/null
cmake --build build/package -j "$(nproc)"
(cd build/package && cpack -G DEB)
ls build/package/*.deb
