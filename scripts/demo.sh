#!/usr/bin/env bash
# Builds the agent and the reference server, starts the server on loopback and
# the agent against it in regression-test mode, and shows the results as they
# arrive. Stops both after DEMO_SECONDS (default 60) or on Ctrl-C. BUILD_DIR
# names the build directory (default build).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${DEMO_SECONDS:-60}
build=${BUILD_DIR:-build}

cmake -S . -B "$build" -G Ninja -DZP_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target quillmar zpserver -j2

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

"$build"/tools/zpserver/zpserver -p 0 --state-dir "$tmp/server-state" --results "$tmp/results.jsonl" \
  --frequency 2 --checkin-frequency 10 --no-summary >"$tmp/server.out" 2>"$tmp/server.log" &
server_pid=$!
port=""
for _ in $(seq 50); do
  port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$tmp/server.out" | head -1)
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "zpserver did not start:" >&2; cat "$tmp/server.log" >&2; exit 1; }
echo "zpserver listening on 127.0.0.1:$port"

export ZERPAL_CONF_DIR="$tmp/etc" ZERPAL_USER_CONF_DIR="$tmp/user" ZERPAL_STATE_DIR="$tmp/state"
export ZERPAL_USER_STATE_DIR="$tmp/user-state" ZERPAL_RUN_DIR="$tmp/run"
mkdir -p "$ZERPAL_CONF_DIR" "$tmp/cwd"
cat >"$ZERPAL_CONF_DIR/ZPAgent.conf" <<CONF
name = demo-agent
domain = demo
server_list = 127.0.0.1:$port
logfile = $tmp/agent.log
loglevel = 0
CONF
(cd "$tmp/cwd" && exec "$OLDPWD/$build/agent/quillmar" --regression-test 3 -1 -1 1) >"$tmp/agent.out" 2>&1 &
agent_pid=$!
echo "agent started (pid $agent_pid); showing results for $seconds seconds"

end=$((SECONDS + seconds))
shown=0
while [ $SECONDS -lt $end ]; do
  if [ -f "$tmp/results.jsonl" ]; then
    total=$(wc -l <"$tmp/results.jsonl")
    if [ "$total" -gt "$shown" ]; then
      tail -n +"$((shown + 1))" "$tmp/results.jsonl" | head -n "$((total - shown))"
      shown=$total
    fi
  fi
  if ! kill -0 "$agent_pid" 2>/dev/null; then
    echo "agent ended; its log:"; tail -20 "$tmp/agent.log" 2>/dev/null || cat "$tmp/agent.out"
    break
  fi
  sleep 1
done
echo "---- server log (last lines)"
tail -15 "$tmp/server.log"
echo "$shown results received"
