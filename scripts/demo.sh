#!/usr/bin/env bash
# Builds the agent and the reference server, starts the server on loopback and
# the agent against it in its normal mode: the agent scans this host, the
# server configures every check it offers, and the values arrive in the
# server's live table (on a terminal) or as JSON lines (otherwise). Stops
# both after DEMO_SECONDS (default 60) or on Ctrl-C. BUILD_DIR names the
# build directory (default build).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${DEMO_SECONDS:-60}
build=${BUILD_DIR:-build}

cmake -S . -B "$build" -G Ninja -DZP_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target quillmar zpserver -j2 >/dev/null

tmp=$(mktemp -d)
server_pid=""
agent_pid=""
cleanup() {
  [ -n "$agent_pid" ] && kill "$agent_pid" 2>/dev/null || true
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT INT TERM

# The server's standard output is this script's: the live table on a
# terminal, one JSON line per result otherwise. Its log tells the port.
"$build"/tools/zpserver/zpserver -p 0 --state-dir "$tmp/server-state" \
  --frequency 5 --checkin-frequency 10 2>"$tmp/server.log" &
server_pid=$!
port=""
for _ in $(seq 50); do
  port=$(sed -n 's/.*zpserver listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$tmp/server.log" | head -1)
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "zpserver did not start:" >&2; cat "$tmp/server.log" >&2; exit 1; }

export ZERPAL_CONF_DIR="$tmp/etc" ZERPAL_USER_CONF_DIR="$tmp/user" ZERPAL_STATE_DIR="$tmp/state"
export ZERPAL_USER_STATE_DIR="$tmp/user-state" ZERPAL_RUN_DIR="$tmp/run"
mkdir -p "$ZERPAL_CONF_DIR" "$tmp/cwd"
cat >"$ZERPAL_CONF_DIR/ZPAgent.conf" <<CONF
name = $(hostname)
domain = demo
server_list = 127.0.0.1:$port
logfile = $tmp/agent.log
loglevel = 1
CONF
(cd "$tmp/cwd" && exec "$OLDPWD/$build/agent/quillmar") >"$tmp/agent.out" 2>&1 &
agent_pid=$!
echo "zpserver on 127.0.0.1:$port, agent pid $agent_pid; results arrive within about 30 seconds" >&2

end=$((SECONDS + seconds))
while [ $SECONDS -lt $end ]; do
  if ! kill -0 "$agent_pid" 2>/dev/null; then
    echo "agent ended; its log:" >&2
    tail -20 "$tmp/agent.log" >&2 2>/dev/null || cat "$tmp/agent.out" >&2
    exit 1
  fi
  sleep 1
done
