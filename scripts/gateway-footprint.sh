#!/usr/bin/env bash
# The gateway build's footprint, as docs/gateway-build.md records it: the
# stripped sizes of phonebook.so, zebd, zeb-cli, zeb-httpd, the platform
# libraries and the libraries of scripts/mips-deps.sh, then the resident
# memory of zebd under qemu-mips, empty and serving 1 000 contacts (two
# numbers, an e-mail address and a postal address each, as the benchmarks
# fill it).
#
# Under user-mode emulation the process is qemu's: its VmRSS adds the
# emulator's own memory (translated code, its heap). The target's own
# resident memory is read from /proc/<pid>/smaps as the pages mapped inside
# the guest's address space, which qemu places at a fixed host address (-B).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/mips-deps.sh >/dev/null
cmake --preset mips >/dev/null
cmake --build --preset mips -j "${ZEB_JOBS:-2}" --target zebd zeb-cli zeb-httpd phonebook >/dev/null
build=build/mips
deps="${ZEB_MIPS_DEPS:-build/mips-deps}"

work="$(mktemp -d /tmp/zeb-footprint-XXXXXX)"
pid=""
cleanup() {
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "Stripped sizes (bytes):"
for file in "$build"/lib/phonebook.so "$build"/bin/zebd "$build"/bin/zeb-cli \
  "$build"/bin/zeb-httpd "$build"/lib/lib*.so.0.* "$deps"/*/lib/libuv.so.1.* \
  "$deps"/*/lib/libuuid.so.1.* "$deps"/*/lib/libmsgpackc.so.*.*.* \
  "$deps"/*/lib/libmicrohttpd.so.*.*.* "$deps"/*/lib/libcrypt.so.*.*.*; do
  mips-linux-gnu-strip -o "$work/stripped" "$file"
  printf '  %-24s %8d\n' "$(basename "$file")" "$(stat -c %s "$work/stripped")"
done

guest_base=0x100000000000
qemu=(qemu-mips -L /usr/mips-linux-gnu -B "$guest_base")
sysroot="$work/sysroot"
mkdir -p "$sysroot/cfg/system" "$sysroot/usr/lib/phonebook"
cp data/CCC.dat "$sysroot/usr/lib/phonebook/"
socket="$work/zeb.sock"
"${qemu[@]}" "$build/bin/zebd" -s "$socket" --sysroot "$sysroot" data/phonebook.json \
  2>"$work/zebd.log" &
pid=$!
for _ in $(seq 200); do [ -S "$socket" ] && break; sleep 0.1; done
[ -S "$socket" ] || { cat "$work/zebd.log" >&2; exit 1; }

# KiB resident: the whole qemu process, and the guest's mappings only.
resident() {
  python3 - "$pid" "$guest_base" <<'PY'
import sys
pid, base = sys.argv[1], int(sys.argv[2], 16)
end = base + (1 << 32)
vmrss = next(int(l.split()[1]) for l in open(f"/proc/{pid}/status") if l.startswith("VmRSS:"))
guest = 0
inside = False
for line in open(f"/proc/{pid}/smaps"):
    head = line.split()[0]
    if "-" in head and not head.endswith(":"):
        inside = base <= int(head.split("-")[0], 16) < end
    elif head == "Rss:" and inside:
        guest += int(line.split()[1])
print(guest, vmrss)
PY
}

cli=("${qemu[@]}" "$build/bin/zeb-cli" -s "$socket" -t 60)
read -r empty_guest empty_qemu <<<"$(resident)"
for batch in $(seq 0 9); do
  contacts="$(python3 - "$batch" <<'PY'
import json, sys
sys.path.insert(0, "scripts")
from bench_contacts import contact
first = int(sys.argv[1]) * 100
print(json.dumps([contact(i) for i in range(first, first + 100)]))
PY
)"
  "${cli[@]}" call Phonebook addContacts contacts="$contacts" >/dev/null
done
count="$("${cli[@]}" call Phonebook getNumberOfContacts | tr -dc 0-9)"
read -r full_guest full_qemu <<<"$(resident)"
sleep 7 # the save, 5 s after the last change
read -r saved_guest saved_qemu <<<"$(resident)"

echo "zebd under qemu-mips, resident KiB (guest's own / whole qemu process):"
printf '  %-22s %6d / %6d\n' "empty" "$empty_guest" "$empty_qemu" \
  "$count contacts" "$full_guest" "$full_qemu" "after the save" "$saved_guest" "$saved_qemu"
echo "  saved file: $(stat -c %s "$sysroot/cfg/system/phonebook.odl") bytes"
