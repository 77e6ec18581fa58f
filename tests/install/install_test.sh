#!/usr/bin/env bash
# Installs the build into a temporary DESTDIR and uses it from there.
#   install_test.sh BUILD_DIR C_COMPILER [COMPILER FLAGS...]
set -euo pipefail
build="$1" cc="$2"
shift 2
flags=("$@")

dest="$(mktemp -d /tmp/zeb-install-XXXXXX)"
pid="" httpd_pid=""
cleanup() {
  for p in $httpd_pid $pid; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  rm -rf "$dest"
}
trap cleanup EXIT
fail() { echo "install_test: $*" >&2; exit 1; }

DESTDIR="$dest" cmake --install "$build" --prefix /usr >/dev/null
bin="$dest/usr/bin"
pc="$(dirname "$(find "$dest/usr" -name zeb-bus.pc)")"
libdir="$(dirname "$pc")"
for program in zebd zeb-cli phonebook-vcard zeb-httpd; do [ -x "$bin/$program" ] || fail "no $program"; done
doc="$dest/usr/share/doc/zeb-phonebook"
for file in "$libdir"/zeb/phonebook.{so,json} "$dest"/usr/lib/phonebook/CCC.dat \
  "$dest"/usr/lib/systemd/system/{zebd,zeb-httpd}.service "$dest"/usr/share/zeb/www/index.html \
  "$doc"/{README,phonebook-api,vcard,wire-protocol,access-control,installing,web-api}.md; do
  [ -f "$file" ] || fail "$file not installed"
done
grep -q '^User=zeb-httpd$' "$dest/usr/lib/systemd/system/zeb-httpd.service" ||
  fail "zeb-httpd.service does not run as zeb-httpd"

for file in "$bin"/* "$libdir"/*.so.* "$libdir"/zeb/*.so; do
  readelf -d "$file" | grep -E 'R(UN)?PATH' | grep -q "$build" && fail "$file has a run path into the build tree"
done

# The DESTDIR is the daemon's system root. As root, zebd-start runs it as an
# unprivileged user, as the service would without systemd.
socket="$dest/run/zeb/zeb.sock"
service_user=""
if [ "$(id -u)" -eq 0 ]; then
  service_user=nobody
  chmod 0755 "$dest"
  ZEB_USER=$service_user ZEB_GROUP=nogroup ZEB_SYSROOT="$dest" ZEB_SOCKET="$socket" \
    PHONEBOOK_SAVE_DELAY_MS=0 "$dest/usr/libexec/zeb/zebd-start" 2>"$dest/zebd.log" &
else
  mkdir -p "$dest/cfg/system" "$dest/etc/config" "$(dirname "$socket")"
  PHONEBOOK_SAVE_DELAY_MS=0 "$bin/zebd" -s "$socket" --sysroot "$dest" "$libdir/zeb/phonebook.json" \
    2>"$dest/zebd.log" &
fi
pid=$!
for _ in $(seq 100); do [ -S "$socket" ] && break; sleep 0.1; done
[ -S "$socket" ] || fail "zebd did not start: $(cat "$dest/zebd.log")"

# Without -s or ZEB_SOCKET the clients look for the packaged daemon's socket only.
for command in "zeb-cli call Phonebook getNumberOfContacts" "phonebook-vcard export -"; do
  read -r -a words <<<"$command"
  out="$(env -u ZEB_SOCKET "$bin/${words[0]}" "${words[@]:1}" 2>&1 >/dev/null)" || true
  echo "$out" | grep -q "/run/zeb/zeb.sock" || fail "${words[0]} does not look for /run/zeb/zeb.sock: $out"
done

cli=("$bin/zeb-cli" -s "$socket")
"${cli[@]}" call Phonebook addContact \
  contact='{"uniqueID": "ann", "formattedName": "Ann", "telephoneNumbers": [{"name": "+33612345678"}]}' \
  | grep -qx '{"retval":true}' || fail "addContact failed"
found="$("${cli[@]}" call Phonebook getContactByNumber number=0612345678)"
echo "$found" | grep -q '"formattedName":"Ann"' || fail "not found by number: $found"

cat >"$dest/client.c" <<'CLIENT'
#include <zeb/bus.h>
int main(int argc, char **argv) {
    zeb_bus_client_t *client = zeb_bus_client_create();
    int ok = argc == 2 && zeb_bus_client_connect(client, argv[1]);
    zeb_bus_client_destroy(client);
    return !ok;
}
CLIENT
read -r -a pkg <<<"$(PKG_CONFIG_PATH="$pc" pkg-config --cflags --libs zeb-bus)"
"$cc" "${flags[@]}" -o "$dest/client" "$dest/client.c" "${pkg[@]}" -Wl,-rpath,"$libdir"
"$dest/client" "$socket" || fail "the C client did not connect"
# Exported and imported by the daemon's own user.
"${cli[@]}" call Phonebook export | grep -qx '{"retval":true}' ||
  fail "export failed: $(cat "$dest/zebd.log")"
legacy="$dest/etc/config/tessel.usr"
[ -s "$legacy" ] || fail "export wrote no $legacy"
if [ -n "$service_user" ]; then
  [ "$(stat -c %U "$legacy")" = "$service_user" ] || fail "$legacy is not the service user's"
  [ "$(stat -c %U "$dest/cfg/system/phonebook.odl")" = "$service_user" ] ||
    fail "the phonebook was not saved by the service user"
fi
"${cli[@]}" call Phonebook removeAllContacts >/dev/null
"${cli[@]}" call Phonebook import | grep -qx '{"retval":true}' ||
  fail "import failed: $(cat "$dest/zebd.log")"
count="$("${cli[@]}" call Phonebook getNumberOfContacts)"
[ "$count" = '{"retval":1}' ] || fail "$count after the export and the import"
# The HTTP bridge: as root, zeb-httpd-start runs it as the service user, who
# must still own the users file after root set a password in it.
users="$dest/etc/zeb/httpd-users"
if [ -n "$service_user" ]; then
  ZEB_HTTPD_USER=$service_user ZEB_GROUP=nogroup ZEB_SYSROOT="$dest" ZEB_SOCKET="$socket" \
    ZEB_HTTPD_LISTEN=127.0.0.1:0 "$dest/usr/libexec/zeb/zeb-httpd-start" 2>"$dest/httpd.log" &
else
  mkdir -p "$(dirname "$users")" && : >"$users"
  "$bin/zeb-httpd" --listen 127.0.0.1:0 --socket "$socket" --users "$users" \
    --roles "$dest/usr/share/zeb/roles" --docroot "$dest/usr/share/zeb/www" 2>"$dest/httpd.log" &
fi
httpd_pid=$!
port=""
for _ in $(seq 100); do
  # The log is made by the background job's redirection, maybe not yet.
  port="$(sed -n 's|^zeb-httpd: serving http://127.0.0.1:\([0-9]*\)/$|\1|p' "$dest/httpd.log" 2>/dev/null || true)"
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || fail "zeb-httpd did not start: $(cat "$dest/httpd.log")"
echo "first secret" | "$bin/zeb-httpd" --users "$users" passwd admin --roles admin ||
  fail "zeb-httpd passwd failed"
if [ -n "$service_user" ]; then
  [ "$(stat -c %U "/proc/$httpd_pid")" = "$service_user" ] || fail "zeb-httpd does not run as $service_user"
  [ "$(stat -c %U:%a "$users")" = "$service_user:600" ] ||
    fail "the users file is $(stat -c %U:%a "$users") after passwd"
fi
echo "install_test: installed, served${service_user:+ as $service_user}, found by number," \
  "C client built with pkg-config, exported and imported, zeb-httpd started"
