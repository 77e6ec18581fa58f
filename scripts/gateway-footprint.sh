#!/usr/bin/env bash
# The gateway build's footprint, as docs/gateway-build.md records it: the
# stripped sizes of phonebook.so, zebd, zeb-cli, zeb-httpd (when built), the
# platform libraries and the libraries of scripts/mips-deps.sh; then, under
# qemu-mips, the resident memory of zebd empty and serving 1 000 and 10 000
# contacts (two numbers, an e-mail address and a postal address each, as the
# benchmarks fill it), and the start of zebd with the saved phonebook of
# 1 000 and of 10 000 contacts: from its exec until it answers a call, five
# times each. That time is the emulator's on this machine, not the gateway's.
#
# Under user-mode emulation the process is qemu's: its VmRSS adds the
# emulator's own memory (translated code, its heap). The target's own
# resident memory is read from /proc/<pid>/smaps as the pages mapped inside
# the guest's address space, which qemu places at a fixed host address (-B).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/mips-deps.sh >/dev/null
cmake --preset mips >/dev/null
cmake --build --preset mips -j "${ZEB_JOBS:-2}" --target zebd zeb-cli phonebook >/dev/null
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
  if [ ! -e "$file" ]; then
    printf '  %-24s %8s\n' "$(basename "$file")" "not built"
    continue
  fi
  mips-linux-gnu-strip -o "$work/stripped" "$file"
  printf '  %-24s %8d\n' "$(basename "$file")" "$(stat -c %s "$work/stripped")"
done

guest_base=0x100000000000
qemu=(qemu-mips -L /usr/mips-linux-gnu -B "$guest_base")
socket="$work/zeb.sock"
saved=cfg/system/phonebook.odl

# A system root holding the calling code table, and $2 as the saved phonebook.
new_sysroot() {
  mkdir -p "$1/cfg/system" "$1/usr/lib/phonebook"
  cp data/CCC.dat "$1/usr/lib/phonebook/"
  if [ $# -gt 1 ]; then cp "$2" "$1/$saved"; fi
}

# zebd serving the system root $1; its socket exists once it answers.
start_zebd() {
  "${qemu[@]}" "$build/bin/zebd" -s "$socket" --sysroot "$1" data/phonebook.json \
    2>"$work/zebd.log" &
  pid=$!
}

wait_for_socket() {
  for _ in $(seq 600); do [ -S "$socket" ] && return; sleep 0.1; done
  cat "$work/zebd.log" >&2
  exit 1
}

stop_zebd() {
  kill "$pid"
  wait "$pid" || true
  pid=""
  rm -f "$socket"
}

# KiB resident: the guest's mappings only, and the whole qemu process.
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

cli=("${qemu[@]}" "$build/bin/zeb-cli" -s "$socket" -t 600)

# The contacts zebd counts; answered once the event before the call is over.
contacts() {
  "${cli[@]}" call Phonebook getNumberOfContacts | tr -dc 0-9
}

# $1 contacts into the empty phonebook, in addContacts calls of 100.
fill() {
  for first in $(seq 0 100 $(($1 - 1))); do
    "${cli[@]}" call Phonebook addContacts contacts="$(python3 - "$first" <<'PY'
import json, sys
sys.path.insert(0, "scripts")
from bench_contacts import contact
first = int(sys.argv[1])
print(json.dumps([contact(i) for i in range(first, first + 100)]))
PY
)" >/dev/null
  done
  count="$(contacts)"
  if [ "$count" != "$1" ]; then
    echo "zebd counts $count contacts, not $1" >&2
    exit 1
  fi
}

# Waits for the save that follows the last change, then for zebd to answer.
wait_for_save() {
  touch "$work/filled"
  for _ in $(seq 600); do [ "$sysroot/$saved" -nt "$work/filled" ] && break; sleep 0.5; done
  [ "$sysroot/$saved" -nt "$work/filled" ] || { echo "zebd did not save" >&2; exit 1; }
  contacts >/dev/null
}

# A row of the table: $1 and zebd's resident KiB now, also left in $guest and $whole.
rows=()
add_row() {
  read -r guest whole <<<"$(resident)"
  rows+=("$1" "$guest" "$whole")
}

# Each size in a new zebd, as BM_ResidentMemory measures it: contacts added
# where a previous save's memory lies free would seem to cost less.
for size in 1000 10000; do
  sysroot="$work/sysroot-$size"
  new_sysroot "$sysroot"
  start_zebd "$sysroot"
  wait_for_socket
  "${cli[@]}" set Phonebook MaxNumberOfEntries=$((size + 10))
  add_row "empty"
  empty="$guest"
  fill "$size"
  add_row "$size contacts"
  per_contact="$(awk -v full="$guest" -v empty="$empty" -v count="$size" \
    'BEGIN { printf "%.2f", (full - empty) / count }')"
  wait_for_save
  add_row "$size, after the save"
  cp "$sysroot/$saved" "$work/saved-$size"
  summary+=("$size contacts: $per_contact KiB per contact (guest's own, filled)," \
    "saved file $(stat -c %s "$work/saved-$size") bytes")
  stop_zebd
done

echo "zebd under qemu-mips, resident KiB (guest's own / whole qemu process):"
printf '  %-24s %6d / %6d\n' "${rows[@]}"
printf '  %s %s\n' "${summary[@]}"

# Milliseconds from $1 (µs since the epoch) until the socket answers a call,
# and the CPU time zebd (qemu) used until then: the machine is shared.
answered_after() {
  python3 - "$1" "$socket" "$pid" <<'PY'
import os, socket, struct, sys, time
start, path, pid = int(sys.argv[1]), sys.argv[2], sys.argv[3]
while not os.path.exists(path):
    if time.time_ns() // 1000 - start > 600e6:
        sys.exit("zebd did not start in 10 minutes")
    time.sleep(0.002)
bus = socket.socket(socket.AF_UNIX)
bus.connect(path)
# {"id": 1, "op": "call", "path": "Phonebook", "function": "getNumberOfContacts"}
body = (b"\x84\xa2id\x01\xa2op\xa4call\xa4path\xa9Phonebook"
        b"\xa8function\xb3getNumberOfContacts")
bus.sendall(struct.pack(">I", len(body)) + body)
reply = b""
while len(reply) < 4 or len(reply) < 4 + struct.unpack(">I", reply[:4])[0]:
    reply += bus.recv(65536) or sys.exit("zebd closed the connection")
wall = round((time.time_ns() // 1000 - start) / 1e3)
if b"\xa6result" not in reply:
    sys.exit(f"zebd answered {reply!r}")
used = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()[11:13]
print(wall, round(sum(map(int, used)) * 1000 / os.sysconf("SC_CLK_TCK")))
PY
}

# The smallest of the arguments.
least() {
  printf '%s\n' "$@" | sort -n | head -1
}

echo "Start of zebd with the saved phonebook until it answers a call, ms of" \
  "emulated time (qemu-mips here, not the gateway), five starts: wall / CPU"
for size in 1000 10000; do
  walls=()
  cpus=()
  for run in 1 2 3 4 5; do
    rm -rf "$work/start"
    new_sysroot "$work/start" "$work/saved-$size"
    start="${EPOCHREALTIME/./}"
    start_zebd "$work/start"
    answer="$(answered_after "$start")"
    read -r wall cpu <<<"$answer"
    walls+=("$wall")
    cpus+=("$cpu")
    count="$(contacts)"
    [ "$count" = "$size" ] || { echo "zebd loaded $count contacts, not $size" >&2; exit 1; }
    if [ "$run" = 5 ]; then read -r guest whole <<<"$(resident)"; fi
    stop_zebd
  done
  printf '  %-16s %6d / %6d ms at least (%s / %s); resident then %d / %d KiB\n' \
    "$size contacts" "$(least "${walls[@]}")" "$(least "${cpus[@]}")" "${walls[*]}" \
    "${cpus[*]}" "$guest" "$whole"
done
