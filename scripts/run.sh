#!/usr/bin/env bash
# Builds the release preset and runs the bus daemon (zebd) with the phonebook
# and the HTTP bridge (zeb-httpd) in front of it, on a socket, a system root
# and a users file inside the checkout: run/zeb.sock, run/sysroot and
# run/httpd-users, created on first run. Stop both with Ctrl-C.
# Arguments go to zebd before the definition, e.g. -v 400 or --trace-limit 0.
# ZEB_HTTPD_LISTEN sets the bridge's address (default 127.0.0.1:8080).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target zebd zeb-cli phonebook-vcard phonebook zeb-httpd

root="$PWD/run"
bin="$PWD/build/release/bin"
sysroot="$root/sysroot"
users="$root/httpd-users"
listen="${ZEB_HTTPD_LISTEN:-127.0.0.1:8080}"
# The directories the phonebook keeps its files in on the gateway.
mkdir -p "$sysroot/cfg/system" "$sysroot/var/lib/phonebook" "$sysroot/etc/config" \
  "$sysroot/usr/lib/phonebook"
# The country calling code table of the system image.
cp data/CCC.dat "$sysroot/usr/lib/phonebook/CCC.dat"
if [ ! -e "$users" ]; then
  (umask 0077 && : >"$users")
fi

"$bin/zebd" -s "$root/zeb.sock" --sysroot "$sysroot" "$@" "$PWD/data/phonebook.json" &
zebd=$!
httpd=""
stop() {
  kill $httpd "$zebd" 2>/dev/null || true
  wait 2>/dev/null || true
}
trap stop EXIT
trap 'exit 0' INT TERM
"$bin/zeb-httpd" --listen "$listen" --socket "$root/zeb.sock" --users "$users" \
  --docroot "$PWD/data/www" &
httpd=$!

echo "run.sh: zebd serves the phonebook on $root/zeb.sock, system root $sysroot."
echo "run.sh: try in another terminal: $bin/zeb-cli -s $root/zeb.sock call Phonebook getAllContacts"
echo "run.sh: zeb-httpd serves http://$listen/ (docs/web-api.md); create the first user with:"
echo "run.sh:   $bin/zeb-httpd --users $users passwd USER --roles admin"
# Either one ending ends both, with its exit status.
wait -n
