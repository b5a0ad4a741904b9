#!/usr/bin/env bash
# The Windows build: cross-compiles every module and test with mingw-w64
# (warnings are errors), runs each test executable under Wine, then runs
# quillmar.exe under Wine against the Linux reference server on loopback:
# registration and check-ins with results. BUILD_DIR names the Linux build that
# holds zpserver (default build).
set -euo pipefail
cd "$(dirname "$0")/.."
linux_build=${BUILD_DIR:-build}
jobs=$(nproc)

cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZP_BUILD_BENCH=OFF -DZP_WERROR=ON
cmake --build build-win -j "$jobs"

# A throwaway Wine prefix, with one wine server kept for the whole stage.
export WINEPREFIX
WINEPREFIX=$(mktemp -d /tmp/zp-wine-XXXXXX)
export WINEDEBUG=-all
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64 || command -v wine)
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  /usr/lib/wine/wineserver -k 2>/dev/null || wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX" "${tmp:-}"
}
trap cleanup EXIT
"$wine" cmd /c exit >/dev/null 2>&1 || true   # creates the prefix once
(/usr/lib/wine/wineserver -p 2>/dev/null || wineserver -p 2>/dev/null || true)

ctest --test-dir build-win --output-on-failure -j "$jobs"

# End to end: the Windows agent against the Linux reference server.
cmake --build "$linux_build" --target zpserver -j "$jobs" >/dev/null
tmp=$(mktemp -d /tmp/zp-wine-e2e-XXXXXX)
"$linux_build"/tools/zpserver/zpserver -p 0 --state-dir "$tmp/server-state" --results "$tmp/results.jsonl" \
  --frequency 2 --checkin-frequency 10 --no-summary >"$tmp/server.out" 2>"$tmp/server.log" &
server_pid=$!
port=""
for _ in $(seq 50); do
  port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$tmp/server.out" | head -1)
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "zpserver did not start" >&2; cat "$tmp/server.log" >&2; exit 1; }
mkdir -p "$tmp/etc" "$tmp/state" "$tmp/run"
# Wine shows the Linux root as drive Z:.
winpath() { echo "Z:${1//\//\\}"; }
cat >"$tmp/etc/ZPAgent.conf" <<CONF
name = wine-agent
domain = e2e
server_list = 127.0.0.1:$port
logfile = $(winpath "$tmp/agent.log")
variable_file = $(winpath "$tmp/state/ZPAgent.variables")
loglevel = 0
CONF
ZERPAL_CONF_DIR=$(winpath "$tmp/etc") ZERPAL_USER_CONF_DIR=$(winpath "$tmp/user") \
  ZERPAL_STATE_DIR=$(winpath "$tmp/state") ZERPAL_RUN_DIR=$(winpath "$tmp/run") \
  "$wine" build-win/agent/quillmar.exe --regression-test 3 -1 -1 1 >"$tmp/agent.out" 2>&1 &
agent_pid=$!
results=0
for _ in $(seq 90); do
  results=$(grep -c '"ack":true' "$tmp/results.jsonl" 2>/dev/null || true)
  [ "${results:-0}" -ge 3 ] && break
  sleep 1
done
kill "$agent_pid" 2>/dev/null || true
echo "windows e2e: ${results:-0} results acknowledged"
if [ "${results:-0}" -lt 3 ]; then
  echo "the Windows agent did not check in; its log:" >&2
  tail -30 "$tmp/agent.log" >&2 2>/dev/null || cat "$tmp/agent.out" >&2
  exit 1
fi
