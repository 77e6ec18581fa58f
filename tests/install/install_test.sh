#!/usr/bin/env bash
# Installs the build into a temporary DESTDIR and uses it from there: no run
# path into the build tree, the daemon serving the phonebook (a contact added
# and found by number), and a C client built against the installed headers
# and libraries through pkg-config.
#   install_test.sh BUILD_DIR C_COMPILER [COMPILER FLAGS...]
set -euo pipefail
build="$1"
cc="$2"
shift 2
flags=("$@")

dest="$(mktemp -d /tmp/zeb-install-XXXXXX)"
pid=""
cleanup() {
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  rm -rf "$dest"
}
trap cleanup EXIT
fail() { echo "install_test: $*" >&2; exit 1; }

DESTDIR="$dest" cmake --install "$build" --prefix /usr >/dev/null
bin="$dest/usr/bin"
pc="$(dirname "$(find "$dest/usr" -name zeb-bus.pc)")"
libdir="$(dirname "$pc")"
[ -x "$bin/zebd" ] && [ -x "$bin/zeb-cli" ] && [ -x "$bin/phonebook-vcard" ] || fail "zebd, zeb-cli or phonebook-vcard not installed"
[ -f "$libdir/zeb/phonebook.so" ] && [ -f "$libdir/zeb/phonebook.json" ] || fail "no plug-in"
[ -f "$dest/usr/lib/phonebook/CCC.dat" ] || fail "no calling code table"
[ -f "$dest/usr/lib/systemd/system/zebd.service" ] || fail "no systemd unit"

for file in "$bin"/* "$libdir"/*.so.* "$libdir"/zeb/*.so; do
  if readelf -d "$file" | grep -E 'R(UN)?PATH' | grep -q "$build"; then
    fail "$file has a run path into the build tree"
  fi
done

doc="$dest/usr/share/doc/zeb-phonebook"
for d in README.md phonebook-api.md vcard.md wire-protocol.md access-control.md installing.md; do
  [ -f "$doc/$d" ] || fail "$d not installed in $doc"
done

# The daemon from the installation, its system root the DESTDIR itself. As
# root it is started as the service would be without systemd: by zebd-start,
# as an unprivileged user, with the directories that the package makes.
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

# Without -s or ZEB_SOCKET the installed clients look for the packaged
# daemon's socket, never one in a directory anybody may write.
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
#include <stdio.h>
#include <zeb/bus.h>

int main(int argc, char **argv) {
    zeb_bus_client_t *client = zeb_bus_client_create();
    variant_t args, result;
    variant_initialize(&args, variant_type_map);
    variant_initialize(&result, variant_type_unknown);
    int status = 1;
    if (argc == 2 && zeb_bus_client_connect(client, argv[1]) &&
        zeb_bus_call(client, "Phonebook", "getNumberOfContacts", &args, &result, NULL)) {
        printf("%u\n", (unsigned)variant_uint32(&result));
        status = 0;
    } else {
        fprintf(stderr, "client: %s\n", zeb_bus_client_errorMessage(client));
    }
    variant_cleanup(&args);
    variant_cleanup(&result);
    zeb_bus_client_destroy(client);
    return status;
}
CLIENT
read -r -a pkg <<<"$(PKG_CONFIG_PATH="$pc" pkg-config --cflags --libs zeb-bus)"
"$cc" "${flags[@]}" -o "$dest/client" "$dest/client.c" "${pkg[@]}" -Wl,-rpath,"$libdir"
count="$("$dest/client" "$socket")"
[ "$count" = 1 ] || fail "the C client counted $count contacts"
# The legacy configuration written and read back by the daemon's own user.
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
count="$("$dest/client" "$socket")"
[ "$count" = 1 ] || fail "$count contacts after the export and the import"
echo "install_test: installed, served${service_user:+ as $service_user}, found by number," \
  "C client built with pkg-config, exported and imported"
