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

# The daemon from the installation, its system root the DESTDIR itself.
mkdir -p "$dest/cfg/system"
socket="$dest/zeb.sock"
"$bin/zebd" -s "$socket" --sysroot "$dest" "$libdir/zeb/phonebook.json" 2>"$dest/zebd.log" &
pid=$!
for _ in $(seq 100); do [ -S "$socket" ] && break; sleep 0.1; done
[ -S "$socket" ] || fail "zebd did not start: $(cat "$dest/zebd.log")"

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
echo "install_test: installed, served, found by number, C client built with pkg-config"
