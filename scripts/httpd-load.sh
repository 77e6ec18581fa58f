#!/usr/bin/env bash
# Load on the HTTP bridge, loopback only: zebd with a phonebook of N contacts
# (filled through the bridge, in addContacts calls of 500 as the benchmarks
# fill theirs), zeb-httpd in front of it with one user, then wrk with C
# kept-alive connections posting the JSON-RPC lookup by number of a session
# for a bounded time. Prints the lookups per second, latency percentiles and
# zeb-httpd's memory (/proc/PID/status and smaps_rollup) idle before, during
# and after the load, and what its resident pages are (by mapping, idle).
#
#   scripts/httpd-load.sh [--contacts N] [--connections C] [--seconds S] [--soak]
#
# Defaults: 10 000 contacts, 8 connections, 10 s. --soak runs the load for
# 10 minutes and samples the memory every 10 s, then tells whether it stayed
# flat. Release build; installs wrk when missing.
set -euo pipefail
cd "$(dirname "$0")/.."

contacts=10000
connections=8
seconds=10
soak=false
while [ $# -gt 0 ]; do
  case "$1" in
    --contacts) contacts="$2"; shift 2 ;;
    --connections) connections="$2"; shift 2 ;;
    --seconds) seconds="$2"; shift 2 ;;
    --soak) soak=true; seconds=600; shift ;;
    *) echo "usage: $0 [--contacts N] [--connections C] [--seconds S] [--soak]" >&2; exit 2 ;;
  esac
done

scripts/bootstrap.sh wrk
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target zebd phonebook zeb-httpd >/dev/null
bin="$PWD/build/release/bin"

work="$(mktemp -d)"
zebd="" httpd="" sampler=""
stop() {
  kill $sampler $httpd $zebd 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap stop EXIT
sysroot="$work/sysroot"
mkdir -p "$sysroot/cfg/system" "$sysroot/usr/lib/phonebook" "$work/www"
cp data/CCC.dat "$sysroot/usr/lib/phonebook/CCC.dat"

"$bin/zebd" -v 100 -s "$work/zeb.sock" --sysroot "$sysroot" data/phonebook.json 2>"$work/zebd.log" &
zebd=$!
until grep -q "zebd: serving" "$work/zebd.log" 2>/dev/null; do sleep 0.05; done

(umask 0077 && : >"$work/users")
# One user fills the phonebook, the other, who may only read, looks up.
echo "fill secret" | "$bin/zeb-httpd" --users "$work/users" passwd fill --roles admin
echo "load secret" | "$bin/zeb-httpd" --users "$work/users" passwd load --roles viewer
"$bin/zeb-httpd" --listen 127.0.0.1:0 --socket "$work/zeb.sock" --users "$work/users" \
  --roles data/roles --docroot "$work/www" 2>"$work/httpd.log" &
httpd=$!
until grep -q "serving http://" "$work/httpd.log" 2>/dev/null; do sleep 0.05; done
address="$(sed -n 's|.*serving http://\([^/]*\)/.*|\1|p' "$work/httpd.log")"

# zeb-httpd's memory in kB: VmRSS, RssAnon, RssFile, then smaps_rollup's Pss
# and private pages.
memory() {
  awk '/^(VmRSS|RssAnon|RssFile):/ { printf "%s %s  ", $1, $2 }' "/proc/$httpd/status"
  awk '/^(Pss|Private_Clean|Private_Dirty):/ { printf "%s %s  ", $1, $2 }' \
    "/proc/$httpd/smaps_rollup"
  echo "(kB)"
}
# The resident kB of each mapping (file, or [heap], [stack], anonymous).
mappings() {
  awk '/^[0-9a-f]+-[0-9a-f]+ / { name = (NF >= 6 ? $6 : "[anonymous]") }
       /^Rss:/ { rss[name] += $2 }
       /^Private_(Clean|Dirty):/ { private[name] += $2 }
       END { for (n in rss) if (rss[n] > 0) printf "%6d kB resident, %6d kB private  %s\n", rss[n], private[n], n }' \
    "/proc/$httpd/smaps" | sort -rn
}

echo "idle, just started: $(memory)"
echo "zeb-httpd's resident pages by mapping, idle:"
mappings

# Fills the phonebook through the bridge and prints the cookie of the
# session that looks up.
cookie="$(python3 - "$address" "$contacts" <<'PY'
import http.client, json, sys
sys.path.insert(0, "scripts")
from bench_contacts import contact
address, count = sys.argv[1], int(sys.argv[2])
connection = http.client.HTTPConnection(address)
headers = {"Content-Type": "application/json", "X-Zeb-CSRF": "1", "Origin": "http://" + address}
def rpc(method, params):
    connection.request("POST", "/rpc", json.dumps(
        {"jsonrpc": "2.0", "method": method, "params": params, "id": 1}), headers)
    response = connection.getresponse()
    answer = json.loads(response.read())
    if "result" not in answer:
        sys.exit("httpd-load: %s answered %s" % (method, answer))
    return response
def login(user):
    headers.pop("Cookie", None)
    response = rpc("login", {"user": user, "password": user + " secret"})
    headers["Cookie"] = response.getheader("Set-Cookie").split(";")[0]
    return headers["Cookie"]
login("fill")
rpc("set", {"object": "Phonebook", "values": {"MaxNumberOfEntries": count + 10}})
for first in range(0, count, 500):
    batch = [contact(i) for i in range(first, min(count, first + 500))]
    rpc("call", {"object": "Phonebook", "function": "addContacts", "args": {"contacts": batch}})
print(login("load"))
PY
)"
# The save that follows the filling, then the bridge idle again.
for _ in $(seq 100); do
  [ -e "$sysroot/cfg/system/phonebook.odl" ] && break
  sleep 0.1
done
sleep 1
echo "idle, phonebook of $contacts filled: $(memory)"

last=$((contacts - 1))
export ZEB_COOKIE="$cookie" ZEB_ORIGIN="http://$address"
ZEB_BODY="$(printf '{"jsonrpc":"2.0","method":"call","params":{"object":"Phonebook","function":"getContactByNumber","args":{"number":"+3361%07d"}},"id":1}' "$last")"
export ZEB_BODY

if $soak; then
  (
    for ((i = 0; i < seconds / 10; i++)); do
      sleep 10
      echo "$(date +%T) $(memory)"
    done
  ) >"$work/samples" &
  sampler=$!
else
  (sleep "$((seconds / 2))" && echo "during the load: $(memory)") &
  sampler=$!
fi
echo "wrk: $connections connections, 1 thread per 4, ${seconds} s, lookup of contact $last"
wrk --threads "$(((connections + 3) / 4))" --connections "$connections" --duration "${seconds}s" \
  --timeout 5s --script scripts/httpd-load.lua "http://$address/rpc"
wait $sampler || true
sampler=""
sleep 1
echo "idle, after the load: $(memory)"

if $soak; then
  cat "$work/samples"
  awk '{ for (i = 2; i < NF; i += 2) if ($i == "VmRSS:") rss = $(i + 1); else if ($i == "RssAnon:") anon = $(i + 1)
         if (NR == 1) { first = rss; firstAnon = anon }
         if (rss > max) max = rss
         last = rss; lastAnon = anon }
       END { printf "soak: VmRSS first %d, last %d, max %d kB; RssAnon first %d, last %d kB: %s\n",
                    first, last, max, firstAnon, lastAnon,
                    (last - first <= 64 && max - first <= 256) ? "flat" : "GROWING" }' "$work/samples"
fi
